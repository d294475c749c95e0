// The inverse colour map: the nearest palette entry of every histogram cell, built in full when
// a palette is set, so that every look-up afterwards only reads (from any number of threads).
#pragma once

#include <cstdint>
#include <memory>

#include "palette/color_statistics.h"
#include "palette/histogram.h"
#include "palette/palette_entries.h"

namespace korvane {

constexpr int kExactCells = 64 * 64 * 64;

class InverseColorMap {
 public:
  // A map whose every cell holds entry 0, or null when its memory cannot be had. The classic
  // map has the histogram's cells (6, 6 and 5 bits of red, green and blue); the exact map has
  // 64 x 64 x 64 cells, 6 bits of each, the precision at which decoders show colours.
  static std::unique_ptr<InverseColorMap> Create(bool exact = false);

  // Finds the nearest entry of `palette` for every cell. Distances use weights 2, 3, 1 on red,
  // green, blue and the cell centres; on equal distance the lower index wins. An empty palette
  // maps every cell to entry 0.
  // The exact map: plain squared distance in red, green and blue from each cell's point: the
  // mean of the colours `statistics` counted in it, or the cell's middle where none were counted
  // or without statistics; on equal distance the lower index wins. The cell's pixels are then
  // shown, together, as near as the palette allows. The classic map ignores `statistics`.
  void Build(const PaletteEntries& palette, const ColorStatistics* statistics = nullptr);
  // Threads Build may use (1 by default); the map is the same for any number.
  void SetThreads(int threads) { threads_ = threads; }
  bool Exact() const { return exact_; }
  uint8_t Nearest(int c0, int c1, int c2) const {
    return index_[((c0 >> 2) << redShift_) | ((c1 >> 2) << greenShift_) | (c2 >> blueDrop_)];
  }

 private:
  InverseColorMap() = default;
  void BuildExact(const PaletteEntries& palette, const ColorStatistics* statistics);
  // kExactCells entries for the exact map, kHistogramCells for the classic one.
  std::unique_ptr<uint8_t[]> index_;
  bool exact_ = false;
  int threads_ = 1;
  int redShift_ = 11, greenShift_ = 5, blueDrop_ = 3;
};

}  // namespace korvane
