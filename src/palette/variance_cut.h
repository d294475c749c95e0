// The default palette design: the counted colours are cut into boxes, always splitting the box
// whose pixels lie farthest from its mean (squared error weighted by pixel count) along its
// widest axis at the point that leaves the least error, and the box means are then refined by
// Lloyd iterations. Entries are colours that decoders show exactly (6 bits per component,
// widened as decoders widen them), and each refinement assigns the counted colours as the exact
// colour map will map them, so the error designed for is the error players show.
#pragma once

#include "palette/color_statistics.h"
#include "palette/palette_entries.h"

namespace korvane {

// The 8-bit value decoders show for a 6-bit palette component.
inline int ShownComponent(int six) {
  return (six << 2) | (six >> 4);
}
// The component nearest to `value` (0 ... 255) among those decoders can show.
int NearestShownComponent(double value);

// At most `desired` (1 ... 256) entries, sorted as SortPalette sorts. Nothing counted gives one
// black entry. `refinements` caps the Lloyd iterations. Up to `threads` threads share the
// refinement; the palette is the same for any number. False when memory runs out.
bool VarianceCut(const ColorStatistics& statistics, int desired, PaletteEntries& palette,
                 int refinements = 8, int threads = 1);

}  // namespace korvane
