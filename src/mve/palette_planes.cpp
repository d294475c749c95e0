#include "mve/palette_planes.h"

namespace korvane {

void PalettePlanes::Fill(const uint8_t* palette) {
  for (int i = 0; i < 256; ++i) {
    Red[i] = palette[4 * i] >> 2;
    Green[i] = palette[4 * i + 1] >> 2;
    Blue[i] = palette[4 * i + 2] >> 2;
  }
}

}  // namespace korvane
