#include "driver/frame_prefetcher.h"

#include <gtest/gtest.h>

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

TEST(FramePrefetcher, FramesComeInOrderWhetherReadAheadOrNot) {
  for (bool ahead : {false, true}) {
    FakeMovie movie;
    FramePrefetcher frames(
        64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, ahead);
    for (int32_t f = 3; f <= 40; ++f) {
      const uint8_t* frame = frames.Get(f, f < 40 ? f + 1 : -1);
      ASSERT_NE(frame, nullptr);
      // Once the next frame has been read ahead, the frame handed out is still intact.
      if (ahead && f < 40)
        while (movie.calls.load() < f - 3 + 2) std::this_thread::yield();
      for (int i = 0; i < 64; ++i) ASSERT_EQ(frame[i], f) << "ahead " << ahead;
    }
    // Every frame is decoded once: nothing is read twice, nothing past the last.
    EXPECT_EQ(movie.calls.load(), 38);
  }
}

TEST(FramePrefetcher, AFrameThatCannotBeHadIsReportedWhenItIsAskedFor) {
  for (bool ahead : {false, true}) {
    FakeMovie movie;
    movie.failing = 5;
    FramePrefetcher frames(
        64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, ahead);
    for (int32_t f = 0; f < 5; ++f) {
      const uint8_t* frame = frames.Get(f, f + 1);
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame[0], f);
    }
    EXPECT_EQ(frames.Get(5, 6), nullptr);
  }
}

TEST(FramePrefetcher, AFrameOutOfTurnIsReadOnTheSpot) {
  FakeMovie movie;
  FramePrefetcher frames(
      64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, true);
  ASSERT_NE(frames.Get(0, 1), nullptr);
  const uint8_t* frame = frames.Get(7, 8);  // frame 1 was read ahead, 7 is asked for
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame[0], 7);
  frame = frames.Get(8, -1);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame[63], 8);
}

}  // namespace
}  // namespace korvane
