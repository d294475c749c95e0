#include "video/worker_pool.h"

#include <algorithm>
#include <chrono>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane {

namespace {

// How long a waiting thread spins before it sleeps.
constexpr std::chrono::microseconds kSpin{200};

inline void Pause() {
#if defined(__SSE2__)
  _mm_pause();
#endif
}

// Spins until `done` holds or the spin's time is up; returns whether it holds.
template <class Done>
bool SpinUntil(Done done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
      Pause();
    }
    if (std::chrono::steady_clock::now() >= until) return done();
  }
}

// A share's range: its front in the high half, its end in the low half.
uint64_t Pack(uint32_t front, uint32_t back) {
  return uint64_t{front} << 32 | back;
}
uint32_t Front(uint64_t r) {
  return static_cast<uint32_t>(r >> 32);
}
uint32_t Back(uint64_t r) {
  return static_cast<uint32_t>(r);
}

}  // namespace

WorkerPool::WorkerPool(int threads) {
  shares_ = std::make_unique<Share[]>(static_cast<size_t>(threads < 1 ? 1 : threads));
  for (int w = 1; w < threads; ++w) threads_.emplace_back([this, w] { Loop(w); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  start_.notify_all();
  for (std::thread& t : threads_) t.join();
}

bool WorkerPool::Take(int share, bool own, int& begin, int& end) {
  std::atomic<uint64_t>& range = shares_[share].range;
  const uint32_t chunk = static_cast<uint32_t>(chunk_);
  uint64_t r = range.load(std::memory_order_relaxed);
  for (;;) {
    const uint32_t front = Front(r), back = Back(r);
    if (front >= back) return false;
    // The owner takes the next chunk from the front; another worker takes the last chunk of
    // the grid from 0 (shares start on it) that is left, so that both stay on the grid.
    const uint32_t from = own ? front : std::max(front, (back - 1) / chunk * chunk);
    const uint32_t to = own ? std::min(back, front + chunk) : back;
    if (range.compare_exchange_weak(r, own ? Pack(to, back) : Pack(front, from),
                                    std::memory_order_relaxed)) {
      begin = static_cast<int>(from);
      end = static_cast<int>(to);
      return true;
    }
  }
}

void WorkerPool::Work(int worker) {
  int begin = 0, end = 0;
  while (Take(worker, true, begin, end)) task_(context_, worker, begin, end);
  const int workers = Size();
  for (int k = 1; k < workers; ++k) {
    const int victim = (worker + k) % workers;
    while (Take(victim, false, begin, end)) task_(context_, worker, begin, end);
  }
}

void WorkerPool::Loop(int worker) {
  uint64_t seen = 0;
  for (;;) {
    SpinUntil([&] { return generation_.load(std::memory_order_acquire) != seen; });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stop_ || generation_.load() != seen; });
      if (stop_) return;
      seen = generation_.load();
    }
    Work(worker);
    if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // The caller may be asleep: wake it under the lock, so that the wake-up cannot fall
      // between its test and its wait.
      std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_one();
    }
  }
}

void WorkerPool::Run(int count, int chunk, Task task, void* context) {
  if (count <= 0) return;
  if (threads_.empty()) {
    task(context, 0, 0, count);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = task;
    context_ = context;
    chunk_ = chunk < 1 ? 1 : chunk;
    // Shares of whole chunks, as equal as the chunks allow.
    const int64_t chunks = (int64_t{count} + chunk_ - 1) / chunk_;
    const int workers = Size();
    for (int w = 0; w < workers; ++w) {
      const int64_t from = std::min<int64_t>(chunks * w / workers * chunk_, count);
      const int64_t to = std::min<int64_t>(chunks * (w + 1) / workers * chunk_, count);
      shares_[w].range.store(Pack(static_cast<uint32_t>(from), static_cast<uint32_t>(to)),
                             std::memory_order_relaxed);
    }
    busy_.store(static_cast<int>(threads_.size()));
    generation_.fetch_add(1, std::memory_order_release);
  }
  start_.notify_all();
  Work(0);
  if (SpinUntil([&] { return busy_.load(std::memory_order_acquire) == 0; })) return;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_.load() == 0; });
}

}  // namespace korvane
