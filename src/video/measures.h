// Palette tables and distortion measures of the default method: every measure is a sum of
// squared differences of the three colour components between true-colour target pixels and
// palette colours (or reference pixels), in integer arithmetic.
#pragma once

#include <cstdint>
#include <vector>

#include "palette/inverse_map.h"

namespace korvane {

class ColorReducer;
struct MotionMode;

// Maps one colour to a palette index. Must be safe to call from several threads at once.
using ColorMapFn = uint8_t (*)(const void* context, uint8_t c0, uint8_t c1, uint8_t c2);

class PaletteTables {
 public:
  PaletteTables();

  // Takes the 256 palette entries (c0, c1, c2, unused) and the single-colour mapping; fills
  // PaletteRGB and PaletteDistance.
  void Set(const uint8_t palette[1024], ColorMapFn map, const void* mapContext);
  // The reducer's palette and its read-only mapping.
  void SetFromReducer(const ColorReducer& reducer);

  uint8_t MapColor(int c0, int c1, int c2) const {
    if (inverse_) return inverse_->Nearest(c0, c1, c2);
    return map_(mapContext_, static_cast<uint8_t>(c0), static_cast<uint8_t>(c1),
                static_cast<uint8_t>(c2));
  }
  const uint8_t* Rgb(int index) const { return rgb_ + 4 * index; }
  const uint8_t* RgbTable() const { return rgb_; }
  int32_t Distance(int i, int j) const { return distance_[i * 256 + j]; }
  const int32_t* DistanceRow(int i) const { return distance_.data() + i * 256; }

 private:
  alignas(16) uint8_t rgb_[1024];  // PaletteRGB
  std::vector<int32_t> distance_;  // PaletteDistance, 256 x 256
  ColorMapFn map_;
  const void* mapContext_ = nullptr;
  // The reducer's inverse colour map when the mapping is the reducer's: read in place.
  const InverseColorMap* inverse_ = nullptr;
};

// Block error of an n x n block (n = 8 or 4): target rows `targetStride` bytes apart,
// index rows `indexStride` bytes apart.
int32_t BlockError(const PaletteTables& pal, const uint8_t* target, int targetStride,
                   const uint8_t* index, int indexStride, int n);
// The same against a contiguous index block (n bytes per row).
int32_t ContiguousBlockError(const PaletteTables& pal, const uint8_t* target, int targetStride,
                             const uint8_t* index, int n);
// The same against one palette colour for every pixel.
int32_t SolidError(const PaletteTables& pal, const uint8_t* target, int targetStride, uint8_t index,
                   int n);
// 8x8 block against 3-byte reference pixels (rows `stride` bytes apart in both). After every
// pixel, once the running sum has reached `bound`, stops and returns the running sum.
int32_t BoundedReferenceError(const uint8_t* target, const uint8_t* reference, int stride,
                              int32_t bound);
// Sum of the squares of all 3 x pixelCount component bytes.
double SignalEnergy(const uint8_t* target, int64_t pixelCount);

// Searches the 16 x 16 displacements around block offset `offset` (dy outer, dx inner, both
// -8 ... 7) in `previousRGB` for a source strictly better than `bound`, the error of the plain
// copy. Sources must start within 0 ... lastBlockOffset. Returns kUnavailable when none beats
// the bound, else the best error, and then fills the record's SourceOffset, Dx and Dy.
int32_t MotionSearch(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                     int width, int32_t offset, int32_t lastBlockOffset, MotionMode& record);

}  // namespace korvane
