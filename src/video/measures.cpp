#include "video/measures.h"

#include <cstring>

#include "palette/color_reducer.h"
#include "video/dsp/dsp.h"
#include "video/modes.h"

namespace korvane {

namespace {

uint8_t MapToZero(const void*, uint8_t, uint8_t, uint8_t) {
  return 0;
}

uint8_t MapThroughReducer(const void* context, uint8_t c0, uint8_t c1, uint8_t c2) {
  return static_cast<const ColorReducer*>(context)->MapColor(c0, c1, c2);
}

inline int32_t PixelError(const uint8_t* t, const uint8_t* c) {
  const int32_t d0 = t[0] - c[0], d1 = t[1] - c[1], d2 = t[2] - c[2];
  return d0 * d0 + d1 * d1 + d2 * d2;
}

}  // namespace

PaletteTables::PaletteTables() : distance_(256 * 256, 0), map_(MapToZero) {
  std::memset(rgb_, 0, sizeof(rgb_));
}

void PaletteTables::Set(const uint8_t palette[1024], ColorMapFn map, const void* mapContext) {
  std::memcpy(rgb_, palette, sizeof(rgb_));
  for (int i = 0; i < 256; ++i) rgb_[4 * i + 3] = 0;
  map_ = map ? map : MapToZero;
  inverse_ = nullptr;
  mapContext_ = mapContext;
  for (int i = 0; i < 256; ++i)
    for (int j = i; j < 256; ++j) {
      const int32_t d = PixelError(rgb_ + 4 * i, rgb_ + 4 * j);
      distance_[i * 256 + j] = d;
      distance_[j * 256 + i] = d;
    }
}

void PaletteTables::SetFromReducer(const ColorReducer& reducer) {
  uint8_t palette[kPaletteBytes];
  reducer.GetPalette(palette);
  Set(palette, MapThroughReducer, &reducer);
  inverse_ = &reducer.Map();
}

int32_t BlockError(const PaletteTables& pal, const uint8_t* target, int targetStride,
                   const uint8_t* index, int indexStride, int n) {
  int32_t sum = 0;
  for (int y = 0; y < n; ++y) {
    const uint8_t* t = target + y * targetStride;
    const uint8_t* ix = index + y * indexStride;
    for (int x = 0; x < n; ++x) sum += PixelError(t + 3 * x, pal.Rgb(ix[x]));
  }
  return sum;
}

int32_t ContiguousBlockError(const PaletteTables& pal, const uint8_t* target, int targetStride,
                             const uint8_t* index, int n) {
  return BlockError(pal, target, targetStride, index, n, n);
}

int32_t SolidError(const PaletteTables& pal, const uint8_t* target, int targetStride, uint8_t index,
                   int n) {
  const uint8_t* c = pal.Rgb(index);
  int32_t sum = 0;
  for (int y = 0; y < n; ++y) {
    const uint8_t* t = target + y * targetStride;
    for (int x = 0; x < n; ++x) sum += PixelError(t + 3 * x, c);
  }
  return sum;
}

int32_t BoundedReferenceError(const uint8_t* target, const uint8_t* reference, int stride,
                              int32_t bound) {
  int32_t sum = 0;
  for (int y = 0; y < 8; ++y) {
    const uint8_t* t = target + y * stride;
    const uint8_t* r = reference + y * stride;
    for (int x = 0; x < 24; x += 3) {
      sum += PixelError(t + x, r + x);
      if (sum >= bound) return sum;
    }
  }
  return sum;
}

double SignalEnergy(const uint8_t* target, int64_t pixelCount) {
  // Every term is an integer and the total stays far below 2^53, so an integer sum converted
  // once is the same as a floating-point accumulation.
  uint64_t sum = 0;
  const int64_t n = 3 * pixelCount;
  for (int64_t i = 0; i < n; ++i) sum += static_cast<uint32_t>(target[i]) * target[i];
  return static_cast<double>(sum);
}

int32_t MotionSearch(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                     int width, int32_t offset, int32_t lastBlockOffset, MotionMode& record) {
  // The search compares with a bound checked after every row instead of every pixel (the
  // kernels' RowBoundedError). It only asks whether a result is below the best error so far: a
  // sum that reached it within a row still has at the row's end, and a sum that never reaches
  // it is the full sum either way, so every decision is the same.
  dsp::MotionMatch match;
  const int32_t best = dsp::Selected().MotionSearch(bound, targetBlock, previousRGB, width, offset,
                                                    lastBlockOffset, &match);
  if (best < bound) {
    record.SourceOffset = match.SourceOffset;
    record.Dx = match.Dx;
    record.Dy = match.Dy;
  }
  return best == bound ? kUnavailable : best;
}

}  // namespace korvane
