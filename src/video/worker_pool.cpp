#include "video/worker_pool.h"

namespace korvane {

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
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    Work(worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
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
    busy_ = static_cast<int>(threads_.size());
    ++generation_;
  }
  start_.notify_all();
  Work(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_ == 0; });
}

}  // namespace korvane
