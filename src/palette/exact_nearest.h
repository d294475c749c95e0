// The nearest palette entry of a 6-bit cell, as the exact colour map finds it: plain squared
// RGB distance from the cell's middle, the lower index on equal distance. Cells are taken by
// blocks of 4 x 4 x 4, and only the entries that can be nearest somewhere in a block are
// compared there; those are picked from the entries that can be nearest somewhere in the
// block's region of 16 x 16 x 16 cells, found once for consecutive blocks of one region.
#pragma once

#include <cstdint>

#include "palette/palette_entries.h"

namespace korvane {

// Squared distance from the middle of the cell (c0, c1, c2) to `entry`, in doubled coordinates
// (a middle, 4c + 1.5 in 8 bits, is then the whole number 8c + 3): what the exact map compares.
inline int ExactDistance(const int32_t* entry, int c0, int c1, int c2) {
  const int d0 = 8 * c0 + 3 - 2 * entry[0], d1 = 8 * c1 + 3 - 2 * entry[1],
            d2 = 8 * c2 + 3 - 2 * entry[2];
  return d0 * d0 + d1 * d1 + d2 * d2;
}

class ExactCandidates {
 public:
  // Candidates among the entries of `palette`, which must stay as it is while this is used.
  explicit ExactCandidates(const PaletteEntries& palette) : palette_(palette) {}
  ExactCandidates(const ExactCandidates&) = delete;
  ExactCandidates& operator=(const ExactCandidates&) = delete;

  // The entries that can be nearest to some cell of the block whose first cell is (h0, h1, h2)
  // (6-bit coordinates, multiples of 4).
  void ForBlock(int h0, int h1, int h2);
  // The nearest of them to the cell (c0, c1, c2) of that block.
  int Nearest(int c0, int c1, int c2) const;

 private:
  const PaletteEntries& palette_;
  int region_ = -1;  // the region whose candidates regionIndex_ holds
  int regionIndex_[kPaletteEntries];
  int regionCount_ = 0;
  int index_[kPaletteEntries];
  int count_ = 0;
};

}  // namespace korvane
