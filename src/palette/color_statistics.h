// The colour statistics of pass 1 for the default palette: for each of the 64 x 64 x 64 cells
// of 6-bit red, green and blue, the number of pixels and the sums of their components, so that
// the palette can be designed from the true mean colour of every cell.
#pragma once

#include <cstdint>
#include <memory>

#include "palette/large_array.h"

namespace korvane {

class ColorStatistics {
 public:
  struct Cell {
    uint64_t Count, Red, Green, Blue;
  };
  static constexpr int kCells = 64 * 64 * 64;
  static int CellOf(int red, int green, int blue) {
    return ((red >> 2) << 12) | ((green >> 2) << 6) | (blue >> 2);
  }

  // Empty statistics, or null when their memory cannot be had.
  static std::unique_ptr<ColorStatistics> Create();

  // Counts width x height consecutive 3-byte pixels, blue-green-red or red-green-blue.
  void AddBGR(const uint8_t* pixels, int width, int height);
  void AddRGB(const uint8_t* pixels, int width, int height);
  void Clear();
  const Cell* Cells() const { return cells_.data(); }

 private:
  ColorStatistics() = default;
  LargeArray<Cell> cells_;
};

}  // namespace korvane
