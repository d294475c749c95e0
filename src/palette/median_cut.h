// Median cut: the counted colours become at most the desired number of palette entries, in
// ascending order of brightness.
#pragma once

#include "palette/histogram.h"
#include "palette/palette_entries.h"

namespace korvane {

// Cuts the occupied colour space into at most `desired` (1 ... 256) boxes and makes each box's
// population-weighted mean colour an entry; the entries are sorted. Nothing counted gives one
// black entry.
void MedianCut(const ColorHistogram& histogram, int desired, PaletteEntries& palette);

// Ascending red + green + blue. An exchange sort whose exact order among equal sums is part of
// the palette's identity: entries with equal sums are never exchanged with each other, so
// sorting a sorted palette changes nothing.
void SortPalette(PaletteEntries& palette);

}  // namespace korvane
