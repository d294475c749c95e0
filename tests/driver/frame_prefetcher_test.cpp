#include "driver/frame_prefetcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace korvane {
namespace {

// Frames of 64 bytes, every byte the frame's number; frame `failing` cannot be had.
struct FakeMovie {
  int32_t failing = -1;
  std::atomic<int> calls{0};
  bool Fetch(int32_t f, uint8_t* into) {
    ++calls;
    if (f == failing) return false;
    std::memset(into, f & 0xFF, 64);
    return true;
  }
};

TEST(FramePrefetcher, FramesComeInOrderWhetherReadAheadOrNot) {
  for (bool ahead : {false, true}) {
    FakeMovie movie;
    FramePrefetcher frames(
        64, [&movie](int32_t f, uint8_t* into) { return movie.Fetch(f, into); }, ahead);
    const uint8_t* previous = nullptr;
    for (int32_t f = 3; f <= 40; ++f) {
      const uint8_t* frame = frames.Get(f, f < 40 ? f + 1 : -1);
      ASSERT_NE(frame, nullptr);
      for (int i = 0; i < 64; ++i) ASSERT_EQ(frame[i], f) << "ahead " << ahead;
      // The frame handed out before is not overwritten while it may still be in use.
      if (previous && ahead) {
        EXPECT_NE(previous, frame);
      }
      previous = frame;
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
