// A fixed set of worker threads, made once per run, that runs one loop over an index range at
// a time. The calling thread takes part as worker 0. Indices are handed out in chunks in no
// fixed order: callers must make each index's work independent of the worker that does it.
// Each worker starts on a share of the range of its own, the same share in every loop of the
// same length and chunk, so that what one loop wrote (a frame's blocks, their records) is
// mostly read again on the same core in the next; a worker that runs out of its share takes
// chunks from the far end of another's.
// Loops come in quick succession (several per frame), so a waiting thread first spins for a
// short while before it sleeps: waking a sleeping thread costs more than most gaps last.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {

class WorkerPool {
 public:
  using Task = void (*)(void* context, int worker, int begin, int end);

  // `threads` >= 1 workers in all (values below 1 count as 1).
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int Size() const { return static_cast<int>(threads_.size()) + 1; }

  // Calls task(context, worker, begin, end) on ranges covering [0, count) in chunks of at most
  // `chunk` indices; returns when all are done.
  void Run(int count, int chunk, Task task, void* context);

  // The same with a callable f(worker, begin, end).
  template <class F>
  void For(int count, int chunk, F& f) {
    Run(
        count, chunk, [](void* c, int w, int b, int e) { (*static_cast<F*>(c))(w, b, e); }, &f);
  }

 private:
  void Loop(int worker);
  void Work(int worker);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  // Written under mutex_; read without it while a thread spins.
  std::atomic<uint64_t> generation_{0};
  std::atomic<int> busy_{0};
  bool stop_ = false;
  Task task_ = nullptr;
  void* context_ = nullptr;
  int chunk_ = 1;
  // One worker's share: the next index to take from the front and the end of what is left,
  // packed into one word so that the owner and a thief can each move their end atomically.
  struct alignas(64) Share {
    std::atomic<uint64_t> range{0};
  };
  std::unique_ptr<Share[]> shares_;
  // A chunk of `share`'s range: the next from its front for its owner (`own`), else the last.
  bool Take(int share, bool own, int& begin, int& end);
};

}  // namespace korvane
