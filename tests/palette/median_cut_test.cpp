// Colour counting and the median cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "palette/color_reducer.h"
#include "palette_test_util.h"

namespace korvane {
namespace {

using test::PaletteOf;
using test::ReducerWithPalette;
using test::Rgb;

// The synthetic test picture also produced by tools/median_cut_reference.py: a red ramp,
// green and blue from the position plus pseudo-random noise, and flat patches.
std::vector<uint8_t> PatternPixels(int width, int height, uint32_t seed) {
  std::vector<uint8_t> pixels;
  uint32_t state = seed;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      state = state * 1103515245u + 12345u;
      int noise = static_cast<int>(state >> 24);
      int r = (x * 255) / (width - 1);
      int g = (y * 4 + (noise & 31)) & 255;
      int b = ((x + y) * 2 + (noise >> 5) * 9) & 255;
      if ((x / 16 + y / 16) % 3 == 0) {
        r = 200;
        g = 40 + (x / 16) * 8;
        b = 90;
      }
      pixels.push_back(static_cast<uint8_t>(r));
      pixels.push_back(static_cast<uint8_t>(g));
      pixels.push_back(static_cast<uint8_t>(b));
    }
  return pixels;
}

// Expected palettes of the pattern (96 x 64, seed 12345), worked out by the reference script.
const std::vector<Rgb> kPattern256 = {
    {49, 11, 50},    {116, 10, 10},   {76, 8, 62},     {54, 26, 67},    {16, 78, 59},
    {53, 41, 65},    {74, 25, 68},    {14, 91, 63},    {52, 22, 96},    {52, 56, 70},
    {12, 102, 68},   {74, 13, 102},   {20, 75, 98},    {73, 26, 99},    {180, 6, 13},
    {73, 41, 87},    {96, 9, 97},     {49, 71, 83},    {55, 40, 108},   {14, 120, 70},
    {18, 91, 100},   {52, 57, 110},   {98, 24, 101},   {16, 104, 104},  {49, 6, 170},
    {47, 89, 89},    {183, 21, 28},   {64, 22, 148},   {75, 56, 106},   {95, 40, 103},
    {15, 136, 88},   {118, 9, 113},   {45, 105, 92},   {16, 120, 109},  {181, 10, 55},
    {53, 75, 120},   {118, 25, 105},  {78, 71, 100},   {200, 6, 45},    {12, 151, 89},
    {92, 54, 112},   {49, 88, 123},   {43, 120, 97},   {96, 13, 152},   {97, 25, 140},
    {71, 7, 184},    {74, 88, 108},   {118, 40, 115},  {87, 43, 143},   {203, 21, 49},
    {223, 7, 44},    {53, 12, 213},   {84, 56, 139},   {11, 168, 100},  {114, 56, 112},
    {20, 137, 128},  {73, 102, 111},  {252, 30, 4},    {50, 104, 133},  {118, 21, 150},
    {80, 71, 139},   {46, 137, 108},  {218, 21, 55},   {39, 149, 107},  {16, 152, 129},
    {73, 7, 221},    {113, 41, 149},  {219, 77, 7},    {47, 120, 136},  {10, 187, 107},
    {77, 89, 139},   {4, 200, 102},   {246, 52, 9},    {112, 72, 123},  {246, 6, 56},
    {33, 167, 109},  {74, 119, 117},  {76, 21, 217},   {104, 86, 124},  {113, 55, 147},
    {11, 169, 140},  {225, 13, 85},   {73, 105, 147},  {182, 139, 5},   {31, 181, 115},
    {246, 73, 10},   {97, 9, 225},    {205, 119, 9},   {46, 150, 144},  {10, 184, 146},
    {51, 137, 152},  {202, 48, 92},   {180, 11, 154},  {112, 72, 162},  {34, 168, 145},
    {247, 9, 92},    {117, 5, 226},   {72, 121, 155},  {115, 84, 150},  {162, 178, 11},
    {206, 136, 14},  {19, 200, 137},  {78, 135, 144},  {13, 212, 132},  {121, 234, 4},
    {202, 72, 92},   {180, 25, 165},  {117, 23, 230},  {155, 204, 11},  {142, 75, 154},
    {34, 184, 155},  {41, 202, 133},  {19, 199, 161},  {121, 251, 8},   {83, 153, 145},
    {75, 136, 173},  {217, 153, 20},  {199, 24, 168},  {203, 11, 177},  {181, 41, 174},
    {138, 89, 171},  {23, 214, 164},  {180, 203, 19},  {142, 74, 189},  {51, 215, 142},
    {239, 154, 18},  {242, 139, 30},  {178, 54, 179},  {144, 104, 166}, {87, 152, 178},
    {201, 40, 177},  {110, 141, 167}, {224, 169, 27},  {182, 216, 27},  {199, 9, 218},
    {179, 70, 178},  {47, 199, 183},  {95, 168, 166},  {222, 24, 184},  {143, 88, 200},
    {141, 119, 171}, {198, 26, 208},  {197, 54, 182},  {111, 154, 169}, {225, 9, 202},
    {200, 204, 35},  {225, 185, 31},  {175, 89, 179},  {181, 233, 30},  {246, 169, 29},
    {52, 217, 176},  {179, 55, 213},  {217, 201, 29},  {54, 232, 162},  {211, 215, 23},
    {145, 105, 200}, {199, 40, 211},  {248, 182, 23},  {222, 40, 193},  {98, 185, 173},
    {247, 155, 55},  {85, 200, 173},  {114, 143, 202}, {181, 248, 31},  {142, 136, 183},
    {207, 231, 26},  {118, 168, 179}, {177, 103, 185}, {221, 25, 219},  {204, 70, 191},
    {246, 10, 210},  {182, 73, 212},  {52, 248, 169},  {112, 154, 203}, {240, 200, 30},
    {81, 217, 173},  {102, 166, 204}, {201, 55, 217},  {147, 121, 206}, {224, 55, 198},
    {51, 232, 195},  {201, 87, 190},  {139, 152, 189}, {176, 88, 217},  {118, 184, 181},
    {171, 121, 191}, {208, 248, 28},  {244, 185, 55},  {92, 184, 209},  {237, 216, 33},
    {212, 218, 57},  {246, 24, 218},  {77, 202, 209},  {224, 41, 226},  {76, 232, 183},
    {107, 199, 186}, {53, 248, 200},  {140, 167, 195}, {176, 104, 224}, {120, 169, 216},
    {172, 136, 198}, {210, 233, 63},  {149, 137, 221}, {209, 72, 226},  {242, 200, 65},
    {246, 41, 223},  {79, 248, 186},  {108, 215, 190}, {82, 217, 214},  {224, 56, 234},
    {240, 231, 44},  {174, 121, 221}, {138, 185, 195}, {115, 186, 217}, {168, 150, 204},
    {211, 249, 63},  {245, 56, 222},  {144, 153, 229}, {242, 217, 69},  {202, 105, 222},
    {207, 88, 234},  {239, 69, 222},  {82, 231, 217},  {107, 234, 195}, {237, 249, 53},
    {116, 199, 225}, {142, 170, 234}, {203, 118, 228}, {240, 81, 229},  {177, 135, 238},
    {160, 169, 222}, {79, 248, 225},  {136, 200, 221}, {113, 216, 230}, {141, 184, 235},
    {166, 153, 241}, {109, 247, 204}, {241, 232, 88},  {203, 135, 225}, {137, 214, 217},
    {150, 199, 224}, {110, 231, 232}, {160, 184, 232}, {244, 248, 93},  {208, 149, 235},
    {113, 248, 231}, {169, 201, 238}, {231, 139, 252}, {177, 213, 236}, {237, 153, 247},
    {230, 168, 248}, {176, 231, 242}, {225, 183, 248}, {205, 205, 252}, {176, 246, 247},
    {196, 230, 251},
};
const std::vector<Rgb> kPattern20 = {
    {78, 36, 92},    {33, 100, 98},  {93, 25, 180},   {24, 156, 119},  {84, 89, 130},
    {204, 45, 88},   {171, 161, 9},  {202, 72, 90},   {41, 219, 163},  {179, 230, 27},
    {102, 163, 181}, {212, 37, 200}, {161, 101, 195}, {231, 162, 66},  {227, 227, 50},
    {212, 86, 219},  {97, 225, 198}, {151, 158, 213}, {157, 210, 231}, {200, 217, 251},
};

bool AllZero(const uint32_t* table) {
  return std::all_of(table, table + kHistogramCells, [](uint32_t v) { return v == 0; });
}

TEST(MedianCut, MatchesReferenceOnPattern) {
  const std::vector<uint8_t> pixels = PatternPixels(96, 64, 12345);
  for (const auto& [wanted, expected] :
       {std::pair{256, &kPattern256}, std::pair{20, &kPattern20}}) {
    SCOPED_TRACE(wanted);
    auto reducer = ColorReducer::Create(wanted);
    ASSERT_TRUE(reducer);
    reducer->AddPixelsRGB(pixels.data(), 96, 64);
    ASSERT_TRUE(reducer->BuildPalette());
    EXPECT_EQ(reducer->ColorCount(), wanted);
    EXPECT_EQ(PaletteOf(*reducer), *expected);
    // The histogram is now an empty inverse colour map.
    EXPECT_TRUE(AllZero(reducer->GetHistogram()));

    // Reused per frame: clear, count again, build again: the same palette.
    ColorReducer::ClearHistogram(reducer->GetHistogram());
    reducer->AddPixelsRGB(pixels.data(), 96, 64);
    ASSERT_TRUE(reducer->BuildPalette());
    EXPECT_EQ(PaletteOf(*reducer), *expected);
  }
}

TEST(MedianCut, BgrAndRgbOrderCountTheSameColours) {
  std::vector<uint8_t> rgb = PatternPixels(96, 64, 12345);
  std::vector<uint8_t> bgr = rgb;
  for (size_t i = 0; i < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
  auto a = ColorReducer::Create(256);
  auto b = ColorReducer::Create(256);
  a->AddPixelsRGB(rgb.data(), 96, 64);
  b->AddPixelsBGR(bgr.data(), 96, 64);
  EXPECT_EQ(std::memcmp(a->GetHistogram(), b->GetHistogram(), kHistogramCells * 4), 0);
  // Cell of (red 8, green 0, blue 0) is (2, 0, 0); of blue 8 it is (0, 0, 1).
  uint8_t redPixel[3] = {0, 0, 8};  // B, G, R
  auto c = ColorReducer::Create(256);
  c->AddPixelsBGR(redPixel, 1, 1);
  EXPECT_EQ(c->GetHistogram()[2 * 2048], 1u);
  c->AddPixelsRGB(redPixel, 1, 1);
  EXPECT_EQ(c->GetHistogram()[1], 1u);
}

TEST(MedianCut, AllBlackMovieGivesOneColour) {
  std::vector<uint8_t> frame(112 * 56 * 3, 0);
  auto reducer = ColorReducer::Create(256);
  for (int i = 0; i < 3; ++i) reducer->AddPixelsBGR(frame.data(), 112, 56);
  ASSERT_TRUE(reducer->BuildPalette());
  EXPECT_EQ(PaletteOf(*reducer), (std::vector<Rgb>{{2, 2, 4}}));
}

TEST(MedianCut, NothingCountedGivesOneBlackEntry) {
  auto reducer = ColorReducer::Create(256);
  ASSERT_TRUE(reducer->BuildPalette());
  uint8_t raw[kPaletteBytes];
  EXPECT_EQ(reducer->GetPalette(raw), 1);
  EXPECT_TRUE(std::all_of(raw, raw + kPaletteBytes, [](uint8_t v) { return v == 0; }));
  EXPECT_EQ(reducer->MapColor(255, 255, 255), 0);
}

TEST(MedianCut, TenOccupiedCellsGiveTheirCentres) {
  // Ten cells, several different colours inside each, with uneven populations.
  const Rgb cells[10] = {{0, 0, 0},    {1, 0, 0},   {0, 5, 3},   {63, 63, 31}, {20, 40, 10},
                         {20, 41, 10}, {33, 2, 30}, {50, 50, 0}, {7, 60, 16},  {40, 12, 24}};
  std::vector<uint8_t> pixels;
  for (int i = 0; i < 10; ++i)
    for (int j = 0; j <= i * 3; ++j) {
      pixels.push_back(static_cast<uint8_t>(cells[i].r * 4 + (j & 3)));
      pixels.push_back(static_cast<uint8_t>(cells[i].g * 4 + ((j >> 1) & 3)));
      pixels.push_back(static_cast<uint8_t>(cells[i].b * 8 + (j * 5 & 7)));
    }
  auto reducer = ColorReducer::Create(256);
  reducer->AddPixelsRGB(pixels.data(), static_cast<int>(pixels.size() / 3), 1);
  ASSERT_TRUE(reducer->BuildPalette());
  std::vector<Rgb> palette = PaletteOf(*reducer);
  std::vector<Rgb> centres;
  for (const Rgb& c : cells) centres.push_back({c.r * 4 + 2, c.g * 4 + 2, c.b * 8 + 4});
  ASSERT_EQ(palette.size(), 10u);
  for (size_t i = 1; i < palette.size(); ++i)
    EXPECT_LE(test::Brightness(palette[i - 1]), test::Brightness(palette[i]));
  auto byValue = [](const Rgb& a, const Rgb& b) {
    return std::tie(a.r, a.g, a.b) < std::tie(b.r, b.g, b.b);
  };
  std::sort(palette.begin(), palette.end(), byValue);
  std::sort(centres.begin(), centres.end(), byValue);
  EXPECT_EQ(palette, centres);
}

TEST(MedianCut, FewerColoursWantedMergesCells) {
  // Two far clusters of two cells each, two colours wanted: each cluster becomes its
  // population-weighted mean (rounded), never a cell that holds no pixel.
  std::vector<uint8_t> pixels;
  auto add = [&](int r, int g, int b, int n) {
    for (int i = 0; i < n; ++i) {
      pixels.push_back(static_cast<uint8_t>(r));
      pixels.push_back(static_cast<uint8_t>(g));
      pixels.push_back(static_cast<uint8_t>(b));
    }
  };
  add(0, 0, 0, 3);        // centre (2, 2, 4)
  add(4, 0, 0, 1);        // centre (6, 2, 4)
  add(200, 200, 200, 1);  // centre (202, 202, 204)
  add(200, 204, 200, 2);  // centre (202, 206, 204)
  auto reducer = ColorReducer::Create(2);
  reducer->AddPixelsRGB(pixels.data(), static_cast<int>(pixels.size() / 3), 1);
  ASSERT_TRUE(reducer->BuildPalette());
  // Red: (3 * 2 + 6 + 2) / 4 = 3.5 -> 3; green: (202 + 2 * 206 + 1.5) / 3 = 205.17 -> 205.
  EXPECT_EQ(PaletteOf(*reducer), (std::vector<Rgb>{{3, 2, 4}, {202, 205, 204}}));
}

TEST(MedianCut, PaddedFrameMarginsAreCounted) {
  // A white 100 x 50 picture centred in its 112 x 56 frame.
  std::vector<uint8_t> frame(112 * 56 * 3, 0);
  for (int y = 3; y < 53; ++y)
    for (int x = 6; x < 106; ++x)
      for (int k = 0; k < 3; ++k) frame[(y * 112 + x) * 3 + k] = 255;
  auto reducer = ColorReducer::Create(256);
  reducer->AddPixelsBGR(frame.data(), 112, 56);
  reducer->AddPixelsBGR(frame.data(), 112, 56);
  const uint32_t* hist = reducer->GetHistogram();
  EXPECT_EQ(hist[0], 2u * 1272u);
  EXPECT_EQ(hist[kHistogramCells - 1], 2u * 5000u);
}

TEST(MedianCut, CountsSaturateInsteadOfWrapping) {
  // A long movie's black margin: counts near the limit stop at 2^32 - 1, in both byte orders.
  const uint8_t black[3 * 4] = {};
  struct Case {
    uint32_t before;
    int added;
    uint32_t after;
  } cases[] = {
      {0xFFFFFFFDu, 1, 0xFFFFFFFEu},
      {0xFFFFFFFDu, 2, 0xFFFFFFFFu},
      {0xFFFFFFFDu, 4, 0xFFFFFFFFu},
      {0xFFFFFFFFu, 1, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    for (bool bgr : {false, true}) {
      auto reducer = ColorReducer::Create(256);
      reducer->GetHistogram()[0] = c.before;
      if (bgr)
        reducer->AddPixelsBGR(black, c.added, 1);
      else
        reducer->AddPixelsRGB(black, c.added, 1);
      EXPECT_EQ(reducer->GetHistogram()[0], c.after) << c.before << " + " << c.added;
    }
  }
}

TEST(MedianCut, ASaturatedColourKeepsItsWeight) {
  // One colour for the whole movie: a cell at the limit outweighs a cell of 1000 pixels. Had the
  // count wrapped to 16 or to 0, the one-colour palette would lie near the rare colour instead.
  std::vector<uint8_t> rare(1000 * 3, 200);
  for (uint32_t start : {0xFFFFFFF0u, 0xFFFFFFE0u}) {
    auto reducer = ColorReducer::Create(1);
    reducer->GetHistogram()[0] = start;
    const uint8_t black[32 * 3] = {};
    reducer->AddPixelsRGB(black, 32, 1);
    reducer->AddPixelsRGB(rare.data(), 1000, 1);
    ASSERT_TRUE(reducer->BuildPalette());
    const std::vector<Rgb> palette = PaletteOf(*reducer);
    ASSERT_EQ(palette.size(), 1u);
    EXPECT_LE(palette[0].r, 3) << start;
  }
}

TEST(SortPalette, ExactExchangeOrder) {
  struct Case {
    const char* name;
    std::vector<Rgb> given;
    std::vector<Rgb> stored;
  };
  const Case cases[] = {
      {"already sorted with equal sums stays",
       {{0, 0, 1}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}, {5, 5, 0}, {200, 0, 0}},
       {{0, 0, 1}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}, {5, 5, 0}, {200, 0, 0}}},
      // The exchange with a later, darker entry moves the first of two equals behind the second.
      {"exchange reorders equals",
       {{10, 0, 0}, {0, 10, 0}, {0, 0, 5}},
       {{0, 0, 5}, {0, 10, 0}, {10, 0, 0}}},
      {"out of order",
       {{255, 255, 255}, {1, 2, 3}, {100, 0, 0}, {0, 0, 0}, {50, 50, 1}},
       {{0, 0, 0}, {1, 2, 3}, {100, 0, 0}, {50, 50, 1}, {255, 255, 255}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reducer = ReducerWithPalette(c.given);
    EXPECT_EQ(PaletteOf(*reducer), c.stored);
    EXPECT_EQ(PaletteOf(*reducer), c.stored);  // sorting again changes nothing
  }
}

TEST(GetPalette, PadsWithZeroEntries) {
  auto reducer = ColorReducer::Create(256);
  std::vector<uint8_t> entries(4 * 200);
  for (int i = 0; i < 200; ++i) {
    entries[4 * i] = static_cast<uint8_t>(i + 1);
    entries[4 * i + 1] = 7;
    entries[4 * i + 2] = 9;
    entries[4 * i + 3] = 0xEE;  // ignored
  }
  reducer->SetPalette(entries.data(), 200);
  uint8_t raw[kPaletteBytes];
  std::memset(raw, 0xAA, sizeof raw);
  EXPECT_EQ(reducer->GetPalette(raw), 200);
  for (int i = 0; i < 256; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(raw[4 * i + 3], 0);
    if (i < 200) {
      EXPECT_EQ(raw[4 * i], i + 1);
      EXPECT_EQ(raw[4 * i + 1], 7);
      EXPECT_EQ(raw[4 * i + 2], 9);
    } else {
      EXPECT_EQ(raw[4 * i] | raw[4 * i + 1] | raw[4 * i + 2], 0);
    }
  }
}

}  // namespace
}  // namespace korvane
