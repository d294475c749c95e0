// The movie palette in the 6-bit form the MVE palette opcode carries.
#pragma once

#include <cstdint>

namespace korvane {

// The palette as three planes of 256 components, each 0-63 (the 8-bit component >> 2).
struct PalettePlanes {
  uint8_t Red[256] = {};
  uint8_t Green[256] = {};
  uint8_t Blue[256] = {};

  // Fills all 256 entries from a palette of 256 entries of 4 bytes (red, green, blue, 0).
  void Fill(const uint8_t* palette);
};

}  // namespace korvane
