// Palette tables, distortion measures, signal energy and the motion search.
#include "video/measures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "video/modes.h"
#include "video_test_util.h"

namespace korvane {
namespace {

TEST(PaletteTablesTest, DistancesAndUnusedEntries) {
  test::TestPalette p;
  p.Add(10, 20, 30);
  p.Add(13, 24, 30);
  p.Add(255, 255, 255);
  PaletteTables t;
  p.Install(t);
  EXPECT_EQ(t.Distance(0, 1), 9 + 16);
  EXPECT_EQ(t.Distance(1, 0), 9 + 16);
  EXPECT_EQ(t.Distance(2, 2), 0);
  EXPECT_EQ(t.Distance(2, 0), 245 * 245 + 235 * 235 + 225 * 225);
  // Entries past the colour count are black.
  EXPECT_EQ(t.Rgb(3)[0] + t.Rgb(3)[1] + t.Rgb(3)[2], 0);
  EXPECT_EQ(t.Distance(3, 255), 0);
  EXPECT_EQ(t.Distance(0, 200), 100 + 400 + 900);
  EXPECT_EQ(t.Distance(2, 100), 3 * 255 * 255);  // the largest possible value
  for (int i = 0; i < 256; ++i)
    for (int j = 0; j < 256; ++j) ASSERT_EQ(t.Distance(i, j), t.Distance(j, i));
  EXPECT_EQ(t.MapColor(12, 23, 31), 1);
}

TEST(Measures, BlockSolidAndContiguousErrors) {
  test::TestPalette p;
  p.Add(0, 0, 0);
  p.Add(100, 50, 25);
  PaletteTables t;
  p.Install(t);
  const int w = 12;  // frame width
  std::vector<uint8_t> target(3 * w * 8, 0), index(w * 8, 0);
  // Target: every pixel (1, 2, 3) except pixel (1, 0) = (100, 50, 25).
  for (int i = 0; i < w * 8; ++i) {
    target[3 * i] = 1;
    target[3 * i + 1] = 2;
    target[3 * i + 2] = 3;
  }
  target[3] = 100;
  target[4] = 50;
  target[5] = 25;
  index[1] = 1;
  const int32_t rest = 1 + 4 + 9;
  EXPECT_EQ(BlockError(t, target.data(), 3 * w, index.data(), w, 8), 63 * rest);
  EXPECT_EQ(BlockError(t, target.data(), 3 * w, index.data(), w, 4), 15 * rest);
  EXPECT_EQ(SolidError(t, target.data(), 3 * w, 0, 8), 63 * rest + 100 * 100 + 50 * 50 + 25 * 25);
  uint8_t contiguous[64] = {};
  contiguous[1] = 1;
  EXPECT_EQ(ContiguousBlockError(t, target.data(), 3 * w, contiguous, 8), 63 * rest);
  // Rows of a contiguous 4x4 block are 4 bytes apart: index 1 at position 4 is pixel (0, 1).
  uint8_t quad[16] = {};
  quad[4] = 1;
  EXPECT_EQ(ContiguousBlockError(t, target.data(), 3 * w, quad, 4),
            14 * rest + 99 * 99 + 48 * 48 + 22 * 22 + 100 * 100 + 50 * 50 + 25 * 25);
}

TEST(Measures, BoundedReferenceErrorStopsOnceTheBoundIsReached) {
  const int stride = 3 * 8;
  std::vector<uint8_t> target(3 * 64, 0), ref(3 * 64, 0);
  for (int i = 0; i < 64; ++i) ref[3 * i] = 2;  // every pixel's term is 4
  struct Case {
    int32_t bound, expected;
  };
  const Case cases[] = {{0, 4}, {1, 4}, {4, 4}, {5, 8}, {100, 100}, {101, 104}, {1000, 256}};
  for (const Case& c : cases)
    EXPECT_EQ(BoundedReferenceError(target.data(), ref.data(), stride, c.bound), c.expected)
        << c.bound;
}

TEST(Measures, SignalEnergy) {
  const uint8_t frame[6] = {1, 2, 3, 255, 0, 10};
  EXPECT_EQ(SignalEnergy(frame, 2), 1 + 4 + 9 + 65025 + 100);
  EXPECT_EQ(SignalEnergy(frame, 0), 0);
}

// A 32 x 24 previous frame in RGB with distinct pixels everywhere.
struct MotionFixture {
  static constexpr int W = 32, H = 24;
  std::vector<uint8_t> prev = std::vector<uint8_t>(3 * W * H);
  std::vector<uint8_t> target = std::vector<uint8_t>(3 * W * H);
  const int32_t last = (H - 8) * W + W - 8;

  explicit MotionFixture(unsigned seed = 1) {
    std::mt19937 rng(seed);
    for (auto& b : prev) b = static_cast<uint8_t>(rng());
    for (auto& b : target) b = static_cast<uint8_t>(rng());
  }
  // The target block at offset o becomes the previous frame's block at linear offset s.
  void Place(int32_t o, int32_t s) {
    for (int y = 0; y < 8; ++y) std::memcpy(&target[3 * (o + y * W)], &prev[3 * (s + y * W)], 24);
  }
  int32_t CopyError(int32_t o) const {
    return BoundedReferenceError(&target[3 * o], &prev[3 * o], 3 * W, kUnavailable);
  }
};

// The search written plainly: full errors at every valid source, first strict minimum.
int32_t PlainSearch(const MotionFixture& f, int32_t o, int32_t bound, int* bdx, int* bdy) {
  int32_t best = bound;
  for (int dy = -8; dy < 8; ++dy)
    for (int dx = -8; dx < 8; ++dx) {
      const int32_t s = o + dy * f.W + dx;
      if (s < 0 || s > f.last) continue;
      if (o % f.W + dx < 0 || o % f.W + dx > f.W - 8) continue;
      int32_t e = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 24; ++x) {
          const int d = f.target[3 * (o + y * f.W) + x] - f.prev[3 * (s + y * f.W) + x];
          e += d * d;
        }
      if (e < best) {
        best = e;
        *bdx = dx;
        *bdy = dy;
      }
    }
  return best == bound ? kUnavailable : best;
}

TEST(MotionSearchTest, FindsDisplacementsInsideThePicture) {
  const int W = MotionFixture::W;
  struct Case {
    const char* name;
    int32_t o;
    int dx, dy;
    bool offered;  // false: the source crosses the left or right edge of the picture
  };
  const Case cases[] = {
      {"top-left block, right", 0, 3, 0, true},
      {"middle block", 8 * W + 8, -5, -8, true},
      {"bottom-right block", 16 * W + 24, -8, -3, true},
      {"left edge, straight down", 8 * W, 0, 5, true},
      {"right edge, straight up", 8 * W + 24, 0, -8, true},
      {"top-left block, row below and left", 0, -1, 1, false},
      {"left edge, last pixels of the row above", 8 * W, -1, 0, false},
      {"right edge, into the next row", 8 * W + 24, 7, 2, false},
  };
  for (const Case& c : cases) {
    MotionFixture f;
    const int32_t s = c.o + c.dy * W + c.dx;
    ASSERT_GE(s, 0);
    ASSERT_LE(s, f.last);
    f.Place(c.o, s);
    MotionMode rec{};
    const int32_t e =
        MotionSearch(f.CopyError(c.o), &f.target[3 * c.o], f.prev.data(), W, c.o, f.last, rec);
    if (c.offered) {
      EXPECT_EQ(e, 0) << c.name;
      EXPECT_EQ(rec.Dx, c.dx) << c.name;
      EXPECT_EQ(rec.Dy, c.dy) << c.name;
      EXPECT_EQ(rec.SourceOffset, s) << c.name;
    } else {
      EXPECT_NE(e, 0) << c.name;
      EXPECT_FALSE(e != kUnavailable && rec.Dx == c.dx && rec.Dy == c.dy) << c.name;
    }
  }
}

TEST(MotionSearchTest, TiesGoToTheSmallerDyThenTheSmallerDx) {
  const int W = MotionFixture::W;
  const int32_t o = 8 * W + 8;
  struct Case {
    int dx1, dy1, dx2, dy2;  // both hold the block; the first is the expected winner
  };
  const Case cases[] = {{2, -8, 2, 0}, {-8, 1, 1, 1}, {7, -3, -4, 5}};
  for (const Case& c : cases) {
    MotionFixture f(7);
    // Write the same content at both sources (they do not overlap).
    const int32_t s1 = o + c.dy1 * W + c.dx1, s2 = o + c.dy2 * W + c.dx2;
    for (int y = 0; y < 8; ++y)
      std::memcpy(&f.prev[3 * (s2 + y * W)], &f.prev[3 * (s1 + y * W)], 24);
    f.Place(o, s1);
    MotionMode rec{};
    const int32_t e =
        MotionSearch(f.CopyError(o), &f.target[3 * o], f.prev.data(), W, o, f.last, rec);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(rec.Dx, c.dx1);
    EXPECT_EQ(rec.Dy, c.dy1);
  }
}

TEST(MotionSearchTest, UnavailableWhenNothingBeatsThePlainCopy) {
  const int W = MotionFixture::W;
  const int32_t o = 8 * W + 8;
  MotionMode rec{};
  rec.Dx = 5;
  {
    // The plain copy is perfect: the bound is 0 and nothing is strictly better.
    MotionFixture f;
    f.Place(o, o);
    EXPECT_EQ(MotionSearch(0, &f.target[3 * o], f.prev.data(), W, o, f.last, rec), kUnavailable);
  }
  {
    // A uniform previous frame: every source is as good as the copy.
    MotionFixture f;
    std::fill(f.prev.begin(), f.prev.end(), 9);
    EXPECT_EQ(MotionSearch(f.CopyError(o), &f.target[3 * o], f.prev.data(), W, o, f.last, rec),
              kUnavailable);
  }
  EXPECT_EQ(rec.Dx, 5);  // the record is left alone
}

TEST(MotionSearchTest, AgreesWithAPlainSearchOnRandomContent) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 60; ++trial) {
    MotionFixture f(100 + trial);
    // Smooth the previous frame a little so that several sources come close.
    for (auto& b : f.prev) b = static_cast<uint8_t>(b / 32 * 32);
    const int block = static_cast<int>(rng() % 12);
    const int32_t o = (block / 4) * 8 * f.W + (block % 4) * 8;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 24; ++x)
        f.target[3 * (o + y * f.W) + x] = static_cast<uint8_t>(
            f.prev[std::min<size_t>(3 * (o + y * f.W) + x + 3, f.prev.size() - 1)] +
            static_cast<int>(rng() % 9) - 4);
    int dx = 99, dy = 99;
    const int32_t bound = f.CopyError(o);
    const int32_t expected = PlainSearch(f, o, bound, &dx, &dy);
    MotionMode rec{};
    const int32_t got = MotionSearch(bound, &f.target[3 * o], f.prev.data(), f.W, o, f.last, rec);
    ASSERT_EQ(got, expected) << trial;
    if (expected != kUnavailable) {
      ASSERT_EQ(rec.Dx, dx) << trial;
      ASSERT_EQ(rec.Dy, dy) << trial;
      ASSERT_EQ(rec.SourceOffset, o + dy * f.W + dx);
    }
  }
}

}  // namespace
}  // namespace korvane
