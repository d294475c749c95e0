// Plain, half-resolution and dithered mapping of pictures to the palette.
#include "palette/remap.h"

#include <algorithm>
#include <array>
#include <new>
#include <utility>
#include <vector>

namespace korvane {

namespace {

// Accumulated dithering error -> error applied to the next pixel. Small errors pass unchanged,
// medium ones are halved past 16, large ones are capped at 32, so that strong edges do not smear.
struct ErrorLimitTable {
  std::array<int32_t, 511> v{};
  constexpr ErrorLimitTable() {
    for (int a = -255; a <= 255; ++a) {
      int m = a < 0 ? -a : a;
      int r = m <= 15 ? m : (m <= 47 ? 8 + m / 2 : 32);
      v[a + 255] = a < 0 ? -r : r;
    }
  }
  // Small errors, the common case, pass without a memory access.
  int32_t operator()(int a) const { return static_cast<unsigned>(a + 15) <= 30u ? a : v[a + 255]; }
};
constexpr ErrorLimitTable kErrorLimit;

}  // namespace

void RemapPixels(const InverseColorMap& map, const uint8_t* in, uint8_t* out, int width,
                 int height) {
  if (width <= 0 || height <= 0) return;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; ++i, in += 3) out[i] = map.Nearest(in[0], in[1], in[2]);
}

// With an odd width or height the last column or row forms half cells; their missing pixels
// repeat the ones present.
void RemapHalfRes(const InverseColorMap& map, const uint8_t* in, uint8_t* out, int width,
                  int height) {
  if (width <= 0 || height <= 0) return;
  const size_t stride = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; y += 2) {
    const int y1 = y + 1 < height ? y + 1 : y;
    const uint8_t* r0 = in + static_cast<size_t>(y) * stride;
    const uint8_t* r1 = in + static_cast<size_t>(y1) * stride;
    uint8_t* o0 = out + static_cast<size_t>(y) * width;
    uint8_t* o1 = out + static_cast<size_t>(y1) * width;
    for (int x = 0; x < width; x += 2) {
      const int x1 = x + 1 < width ? x + 1 : x;
      const uint8_t* p00 = r0 + 3 * x;
      const uint8_t* p01 = r0 + 3 * x1;
      const uint8_t* p10 = r1 + 3 * x;
      const uint8_t* p11 = r1 + 3 * x1;
      int s0 = p00[0] + p01[0] + p10[0] + p11[0];
      int s1 = p00[1] + p01[1] + p10[1] + p11[1];
      int s2 = p00[2] + p01[2] + p10[2] + p11[2];
      // The 6, 6 and 5 top bits of the average.
      const uint8_t idx = map.Nearest(s0 >> 2, s1 >> 2, s2 >> 2);
      o0[x] = idx;
      o0[x1] = idx;
      o1[x] = idx;
      o1[x1] = idx;
    }
  }
}

// Serpentine: even rows left to right, odd rows right to left. Slot x + 1 of an error row
// belongs to column x; slots 0 and width + 1 lie outside the picture, so error that leaves the
// picture is lost. Each pixel's error is split, with truncation toward zero, into 7/16 for the
// next pixel of the row, 3/16 for the pixel behind it in the row below, 5/16 for the pixel
// below, and the remainder for the pixel ahead in the row below, so the four parts add up
// exactly to the error. The slot ahead in the row below is set, not added to: it still holds
// values from two rows up, and this is the first contribution it receives. Every call starts
// with zero errors and left to right.
bool RemapDithered(const InverseColorMap& map, const PaletteEntries& palette, const uint8_t* in,
                   uint8_t* out, int width, int height) {
  if (width <= 0 || height <= 0) return true;
  // Two rows of width + 2 slots of three interleaved components, per call: the mapping keeps
  // no state, so that several may run at once.
  const size_t rowLen = 3 * (static_cast<size_t>(width) + 2);
  std::vector<int32_t> errorRows;
  try {
    errorRows.assign(2 * rowLen, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  int32_t* cur = errorRows.data();
  int32_t* nxt = cur + rowLen;
  const int32_t(*const entry)[4] = palette.Entry;

  for (int r = 0; r < height; ++r) {
    const uint8_t* px = in + static_cast<size_t>(r) * width * 3;
    uint8_t* o = out + static_cast<size_t>(r) * width;
    const int32_t* acc = cur + 3;  // slot of column 0
    int32_t* below = nxt + 3;
    const int step = (r & 1) == 0 ? 1 : -1;
    if (step > 0) {
      std::fill(nxt, nxt + 6, 0);
    } else {
      std::fill(nxt + 3 * width, nxt + 3 * width + 6, 0);
      px += 3 * (width - 1);
      o += width - 1;
      acc += 3 * (width - 1);
      below += 3 * (width - 1);
    }
    const int slotStep = 3 * step;
    // 7/16 of the previous pixel's error, kept in registers: it is on the critical path.
    int carry0 = 0, carry1 = 0, carry2 = 0;
    for (int n = 0; n < width; ++n) {
      const int u0 = std::clamp(px[0] + kErrorLimit(acc[0] + carry0), 0, 255);
      const int u1 = std::clamp(px[1] + kErrorLimit(acc[1] + carry1), 0, 255);
      const int u2 = std::clamp(px[2] + kErrorLimit(acc[2] + carry2), 0, 255);
      const int idx = map.Nearest(u0, u1, u2);
      *o = static_cast<uint8_t>(idx);
      const int32_t* p = entry[idx];
      const int e[3] = {u0 - p[0], u1 - p[1], u2 - p[2]};
      int e7[3];
      for (int k = 0; k < 3; ++k) {
        e7[k] = 7 * e[k] / 16;
        const int e3 = 3 * e[k] / 16;
        const int e5 = 5 * e[k] / 16;
        below[k - slotStep] += e3;
        below[k] += e5;
        below[k + slotStep] = e[k] - e7[k] - e3 - e5;
      }
      carry0 = e7[0];
      carry1 = e7[1];
      carry2 = e7[2];
      px += slotStep;
      o += step;
      acc += slotStep;
      below += slotStep;
    }
    std::swap(cur, nxt);
  }
  return true;
}

}  // namespace korvane
