#include "palette/color_statistics.h"

#include <algorithm>
#include <new>

namespace korvane {

std::unique_ptr<ColorStatistics> ColorStatistics::Create() {
  std::unique_ptr<ColorStatistics> s(new (std::nothrow) ColorStatistics());
  if (!s) return nullptr;
  if (!s->cells_.Allocate(kCells)) return nullptr;
  return s;
}

namespace {

template <int R, int B>
void Add(ColorStatistics::Cell* cells, const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i < n; ++i, p += 3) {
    ColorStatistics::Cell& c = cells[ColorStatistics::CellOf(p[R], p[1], p[B])];
    ++c.Count;
    c.Red += p[R];
    c.Green += p[1];
    c.Blue += p[B];
  }
}

}  // namespace

void ColorStatistics::AddBGR(const uint8_t* pixels, int width, int height) {
  Add<2, 0>(cells_.data(), pixels, int64_t{width} * height);
}

void ColorStatistics::AddRGB(const uint8_t* pixels, int width, int height) {
  Add<0, 2>(cells_.data(), pixels, int64_t{width} * height);
}

void ColorStatistics::Clear() {
  cells_.Zero();
}

}  // namespace korvane
