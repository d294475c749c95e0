#include "palette/color_statistics.h"

#include <algorithm>
#include <new>

namespace korvane {

std::unique_ptr<ColorStatistics> ColorStatistics::Create() {
  std::unique_ptr<ColorStatistics> s(new (std::nothrow) ColorStatistics());
  if (!s) return nullptr;
  s->cells_.reset(new (std::nothrow) Cell[kCells]());
  if (!s->cells_) return nullptr;
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
  Add<2, 0>(cells_.get(), pixels, int64_t{width} * height);
}

void ColorStatistics::AddRGB(const uint8_t* pixels, int width, int height) {
  Add<0, 2>(cells_.get(), pixels, int64_t{width} * height);
}

void ColorStatistics::Clear() {
  std::fill(cells_.get(), cells_.get() + kCells, Cell{});
}

}  // namespace korvane
