#include "video/worker_pool.h"

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

}  // namespace

WorkerPool::WorkerPool(int threads) {
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

void WorkerPool::Work(int worker) {
  for (;;) {
    const int begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
    if (begin >= count_) return;
    const int end = begin + chunk_ < count_ ? begin + chunk_ : count_;
    task_(context_, worker, begin, end);
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
    count_ = count;
    chunk_ = chunk < 1 ? 1 : chunk;
    next_.store(0, std::memory_order_relaxed);
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
