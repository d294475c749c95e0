// The SSE2 versions of the kernels (every x86-64 processor has SSE2).
#if defined(__SSE2__)

#include <emmintrin.h>

#define KORVANE_DSP_VARIANT sse2
#include "video/dsp/kernels_inl.h"

namespace korvane::dsp {

namespace sse2 {
namespace {

int32_t RowBoundedError(const uint8_t* target, const uint8_t* reference, int stride,
                        int32_t bound) {
  const __m128i zero = _mm_setzero_si128();
  int32_t sum = 0;
  for (int y = 0; y < 8; ++y) {
    const uint8_t* t = target + y * stride;
    const uint8_t* r = reference + y * stride;
    const __m128i t16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    const __m128i r16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
    const __m128i t8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + 16));
    const __m128i r8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + 16));
    const __m128i d0 = _mm_sub_epi16(_mm_unpacklo_epi8(t16, zero), _mm_unpacklo_epi8(r16, zero));
    const __m128i d1 = _mm_sub_epi16(_mm_unpackhi_epi8(t16, zero), _mm_unpackhi_epi8(r16, zero));
    const __m128i d2 = _mm_sub_epi16(_mm_unpacklo_epi8(t8, zero), _mm_unpacklo_epi8(r8, zero));
    __m128i acc = _mm_add_epi32(_mm_madd_epi16(d0, d0), _mm_madd_epi16(d1, d1));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(d2, d2));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
    sum += _mm_cvtsi128_si32(acc);
    if (sum >= bound) return sum;
  }
  return sum;
}

int32_t MotionSearch(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                     int width, int32_t offset, int32_t lastBlockOffset, MotionMatch* match) {
  return SearchMotion<RowBoundedError>(bound, targetBlock, previousRGB, width, offset,
                                       lastBlockOffset, match);
}

// The 16 positions of a displacement row are screened at once: only those whose whole first
// row matches are compared in full, in the same order.
int FindCopyInterior(const uint8_t* block, int blockStride, const uint8_t* window, int windowStride,
                     int dyFirst, int dyLast, uint32_t columns) {
  __m128i pixel[8];
  for (int k = 0; k < 8; ++k) pixel[k] = _mm_set1_epi8(static_cast<char>(block[k]));
  for (int dy = dyFirst; dy <= dyLast; ++dy) {
    const uint8_t* row = window + dy * windowStride;
    __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)), pixel[0]);
    for (int k = 1; k < 8; ++k)
      same = _mm_and_si128(
          same,
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + k)), pixel[k]));
    uint32_t candidates = static_cast<uint32_t>(_mm_movemask_epi8(same)) & columns;
    while (candidates) {
      const int i = __builtin_ctz(candidates);
      candidates &= candidates - 1;
      if (SameBlock(block, blockStride, row + i, windowStride)) return (dy + 8) * 16 + i;
    }
  }
  return -1;
}

// Sixteen positions at a time: byte k of the row against the window from k on.
uint32_t FirstRowMatches(const uint8_t* row, const uint8_t* window, int positions) {
  uint32_t matches = 0;
  for (int base = 0; base < positions; base += 16) {
    const uint8_t* w = window + base;
    __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)),
                                  _mm_set1_epi8(static_cast<char>(row[0])));
    for (int k = 1; k < 8; ++k)
      same = _mm_and_si128(same,
                           _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + k)),
                                          _mm_set1_epi8(static_cast<char>(row[k]))));
    matches |= static_cast<uint32_t>(_mm_movemask_epi8(same)) << base;
  }
  return positions >= 32 ? matches : matches & ((uint32_t{1} << positions) - 1);
}

// Four units at a time. The components and the doubled colour fit 16 bits, so one
// multiply-add gives r0 t0 + r1 t1 from t0 and t1 packed into the halves of a 32-bit lane, and
// another r2 t2 (the lane's upper half being zero).
int32_t NearestOfColors(const int32_t* t0, const int32_t* t1, const int32_t* t2, const int32_t* tsq,
                        int units, const int32_t (*colors)[4], int k, int32_t* group) {
  __m128i pair[4], third[4], square[4];
  for (int j = 0; j < k; ++j) {
    const int32_t* c = colors[j];
    pair[j] = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(c[1]) << 16) |
                                                  (static_cast<uint32_t>(c[0]) & 0xFFFF)));
    third[j] = _mm_set1_epi32(c[2]);
    square[j] = _mm_set1_epi32(c[3]);
  }
  __m128i total = _mm_setzero_si128();
  for (int i = 0; i < units; i += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t0 + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t1 + i));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t2 + i));
    const __m128i sq = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tsq + i));
    const __m128i ab = _mm_or_si128(a, _mm_slli_epi32(b, 16));
    auto cost = [&](int j) {
      const __m128i dot = _mm_add_epi32(_mm_madd_epi16(ab, pair[j]), _mm_madd_epi16(c, third[j]));
      return _mm_add_epi32(_mm_sub_epi32(sq, dot), square[j]);
    };
    __m128i best = cost(0);
    __m128i at = _mm_setzero_si128();
    for (int j = 1; j < k; ++j) {
      const __m128i e = cost(j);
      const __m128i nearer = _mm_cmplt_epi32(e, best);
      best = _mm_or_si128(_mm_and_si128(nearer, e), _mm_andnot_si128(nearer, best));
      at = _mm_or_si128(_mm_and_si128(nearer, _mm_set1_epi32(j)), _mm_andnot_si128(nearer, at));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(group + i), at);
    total = _mm_add_epi32(total, best);
  }
  total = _mm_add_epi32(total, _mm_shuffle_epi32(total, _MM_SHUFFLE(1, 0, 3, 2)));
  total = _mm_add_epi32(total, _mm_shuffle_epi32(total, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(total);
}

}  // namespace
}  // namespace sse2

const Kernels& Sse2Kernels() {
  static const Kernels kernels{"sse2",
                               sse2::RowBoundedError,
                               sse2::MotionSearch,
                               sse2::FindCopyInterior,
                               sse2::FirstRowMatches,
                               sse2::NearestOfColors};
  return kernels;
}

}  // namespace korvane::dsp

#endif
