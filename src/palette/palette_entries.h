// The movie palette as the colour reducer keeps it.
#pragma once

#include <cstdint>

namespace korvane {

// 256 entries of 4 bytes: red, green, blue, 0.
constexpr int kPaletteEntries = 256;
constexpr int kPaletteBytes = kPaletteEntries * 4;

struct PaletteEntries {
  int32_t Entry[kPaletteEntries][4] = {};  // red, green, blue, unused (aligned rows)
  int Count = 0;                           // entries 0 ... Count - 1 are valid
};

}  // namespace korvane
