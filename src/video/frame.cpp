#include "video/frame.h"

#include <bit>
#include <cstring>

#include "video/dsp/dsp.h"

namespace korvane {

namespace {

// Rows are compared as whole machine words loaded with memcpy (no alignment assumptions).
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A dimension rounded up to a multiple of 8.
inline int RoundUp8(int n) {
  return ((n - 1) / 8) * 8 + 8;
}

}  // namespace

IndexFrame::IndexFrame(int width, int height)
    : Pixels(static_cast<size_t>(RoundUp8(width)) * RoundUp8(height), 0),
      Width(width),
      Height(height) {}

void IndexFrame::LoadBottomUp(const uint8_t* source) {
  for (int k = 0; k < Height; ++k)
    std::memcpy(PixelAddress(0, Height - 1 - k), source + static_cast<size_t>(k) * Width, Width);
}

bool IndexFrame::SameBlockAt(int x1, int y1, const IndexFrame& other, int x2, int y2) const {
  if (x1 < 0 || y1 < 0 || x2 < 0 || y2 < 0) return false;
  if (x1 > Width - 8 || x2 > Width - 8 || y1 > Height - 8 || y2 > Height - 8) return false;
  // Frames of one run share their size; a smaller `other` must still not be read outside.
  if (x2 > other.Width - 8 || y2 > other.Height - 8) return false;
  const uint8_t* a = PixelAddress(x1, y1);
  const uint8_t* b = other.PixelAddress(x2, y2);
  for (int r = 0; r < 8; ++r, a += Width, b += other.Width)
    if (Load64(a) != Load64(b)) return false;
  return true;
}

bool IndexFrame::FindCopy(int x, int y, const IndexFrame& other, int* dx, int* dy) const {
  if (x < 0 || y < 0 || x > Width - 8 || y > Height - 8) return false;
  const uint8_t* a = PixelAddress(x, y);
  const int maxX = (Width < other.Width ? Width : other.Width) - 8;
  const int maxY = (Height < other.Height ? Height : other.Height) - 8;
  // Away from the left and right edges, where the kernel can read the whole window x - 8 ...
  // x + 14 of every row, the search runs in the processor's fastest kernel.
  if (x >= 8 && x + 16 <= other.Width) {
    // Positions x2 = x - 8 + i beyond maxX are not valid.
    const int valid = maxX - (x - 8) + 1;
    const uint32_t columns = valid >= 16 ? 0xFFFFu : valid <= 0 ? 0u : (1u << valid) - 1;
    const int dyFirst = y - 8 < 0 ? -y : -8;
    const int dyLast = y + 7 > maxY ? maxY - y : 7;
    if (dyFirst > dyLast) return false;
    const int found = dsp::Selected().FindCopyInterior(a, Width, other.PixelAddress(x - 8, y),
                                                       other.Width, dyFirst, dyLast, columns);
    if (found < 0) return false;
    *dx = found % 16 - 8;
    *dy = found / 16 - 8;
    return true;
  }
  uint64_t rows[8];
  for (int r = 0; r < 8; ++r) rows[r] = Load64(a + r * Width);
  // Whether the block at (x2, y2) of `other` equals this one.
  auto matches = [&](int x2, int y2) {
    const uint8_t* b = other.PixelAddress(x2, y2);
    int r = 0;
    while (r < 8 && Load64(b + r * other.Width) == rows[r]) ++r;
    return r == 8;
  };
  for (int ddy = -8; ddy <= 7; ++ddy) {
    const int y2 = y + ddy;
    if (y2 < 0 || y2 > maxY) continue;
    for (int ddx = -8; ddx <= 7; ++ddx) {
      const int x2 = x + ddx;
      if (x2 < 0 || x2 > maxX) continue;
      if (matches(x2, y2)) {
        *dx = ddx;
        *dy = ddy;
        return true;
      }
    }
  }
  return false;
}

void IndexFrame::AnalyseBlock(int bx, int by) {
  BlockInfo = BlockAnalysis{};
  const uint8_t* block = BlockAddress(bx, by);
  uint64_t present[4] = {0, 0, 0, 0};
  for (int r = 0; r < 8; ++r) {
    const uint8_t* row = block + r * Width;
    for (int c = 0; c < 8; ++c) present[row[c] >> 6] |= uint64_t{1} << (row[c] & 63);
  }
  int count = 0;
  for (int w = 0; w < 4; ++w) {
    for (uint64_t bits = present[w]; bits != 0; bits &= bits - 1) {
      const int color = 64 * w + std::countr_zero(bits);
      BlockInfo.Colors[count] = static_cast<uint8_t>(color);
      position_[color] = static_cast<uint8_t>(count);
      ++count;
    }
  }
  BlockInfo.ColorCount = count;
  for (int r = 0; r < 8; ++r) {
    const uint8_t* row = block + r * Width;
    for (int c = 0; c < 8; ++c) BlockInfo.PixelColor[8 * r + c] = position_[row[c]];
  }
}

bool IndexFrame::SolidColor(uint8_t* color) const {
  if (BlockInfo.ColorCount != 1) return false;
  *color = BlockInfo.Colors[0];
  return true;
}

bool IndexFrame::QuadrantColors(int bx, int by, uint8_t out[4]) const {
  if (BlockInfo.ColorCount > 4) return false;
  const uint8_t* block = BlockAddress(bx, by);
  static const int kQuadrant[4][2] = {{0, 0}, {4, 0}, {0, 4}, {4, 4}};
  for (int q = 0; q < 4; ++q) {
    const uint8_t* corner = block + kQuadrant[q][1] * Width + kQuadrant[q][0];
    const uint32_t expected = uint32_t{corner[0]} * 0x01010101u;
    for (int r = 0; r < 4; ++r)
      if (Load32(corner + r * Width) != expected) return false;
    out[q] = corner[0];
  }
  return true;
}

bool IndexFrame::CellColors(int bx, int by, uint8_t out[16]) const {
  if (BlockInfo.ColorCount > 16) return false;
  const uint8_t* block = BlockAddress(bx, by);
  for (int k = 0; k < 4; ++k) {
    const uint8_t* row = block + 2 * k * Width;
    if (Load64(row) != Load64(row + Width)) return false;
    for (int j = 0; j < 4; ++j) {
      if (row[2 * j] != row[2 * j + 1]) return false;
      out[4 * k + j] = row[2 * j];
    }
  }
  return true;
}

bool IndexFrame::CheckerColors(int bx, int by, uint8_t out[2]) const {
  if (BlockInfo.ColorCount > 2) return false;
  const uint8_t* block = BlockAddress(bx, by);
  const uint8_t a = block[0], b = block[1];
  const uint8_t evenBytes[8] = {a, b, a, b, a, b, a, b};
  const uint8_t oddBytes[8] = {b, a, b, a, b, a, b, a};
  const uint64_t even = Load64(evenBytes), odd = Load64(oddBytes);
  for (int r = 0; r < 8; ++r)
    if (Load64(block + r * Width) != ((r & 1) ? odd : even)) return false;
  out[0] = a;
  out[1] = b;
  return true;
}

bool IndexFrame::FourColorPattern(uint8_t out[20]) const {
  const int count = BlockInfo.ColorCount;
  if (count != 3 && count != 4) return false;
  out[0] = BlockInfo.Colors[0];
  out[1] = BlockInfo.Colors[1];
  out[2] = BlockInfo.Colors[2];
  out[3] = count == 4 ? BlockInfo.Colors[3] : BlockInfo.Colors[2];
  for (int i = 0; i < 16; ++i) {
    const uint8_t* p = BlockInfo.PixelColor + 4 * i;
    out[4 + i] = static_cast<uint8_t>(p[0] | (p[1] << 2) | (p[2] << 4) | (p[3] << 6));
  }
  return true;
}

bool IndexFrame::TwoColorPattern(uint8_t out[10]) const {
  if (BlockInfo.ColorCount != 2) return false;
  out[0] = BlockInfo.Colors[0];
  out[1] = BlockInfo.Colors[1];
  for (int r = 0; r < 8; ++r) {
    uint8_t bits = 0;
    for (int x = 0; x < 8; ++x) bits |= static_cast<uint8_t>(BlockInfo.PixelColor[8 * r + x] << x);
    out[2 + r] = bits;
  }
  return true;
}

void IndexFrame::BlockBytes(int bx, int by, uint8_t out[64]) const {
  const uint8_t* block = BlockAddress(bx, by);
  for (int r = 0; r < 8; ++r) std::memcpy(out + 8 * r, block + r * Width, 8);
}

}  // namespace korvane
