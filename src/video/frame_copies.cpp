#include "video/frame_copies.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "video/dsp/dsp.h"

namespace korvane {

namespace {

inline uint64_t Row(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The table's bytes by rows of one dy: byte `first` + i is (dxLow + i, dy) for i < count. Its
// bytes run through rows of rising dy, and through rising dx within a row.
struct TableRow {
  int dy = 0, dxLow = 0, first = 0, count = 0;
};

const std::array<TableRow, 15>& Rows() {
  static const std::array<TableRow, 15> rows = [] {
    std::array<TableRow, 15> r{};
    for (int b = 0; b < 256; ++b) {
      int dx, dy;
      NearCopyVector(static_cast<uint8_t>(b), &dx, &dy);
      TableRow& row = r[static_cast<size_t>(dy)];
      if (row.count++ == 0) row = {dy, dx, b, 1};
    }
    return r;
  }();
  return rows;
}

}  // namespace

bool FindIdenticalCopy(const uint8_t* want, int wantStride, const uint8_t* source, int width,
                       int height, int32_t offset, bool withinFrame, FrameCopyMode& record) {
  if (!source || width < 8 || height < 8) return false;
  const int x0 = offset % width, y0 = offset / width;
  const int sign = withinFrame ? -1 : 1;
  const dsp::Kernels& kernels = dsp::Selected();
  // Row by row of the table, the positions whose first row matches are screened at once, then
  // tried in the table's order: dx rising, so x falling when the table points left.
  for (const TableRow& t : Rows()) {
    const int y = y0 + sign * t.dy;
    if (y < 0 || y > height - 8) continue;
    int xa = x0 + sign * t.dxLow, xb = x0 + sign * (t.dxLow + t.count - 1);
    if (xa > xb) std::swap(xa, xb);
    xa = std::max(xa, 0);
    xb = std::min(xb, width - 8);
    if (xa > xb) continue;
    // The screen reads up to 38 bytes from xa, which stay within the frame: rows y + 1 ... y + 7
    // follow, at least 56 bytes.
    const uint8_t* s = source + static_cast<size_t>(y) * width;
    uint32_t matches = kernels.FirstRowMatches(want, s + xa, xb - xa + 1);
    while (matches) {
      const int bit = withinFrame ? 31 - __builtin_clz(matches) : __builtin_ctz(matches);
      matches &= ~(uint32_t{1} << bit);
      const int x = xa + bit;
      int row = 1;
      while (row < 8 &&
             Row(s + static_cast<size_t>(row) * width + x) == Row(want + row * wantStride))
        ++row;
      if (row < 8) continue;
      record.SourceOffset = y * width + x;
      record.Vector = static_cast<uint8_t>(t.first + sign * (x - x0) - t.dxLow);
      record.Kind = withinFrame ? kNearCopyMode : kFarCopyTwoBackMode;
      return true;
    }
  }
  return false;
}

}  // namespace korvane
