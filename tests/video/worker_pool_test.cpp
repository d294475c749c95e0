// The worker pool: every index handed out exactly once, in chunks of the grid that starts at 0
// (with more than one thread), worker numbers in range, many runs; a slow worker's share is
// finished by the others.
#include "video/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace korvane {
namespace {

TEST(WorkerPoolTest, EveryIndexExactlyOnceOnEveryRun) {
  for (int threads : {1, 2, 3, 5}) {
    WorkerPool pool(threads);
    EXPECT_EQ(pool.Size(), threads);
    for (int run = 0; run < 50; ++run) {
      const int count = (run * 37) % 300;
      std::vector<std::atomic<int>> hits(count);
      std::atomic<bool> badWorker{false};
      const int chunk = 1 + run % 7;
      auto task = [&](int worker, int begin, int end) {
        // One thread takes the whole range at once; more take chunks of the grid from 0.
        if (worker < 0 || worker >= threads || begin >= end || end > count ||
            (threads > 1 && (begin % chunk != 0 || end - begin > chunk)))
          badWorker = true;
        for (int i = begin; i < end; ++i) hits[i].fetch_add(1);
      };
      pool.For(count, chunk, task);
      EXPECT_FALSE(badWorker);
      for (int i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << threads << " " << run;
    }
  }
}

TEST(WorkerPoolTest, OthersFinishASlowWorkersShare) {
  WorkerPool pool(3);
  const int count = 90;
  std::vector<std::atomic<int>> hits(count);
  std::atomic<int> byOthers{0};
  auto task = [&](int worker, int begin, int end) {
    if (worker == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = begin; i < end; ++i) {
      hits[i].fetch_add(1);
      if (worker != 0 && i < count / 3) byOthers.fetch_add(1);
    }
  };
  pool.For(count, 1, task);
  for (int i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  // Worker 0 sleeps through every chunk it takes: most of its third goes to the others.
  EXPECT_GT(byOthers.load(), count / 6);
}

TEST(WorkerPoolTest, NonPositiveThreadCountsMeanOne) {
  WorkerPool pool(0);
  EXPECT_EQ(pool.Size(), 1);
  int sum = 0;
  auto task = [&](int, int begin, int end) {
    for (int i = begin; i < end; ++i) sum += i;
  };
  pool.For(10, 3, task);
  EXPECT_EQ(sum, 45);
}

}  // namespace
}  // namespace korvane
