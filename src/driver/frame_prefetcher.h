// Reads the movie's frames ahead of their use on a thread of their own, so that decoding and
// the work on the frames overlap.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {

// Reads the frames `first` ... `last` in order on a thread of its own, up to `depth` - 1 frames
// ahead of the one in use, so that the uneven times of reading and of the work on each frame
// even out instead of making each side wait for the other.
class FrameQueue {
 public:
  // Fills `into` (frameBytes bytes) with frame `frame`; false when it cannot be had. Called on
  // the reading thread, one call at a time, for the frames in order.
  using Fetch = std::function<bool(int32_t frame, uint8_t* into)>;

  // `depth` buffers of `frameBytes` bytes; below 2 (or without a thread to be had) every frame
  // is fetched by Next itself, on the caller's thread. `yielding`: the reading thread runs a
  // few steps below the caller's priority, so that where it shares the cores with threads
  // working on the frames it reads in their gaps (it only ever needs to keep a frame ahead).
  FrameQueue(size_t frameBytes, Fetch fetch, int32_t first, int32_t last, int depth,
             bool yielding = false);
  ~FrameQueue();
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;

  // The next frame, `first` on the first call; null when it cannot be had (or the buffers could
  // not be allocated) and past `last`. The frame stays valid until the next call.
  const uint8_t* Next();

 private:
  void Loop();

  Fetch fetch_;
  std::vector<std::vector<uint8_t>> buffers_;
  bool allocated_ = false;
  bool ahead_ = false;
  bool yielding_ = false;
  int readerNice_ = 0;  // the reading thread's nice value when it yields
  const int32_t first_, last_;
  int32_t current_;  // the frame handed out last

  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  int32_t fetched_;   // frames before this one are in their buffers
  int32_t released_;  // frames before this one are done with
  bool failed_ = false;
  bool stop_ = false;
};

}  // namespace korvane
