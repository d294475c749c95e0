// The nearest palette entry of a 6-bit cell, as the exact colour map finds it: plain squared
// RGB distance from the cell's point, the lower index on equal distance. A cell's point is the
// mean of the colours counted in it where any were counted (what its pixels need), else its
// middle. Cells are taken by blocks of 4 x 4 x 4, and only the entries that can be nearest
// somewhere in a block are compared there; those are picked from the entries that can be
// nearest somewhere in the block's region of 16 x 16 x 16 cells, found once for consecutive
// blocks of one region.
#pragma once

#include <cmath>
#include <cstdint>

#include "palette/palette_entries.h"

namespace korvane {

// Points are in eighths of an 8-bit step, so that a cell's middle (4c + 1.5) and a mean
// rounded to an eighth are whole numbers; every point of cell c lies within 32c ... 32c + 24.
inline int MiddlePoint(int c) {
  return 32 * c + 12;
}
// The mean `sum / count` of colour components counted in cell c, kept within the cell.
inline int MeanPoint(double sum, double count, int c) {
  const long p = std::lround(8.0 * sum / count);
  return static_cast<int>(p < 32 * c ? 32 * c : p > 32 * c + 24 ? 32 * c + 24 : p);
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
