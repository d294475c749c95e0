// The default palette: the exact colour map against a brute-force search, and the variance cut's
// palettes (shown colours only, pixel-weighted, exact where the picture has few colours).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "palette/color_reducer.h"
#include "palette/color_statistics.h"
#include "palette/inverse_map.h"
#include "palette/variance_cut.h"

namespace korvane {
namespace {

PaletteEntries RandomPalette(std::mt19937& rng, int count) {
  PaletteEntries p;
  p.Count = count;
  for (int i = 0; i < count; ++i)
    for (int k = 0; k < 3; ++k) p.Entry[i][k] = static_cast<int32_t>(rng() % 256);
  return p;
}

// Every one of the 262144 cells holds the entry nearest its point in plain RGB, the lower index
// on equal distance: its middle, or with statistics the mean of the colours counted in it
// (rounded to an eighth). Random palettes of several sizes, a palette of one grey and a palette
// with repeated entries; without statistics, and with colours counted all over the cube.
TEST(ExactColorMap, EveryCellIsTheNearestEntryOfItsPoint) {
  std::mt19937 rng(5);
  std::vector<PaletteEntries> palettes = {RandomPalette(rng, 256), RandomPalette(rng, 17),
                                          RandomPalette(rng, 2)};
  PaletteEntries grey;
  grey.Count = 1;
  grey.Entry[0][0] = grey.Entry[0][1] = grey.Entry[0][2] = 128;
  palettes.push_back(grey);
  PaletteEntries repeated = RandomPalette(rng, 8);
  for (int i = 4; i < 8; ++i)
    for (int k = 0; k < 3; ++k) repeated.Entry[i][k] = repeated.Entry[i - 4][k];
  palettes.push_back(repeated);
  auto counted = ColorStatistics::Create();
  ASSERT_TRUE(counted);
  std::vector<uint8_t> pixels(3 * 400000);
  for (uint8_t& v : pixels) v = static_cast<uint8_t>(rng());
  counted->AddRGB(pixels.data(), static_cast<int>(pixels.size() / 3), 1);
  const ColorStatistics::Cell* cells = counted->Cells();
  auto map = InverseColorMap::Create(true);
  ASSERT_TRUE(map);
  for (const ColorStatistics* statistics : {static_cast<ColorStatistics*>(nullptr), counted.get()})
    for (const PaletteEntries& palette : palettes) {
      SCOPED_TRACE(::testing::Message()
                   << palette.Count << (statistics ? " with" : " without") << " statistics");
      map->Build(palette, statistics);
      for (int cell = 0; cell < kExactCells; ++cell) {
        const int at[3] = {cell >> 12, (cell >> 6) & 63, cell & 63};
        const uint64_t n = statistics ? cells[cell].Count : 0;
        const uint64_t sums[3] = {n ? cells[cell].Red : 0, n ? cells[cell].Green : 0,
                                  n ? cells[cell].Blue : 0};
        int64_t point[3];  // in eighths
        for (int k = 0; k < 3; ++k)
          point[k] = n ? std::clamp<int64_t>((16 * static_cast<int64_t>(sums[k]) + n) /
                                                 (2 * static_cast<int64_t>(n)),
                                             32 * at[k], 32 * at[k] + 24)
                       : 32 * at[k] + 12;
        int best = 0;
        int64_t bestDistance = INT64_MAX;
        for (int i = 0; i < palette.Count; ++i) {
          int64_t d = 0;
          for (int k = 0; k < 3; ++k)
            d += (point[k] - 8 * palette.Entry[i][k]) * (point[k] - 8 * palette.Entry[i][k]);
          if (d < bestDistance) {
            bestDistance = d;
            best = i;
          }
        }
        ASSERT_EQ(map->Nearest(4 * at[0], 4 * at[1], 4 * at[2]), best) << "cell " << cell;
      }
    }
}

// Colours near the edge of their cell are shown as the entry nearest to them, not to the
// cell's middle: 11 lies in the cell 8 ... 11, whose middle (9.5) is nearer the entry 8 than
// the entry 12 that shows 11 best.
TEST(ExactColorMap, ColoursAtACellsEdgeGetTheEntryNearestThem) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < 1000; ++i)
    for (int v : {7, 11}) rgb.insert(rgb.end(), {uint8_t(v), uint8_t(v), uint8_t(v)});
  auto reducer = ColorReducer::Create(256, false);
  ASSERT_TRUE(reducer);
  reducer->AddPixelsRGB(rgb.data(), static_cast<int>(rgb.size() / 3), 1);
  ASSERT_TRUE(reducer->BuildPalette());
  uint8_t palette[kPaletteBytes];
  ASSERT_EQ(reducer->GetPalette(palette), 2);
  for (int v : {7, 11}) {
    const int entry = reducer->Map().Nearest(v, v, v);
    EXPECT_EQ(palette[4 * entry], v == 7 ? 8 : 12) << v;
  }
}

TEST(ShownComponent, NearestShownValue) {
  EXPECT_EQ(ShownComponent(0), 0);
  EXPECT_EQ(ShownComponent(63), 255);
  EXPECT_EQ(ShownComponent(32), 130);
  for (int v = 0; v < 256; ++v) {
    const int shown = NearestShownComponent(v);
    EXPECT_EQ(ShownComponent(shown >> 2), shown);
    for (int six = 0; six < 64; ++six)
      ASSERT_LE(std::abs(shown - v), std::abs(ShownComponent(six) - v)) << v;
  }
}

std::vector<uint8_t> Picture(const std::vector<std::array<int, 3>>& colors,
                             const std::vector<int>& counts) {
  std::vector<uint8_t> rgb;
  for (size_t i = 0; i < colors.size(); ++i)
    for (int n = 0; n < counts[i]; ++n)
      for (int k = 0; k < 3; ++k) rgb.push_back(static_cast<uint8_t>(colors[i][k]));
  return rgb;
}

// A picture whose colours decoders can show exactly and that has no more colours than the
// palette gets exactly those colours; every entry is a shown colour and the palette is sorted.
TEST(VarianceCut, FewShownColoursComeOutExactly) {
  std::mt19937 rng(9);
  std::vector<std::array<int, 3>> colors;
  std::vector<int> counts;
  std::set<std::array<int, 3>> distinct;
  while (colors.size() < 40) {
    std::array<int, 3> c = {ShownComponent(rng() % 64), ShownComponent(rng() % 64),
                            ShownComponent(rng() % 64)};
    if (!distinct.insert(c).second) continue;
    colors.push_back(c);
    counts.push_back(1 + static_cast<int>(rng() % 500));
  }
  const std::vector<uint8_t> rgb = Picture(colors, counts);
  auto reducer = ColorReducer::Create(256, false);
  ASSERT_TRUE(reducer);
  reducer->AddPixelsRGB(rgb.data(), static_cast<int>(rgb.size() / 3), 1);
  ASSERT_TRUE(reducer->BuildPalette());
  uint8_t palette[kPaletteBytes];
  const int n = reducer->GetPalette(palette);
  std::set<std::array<int, 3>> got;
  for (int i = 0; i < n; ++i) got.insert({palette[4 * i], palette[4 * i + 1], palette[4 * i + 2]});
  EXPECT_EQ(got, distinct);
  // Mapping the picture reproduces it.
  std::vector<uint8_t> index(rgb.size() / 3);
  reducer->MapPixels(rgb.data(), index.data(), static_cast<int>(index.size()), 1);
  for (size_t p = 0; p < index.size(); ++p)
    for (int k = 0; k < 3; ++k) ASSERT_EQ(palette[4 * index[p] + k], rgb[3 * p + k]) << p;
}

// Entries go where the pixels are: a picture that is mostly one smooth gradient with a few
// pixels of scattered colours spends most entries on the gradient, and its error is far below
// the classic palette's. Nothing counted gives one black entry.
TEST(VarianceCut, EntriesFollowThePixels) {
  std::mt19937 rng(3);
  std::vector<uint8_t> rgb;
  for (int i = 0; i < 60000; ++i) {
    const int v = i * 256 / 60000;
    rgb.insert(rgb.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v / 2), 40});
  }
  for (int i = 0; i < 300; ++i)
    for (int k = 0; k < 3; ++k) rgb.push_back(static_cast<uint8_t>(rng() % 256));
  const int pixels = static_cast<int>(rgb.size() / 3);
  double errors[2];
  for (bool classic : {true, false}) {
    auto reducer = ColorReducer::Create(256, classic);
    reducer->AddPixelsRGB(rgb.data(), pixels, 1);
    reducer->BuildPalette();
    uint8_t palette[kPaletteBytes];
    reducer->GetPalette(palette);
    std::vector<uint8_t> index(pixels);
    reducer->MapPixels(rgb.data(), index.data(), pixels, 1);
    double e = 0;
    for (int p = 0; p < pixels; ++p)
      for (int k = 0; k < 3; ++k) {
        const double d = double(rgb[3 * p + k]) - palette[4 * index[p] + k];
        e += d * d;
      }
    errors[classic] = e;
  }
  EXPECT_LT(errors[0], errors[1] / 2) << errors[0] << " against classic " << errors[1];

  auto empty = ColorReducer::Create(256, false);
  ASSERT_TRUE(empty->BuildPalette());
  uint8_t palette[kPaletteBytes];
  EXPECT_EQ(empty->GetPalette(palette), 1);
  EXPECT_EQ(palette[0] + palette[1] + palette[2], 0);
}

// The palette and its colour map do not depend on the number of threads that build them, and
// counts cleared by building a palette start again from nothing: a second palette from the same
// reducer equals one from a new reducer.
TEST(VarianceCut, SameForAnyThreadsAndAfterClearing) {
  std::mt19937 rng(8);
  auto pixelsOf = [&rng](int count) {
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(count));
    for (size_t i = 0; i < rgb.size(); i += 3) {
      const int base = static_cast<int>(rng() % 200);
      for (int k = 0; k < 3; ++k) rgb[i + k] = static_cast<uint8_t>(base + rng() % (20 + 20 * k));
    }
    return rgb;
  };
  const std::vector<uint8_t> first = pixelsOf(50000), second = pixelsOf(30000);
  auto build = [](ColorReducer& r, const std::vector<uint8_t>& rgb, uint8_t* palette) {
    r.AddPixelsRGB(rgb.data(), static_cast<int>(rgb.size() / 3), 1);
    ASSERT_TRUE(r.BuildPalette());
    r.GetPalette(palette);
  };
  uint8_t reference[kPaletteBytes], again[kPaletteBytes], fresh[kPaletteBytes];
  auto single = ColorReducer::Create(256, false);
  build(*single, first, reference);
  auto newReducer = ColorReducer::Create(256, false);
  build(*newReducer, second, fresh);
  for (int threads : {2, 3, 7}) {
    SCOPED_TRACE(threads);
    auto r = ColorReducer::Create(256, false);
    r->SetThreads(threads);
    uint8_t palette[kPaletteBytes];
    build(*r, first, palette);
    ASSERT_TRUE(std::equal(palette, palette + kPaletteBytes, reference));
    for (int cell = 0; cell < kExactCells; cell += 7) {
      const int c0 = 4 * (cell >> 12), c1 = 4 * ((cell >> 6) & 63), c2 = 4 * (cell & 63);
      ASSERT_EQ(r->Map().Nearest(c0, c1, c2), single->Map().Nearest(c0, c1, c2));
    }
    build(*r, second, again);
    ASSERT_TRUE(std::equal(again, again + kPaletteBytes, fresh));
  }
}

}  // namespace
}  // namespace korvane
