// Shared helpers of the palette tests: palettes, pictures and a brute-force nearest search.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "palette/color_reducer.h"

namespace korvane::test {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

inline int Brightness(const Rgb& c) {
  return c.r + c.g + c.b;
}

// A fresh 256-colour reducer holding `colors` (sorted by the reducer).
inline std::unique_ptr<ColorReducer> ReducerWithPalette(const std::vector<Rgb>& colors) {
  auto reducer = ColorReducer::Create(256);
  std::vector<uint8_t> entries(4 * colors.size() + 4, 0);
  for (size_t i = 0; i < colors.size(); ++i) {
    entries[4 * i] = static_cast<uint8_t>(colors[i].r);
    entries[4 * i + 1] = static_cast<uint8_t>(colors[i].g);
    entries[4 * i + 2] = static_cast<uint8_t>(colors[i].b);
  }
  reducer->SetPalette(entries.data(), static_cast<int>(colors.size()));
  return reducer;
}

// The reducer's valid palette entries, in index order.
inline std::vector<Rgb> PaletteOf(ColorReducer& reducer) {
  uint8_t raw[kPaletteBytes];
  int n = reducer.GetPalette(raw);
  std::vector<Rgb> colors;
  for (int i = 0; i < n; ++i) colors.push_back({raw[4 * i], raw[4 * i + 1], raw[4 * i + 2]});
  return colors;
}

// Nearest entry to the centre of the colour cell of (r, g, b), weights 2, 3, 1, lowest index
// on equal distance: the plain search every look-up must agree with.
inline int BruteForceNearest(const std::vector<Rgb>& palette, int r, int g, int b) {
  const int c0 = (r >> 2) * 4 + 2, c1 = (g >> 2) * 4 + 2, c2 = (b >> 3) * 8 + 4;
  int best = -1;
  long bestDist = 0;
  for (size_t i = 0; i < palette.size(); ++i) {
    long d0 = 2 * (c0 - palette[i].r), d1 = 3 * (c1 - palette[i].g), d2 = c2 - palette[i].b;
    long dist = d0 * d0 + d1 * d1 + d2 * d2;
    if (best < 0 || dist < bestDist) {
      best = static_cast<int>(i);
      bestDist = dist;
    }
  }
  return best;
}

inline std::vector<Rgb> RandomColors(int n, uint32_t seed, int lo = 0, int hi = 255) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(lo, hi);
  std::vector<Rgb> colors;
  for (int i = 0; i < n; ++i) colors.push_back({dist(rng), dist(rng), dist(rng)});
  return colors;
}

// width x height R, G, B pixels of uniform noise.
inline std::vector<uint8_t> RandomPicture(int width, int height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  for (auto& p : pixels) p = static_cast<uint8_t>(rng() >> 24);
  return pixels;
}

}  // namespace korvane::test
