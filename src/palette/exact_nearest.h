// The nearest palette entry of a 6-bit cell, as the exact colour map finds it: plain squared
// RGB distance from the cell's point, the lower index on equal distance. A cell's point is the
// mean of the colours counted in it where any were counted (what its pixels need), else its
// middle. Cells are taken by blocks of 4 x 4 x 4, and only the entries that can be nearest
// somewhere in a block are compared there; those are picked from the entries that can be
// nearest somewhere in the block's region of 16 x 16 x 16 cells, found once for consecutive
// blocks of one region.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "palette/color_statistics.h"
#include "palette/palette_entries.h"

namespace korvane {

// Points are in eighths of an 8-bit step, so that a cell's middle (4c + 1.5) and a mean
// rounded to an eighth are whole numbers; every point of cell c lies within 32c ... 32c + 24.
// The point of cell `cell` (6 bits of red, green, blue): the mean of the colours `counted`
// holds for it, kept within the cell, or its middle where none were counted (or `counted` is
// null).
inline void CellPoint(const ColorStatistics::Cell* counted, int cell, int point[3]) {
  const int at[3] = {cell >> 12, (cell >> 6) & 63, cell & 63};
  if (!counted || counted[cell].Count == 0) {
    for (int k = 0; k < 3; ++k) point[k] = 32 * at[k] + 12;
    return;
  }
  const ColorStatistics::Cell& c = counted[cell];
  const uint64_t sums[3] = {c.Red, c.Green, c.Blue};
  const double n = static_cast<double>(c.Count);
  for (int k = 0; k < 3; ++k) {
    const long p = std::lround(8.0 * static_cast<double>(sums[k]) / n);
    point[k] = static_cast<int>(std::clamp<long>(p, 32 * at[k], 32 * at[k] + 24));
  }
}

// Squared distance from `point` to `entry`: what the exact map compares (below 2^24).
inline int ExactDistance(const int32_t* entry, const int point[3]) {
  const int d0 = point[0] - 8 * entry[0], d1 = point[1] - 8 * entry[1],
            d2 = point[2] - 8 * entry[2];
  return d0 * d0 + d1 * d1 + d2 * d2;
}

class ExactCandidates {
 public:
  // Candidates among the entries of `palette`, which must stay as it is while this is used.
  explicit ExactCandidates(const PaletteEntries& palette) : palette_(palette) {}
  ExactCandidates(const ExactCandidates&) = delete;
  ExactCandidates& operator=(const ExactCandidates&) = delete;

  // The entries that can be nearest to some point of the block whose first cell is
  // (h0, h1, h2) (6-bit coordinates, multiples of 4).
  void ForBlock(int h0, int h1, int h2);
  // The nearest of them to `point`, a point of a cell of that block.
  int Nearest(const int point[3]) const;

 private:
  const PaletteEntries& palette_;
  int region_ = -1;  // the region whose candidates regionIndex_ holds
  int regionIndex_[kPaletteEntries];
  int regionCount_ = 0;
  int index_[kPaletteEntries];
  int count_ = 0;
};

}  // namespace korvane
