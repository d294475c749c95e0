// Reads the movie's frames one ahead: while the caller codes frame f, a thread of its own
// decodes frame f + 1 into a second buffer, so decoding and coding overlap.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {

class FramePrefetcher {
 public:
  // Fills `into` (frameBytes bytes) with frame `frame`; false when it cannot be had. Called on
  // the prefetching thread, one call at a time.
  using Fetch = std::function<bool(int32_t frame, uint8_t* into)>;

  // `ahead` false: every frame is fetched by Get itself, on the caller's thread.
  FramePrefetcher(size_t frameBytes, Fetch fetch, bool ahead);
  ~FramePrefetcher();
  FramePrefetcher(const FramePrefetcher&) = delete;
  FramePrefetcher& operator=(const FramePrefetcher&) = delete;

  // Frame `frame`, then starts fetching `next` (none when negative). Null when the frame
  // cannot be had (or the buffers could not be allocated). The frame stays valid until the
  // next call.
  const uint8_t* Get(int32_t frame, int32_t next);

 private:
  void Loop();
  // Waits for the fetch under way, if any.
  void Finish();

  Fetch fetch_;
  bool ahead_;
  std::vector<uint8_t> buffers_[2];
  bool allocated_ = false;
  int shown_ = 0;  // the buffer handed out last

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::thread thread_;
  bool stop_ = false;
  bool busy_ = false;     // a fetch is asked for or under way
  int32_t job_ = -1;      // the frame asked for
  int jobBuffer_ = 0;     // where it goes
  int32_t fetched_ = -1;  // the frame of the last finished fetch
  bool fetchedOk_ = false;
};

}  // namespace korvane
