#include "video/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

namespace korvane {
namespace {

using Block = std::array<uint8_t, 64>;

Block MakeBlock(const std::function<uint8_t(int x, int y)>& f) {
  Block b{};
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) b[8 * y + x] = f(x, y);
  return b;
}

void PutBlock(IndexFrame& frame, int bx, int by, const Block& b) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) *frame.PixelAddress(8 * bx + x, 8 * by + y) = b[8 * y + x];
}

TEST(IndexFrame, CreateAndLoadBottomUp) {
  IndexFrame frame(20, 10);
  EXPECT_EQ(frame.Width, 20);
  EXPECT_EQ(frame.Height, 10);
  EXPECT_EQ(frame.Pixels.size(), 24u * 16);
  for (uint8_t p : frame.Pixels) ASSERT_EQ(p, 0);
  EXPECT_EQ(frame.PixelAddress(3, 2) - frame.Pixels.data(), 2 * 20 + 3);
  EXPECT_EQ(frame.BlockAddress(1, 1), frame.PixelAddress(8, 8));
  EXPECT_EQ(frame.BlockInfo.ColorCount, 0);

  std::vector<uint8_t> source(20 * 10);
  for (size_t i = 0; i < source.size(); ++i) source[i] = uint8_t(i);
  frame.LoadBottomUp(source.data());
  for (int k = 0; k < 10; ++k)
    for (int x = 0; x < 20; ++x) ASSERT_EQ(*frame.PixelAddress(x, 9 - k), source[k * 20 + x]);
}

TEST(IndexFrame, SameBlockAtBounds) {
  IndexFrame a(32, 16), b(32, 16);
  // Both frames all zero: every in-range pair matches.
  EXPECT_TRUE(a.SameBlockAt(24, 8, b, 0, 0));
  EXPECT_TRUE(a.SameBlock(3, 1, b, 0, 1));
  EXPECT_FALSE(a.SameBlockAt(32 - 7, 0, b, 0, 0));
  EXPECT_FALSE(a.SameBlockAt(0, 0, b, 32 - 7, 0));
  EXPECT_FALSE(a.SameBlockAt(0, 16 - 7, b, 0, 0));
  EXPECT_FALSE(a.SameBlockAt(0, 0, b, 0, -1));
  EXPECT_FALSE(a.SameBlockAt(-1, 0, b, 0, 0));
  // One differing pixel, in the last row of the block.
  *b.PixelAddress(7, 7) = 1;
  EXPECT_FALSE(a.SameBlockAt(0, 0, b, 0, 0));
  EXPECT_TRUE(a.SameBlockAt(0, 0, b, 8, 0));
}

TEST(IndexFrame, FindCopyScanOrder) {
  IndexFrame cur(48, 32), prev(48, 32);
  int dx = 99, dy = 99;
  // All zero: the first displacement in scan order (dy, then dx, from -8) that stays inside.
  EXPECT_TRUE(cur.FindCopy(16, 16, prev, &dx, &dy));
  EXPECT_EQ(dx, -8);
  EXPECT_EQ(dy, -8);
  EXPECT_TRUE(cur.FindCopy(0, 0, prev, &dx, &dy));
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(dy, 0);
  EXPECT_TRUE(cur.FindCopy(40, 24, prev, &dx, &dy));
  EXPECT_EQ(dx, -8);
  EXPECT_EQ(dy, -8);

  // A unique textured block moved by (+3, -2).
  for (int i = 0; i < 48 * 32; ++i) prev.Pixels[i] = uint8_t((uint32_t(i) * 2654435761u) >> 24);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      *cur.PixelAddress(16 + x, 8 + y) = *prev.PixelAddress(19 + x, 6 + y);
  EXPECT_TRUE(cur.FindCopy(16, 8, prev, &dx, &dy));
  EXPECT_EQ(dx, 3);
  EXPECT_EQ(dy, -2);

  // No match leaves dx, dy as they were.
  *cur.PixelAddress(16, 8) ^= 0xFF;
  dx = dy = 42;
  EXPECT_FALSE(cur.FindCopy(16, 8, prev, &dx, &dy));
  EXPECT_EQ(dx, 42);
  EXPECT_EQ(dy, 42);
}

// Each shape test on one block: expected answer and, for a yes, its bytes.
struct ShapeCase {
  std::string name;
  Block block;
  int colorCount;
  std::vector<uint8_t> solid, quadrant, cell, checker, four, two;  // empty: no
};

std::vector<uint8_t> Repeat(uint8_t v, int n) {
  return std::vector<uint8_t>(size_t(n), v);
}

std::vector<ShapeCase> ShapeCases() {
  std::vector<ShapeCase> cases;
  cases.push_back({"solid",
                   MakeBlock([](int, int) { return 7; }),
                   1,
                   {7},
                   Repeat(7, 4),
                   Repeat(7, 16),
                   {7, 7},
                   {},
                   {}});

  const uint8_t q[4] = {40, 10, 30, 20};
  std::vector<uint8_t> quadCells;
  for (int cy = 0; cy < 4; ++cy)
    for (int cx = 0; cx < 4; ++cx) quadCells.push_back(q[(cy / 2) * 2 + cx / 2]);
  std::vector<uint8_t> quadFour = {10, 20, 30, 40};
  // PixelColor positions: 40 -> 3, 10 -> 0, 30 -> 2, 20 -> 1. Rows 0-3: 3 3 3 3 0 0 0 0.
  for (int r = 0; r < 8; ++r) {
    const int left = r < 4 ? 3 : 2, right = r < 4 ? 0 : 1;
    quadFour.push_back(uint8_t(left * 0x55));
    quadFour.push_back(uint8_t(right * 0x55));
  }
  cases.push_back({"quadrants",
                   MakeBlock([&](int x, int y) { return q[(y / 4) * 2 + x / 4]; }),
                   4,
                   {},
                   {40, 10, 30, 20},
                   quadCells,
                   {},
                   quadFour,
                   {}});

  std::vector<uint8_t> cells;
  for (int c = 0; c < 16; ++c) cells.push_back(uint8_t(100 + (c * 5) % 16));
  cases.push_back({"cells",
                   MakeBlock([&](int x, int y) { return cells[(y / 2) * 4 + x / 2]; }),
                   16,
                   {},
                   {},
                   cells,
                   {},
                   {},
                   {}});

  std::vector<uint8_t> checkerTwo = {3, 9};
  for (int r = 0; r < 8; ++r) checkerTwo.push_back(r % 2 ? 0xAA : 0x55);
  cases.push_back({"checker",
                   MakeBlock([](int x, int y) { return (x + y) % 2 ? 3 : 9; }),
                   2,
                   {},
                   {},
                   {},
                   {9, 3},
                   {},
                   checkerTwo});

  // Three colours 5, 9, 7: the four-colour bytes are 5, 7, 9, 9 and the packed positions.
  std::vector<uint8_t> three = {5, 7, 9, 9};
  for (int r = 0; r < 8; ++r) {
    three.push_back(0x18);  // pixels 5 9 7 5 -> positions 0 2 1 0
    three.push_back(0x18);
  }
  cases.push_back({"three colours",
                   MakeBlock([](int x, int) {
                     const uint8_t row[4] = {5, 9, 7, 5};
                     return row[x % 4];
                   }),
                   3,
                   {},
                   {},
                   {},
                   {},
                   three,
                   {}});

  // Two colours, not a checkerboard: rows 9 4 4 4 4 4 4 9.
  std::vector<uint8_t> two = {4, 9};
  for (int r = 0; r < 8; ++r) two.push_back(r == 3 ? 0xFF : 0x81);
  cases.push_back({"two colours",
                   MakeBlock([](int x, int y) { return (x == 0 || x == 7 || y == 3) ? 9 : 4; }),
                   2,
                   {},
                   {},
                   {},
                   {},
                   {},
                   two});

  cases.push_back({"64 colours",
                   MakeBlock([](int x, int y) { return uint8_t(255 - 8 * y - x); }),
                   64,
                   {},
                   {},
                   {},
                   {},
                   {},
                   {}});
  // Five colours in uniform quadrants but for one pixel: nothing fits.
  cases.push_back(
      {"five colours",
       MakeBlock([&](int x, int y) { return x == 5 && y == 6 ? 77 : q[(y / 4) * 2 + x / 4]; }),
       5,
       {},
       {},
       {},
       {},
       {},
       {}});
  return cases;
}

// FindCopy against the scan written plainly with SameBlockAt, on frames of few colours (many
// near matches) with copies planted at random, every block position including the edges.
TEST(IndexFrame, FindCopyEqualsThePlainScan) {
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 16;
  };
  for (int trial = 0; trial < 6; ++trial) {
    const int w = 48 + 16 * (trial % 2), h = 40;
    IndexFrame previous(w, h), current(w, h);
    const int colours = 2 + trial % 3;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        *previous.PixelAddress(x, y) = uint8_t(next() % colours);
        *current.PixelAddress(x, y) = uint8_t(next() % colours);
      }
    for (int by = 0; by < h / 8; ++by)
      for (int bx = 0; bx < w / 8; ++bx) {
        if (next() % 2) {
          int sx = std::clamp(8 * bx + int(next() % 16) - 8, 0, w - 8);
          int sy = std::clamp(8 * by + int(next() % 16) - 8, 0, h - 8);
          for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c)
              *current.PixelAddress(8 * bx + c, 8 * by + r) =
                  *previous.PixelAddress(sx + c, sy + r);
        }
      }
    for (int by = 0; by < h / 8; ++by)
      for (int bx = 0; bx < w / 8; ++bx) {
        bool expected = false;
        int ex = 99, ey = 99;
        for (int dy = -8; dy <= 7 && !expected; ++dy)
          for (int dx = -8; dx <= 7 && !expected; ++dx)
            if (current.SameBlockAt(8 * bx, 8 * by, previous, 8 * bx + dx, 8 * by + dy)) {
              expected = true;
              ex = dx;
              ey = dy;
            }
        int dx = 99, dy = 99;
        ASSERT_EQ(current.FindCopy(8 * bx, 8 * by, previous, &dx, &dy), expected)
            << bx << "," << by;
        EXPECT_EQ(dx, ex);
        EXPECT_EQ(dy, ey);
      }
  }
}

TEST(IndexFrame, ShapeTests) {
  for (const ShapeCase& c : ShapeCases()) {
    SCOPED_TRACE(c.name);
    IndexFrame frame(24, 16);
    // The block sits at (1, 1), its neighbours differ, so addressing errors show.
    for (auto& p : frame.Pixels) p = 200;
    PutBlock(frame, 1, 1, c.block);
    frame.AnalyseBlock(1, 1);
    const BlockAnalysis& info = frame.BlockInfo;
    EXPECT_EQ(info.ColorCount, c.colorCount);
    for (int i = 1; i < info.ColorCount; ++i) EXPECT_LT(info.Colors[i - 1], info.Colors[i]);
    for (int i = info.ColorCount; i < 64; ++i) EXPECT_EQ(info.Colors[i], 0);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(info.Colors[info.PixelColor[i]], c.block[i]);

    uint8_t out[64];
    auto check = [&](bool yes, const std::vector<uint8_t>& expected, const char* what) {
      SCOPED_TRACE(what);
      EXPECT_EQ(yes, !expected.empty());
      if (yes && !expected.empty()) {
        EXPECT_EQ(std::vector<uint8_t>(out, out + expected.size()), expected);
      }
    };
    check(frame.SolidColor(out), c.solid, "solid");
    check(frame.QuadrantColors(1, 1, out), c.quadrant, "quadrant");
    check(frame.CellColors(1, 1, out), c.cell, "cell");
    check(frame.CheckerColors(1, 1, out), c.checker, "checker");
    check(frame.FourColorPattern(out), c.four, "four");
    check(frame.TwoColorPattern(out), c.two, "two");
    frame.BlockBytes(1, 1, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 64),
              std::vector<uint8_t>(c.block.begin(), c.block.end()));
  }
}

}  // namespace
}  // namespace korvane
