// The nearest palette entry of a 6-bit cell, as the exact colour map finds it: plain squared
// RGB distance from the cell's middle, the lower index on equal distance. Cells are taken by
// blocks of 4 x 4 x 4, and only the entries that can be nearest somewhere in a block are
// compared there.
#pragma once

#include "palette/palette_entries.h"

namespace korvane {

class ExactCandidates {
 public:
  // The entries that can be nearest to some cell of the block whose first cell is (h0, h1, h2)
  // (6-bit coordinates, multiples of 4).
  void ForBlock(const PaletteEntries& palette, int h0, int h1, int h2);
  // The nearest of them to the cell (c0, c1, c2) of that block.
  int Nearest(const PaletteEntries& palette, int c0, int c1, int c2) const;

 private:
  int index_[kPaletteEntries];
  int count_ = 0;
};

}  // namespace korvane
