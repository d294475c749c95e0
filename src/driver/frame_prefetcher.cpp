#include "driver/frame_prefetcher.h"

#include <new>
#include <system_error>
#include <utility>

namespace korvane {

FramePrefetcher::FramePrefetcher(size_t frameBytes, Fetch fetch, bool ahead)
    : fetch_(std::move(fetch)), ahead_(ahead) {
  try {
    buffers_[0].assign(frameBytes, 0);
    if (ahead_) buffers_[1].assign(frameBytes, 0);
    allocated_ = true;
  } catch (const std::bad_alloc&) {
    return;
  }
  if (ahead_) {
    try {
      thread_ = std::thread(&FramePrefetcher::Loop, this);
    } catch (const std::system_error&) {
      ahead_ = false;  // no thread to be had: every frame is read on the caller's thread
    }
  }
}

FramePrefetcher::~FramePrefetcher() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void FramePrefetcher::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || (busy_ && job_ >= 0); });
    if (stop_) return;
    const int32_t frame = job_;
    uint8_t* into = buffers_[jobBuffer_].data();
    job_ = -1;
    lock.unlock();
    const bool ok = fetch_(frame, into);
    lock.lock();
    fetched_ = frame;
    fetchedOk_ = ok;
    busy_ = false;
    done_.notify_all();
  }
}

void FramePrefetcher::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return !busy_; });
}

const uint8_t* FramePrefetcher::Get(int32_t frame, int32_t next) {
  if (!allocated_) return nullptr;
  if (!ahead_) return fetch_(frame, buffers_[0].data()) ? buffers_[0].data() : nullptr;

  Finish();
  bool ok;
  if (fetched_ == frame) {
    shown_ = jobBuffer_;
    ok = fetchedOk_;
  } else {
    // Not the frame fetched ahead (the first one, or a jump): read it here.
    shown_ = 1 - jobBuffer_;
    ok = fetch_(frame, buffers_[shown_].data());
  }
  fetched_ = -1;
  if (ok && next >= 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = next;
    jobBuffer_ = 1 - shown_;
    busy_ = true;
    wake_.notify_one();
  }
  return ok ? buffers_[shown_].data() : nullptr;
}

FrameQueue::FrameQueue(size_t frameBytes, Fetch fetch, int32_t first, int32_t last, int depth)
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
