#include "video/frame_copies.h"

#include <array>
#include <cstring>

namespace korvane {

namespace {

struct Displacement {
  int8_t dx, dy;
};

const std::array<Displacement, 256>& Table() {
  static const std::array<Displacement, 256> table = [] {
    std::array<Displacement, 256> t{};
    for (int b = 0; b < 256; ++b) {
      int dx, dy;
      NearCopyVector(static_cast<uint8_t>(b), &dx, &dy);
      t[b] = {static_cast<int8_t>(dx), static_cast<int8_t>(dy)};
    }
    return t;
  }();
  return table;
}

inline uint64_t Row(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

bool FindIdenticalCopy(const uint8_t* want, int wantStride, const uint8_t* source, int width,
                       int height, int32_t offset, bool withinFrame, FrameCopyMode& record) {
  if (!source || width < 8 || height < 8) return false;
  const int x0 = offset % width, y0 = offset / width;
  const int sign = withinFrame ? -1 : 1;
  const uint64_t first = Row(want);
  const auto& table = Table();
  for (int b = 0; b < 256; ++b) {
    const int x = x0 + sign * table[b].dx, y = y0 + sign * table[b].dy;
    if (x < 0 || y < 0 || x > width - 8 || y > height - 8) continue;
    const uint8_t* s = source + static_cast<size_t>(y) * width + x;
    if (Row(s) != first) continue;
    int row = 1;
    while (row < 8 && Row(s + static_cast<size_t>(row) * width) == Row(want + row * wantStride))
      ++row;
    if (row < 8) continue;
    record.SourceOffset = y * width + x;
    record.Vector = static_cast<uint8_t>(b);
    record.Kind = withinFrame ? kNearCopyMode : kFarCopyTwoBackMode;
    return true;
  }
  return false;
}

}  // namespace korvane
