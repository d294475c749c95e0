// Mapping true-colour pictures to palette indices through a built inverse colour map. The
// mappings only read the map and the palette, so any number of them may run at once.
// Pictures are red, green, blue triples, rows consecutive; the output has one index per pixel.
#pragma once

#include <cstdint>

#include "palette/inverse_map.h"
#include "palette/palette_entries.h"

namespace korvane {

// The nearest entry of every pixel.
void RemapPixels(const InverseColorMap& map, const uint8_t* in, uint8_t* out, int width,
                 int height);

// One index per 2 x 2 cell, from the cell's summed colour, written to the cell's four pixels.
void RemapHalfRes(const InverseColorMap& map, const uint8_t* in, uint8_t* out, int width,
                  int height);

// Serpentine Floyd-Steinberg error diffusion against `palette`. Returns false when its working
// memory cannot be allocated.
bool RemapDithered(const InverseColorMap& map, const PaletteEntries& palette, const uint8_t* in,
                   uint8_t* out, int width, int height);

}  // namespace korvane
