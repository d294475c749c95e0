// The seeded motion search: which sources it measures, how it refines them, how it splits
// them between the one-byte and two-byte codings; the seeds a block takes from the previous
// frame; and the frame's pan found from two pictures.
#include "video/motion_field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "video/modes.h"

namespace korvane {
namespace {

// A picture of 3-byte pixels with detail at every scale, so that every displacement of a block
// gives a different error and only the true one gives none.
std::vector<uint8_t> Texture(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> cells(3 * 64 * 64);
  for (auto& c : cells) c = static_cast<uint8_t>(rng());
  std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < 3; ++k) {
        const int coarse = cells[3 * (((y / 8) % 64) * 64 + (x / 8) % 64) + k];
        rgb[3 * (static_cast<size_t>(y) * width + x) + k] =
            static_cast<uint8_t>((coarse + static_cast<int>(rng() % 64)) & 255);
      }
  return rgb;
}

struct SearchRig {
  static constexpr int W = 160, H = 96;
  std::vector<uint8_t> previous = Texture(W, H, 3);
  std::vector<uint8_t> target = Texture(W, H, 4);
  const int32_t last = (H - 8) * W + W - 8;

  int32_t Offset(int bx, int by) const { return 8 * bx + 8 * by * W; }
  // Makes the target block at `offset` the previous picture's block at (dx, dy) from it.
  void Move(int32_t offset, int dx, int dy) {
    for (int y = 0; y < 8; ++y)
      std::memcpy(&target[3 * (offset + y * W)], &previous[3 * (offset + (y + dy) * W + dx)], 24);
  }
  // The error of the plain copy, the search's bound.
  int32_t CopyError(int32_t offset) const {
    int32_t sum = 0;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 24; ++x) {
        const int d = target[3 * (offset + y * W) + x] - previous[3 * (offset + y * W) + x];
        sum += d * d;
      }
    return sum;
  }
  SeededMotion Search(int32_t offset, std::vector<MotionVector> seeds,
                      SeededSearchSettings settings = {}, int32_t nearError = kUnavailable,
                      MotionVector near = {}) const {
    return SeededMotionSearch(&target[3 * offset], previous.data(), W, offset, last,
                              CopyError(offset), nearError, near, seeds.data(),
                              static_cast<int>(seeds.size()), settings);
  }
};

TEST(SeededMotionSearch, RefinesSeedsToTheTrueSourceOfEitherRange) {
  struct Case {
    const char* name;
    int bx, by, dx, dy;
    std::vector<MotionVector> seeds;
    bool far;
  };
  const std::vector<Case> cases = {
      {"near, seed exact", 5, 4, 3, -2, {{3, -2}}, false},
      {"near, seed one step off", 5, 4, 3, -2, {{2, -2}}, false},
      {"near at the window's corner", 5, 4, -8, 7, {{-7, 6}}, false},
      {"far, seed two steps off", 8, 5, 20, 10, {{19, 11}}, true},
      {"far just outside the window", 8, 5, 8, -9, {{8, -9}}, true},
      {"far, the best of several seeds", 10, 3, -37, 12, {{0, 5}, {-37, 13}, {30, 30}}, true},
      {"far, along the left edge", 7, 1, -56, 40, {{-56, 40}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SearchRig rig;
    const int32_t o = rig.Offset(c.bx, c.by);
    rig.Move(o, c.dx, c.dy);
    const SeededMotion r = rig.Search(o, c.seeds);
    const MotionVector want{static_cast<int8_t>(c.dx), static_cast<int8_t>(c.dy)};
    EXPECT_EQ(r.Best, want);
    if (c.far) {
      EXPECT_EQ(r.FarError, 0);
      EXPECT_EQ(r.Far, want);
      // Any near source is worse, or it would have taken the far one's place.
      EXPECT_TRUE(r.NearError == kUnavailable || r.NearError > 0);
    } else {
      EXPECT_EQ(r.NearError, 0);
      EXPECT_EQ(r.Near, want);
      EXPECT_EQ(r.FarError, kUnavailable);
    }
  }
}

TEST(SeededMotionSearch, MeasuresOnlySourcesInsideThePictureThatCanPayForThemselves) {
  SearchRig rig;
  // Sources that cross the left or right edge, or start above or below the picture, are never
  // measured, even when they are seeds.
  const struct {
    int bx, by, dx, dy;
  } outside[] = {{0, 3, -1, 0}, {19, 3, 1, 0},  {0, 3, -30, 2}, {19, 0, 20, 0}, {4, 0, 0, -1},
                 {4, 11, 0, 1}, {4, 2, 3, -17}, {4, 10, 0, 9},  {2, 5, -17, 0}};
  for (const auto& c : outside) {
    SearchRig fresh;
    const int32_t o = fresh.Offset(c.bx, c.by);
    SeededSearchSettings still;
    still.RefineSteps = 0;
    const SeededMotion r =
        fresh.Search(o, {{static_cast<int8_t>(c.dx), static_cast<int8_t>(c.dy)}}, still);
    EXPECT_EQ(r.NearError, kUnavailable) << c.bx << "," << c.by << " " << c.dx << "," << c.dy;
    EXPECT_EQ(r.FarError, kUnavailable) << c.bx << "," << c.by << " " << c.dx << "," << c.dy;
    EXPECT_EQ(r.Best, MotionVector{});
  }

  // A far source as good as the near one the caller has is not worth its second byte.
  const int32_t o = rig.Offset(8, 5);
  rig.Move(o, 20, 10);
  SearchRig twin = rig;
  const SeededMotion tie = rig.Search(o, {{20, 10}}, {}, 0, MotionVector{1, 1});
  EXPECT_EQ(tie.FarError, kUnavailable);
  EXPECT_EQ(tie.NearError, 0);
  EXPECT_EQ(tie.Near, (MotionVector{1, 1}));

  // After a full search of the window, near seeds are not measured again: the caller's near
  // result stands, and only far sources are added.
  SeededSearchSettings searched;
  searched.NearSearched = true;
  const SeededMotion onlyFar = twin.Search(o, {{2, 3}, {20, 10}}, searched, 500, {4, 4});
  EXPECT_EQ(onlyFar.NearError, 500);
  EXPECT_EQ(onlyFar.Near, (MotionVector{4, 4}));
  EXPECT_EQ(onlyFar.FarError, 0);
  EXPECT_EQ(onlyFar.Far, (MotionVector{20, 10}));

  // Nothing better than the plain copy: nothing offered, and no motion to pass on.
  SearchRig still;
  const int32_t s = still.Offset(3, 3);
  still.Move(s, 0, 0);
  const SeededMotion none = still.Search(s, {{5, 5}, {-20, 9}});
  EXPECT_EQ(none.NearError, kUnavailable);
  EXPECT_EQ(none.FarError, kUnavailable);
  EXPECT_EQ(none.Best, MotionVector{});
}

TEST(MotionField, SeedsComeFromThePreviousFrameOnly) {
  MotionField field;
  field.Setup(3, 2);
  // Blocks 0 1 2 / 3 4 5.
  for (int b = 0; b < 6; ++b)
    field.Store(b, MotionVector{static_cast<int8_t>(10 + b), static_cast<int8_t>(-b)});
  field.NextFrame(MotionVector{-40, 3});
  // This frame's vectors do not change the seeds.
  for (int b = 0; b < 6; ++b) field.Store(b, MotionVector{99, 99});
  auto v = [](int b) { return MotionVector{static_cast<int8_t>(10 + b), static_cast<int8_t>(-b)}; };
  MotionVector seeds[MotionField::kMaxSeeds];
  // Own, left, right, above, below, the diagonals, then the pan.
  ASSERT_EQ(field.Seeds(0, seeds), 5);
  EXPECT_EQ(seeds[0], v(0));
  EXPECT_EQ(seeds[1], v(1));
  EXPECT_EQ(seeds[2], v(3));
  EXPECT_EQ(seeds[3], v(4));
  EXPECT_EQ(seeds[4], (MotionVector{-40, 3}));
  ASSERT_EQ(field.Seeds(4, seeds), 7);
  const MotionVector middle[] = {v(4), v(3), v(5), v(1), v(0), v(2), MotionVector{-40, 3}};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(seeds[i], middle[i]) << i;
  // The next frame starts from this one's vectors.
  field.NextFrame(MotionVector{});
  ASSERT_EQ(field.Seeds(5, seeds), 5);
  EXPECT_EQ(seeds[0], (MotionVector{99, 99}));
}

TEST(PanEstimator, FindsTheShiftBetweenTwoPictures) {
  const int W = 128, H = 96, bands = 6;  // bands of 16 rows
  const std::vector<uint8_t> scene = Texture(400, 300, 9);
  auto crop = [&](int ox, int oy) {
    std::vector<uint8_t> p(3 * W * H);
    for (int y = 0; y < H; ++y)
      std::memcpy(&p[3 * y * W], &scene[3 * ((oy + y) * 400 + ox)], 3 * W);
    return p;
  };
  struct Case {
    int dx, dy;
  };
  const Case cases[] = {{0, 0}, {12, -7}, {-40, 25}, {5, 0}, {0, -30}, {60, 44}, {-11, -9}};
  for (const Case& c : cases) {
    PanEstimator pan;
    pan.Setup(W, H);
    // The bands in any order.
    const std::vector<uint8_t> first = crop(150, 100), second = crop(150 + c.dx, 100 + c.dy);
    for (int b = bands - 1; b >= 0; --b) pan.AddBand(first.data(), 16 * b, 16);
    EXPECT_EQ(pan.FinishFrame(64), MotionVector{});  // nothing to compare the first with
    for (int b = 0; b < bands; ++b) pan.AddBand(second.data(), 16 * b, 16);
    // A block of the second picture finds its source in the first at (dx, dy).
    const MotionVector found = pan.FinishFrame(64);
    EXPECT_EQ(found, (MotionVector{static_cast<int8_t>(c.dx), static_cast<int8_t>(c.dy)}))
        << c.dx << "," << c.dy << " found " << int(found.Dx) << "," << int(found.Dy);
  }
}

}  // namespace
}  // namespace korvane
