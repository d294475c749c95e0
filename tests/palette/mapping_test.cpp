// Mapping pictures to the palette: nearest search, half resolution and dithering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "palette/color_reducer.h"
#include "palette_test_util.h"

namespace korvane {
namespace {

using test::BruteForceNearest;
using test::PaletteOf;
using test::RandomColors;
using test::RandomPicture;
using test::ReducerWithPalette;
using test::Rgb;

// A representative colour of cell (h0, h1, h2).
Rgb CellColor(int cell) {
  return {(cell >> 11) * 4 + 1, ((cell >> 5) & 63) * 4 + 3, (cell & 31) * 8 + 5};
}

struct NamedPalette {
  const char* name;
  std::vector<Rgb> colors;
};

std::vector<NamedPalette> TestPalettes() {
  std::vector<NamedPalette> palettes;
  palettes.push_back({"random 256", RandomColors(256, 1)});
  // A tight cluster with many repeated colours: distance ties everywhere.
  std::vector<Rgb> clustered = RandomColors(200, 2, 100, 110);
  for (int i = 0; i < 56; ++i) clustered.push_back(clustered[i * 3]);
  palettes.push_back({"clustered with duplicates", clustered});
  palettes.push_back({"one colour", {{40, 200, 90}}});
  palettes.push_back({"three colours", {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}}});
  // Entries on a lattice of cell centres: many cells are exactly halfway between two.
  std::vector<Rgb> lattice;
  for (int r = 2; r < 256; r += 40)
    for (int g = 2; g < 256; g += 48)
      for (int b = 4; b < 256; b += 64) lattice.push_back({r, g, b});
  palettes.push_back({"lattice", lattice});
  return palettes;
}

TEST(InverseColorMap, EveryCellMatchesBruteForceAfterEveryPaletteChange) {
  // One reducer takes every palette in turn, then a built one, then the first again: the map
  // must follow each change in full, with no cell left from an earlier palette.
  auto reducer = ColorReducer::Create(256);
  std::vector<NamedPalette> palettes = TestPalettes();
  palettes.push_back(palettes.front());
  auto check = [&](const char* name) {
    SCOPED_TRACE(name);
    const std::vector<Rgb> palette = PaletteOf(*reducer);
    int mismatches = 0;
    for (int cell = 0; cell < kHistogramCells; ++cell) {
      Rgb c = CellColor(cell);
      int expected = BruteForceNearest(palette, c.r, c.g, c.b);
      int got = reducer->MapColor(c.r, c.g, c.b);
      if (got != expected && ++mismatches <= 5)
        ADD_FAILURE() << "cell " << cell << ": brute force " << expected << ", map " << got;
    }
    EXPECT_EQ(mismatches, 0);
  };
  for (const NamedPalette& p : palettes) {
    std::vector<uint8_t> entries(4 * p.colors.size() + 4, 0);
    for (size_t i = 0; i < p.colors.size(); ++i) {
      entries[4 * i] = static_cast<uint8_t>(p.colors[i].r);
      entries[4 * i + 1] = static_cast<uint8_t>(p.colors[i].g);
      entries[4 * i + 2] = static_cast<uint8_t>(p.colors[i].b);
    }
    reducer->SetPalette(entries.data(), static_cast<int>(p.colors.size()));
    check(p.name);
    if (&p == &palettes[1]) {
      std::vector<uint8_t> picture = RandomPicture(64, 32, 9);
      reducer->AddPixelsRGB(picture.data(), 64, 32);
      ASSERT_TRUE(reducer->BuildPalette());
      check("built by median cut");
    }
  }
}

TEST(InverseColorMap, MappingFromManyThreadsAtOnceRightAfterAPaletteChange) {
  // The map is complete as soon as the palette is set: threads that start mapping at once, in
  // any order, all get the one-thread results (a thread sanitizer build also sees no race).
  auto reducer = ReducerWithPalette(RandomColors(256, 12));
  const int w = 64, h = 48;
  std::vector<uint8_t> picture = RandomPicture(w, h, 13);
  std::vector<uint8_t> plain(w * h), half(w * h), dithered(w * h);
  auto fresh = ReducerWithPalette(RandomColors(256, 12));
  fresh->MapPixels(picture.data(), plain.data(), w, h);
  fresh->MapPixelsHalfRes(picture.data(), half.data(), w, h);
  ASSERT_TRUE(fresh->MapPixelsDithered(picture.data(), dithered.data(), w, h));
  std::vector<std::vector<uint8_t>> outs(6, std::vector<uint8_t>(w * h));
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      uint8_t* out = outs[t].data();
      if (t % 3 == 0) reducer->MapPixels(picture.data(), out, w, h);
      if (t % 3 == 1) reducer->MapPixelsHalfRes(picture.data(), out, w, h);
      if (t % 3 == 2) reducer->MapPixelsDithered(picture.data(), out, w, h);
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < 6; ++t)
    EXPECT_EQ(outs[t], t % 3 == 0 ? plain : t % 3 == 1 ? half : dithered) << "thread " << t;
}

TEST(InverseColorMap, EqualDistanceGoesToLowerIndex) {
  // Colour (130, 130, 132) is the centre of its cell. Each palette holds two entries at the
  // same weighted distance from it; the first in palette order must win.
  struct Case {
    std::vector<Rgb> palette;
    int expected;
  };
  const Case cases[] = {
      {{{130, 130, 128}, {130, 130, 136}}, 0},  // blue 4 below / above
      {{{134, 130, 132}, {130, 130, 140}},
       0},  // red 4 (weight 2) vs blue 8: lower index has more red
      {{{0, 0, 0}, {130, 128, 132}, {133, 130, 132}}, 1},  // far, then 36 and 36
  };
  for (const Case& c : cases) {
    auto reducer = ReducerWithPalette(c.palette);
    EXPECT_EQ(reducer->MapColor(130, 130, 132), c.expected);
  }
}

TEST(MapPixels, NearestIndexPerPixelAndSingleColourLookup) {
  auto reducer = ReducerWithPalette(RandomColors(256, 3));
  const std::vector<Rgb> palette = PaletteOf(*reducer);
  const int w = 37, h = 11;
  std::vector<uint8_t> picture = RandomPicture(w, h, 4);
  // Put every palette colour itself into the picture too.
  for (int i = 0; i < 256 && i < w * h; ++i) {
    picture[3 * i] = static_cast<uint8_t>(palette[i].r);
    picture[3 * i + 1] = static_cast<uint8_t>(palette[i].g);
    picture[3 * i + 2] = static_cast<uint8_t>(palette[i].b);
  }
  std::vector<uint8_t> out(w * h);
  reducer->MapPixels(picture.data(), out.data(), w, h);
  for (int i = 0; i < w * h; ++i) {
    const uint8_t* px = &picture[3 * i];
    ASSERT_EQ(out[i], BruteForceNearest(palette, px[0], px[1], px[2])) << i;
    uint8_t single;
    reducer->MapPixels(px, &single, 1, 1);
    ASSERT_EQ(single, out[i]);
  }

  // A colour that is the only palette entry in reach maps to it.
  auto sparse = ReducerWithPalette({{0, 0, 0}, {100, 150, 60}, {255, 255, 255}});
  EXPECT_EQ(sparse->MapColor(100, 150, 60), 1);

  // With no palette at all everything maps to entry 0 (and nothing breaks).
  auto empty = ColorReducer::Create(256);
  EXPECT_EQ(empty->MapColor(10, 20, 30), 0);
}

TEST(MapPixelsHalfRes, OneIndexPerCellFromTheAverage) {
  auto reducer = ReducerWithPalette(RandomColors(256, 5));
  for (auto [w, h] : {std::pair{16, 8}, std::pair{48, 24}}) {
    std::vector<uint8_t> picture = RandomPicture(w, h, 6);
    std::vector<uint8_t> out(w * h, 0xEE);
    reducer->MapPixelsHalfRes(picture.data(), out.data(), w, h);
    for (int y = 0; y < h; y += 2)
      for (int x = 0; x < w; x += 2) {
        int s[3] = {0, 0, 0};
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx)
            for (int k = 0; k < 3; ++k) s[k] += picture[((y + dy) * w + x + dx) * 3 + k];
        // The cell of the sum (s0 >> 4, s1 >> 4, s2 >> 5) is the cell of the average (sum / 4).
        int expected = reducer->MapColor(s[0] / 4, s[1] / 4, s[2] / 4);
        ASSERT_EQ(out[y * w + x], expected);
        ASSERT_EQ(out[y * w + x + 1], expected);
        ASSERT_EQ(out[(y + 1) * w + x], expected);
        ASSERT_EQ(out[(y + 1) * w + x + 1], expected);
      }
  }
  // The average, not any single pixel: black and white pixels make a grey cell.
  auto grey = ReducerWithPalette({{0, 0, 0}, {128, 128, 128}, {255, 255, 255}});
  const uint8_t checker[12] = {0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0};
  uint8_t out[4];
  grey->MapPixelsHalfRes(checker, out, 2, 2);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(4, 1));
}

TEST(MapPixelsHalfRes, OddSizesWriteEveryPixel) {
  auto reducer = ReducerWithPalette({{0, 0, 0}, {255, 255, 255}});
  std::vector<uint8_t> picture(5 * 3 * 3, 255);
  std::vector<uint8_t> out(5 * 3, 0xEE);
  reducer->MapPixelsHalfRes(picture.data(), out.data(), 5, 3);
  EXPECT_EQ(out, std::vector<uint8_t>(15, 1));
}

// Straightforward serpentine Floyd-Steinberg written from the rules, with a whole error field
// instead of two rotating rows and a brute-force nearest search.
int LimitError(int a) {
  int m = std::abs(a);
  int r = m <= 15 ? m : (m <= 47 ? 8 + m / 2 : 32);
  return a < 0 ? -r : r;
}

std::vector<uint8_t> ReferenceDither(const std::vector<Rgb>& palette,
                                     const std::vector<uint8_t>& in, int w, int h) {
  // err[k][row][slot], slot x + 1 for column x; the row below the last absorbs what is left.
  std::vector<std::vector<std::vector<int>>> err(
      3, std::vector<std::vector<int>>(h + 1, std::vector<int>(w + 2, 0)));
  std::vector<uint8_t> out(w * h);
  for (int y = 0; y < h; ++y) {
    bool ltr = y % 2 == 0;
    for (int n = 0; n < w; ++n) {
      int x = ltr ? n : w - 1 - n;
      int u[3];
      for (int k = 0; k < 3; ++k) {
        int acc = err[k][y][x + 1];
        EXPECT_LE(std::abs(acc), 255);
        u[k] = std::clamp(in[(y * w + x) * 3 + k] + LimitError(acc), 0, 255);
      }
      int idx = BruteForceNearest(palette, u[0], u[1], u[2]);
      out[y * w + x] = static_cast<uint8_t>(idx);
      const int pc[3] = {palette[idx].r, palette[idx].g, palette[idx].b};
      for (int k = 0; k < 3; ++k) {
        int e = u[k] - pc[k];
        int ahead = ltr ? x + 2 : x, behind = ltr ? x : x + 2;
        err[k][y][ahead] += 7 * e / 16;
        err[k][y + 1][behind] += 3 * e / 16;
        err[k][y + 1][x + 1] += 5 * e / 16;
        err[k][y + 1][ahead] += e - 7 * e / 16 - 3 * e / 16 - 5 * e / 16;
      }
    }
  }
  return out;
}

TEST(MapPixelsDithered, MatchesReferenceOnRandomPictures) {
  struct Case {
    std::vector<Rgb> palette;
    int w, h;
    uint32_t seed;
  };
  const Case cases[] = {
      {RandomColors(256, 8), 29, 13, 9},
      {RandomColors(16, 10), 16, 8, 11},
      {{{0, 0, 0}, {255, 255, 255}}, 31, 17, 12},  // large errors everywhere
      {{{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}}, 1, 9, 13},
      {RandomColors(64, 14), 40, 1, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " seed " << c.seed);
    auto reducer = ReducerWithPalette(c.palette);
    std::vector<uint8_t> picture = RandomPicture(c.w, c.h, c.seed);
    std::vector<uint8_t> out(c.w * c.h);
    ASSERT_TRUE(reducer->MapPixelsDithered(picture.data(), out.data(), c.w, c.h));
    EXPECT_EQ(out, ReferenceDither(PaletteOf(*reducer), picture, c.w, c.h));
  }
}

TEST(MapPixelsDithered, UniformPictureOnAPaletteColourStaysExact) {
  auto reducer = ReducerWithPalette(
      {{0, 0, 0}, {255, 255, 255}, {200, 30, 40}, {30, 200, 40}, {40, 30, 200}, {128, 128, 128}});
  const std::vector<Rgb> palette = PaletteOf(*reducer);
  for (int idx = 0; idx < static_cast<int>(palette.size()); ++idx) {
    const int w = 33, h = 7;
    std::vector<uint8_t> picture(w * h * 3);
    for (int i = 0; i < w * h; ++i) {
      picture[3 * i] = static_cast<uint8_t>(palette[idx].r);
      picture[3 * i + 1] = static_cast<uint8_t>(palette[idx].g);
      picture[3 * i + 2] = static_cast<uint8_t>(palette[idx].b);
    }
    std::vector<uint8_t> out(w * h);
    ASSERT_TRUE(reducer->MapPixelsDithered(picture.data(), out.data(), w, h));
    EXPECT_EQ(out, std::vector<uint8_t>(w * h, static_cast<uint8_t>(idx)));
  }
}

TEST(MapPixelsDithered, GradientToBlackAndWhiteFollowsTheGradient) {
  auto reducer = ReducerWithPalette({{0, 0, 0}, {255, 255, 255}});
  const int w = 256, h = 64;
  std::vector<uint8_t> picture(w * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k) picture[(y * w + x) * 3 + k] = static_cast<uint8_t>(x);
  std::vector<uint8_t> out(w * h);
  ASSERT_TRUE(reducer->MapPixelsDithered(picture.data(), out.data(), w, h));
  // Mean brightness over bands of 16 columns. The error limit (at most 32 carried per pixel)
  // keeps dark greys black and light greys white; in between the mixture follows the ramp.
  double previous = -1;
  for (int band = 0; band < w / 16; ++band) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
      for (int x = band * 16; x < band * 16 + 16; ++x) sum += out[y * w + x] * 255.0;
    double mean = sum / (16 * h), grey = band * 16 + 7.5;
    SCOPED_TRACE(testing::Message() << "columns from " << band * 16 << ": mean " << mean);
    EXPECT_GE(mean, previous);
    if (grey < 80) {
      EXPECT_EQ(mean, 0);
    }
    if (grey > 176) {
      EXPECT_EQ(mean, 255);
    }
    if (grey > 100 && grey < 156) {
      EXPECT_NEAR(mean, grey, 24);
    }
    previous = mean;
  }
}

TEST(MapPixelsDithered, EveryCallStartsAfreshLeftToRight) {
  auto reducer = ReducerWithPalette(RandomColors(32, 16));
  auto fresh = ReducerWithPalette(RandomColors(32, 16));
  // An odd number of rows: the first call ends on a right-to-left row with errors pending.
  std::vector<uint8_t> first = RandomPicture(21, 5, 17);
  std::vector<uint8_t> second = RandomPicture(21, 3, 18);
  std::vector<uint8_t> out1(21 * 5), out2(21 * 3), expected(21 * 3);
  ASSERT_TRUE(reducer->MapPixelsDithered(first.data(), out1.data(), 21, 5));
  ASSERT_TRUE(reducer->MapPixelsDithered(second.data(), out2.data(), 21, 3));
  ASSERT_TRUE(fresh->MapPixelsDithered(second.data(), expected.data(), 21, 3));
  EXPECT_EQ(out2, expected);
  EXPECT_EQ(out2, ReferenceDither(PaletteOf(*fresh), second, 21, 3));
}

}  // namespace
}  // namespace korvane
