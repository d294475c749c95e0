// The worker pool: every index handed out exactly once, worker numbers in range, many runs.
#include "video/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
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
      auto task = [&](int worker, int begin, int end) {
        if (worker < 0 || worker >= threads || begin >= end || end > count) badWorker = true;
        for (int i = begin; i < end; ++i) hits[i].fetch_add(1);
      };
      pool.For(count, 1 + run % 7, task);
      EXPECT_FALSE(badWorker);
      for (int i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << threads << " " << run;
    }
  }
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
