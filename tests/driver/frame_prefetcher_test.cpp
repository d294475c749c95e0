#include "driver/frame_prefetcher.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace korvane {
namespace {

// Frames of 64 bytes, every byte the frame's number; frame `failing` cannot be had.
struct FakeMovie {
  int32_t failing = -1;
  std::atomic<int> calls{0};
  bool Fetch(int32_t f, uint8_t* into) {
    const bool ok = f != failing;
    if (ok) std::memset(into, f & 0xFF, 64);
    ++calls;  // counted once the frame is written
    return ok;
  }
};

// A queue of 1 (every frame read by Next), 2 and 5 buffers: frames in order, each read once
// and none past the last; with a reader, a frame handed out stays intact while the reader
// fills every other buffer.
TEST(FrameQueue, FramesComeInOrderAndStayIntactWhileTheReaderRunsAhead) {
  for (int depth : {1, 2, 5}) {
    SCOPED_TRACE(depth);
    FakeMovie movie;
    FrameQueue frames(
        64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, 3, 40, depth);
    for (int32_t f = 3; f <= 40; ++f) {
      const uint8_t* frame = frames.Next();
      ASSERT_NE(frame, nullptr);
      if (depth > 1)
        while (movie.calls.load() < std::min(f + depth - 1, 40) - 3 + 1) std::this_thread::yield();
      for (int i = 0; i < 64; ++i) ASSERT_EQ(frame[i], f);
    }
    EXPECT_EQ(frames.Next(), nullptr);
    EXPECT_EQ(movie.calls.load(), 38);
  }
}

// The frames before one that cannot be had come; that one and every later call give null.
TEST(FrameQueue, AFrameThatCannotBeHadEndsTheQueueWhereItIs) {
  for (int depth : {1, 4}) {
    SCOPED_TRACE(depth);
    FakeMovie movie;
    movie.failing = 5;
    FrameQueue frames(
        64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, 0, 20, depth);
    for (int32_t f = 0; f < 5; ++f) {
      const uint8_t* frame = frames.Next();
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame[0], f);
    }
    EXPECT_EQ(frames.Next(), nullptr);
    EXPECT_EQ(frames.Next(), nullptr);
    EXPECT_EQ(movie.calls.load(), 6);  // nothing is read after the failure
  }
}

// A queue left early stops its reader: no more than `depth` frames are read past the last
// one handed out, and the destructor returns.
TEST(FrameQueue, LeftEarlyItReadsNoFurther) {
  FakeMovie movie;
  {
    FrameQueue frames(
        64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, 0, 1000, 3);
    ASSERT_NE(frames.Next(), nullptr);
    ASSERT_NE(frames.Next(), nullptr);
    while (movie.calls.load() < 4) std::this_thread::yield();
  }
  EXPECT_EQ(movie.calls.load(), 4);  // frames 0 and 1 handed out, 2 and 3 read ahead
}

// A yielding queue reads on a thread five steps below the caller's priority (at most the lowest,
// 19); one that does not yield reads at the caller's. The frames come all the same.
TEST(FrameQueue, AYieldingReaderRunsBelowTheCaller) {
  auto nice = [] { return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))); };
  const int caller = nice();
  for (bool yielding : {false, true}) {
    SCOPED_TRACE(yielding);
    std::atomic<int> seen{-100};
    FakeMovie movie;
    FrameQueue frames(
        64,
        [&](int32_t f, uint8_t* into) {
          seen = nice();
          return movie.Fetch(f, into);
        },
        0, 9, 2, yielding);
    for (int32_t f = 0; f <= 9; ++f) {
      const uint8_t* frame = frames.Next();
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame[0], f);
    }
    EXPECT_EQ(seen.load(), yielding ? std::min(caller + 5, 19) : caller);
  }
}

}  // namespace
}  // namespace korvane
