// The plain versions of the kernels: the reference every other version must equal.
#define KORVANE_DSP_VARIANT plain
#include "video/dsp/kernels_inl.h"

namespace korvane::dsp {

namespace plain {
namespace {

int32_t RowBoundedError(const uint8_t* target, const uint8_t* reference, int stride,
                        int32_t bound) {
  int32_t sum = 0;
  for (int y = 0; y < 8; ++y) {
    const uint8_t* t = target + y * stride;
    const uint8_t* r = reference + y * stride;
    int32_t row = 0;
    for (int x = 0; x < 24; ++x) {
      const int32_t d = t[x] - r[x];
      row += d * d;
    }
    sum += row;
    if (sum >= bound) return sum;
  }
  return sum;
}

int32_t MotionSearch(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                     int width, int32_t offset, int32_t lastBlockOffset, MotionMatch* match) {
  return SearchMotion<RowBoundedError>(bound, targetBlock, previousRGB, width, offset,
                                       lastBlockOffset, match);
}

int FindCopyInterior(const uint8_t* block, int blockStride, const uint8_t* window, int windowStride,
                     int dyFirst, int dyLast, uint32_t columns) {
  for (int dy = dyFirst; dy <= dyLast; ++dy) {
    const uint8_t* row = window + dy * windowStride;
    for (int i = 0; i < 16; ++i)
      if ((columns >> i & 1) && SameBlock(block, blockStride, row + i, windowStride))
        return (dy + 8) * 16 + i;
  }
  return -1;
}

uint32_t FirstRowMatches(const uint8_t* row, const uint8_t* window, int positions) {
  const uint64_t want = Load64(row);
  uint32_t matches = 0;
  for (int i = 0; i < positions; ++i)
    if (Load64(window + i) == want) matches |= uint32_t{1} << i;
  return matches;
}

int32_t NearestOfColors(const int32_t* t0, const int32_t* t1, const int32_t* t2, const int32_t* tsq,
                        int units, const int32_t (*colors)[4], int k, int32_t* group) {
  int32_t total = 0;
  for (int i = 0; i < units; ++i) {
    int32_t best = 0, at = 0;
    for (int j = 0; j < k; ++j) {
      const int32_t* c = colors[j];
      const int32_t e = tsq[i] - c[0] * t0[i] - c[1] * t1[i] - c[2] * t2[i] + c[3];
      if (j == 0 || e < best) {
        best = e;
        at = j;
      }
    }
    group[i] = at;
    total += best;
  }
  return total;
}

}  // namespace
}  // namespace plain

const Kernels& PlainKernels() {
  static const Kernels kernels{"plain",
                               plain::RowBoundedError,
                               plain::MotionSearch,
                               plain::FindCopyInterior,
                               plain::FirstRowMatches,
                               plain::NearestOfColors};
  return kernels;
}

}  // namespace korvane::dsp
