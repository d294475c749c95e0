// Colour counting.
#include "palette/histogram.h"

#include <algorithm>
#include <new>

namespace korvane {

namespace {

// Counts stop at the largest uint32 instead of wrapping: the black margin of a long movie
// passes 2^32 pixels, and a wrapped count would weigh the colour as rare or drop it entirely.
// The test is a branch that is never taken in practice, so that it stays off the chain of
// increments of one cell (a picture's long runs of one colour).
inline void CountCell(uint32_t* table, int cell) {
  const uint32_t v = table[cell];
  if (v == UINT32_MAX) [[unlikely]]
    return;
  table[cell] = v + 1;
}

}  // namespace

std::unique_ptr<ColorHistogram> ColorHistogram::Create() {
  std::unique_ptr<ColorHistogram> h(new (std::nothrow) ColorHistogram());
  if (!h) return nullptr;
  h->cells_.reset(new (std::nothrow) uint32_t[kHistogramCells]());
  if (!h->cells_) return nullptr;
  return h;
}

void ColorHistogram::AddBGR(const uint8_t* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  uint32_t* table = cells_.get();
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; ++i, pixels += 3)
    CountCell(table, CellOf(pixels[2], pixels[1], pixels[0]));
}

void ColorHistogram::AddRGB(const uint8_t* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  uint32_t* table = cells_.get();
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; ++i, pixels += 3)
    CountCell(table, CellOf(pixels[0], pixels[1], pixels[2]));
}

void ColorHistogram::Clear() {
  std::fill(cells_.get(), cells_.get() + kHistogramCells, 0u);
}

}  // namespace korvane
