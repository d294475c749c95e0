// The colour histogram of pass 1: 64 x 64 x 32 cells of red, green and blue (6, 6 and 5 top
// bits), one count per cell.
#pragma once

#include <cstdint>
#include <memory>

namespace korvane {

// Histogram / inverse colour map geometry: 64 x 64 x 32 cells.
constexpr int kHistogramCells = 64 * 64 * 32;

// Cell of a colour: 6 bits of red, 6 of green, 5 of blue, linear index h0 * 2048 + h1 * 32 + h2.
inline int CellOf(int c0, int c1, int c2) {
  return ((c0 >> 2) << 11) | ((c1 >> 2) << 5) | (c2 >> 3);
}
inline int CellIndex(int h0, int h1, int h2) {
  return (h0 << 11) | (h1 << 5) | h2;
}

class ColorHistogram {
 public:
  // A zero histogram, or null when its memory cannot be had.
  static std::unique_ptr<ColorHistogram> Create();

  // Counts width x height consecutive 3-byte pixels, in blue-green-red or red-green-blue order.
  // A count stops at the largest uint32 instead of wrapping.
  void AddBGR(const uint8_t* pixels, int width, int height);
  void AddRGB(const uint8_t* pixels, int width, int height);

  void Clear();

  // The kHistogramCells counts.
  uint32_t* Cells() { return cells_.get(); }
  const uint32_t* Cells() const { return cells_.get(); }

 private:
  ColorHistogram() = default;
  std::unique_ptr<uint32_t[]> cells_;
};

}  // namespace korvane
