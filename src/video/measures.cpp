#include "video/measures.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "palette/color_reducer.h"
#include "video/modes.h"

namespace korvane {

namespace {

uint8_t MapToZero(const void*, uint8_t, uint8_t, uint8_t) {
  return 0;
}

uint8_t MapThroughReducer(const void* context, uint8_t c0, uint8_t c1, uint8_t c2) {
  return static_cast<const ColorReducer*>(context)->MapColorFilled(c0, c1, c2);
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
  mapContext_ = mapContext;
  for (int i = 0; i < 256; ++i)
    for (int j = i; j < 256; ++j) {
      const int32_t d = PixelError(rgb_ + 4 * i, rgb_ + 4 * j);
      distance_[i * 256 + j] = d;
      distance_[j * 256 + i] = d;
    }
}

void PaletteTables::SetFromReducer(ColorReducer& reducer) {
  uint8_t palette[kPaletteBytes];
  reducer.GetPalette(palette);
  Set(palette, MapThroughReducer, &reducer);
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

namespace {

// The search's comparison kernel: like BoundedReferenceError, but the running sum is checked
// after every row instead of every pixel. The search only asks whether the result is below the
// best error so far; a sum that reached it within a row still has at the row's end, and a sum
// that never reaches it is the full sum either way, so every decision is the same.
inline int32_t RowBoundedError(const uint8_t* target, const uint8_t* reference, int stride,
                               int32_t bound) {
  int32_t sum = 0;
  for (int y = 0; y < 8; ++y) {
    const uint8_t* t = target + y * stride;
    const uint8_t* r = reference + y * stride;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
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
#else
    int32_t row = 0;
    for (int x = 0; x < 24; ++x) {
      const int32_t d = t[x] - r[x];
      row += d * d;
    }
    sum += row;
#endif
    if (sum >= bound) return sum;
  }
  return sum;
}

}  // namespace

int32_t MotionSearch(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                     int width, int32_t offset, int32_t lastBlockOffset, TMotionMode& record) {
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
      const int32_t e = RowBoundedError(targetBlock, previousRGB + 3 * s, stride, best);
      if (e < best) {
        best = e;
        record.SourceOffset = s;
        record.Dx = static_cast<int8_t>(dx);
        record.Dy = static_cast<int8_t>(dy);
      }
    }
  }
  return best == bound ? kUnavailable : best;
}

}  // namespace korvane
