// Colour fitting: the fits of the listed block shapes, merge order, absorption, options, and
// the invariants every fit keeps on random blocks.
#include "video/fit_colors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "fit_colors_reference.h"
#include "video_test_util.h"

namespace korvane {
namespace {

constexpr int kW = 16;  // frame width of the test frames

// An 8x8 (or 4x4) block fitted out of a 16-pixel-wide frame whose true-colour target is the
// block's own palette colours plus an optional offset.
struct FitFixture {
  test::TestPalette palette;
  PaletteTables tables;
  std::vector<uint8_t> index = std::vector<uint8_t>(kW * kW, 0);
  std::vector<uint8_t> target = std::vector<uint8_t>(3 * kW * kW, 0);
  uint8_t twoPattern[64], fourPattern[64], twoPixels[64], fourPixels[64];
  FitResult result;

  explicit FitFixture(const test::TestPalette& p, ColorMapFn map = nullptr) : palette(p) {
    tables.Set(palette.entries, map ? map : &test::TestPalette::Map, &palette);
    result.twoPattern = twoPattern;
    result.fourPattern = fourPattern;
    result.twoPixels = twoPixels;
    result.fourPixels = fourPixels;
  }
  // Sets the block (raster order, n x n) and a target equal to its colours plus `delta`.
  void SetBlock(const std::vector<int>& v, int n = 8, int delta = 0) {
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        const int i = v[y * n + x];
        index[y * kW + x] = static_cast<uint8_t>(i);
        for (int k = 0; k < 3; ++k)
          target[3 * (y * kW + x) + k] =
              static_cast<uint8_t>(std::clamp(palette.entries[4 * i + k] + delta, 0, 255));
      }
  }
  void Fit(ColorFitter& f, int options) {
    f.FitColors(target.data(), index.data(), options, result);
  }
};

// The same fit: every figure, and the colours, patterns and pixels of the two- and four-colour
// fits where they are had (`count` pixels).
::testing::AssertionResult SameFit(const FitResult& a, const FitResult& b, int options, int count) {
  auto same = [count](const uint8_t* x, const uint8_t* y) { return std::equal(x, x + count, y); };
  if (a.colorCount != b.colorCount || a.solidColor != b.solidColor ||
      a.solidError != b.solidError || a.rawError != b.rawError || a.hasTwo != b.hasTwo ||
      a.hasFour != b.hasFour)
    return ::testing::AssertionFailure() << "figures differ";
  if ((a.hasTwo || (options & kFitFillMissing)) &&
      (a.twoError != b.twoError || !std::equal(a.twoColors, a.twoColors + 2, b.twoColors) ||
       !same(a.twoPattern, b.twoPattern) || !same(a.twoPixels, b.twoPixels)))
    return ::testing::AssertionFailure() << "two-colour fits differ";
  if ((a.hasFour || (options & kFitFillMissing)) &&
      (a.fourError != b.fourError || !std::equal(a.fourColors, a.fourColors + 4, b.fourColors) ||
       !same(a.fourPattern, b.fourPattern) || !same(a.fourPixels, b.fourPixels)))
    return ::testing::AssertionFailure() << "four-colour fits differ";
  return ::testing::AssertionSuccess();
}

std::vector<int> Repeat(std::initializer_list<int> colours, int n = 64) {
  std::vector<int> v;
  const std::vector<int> c(colours);
  for (int i = 0; i < n; ++i) v.push_back(c[i % c.size()]);
  return v;
}

TEST(FitColors, SolidBlock) {
  FitFixture fx(test::GreyPalette());
  fx.SetBlock(Repeat({37}), 8, 2);
  ColorFitter f(fx.tables, kW);
  fx.Fit(f, kFitSolidError);
  EXPECT_EQ(fx.result.colorCount, 1);
  EXPECT_EQ(fx.result.solidColor, 37);
  EXPECT_EQ(fx.result.solidError, 64 * 3 * 4);
  EXPECT_EQ(fx.result.hasTwo, 0);
  EXPECT_EQ(fx.result.hasFour, 0);
  EXPECT_TRUE(f.ClusterTableEmpty());

  // With the fill option: both fits are the solid colour, all-zero patterns, the solid error.
  std::fill(std::begin(fx.twoPattern), std::end(fx.twoPattern), 9);
  fx.Fit(f, kFitSolidError | kFitFillMissing);
  EXPECT_EQ(fx.result.hasTwo, 0);
  EXPECT_EQ(fx.result.hasFour, 0);
  EXPECT_EQ(fx.result.twoColors[0], 37);
  EXPECT_EQ(fx.result.twoColors[1], 37);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(fx.result.fourColors[k], 37);
  EXPECT_EQ(fx.result.twoError, fx.result.solidError);
  EXPECT_EQ(fx.result.fourError, fx.result.solidError);
  for (int k = 0; k < 64; ++k) {
    ASSERT_EQ(fx.twoPattern[k], 0);
    ASSERT_EQ(fx.fourPattern[k], 0);
    ASSERT_EQ(fx.twoPixels[k], 37);
    ASSERT_EQ(fx.fourPixels[k], 37);
  }
  EXPECT_TRUE(f.ClusterTableEmpty());
}

TEST(FitColors, TwoIndices) {
  FitFixture fx(test::GreyPalette());
  std::vector<int> block = Repeat({9, 4, 4, 4, 4, 4, 4, 9});
  fx.SetBlock(block, 8, 1);
  ColorFitter f(fx.tables, kW);
  fx.Fit(f, kFitRawError | kFitSolidError);
  EXPECT_EQ(fx.result.colorCount, 2);
  EXPECT_EQ(fx.result.hasTwo, 1);
  EXPECT_EQ(fx.result.hasFour, 0);
  EXPECT_EQ(fx.result.twoColors[0], 4);
  EXPECT_EQ(fx.result.twoColors[1], 9);
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(fx.twoPattern[k], block[k] == 9 ? 1 : 0);
    EXPECT_EQ(fx.twoPixels[k], block[k]);
  }
  EXPECT_EQ(fx.result.twoError, fx.result.rawError);
  EXPECT_EQ(fx.result.rawError, 64 * 3);
  // Solid: the mean of 16 x 9 and 48 x 4 is 5.25, truncated to 5.
  EXPECT_EQ(fx.result.solidColor, 5);
  EXPECT_TRUE(f.ClusterTableEmpty());

  // With the fill option the four-colour fit is the two-colour fit, P0 P1 P1 P1.
  fx.Fit(f, kFitSolidError | kFitFillMissing);
  EXPECT_EQ(fx.result.hasFour, 0);
  const uint8_t four[4] = {4, 9, 9, 9};
  EXPECT_TRUE(std::equal(four, four + 4, fx.result.fourColors));
  EXPECT_TRUE(std::equal(fx.twoPattern, fx.twoPattern + 64, fx.fourPattern));
  EXPECT_TRUE(std::equal(fx.twoPixels, fx.twoPixels + 64, fx.fourPixels));
  EXPECT_EQ(fx.result.fourError, fx.result.twoError);
}

TEST(FitColors, FourAndThreeIndicesWithAndWithoutTheCellOption) {
  struct Case {
    const char* name;
    std::vector<int> block;
    int options;
    std::vector<int> colours;    // P0..P3
    std::vector<int> patternOf;  // pattern value of each palette colour listed in `colours`' order
  };
  const std::vector<Case> cases = {
      {"four", Repeat({30, 10, 40, 20}), 0, {10, 20, 30, 40}, {}},
      {"four, cell option", Repeat({30, 10, 40, 20}), kFitCellVariant, {10, 20, 40, 30}, {}},
      {"three", Repeat({50, 7, 20}), 0, {7, 20, 50, 50}, {}},
      {"three, cell option", Repeat({50, 7, 20}), kFitCellVariant, {7, 20, 50, 0}, {}},
  };
  for (const Case& c : cases) {
    FitFixture fx(test::GreyPalette());
    fx.SetBlock(c.block);
    ColorFitter f(fx.tables, kW);
    fx.Fit(f, c.options);
    ASSERT_EQ(fx.result.hasFour, 1) << c.name;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(fx.result.fourColors[k], c.colours[k]) << c.name;
    for (int k = 0; k < 64; ++k) {
      // The fit is the block itself, each pixel's pattern naming its colour's slot.
      EXPECT_EQ(fx.fourPixels[k], c.block[k]) << c.name;
      EXPECT_EQ(fx.result.fourColors[fx.fourPattern[k]], c.block[k]) << c.name;
      EXPECT_LT(fx.fourPattern[k], c.block == Repeat({50, 7, 20}) ? 3 : 4) << c.name;
    }
    EXPECT_EQ(fx.result.fourError, 0) << c.name;
    // Merging goes on to a two-colour fit.
    EXPECT_EQ(fx.result.hasTwo, 1) << c.name;
    EXPECT_LT(fx.result.twoColors[0], fx.result.twoColors[1]) << c.name;
    EXPECT_TRUE(f.ClusterTableEmpty()) << c.name;
  }
}

// Grey levels 10, 20 and 30 are pairwise 300 apart (10-20, 20-30): which pair merges first
// depends on the order of first appearance only.
TEST(FitColors, EqualDistancePairsMergeInListOrder) {
  struct Case {
    std::vector<int> order;
    std::vector<int> four;  // the four-colour fit after the first merge
  };
  const std::vector<Case> cases = {
      {{30, 20, 10, 200, 250}, {10, 25, 200, 250}},  // (30, 20) met first -> 25
      {{10, 20, 30, 200, 250}, {15, 30, 200, 250}},  // (10, 20) met first -> 15
      {{20, 30, 10, 200, 250}, {10, 25, 200, 250}},  // (20, 30) met first -> 25
  };
  for (const Case& c : cases) {
    std::vector<int> block;
    for (int i = 0; i < 64; ++i) block.push_back(c.order[i < 60 ? i % 5 : 4]);
    FitFixture fx(test::GreyPalette());
    fx.SetBlock(block);
    ColorFitter f(fx.tables, kW);
    fx.Fit(f, 0);
    ASSERT_EQ(fx.result.hasFour, 1);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(fx.result.fourColors[k], c.four[k]) << c.order[0];
    EXPECT_TRUE(f.ClusterTableEmpty());
  }
}

// A mapping that sends every dark colour to grey 50: merging two dark clusters lands on 50,
// which the block already uses, so that cluster is absorbed.
uint8_t DarkTo50(const void* ctx, uint8_t r, uint8_t g, uint8_t b) {
  return r < 100 ? 50 : test::TestPalette::Map(ctx, r, g, b);
}
uint8_t AllTo200(const void*, uint8_t, uint8_t, uint8_t) {
  return 200;
}
// Means below 50 map to 90, below 100 to 120, the rest to 200.
uint8_t Chain(const void*, uint8_t r, uint8_t, uint8_t) {
  return r < 50 ? 90 : r < 100 ? 120 : 200;
}

TEST(FitColors, AbsorbingTheColourTheMeanMapsTo) {
  FitFixture fx(test::GreyPalette(), DarkTo50);
  std::vector<int> order = {10, 14, 50, 200, 250};
  std::vector<int> block;
  for (int i = 0; i < 64; ++i) block.push_back(order[i % 5]);
  fx.SetBlock(block);
  ColorFitter f(fx.tables, kW);
  fx.Fit(f, 0);
  // (10, 14) merge into 50 and absorb it; the list is then 250, 200, 50: a three-colour fit.
  ASSERT_EQ(fx.result.hasFour, 1);
  const uint8_t four[4] = {50, 200, 250, 250};
  EXPECT_TRUE(std::equal(four, four + 4, fx.result.fourColors));
  for (int k = 0; k < 64; ++k) {
    const int expect = block[k] < 100 ? 50 : block[k];
    EXPECT_EQ(fx.fourPixels[k], expect);
  }
  // Then 250 and 200 merge into 225.
  ASSERT_EQ(fx.result.hasTwo, 1);
  EXPECT_EQ(fx.result.twoColors[0], 50);
  EXPECT_EQ(fx.result.twoColors[1], 224);  // (13 x 200 + 12 x 250) / 25
  EXPECT_TRUE(f.ClusterTableEmpty());
}

TEST(FitColors, AMergeThatAbsorbsEverythingLeavesNoTwoColourFit) {
  FitFixture fx(test::GreyPalette(), AllTo200);
  fx.SetBlock(Repeat({10, 14, 200}));
  ColorFitter f(fx.tables, kW);
  fx.Fit(f, kFitSolidError | kFitFillMissing);
  EXPECT_EQ(fx.result.hasFour, 1);  // three colours at the start
  EXPECT_EQ(fx.result.hasTwo, 0);
  EXPECT_EQ(fx.result.solidColor, 200);
  EXPECT_EQ(fx.result.twoColors[0], 200);
  EXPECT_EQ(fx.result.twoColors[1], 200);
  EXPECT_EQ(fx.result.twoError, fx.result.solidError);
  // The four-colour fit is kept.
  EXPECT_EQ(fx.result.fourColors[0], 10);
  EXPECT_TRUE(f.ClusterTableEmpty());

  // Five colours where the first merge absorbs one colour after another: neither a four- nor a
  // two-colour fit.
  FitFixture fx5(test::GreyPalette(), Chain);
  std::vector<int> block = {10, 14};
  for (int i = 0; i < 20; ++i) block.push_back(90);
  for (int i = 0; i < 20; ++i) block.push_back(120);
  for (int i = 0; i < 22; ++i) block.push_back(200);
  fx5.SetBlock(block);
  ColorFitter f5(fx5.tables, kW);
  fx5.Fit(f5, 0);
  EXPECT_EQ(fx5.result.colorCount, 5);
  EXPECT_EQ(fx5.result.hasFour, 0);
  EXPECT_EQ(fx5.result.hasTwo, 0);
  EXPECT_EQ(fx5.result.solidColor, 200);
  EXPECT_TRUE(f5.ClusterTableEmpty());
}

TEST(FitColors, QuotientBySmallCountIsExact) {
  for (uint32_t n = 1; n <= 64; ++n)
    for (uint32_t s = 0; s <= 64 * 255; ++s)
      ASSERT_EQ(QuotientBySmallCount(s, n), s / n) << s << "/" << n;
}

// Maps to the nearest of the first 16 entries only: merged means often land on a colour the
// block already holds.
uint8_t Coarse(const void* ctx, uint8_t r, uint8_t g, uint8_t b) {
  const auto* p = static_cast<const test::TestPalette*>(ctx);
  int best = 0;
  long bestD = -1;
  for (int i = 0; i < 16; ++i) {
    long d0 = r - p->entries[4 * i], d1 = g - p->entries[4 * i + 1], d2 = b - p->entries[4 * i + 2];
    long d = d0 * d0 + d1 * d1 + d2 * d2;
    if (bestD < 0 || d < bestD) {
      bestD = d;
      best = i;
    }
  }
  return static_cast<uint8_t>(best);
}

// The fitter against the plain step-by-step fitting, field by field and byte by byte.
TEST(FitColors, EqualsThePlainFittingOnRandomBlocks) {
  std::mt19937 rng(17);
  const ColorMapFn maps[] = {&test::TestPalette::Map, &Coarse, &DarkTo50, &Chain};
  const int optionSets[] = {kFitRawError | kFitSolidError, kFitRawError | kFitCellVariant,
                            kFitSolidError | kFitFillMissing, kFitFillMissing | kFitCellVariant};
  for (int round = 0; round < 8; ++round) {
    test::TestPalette pal = round % 2 ? test::GreyPalette() : test::TestPalette{};
    if (round % 2 == 0)
      for (int i = 0; i < 256; ++i) pal.Add(rng() & 255, rng() & 255, rng() & 255);
    FitFixture fx(pal, maps[round % 4]);
    uint8_t b2[64], b3[64], b4[64], b5[64];
    FitResult ref;
    ref.twoPattern = b2;
    ref.fourPattern = b3;
    ref.twoPixels = b4;
    ref.fourPixels = b5;
    for (int trial = 0; trial < 400; ++trial) {
      const int n = (trial & 1) ? 4 : 8;
      const int options = optionSets[(trial / 2) % 4];
      const int colours = 1 + static_cast<int>(rng() % (trial % 5 == 0 ? 64 : 9));
      const int range = trial % 3 == 0 ? 24 : 256;
      std::vector<int> palette(colours);
      for (int& c : palette) c = static_cast<int>(rng() % range);
      std::vector<int> block(n * n);
      for (int& v : block) v = palette[rng() % colours];
      if (trial % 7 == 0 && n == 8)  // uniform 2x2 cells
        for (int k = 0; k < 64; ++k) block[k] = block[(k / 16) * 16 + ((k % 8) / 2) * 2];
      fx.SetBlock(block, n, static_cast<int>(rng() % 31) - 15);
      ColorFitter f(fx.tables, kW);
      f.SetFitSize(n);
      fx.Fit(f, options);
      test::ReferenceFitter plain(fx.tables, kW, n);
      plain.Fit(fx.target.data(), fx.index.data(), options, ref);
      SCOPED_TRACE(::testing::Message() << "round " << round << " trial " << trial);
      ASSERT_TRUE(SameFit(fx.result, ref, options, n * n));
      ASSERT_TRUE(f.ClusterTableEmpty());
    }
  }
}

// Random blocks of a random palette, both fit sizes and all options: the fits are consistent.
TEST(FitColors, InvariantsOnRandomBlocks) {
  std::mt19937 rng(3);
  test::TestPalette pal;
  for (int i = 0; i < 256; ++i) pal.Add(rng() & 255, rng() & 255, rng() & 255);
  FitFixture fx(pal);
  ColorFitter f(fx.tables, kW);
  const int optionSets[] = {kFitRawError | kFitSolidError, kFitRawError | kFitCellVariant,
                            kFitSolidError | kFitFillMissing, 0};
  for (int trial = 0; trial < 600; ++trial) {
    const int n = (trial & 1) ? 4 : 8;
    const int options = optionSets[trial % 4];
    const int colours = 1 + static_cast<int>(rng() % (trial % 3 == 0 ? 64 : 8));
    std::vector<int> palette(colours);
    for (int& c : palette) c = static_cast<int>(rng() & 255);
    std::vector<int> block(n * n);
    for (int& v : block) v = palette[rng() % colours];
    fx.SetBlock(block, n, static_cast<int>(rng() % 7) - 3);
    f.SetFitSize(n);
    fx.Fit(f, options);
    const FitResult& r = fx.result;
    ASSERT_TRUE(f.ClusterTableEmpty());
    const int distinct = static_cast<int>(std::set<int>(block.begin(), block.end()).size());
    ASSERT_EQ(r.colorCount, distinct);
    const uint8_t* t = fx.target.data();
    if (options & kFitRawError) {
      ASSERT_EQ(r.rawError, BlockError(fx.tables, t, 3 * kW, fx.index.data(), kW, n));
    }
    if (options & kFitSolidError) {
      ASSERT_EQ(r.solidError, SolidError(fx.tables, t, 3 * kW, r.solidColor, n));
    }
    if (distinct == 1) {
      ASSERT_EQ(r.solidColor, block[0]);
    }
    if (distinct == 2) {
      ASSERT_TRUE(r.hasTwo && !r.hasFour);
    }
    if (distinct == 3 || distinct == 4) {
      ASSERT_TRUE(r.hasFour);
    }
    if (r.hasTwo || (options & kFitFillMissing)) {
      if (r.hasTwo) {
        ASSERT_LT(r.twoColors[0], r.twoColors[1]);
      }
      for (int k = 0; k < n * n; ++k) ASSERT_EQ(fx.twoPixels[k], r.twoColors[fx.twoPattern[k]]);
      ASSERT_EQ(r.twoError, ContiguousBlockError(fx.tables, t, 3 * kW, fx.twoPixels, n));
    }
    if (r.hasFour || (options & kFitFillMissing)) {
      if (r.hasFour) {
        ASSERT_LT(r.fourColors[0], r.fourColors[1]);
        if (options & kFitCellVariant)
          ASSERT_GT(r.fourColors[2], r.fourColors[3]);
        else
          ASSERT_LE(r.fourColors[2], r.fourColors[3]);
      }
      for (int k = 0; k < n * n; ++k) ASSERT_EQ(fx.fourPixels[k], r.fourColors[fx.fourPattern[k]]);
      ASSERT_EQ(r.fourError, ContiguousBlockError(fx.tables, t, 3 * kW, fx.fourPixels, n));
    }
  }
}

// A block loaded once and fitted by parts gives what fitting each part on its own gives: the
// whole block, its 2x2 cells (uniform or not), and each quadrant, classic and exact.
TEST(FitColors, LoadedPartsEqualFitsOfTheirOwn) {
  std::mt19937 rng(29);
  test::TestPalette pal;
  for (int i = 0; i < 256; ++i) pal.Add(rng() & 255, rng() & 255, rng() & 255);
  FitFixture fx(pal);
  FitFixture own(pal);
  using Part = ColorFitter::LoadedPart;
  for (int trial = 0; trial < 300; ++trial) {
    const bool classic = trial & 1;
    const int colours = 1 + static_cast<int>(rng() % (trial % 3 == 0 ? 64 : 8));
    std::vector<int> palette(colours);
    for (int& c : palette) c = static_cast<int>(rng() & 255);
    std::vector<int> block(64);
    for (int& v : block) v = palette[rng() % colours];
    const bool uniformCells = trial % 4 < 2;
    if (uniformCells)
      for (int k = 0; k < 64; ++k) block[k] = block[(k / 16) * 16 + ((k % 8) / 2) * 2];
    fx.SetBlock(block, 8, static_cast<int>(rng() % 31) - 15);
    own.target = fx.target;
    own.index = fx.index;
    ColorFitter loaded(fx.tables, kW, classic), alone(own.tables, kW, classic);
    loaded.LoadBlock(fx.target.data());
    std::vector<std::pair<Part, int>> parts = {{Part::kWhole, kFitRawError | kFitSolidError}};
    parts.push_back({Part::kCells, kFitRawError});
    for (int q = 0; q < 4; ++q)
      parts.push_back({static_cast<Part>(static_cast<int>(Part::kQuadrant0) + q),
                       kFitSolidError | kFitFillMissing});
    for (const auto& [part, options] : parts) {
      SCOPED_TRACE(::testing::Message() << "trial " << trial << " part " << static_cast<int>(part));
      int offset = 0;
      if (part >= Part::kQuadrant0) {
        const int q = static_cast<int>(part) - static_cast<int>(Part::kQuadrant0);
        offset = (q >> 1) * 4 * kW + (q & 1) * 4;
      }
      loaded.FitLoaded(fx.index.data() + offset, part, options, fx.result);
      alone.SetFitSize(part >= Part::kQuadrant0 ? 4 : 8);
      alone.FitColors(own.target.data() + 3 * offset, own.index.data() + offset,
                      options | (part == Part::kCells ? kFitCellVariant : 0), own.result);
      ASSERT_TRUE(SameFit(fx.result, own.result, options, part >= Part::kQuadrant0 ? 16 : 64));
      ASSERT_TRUE(loaded.ClusterTableEmpty());
    }
  }
}

// Blocks of uniform 2x2 cells keep uniform cells in every fit.
TEST(FitColors, CellBlocksGiveCellPatterns) {
  std::mt19937 rng(8);
  FitFixture fx(test::GreyPalette());
  ColorFitter f(fx.tables, kW);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<int> cells(16);
    const int spread = 2 + trial % 30;
    for (int& c : cells) c = static_cast<int>(rng() % spread) * 7 % 256;
    std::vector<int> block(64);
    for (int k = 0; k < 64; ++k) block[k] = cells[(k / 16) * 4 + (k % 8) / 2];
    fx.SetBlock(block, 8, static_cast<int>(rng() % 9) - 4);
    fx.Fit(f, kFitRawError | kFitCellVariant);
    auto uniform = [](const uint8_t* p) {
      for (int k = 0; k < 64; ++k)
        if (p[k] != p[(k / 16) * 16 + ((k % 8) / 2) * 2]) return false;
      return true;
    };
    if (fx.result.hasTwo) {
      ASSERT_TRUE(uniform(fx.twoPattern));
    }
    if (fx.result.hasFour) {
      ASSERT_TRUE(uniform(fx.fourPattern));
    }
  }
}

// The exact fit on random blocks: every fit it reports is what its colours and pattern draw,
// with the error of that drawing, the colours in the order the codings read, the cell variant
// uniform on 2x2 cells; and its two-colour fits have less error in all than the classic ones.
TEST(FitColors, ExactFitsAreConsistentAndBeatTheClassicFits) {
  std::mt19937 rng(17);
  test::TestPalette palette;
  for (int i = 0; i < 256; ++i) palette.Add(rng() % 256, rng() % 256, rng() % 256);
  int64_t exactTotal = 0, classicTotal = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    FitFixture exact(palette), classic(palette);
    const int colours = 2 + static_cast<int>(rng() % 12);
    std::vector<int> block(64);
    for (int& v : block) v = static_cast<int>(rng() % colours) * 7;
    const bool cells = trial % 2 == 1;
    // The cell variant fits a picture mapped in 2x2 cells.
    if (cells)
      for (int p = 0; p < 64; ++p) block[p] = block[(p / 8) / 2 * 16 + (p % 8) / 2 * 2];
    const int delta = static_cast<int>(rng() % 9) - 4;
    exact.SetBlock(block, 8, delta);
    classic.SetBlock(block, 8, delta);
    const int options = kFitRawError | kFitSolidError | (cells ? kFitCellVariant : 0);
    ColorFitter fe(exact.tables, kW, false), fc(classic.tables, kW, true);
    exact.Fit(fe, options);
    classic.Fit(fc, options);
    auto drawnError = [&](const uint8_t* pixels) {
      int32_t e = 0;
      for (int p = 0; p < 64; ++p)
        for (int k = 0; k < 3; ++k) {
          const int d =
              exact.target[3 * ((p / 8) * kW + p % 8) + k] - palette.entries[4 * pixels[p] + k];
          e += d * d;
        }
      return e;
    };
    const FitResult& r = exact.result;
    if (r.hasTwo) {
      EXPECT_LT(r.twoColors[0], r.twoColors[1]);
      for (int p = 0; p < 64; ++p) ASSERT_EQ(exact.twoPixels[p], r.twoColors[exact.twoPattern[p]]);
      EXPECT_EQ(r.twoError, drawnError(exact.twoPixels));
      if (classic.result.hasTwo) {
        exactTotal += r.twoError;
        classicTotal += classic.result.twoError;
      }
    }
    if (r.hasFour) {
      const uint8_t* P = r.fourColors;
      if (r.fourCount == 4) {
        EXPECT_LT(P[0], P[1]);
        EXPECT_TRUE(cells ? P[2] > P[3] : P[2] < P[3]);
      }
      for (int p = 0; p < 64; ++p) ASSERT_EQ(exact.fourPixels[p], P[exact.fourPattern[p]]);
      EXPECT_EQ(r.fourError, drawnError(exact.fourPixels));
    }
    if (cells && r.hasTwo) {
      for (int p = 0; p < 64; ++p) {
        const int cell = (p / 8) / 2 * 8 * 2 + (p % 8) / 2 * 2;
        ASSERT_EQ(exact.twoPattern[p], exact.twoPattern[cell]) << p;
      }
    }
  }
  EXPECT_LT(exactTotal, classicTotal);
}

}  // namespace
}  // namespace korvane
