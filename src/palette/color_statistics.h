// The colour statistics of pass 1 for the default palette: for each of the 64 x 64 x 64 cells
// of 6-bit red, green and blue, the number of pixels and the sums of their components, so that
// the palette can be designed from the true mean colour of every cell.
//
// Counting touches a cell per pixel in no order, so the table it touches on every pixel is a
// quarter of the size of the totals: 4 bytes a cell, holding the pixels counted lately and the
// sums of the two low bits of their components (the six high bits are the cell's own). A cell
// that reaches 64 pixels there is added to its 64-bit totals and starts again from zero;
// reading the statistics adds what remains.
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
  // The totals of every cell, every pixel counted so far included.
  const Cell* Cells() const;

 private:
  ColorStatistics() = default;

  // Totals; brought up to date with the recent counts when read.
  mutable LargeArray<Cell> cells_;
  // Per cell, the recent counts: bits 0-7, 8-15 and 16-23 the sums of the low two bits of the
  // first, second and third bytes of its pixels, bits 24-31 their number.
  mutable LargeArray<uint32_t> recent_;
  // The byte order of what the recent counts hold: none, blue first or red first.
  enum class Order { None, BGR, RGB };
  mutable Order recentOrder_ = Order::None;
  // Adds every recent count to the totals; the recent table is then empty.
  void Flush() const;
  // Starts counting pixels of `order`, flushing recent counts of the other order.
  void Begin(Order order);
};

}  // namespace korvane
