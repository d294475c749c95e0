#include "driver/frame_prefetcher.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

namespace korvane {

namespace {

// The nice value of the calling thread (Linux gives every thread its own).
int ThreadNice() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  return errno == 0 ? nice : 0;
}

// How many steps below the caller a yielding reading thread runs.
constexpr int kYieldSteps = 5;

}  // namespace

FrameQueue::FrameQueue(size_t frameBytes, Fetch fetch, int32_t first, int32_t last, int depth,
                       bool yielding)
    : fetch_(std::move(fetch)),
      first_(first),
      last_(last),
      current_(first - 1),
      fetched_(first),
      released_(first) {
  try {
    buffers_.resize(static_cast<size_t>(depth < 2 ? 1 : depth));
    for (std::vector<uint8_t>& b : buffers_) b.assign(frameBytes, 0);
    allocated_ = true;
  } catch (const std::bad_alloc&) {
    return;
  }
  if (buffers_.size() < 2 || first > last) return;
  yielding_ = yielding;
  if (yielding) readerNice_ = std::min(ThreadNice() + kYieldSteps, 19);
  try {
    thread_ = std::thread(&FrameQueue::Loop, this);
    ahead_ = true;
  } catch (const std::system_error&) {
    buffers_.resize(1);  // no thread to be had: every frame is read on the caller's thread
  }
}

FrameQueue::~FrameQueue() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void FrameQueue::Loop() {
  // A priority is a hint: where it cannot be lowered, the thread reads at the caller's.
  if (yielding_) setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), readerNice_);
  const int32_t depth = static_cast<int32_t>(buffers_.size());
  for (int32_t f = first_; f <= last_; ++f) {
    {
      // Frame f takes the buffer of frame f - depth, which must be done with.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || int64_t{f} - released_ < depth; });
      if (stop_) return;
    }
    const bool ok = fetch_(f, buffers_[static_cast<size_t>((f - first_) % depth)].data());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ok)
        fetched_ = f + 1;
      else
        failed_ = true;
    }
    changed_.notify_all();
    if (!ok) return;
  }
}

const uint8_t* FrameQueue::Next() {
  if (!allocated_ || current_ >= last_) return nullptr;
  const int32_t f = ++current_;
  if (!ahead_) {
    failed_ = failed_ || !fetch_(f, buffers_[0].data());
    return failed_ ? nullptr : buffers_[0].data();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  released_ = f;  // the frame handed out before is done with
  changed_.notify_all();
  changed_.wait(lock, [&] { return fetched_ > f || failed_; });
  if (fetched_ <= f) return nullptr;
  return buffers_[static_cast<size_t>((f - first_) % static_cast<int32_t>(buffers_.size()))].data();
}

}  // namespace korvane
