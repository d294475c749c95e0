// Parts shared by every version of the kernels. Each version's file includes this inside its
// own unnamed namespace, so that code compiled for wider instructions never stands in for the
// plain version's copy at link time.
#pragma once

#include <cstdint>
#include <cstring>

#include "video/dsp/dsp.h"

namespace korvane::dsp::KORVANE_DSP_VARIANT {
namespace {

// Rows are compared as whole machine words loaded with memcpy (no alignment assumptions).
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// True when the 8x8 blocks at `a` and `b` are the same.
inline bool SameBlock(const uint8_t* a, int aStride, const uint8_t* b, int bStride) {
  for (int r = 0; r < 8; ++r, a += aStride, b += bStride)
    if (Load64(a) != Load64(b)) return false;
  return true;
}

// The motion search loop around a version's RowBoundedError.
template <int32_t (*Error)(const uint8_t*, const uint8_t*, int, int32_t)>
int32_t SearchMotion(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                     int width, int32_t offset, int32_t lastBlockOffset, MotionMatch* match) {
  int32_t best = bound;
  const int stride = 3 * width;
  const int column = offset % width;
  for (int dy = -8; dy <= 7; ++dy) {
    for (int dx = -8; dx <= 7; ++dx) {
      const int32_t s = offset + dy * width + dx;
      if (s < 0 || s > lastBlockOffset) continue;
      // A source that crosses the left or right edge would take pixels from the neighbouring
      // row in a decoder that addresses its buffer linearly, but from outside the picture in
      // one whose rows are padded (FFmpeg's): such displacements are not offered at all.
      if (column + dx < 0 || column + dx > width - 8) continue;
      const int32_t e = Error(targetBlock, previousRGB + 3 * s, stride, best);
      if (e < best) {
        best = e;
        match->SourceOffset = s;
        match->Dx = static_cast<int8_t>(dx);
        match->Dy = static_cast<int8_t>(dy);
      }
    }
  }
  return best;
}

}  // namespace
}  // namespace korvane::dsp::KORVANE_DSP_VARIANT
