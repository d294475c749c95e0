// The inverse colour map: the nearest palette entry of every histogram cell, built in full when
// a palette is set, so that every look-up afterwards only reads (from any number of threads).
#pragma once

#include <cstdint>
#include <memory>

#include "palette/histogram.h"
#include "palette/palette_entries.h"

namespace korvane {

class InverseColorMap {
 public:
  // A map whose every cell holds entry 0, or null when its memory cannot be had.
  static std::unique_ptr<InverseColorMap> Create();

  // Finds the nearest entry of `palette` for every cell. Distances use weights 2, 3, 1 on red,
  // green, blue and the cell centres; on equal distance the lower index wins. An empty palette
  // maps every cell to entry 0.
  void Build(const PaletteEntries& palette);

  uint8_t Cell(int cell) const { return index_[cell]; }
  uint8_t Nearest(int c0, int c1, int c2) const { return index_[CellOf(c0, c1, c2)]; }

 private:
  InverseColorMap() = default;
  std::unique_ptr<uint8_t[]> index_;  // kHistogramCells entries
};

}  // namespace korvane
