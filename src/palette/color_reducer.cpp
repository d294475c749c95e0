// Colour counting, median cut and the mapping of pictures to the palette.
#include "palette/color_reducer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <new>
#include <utility>

namespace korvane {

namespace {

constexpr int kInf = INT32_MAX;

// Cell index of a colour: 6 bits of red, 6 of green, 5 of blue.
inline int CellOf(int c0, int c1, int c2) {
  return ((c0 >> 2) << 11) | ((c1 >> 2) << 5) | (c2 >> 3);
}
inline int CellIndex(int h0, int h1, int h2) {
  return (h0 << 11) | (h1 << 5) | h2;
}

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

struct ColorReducer::Impl {
  struct ColorBox {
    int lo[3];
    int hi[3];
    int volume;
    int colorcount;
  };

  int desired = 256;
  int count = 0;
  int32_t palette[kPaletteEntries][4] = {};  // red, green, blue, unused (aligned rows)
  std::unique_ptr<uint32_t[]> histogram;
  std::vector<int32_t> errorRows;  // the dithered mapping's two error rows, reused per call

  bool PlaneOccupied(const ColorBox& box, int axis, int value) const;
  void Shrink(ColorBox& box) const;
  void BoxColor(const ColorBox& box, int32_t out[3]) const;
  void SortPalette();
  void FillBlock(int cell);
  // Fills the block of an empty cell and returns the cell's entry (index + 1).
  [[gnu::noinline]] uint32_t FillAndRead(int cell) {
    FillBlock(cell);
    return histogram[cell];
  }
  int Lookup(int cell) {
    uint32_t v = histogram[cell];
    if (v == 0) {
      FillBlock(cell);
      v = histogram[cell];
    }
    return static_cast<int>(v) - 1;
  }
};

bool ColorReducer::Impl::PlaneOccupied(const ColorBox& box, int axis, int value) const {
  int lo[3] = {box.lo[0], box.lo[1], box.lo[2]};
  int hi[3] = {box.hi[0], box.hi[1], box.hi[2]};
  lo[axis] = hi[axis] = value;
  for (int h0 = lo[0]; h0 <= hi[0]; ++h0)
    for (int h1 = lo[1]; h1 <= hi[1]; ++h1) {
      const uint32_t* row = &histogram[CellIndex(h0, h1, 0)];
      for (int h2 = lo[2]; h2 <= hi[2]; ++h2)
        if (row[h2] != 0) return true;
    }
  return false;
}

// Pulls each pair of bounds in to the first occupied plane from either side, axis by axis,
// then recomputes the box's volume and the number of occupied cells.
void ColorReducer::Impl::Shrink(ColorBox& box) const {
  for (int axis = 0; axis < 3; ++axis) {
    if (box.lo[axis] < box.hi[axis]) {
      for (int v = box.lo[axis]; v <= box.hi[axis]; ++v)
        if (PlaneOccupied(box, axis, v)) {
          box.lo[axis] = v;
          break;
        }
    }
    if (box.lo[axis] < box.hi[axis]) {
      for (int v = box.hi[axis]; v >= box.lo[axis]; --v)
        if (PlaneOccupied(box, axis, v)) {
          box.hi[axis] = v;
          break;
        }
    }
  }
  int d0 = 8 * (box.hi[0] - box.lo[0]);
  int d1 = 12 * (box.hi[1] - box.lo[1]);
  int d2 = 8 * (box.hi[2] - box.lo[2]);
  box.volume = d0 * d0 + d1 * d1 + d2 * d2;
  int n = 0;
  for (int h0 = box.lo[0]; h0 <= box.hi[0]; ++h0)
    for (int h1 = box.lo[1]; h1 <= box.hi[1]; ++h1) {
      const uint32_t* row = &histogram[CellIndex(h0, h1, 0)];
      for (int h2 = box.lo[2]; h2 <= box.hi[2]; ++h2) n += row[h2] != 0;
    }
  box.colorcount = n;
}

// The population-weighted mean of the cell centres in the box, rounded.
void ColorReducer::Impl::BoxColor(const ColorBox& box, int32_t out[3]) const {
  double total = 0, s0 = 0, s1 = 0, s2 = 0;
  for (int h0 = box.lo[0]; h0 <= box.hi[0]; ++h0)
    for (int h1 = box.lo[1]; h1 <= box.hi[1]; ++h1) {
      const uint32_t* row = &histogram[CellIndex(h0, h1, 0)];
      for (int h2 = box.lo[2]; h2 <= box.hi[2]; ++h2) {
        uint32_t n = row[h2];
        if (n == 0) continue;
        double w = n;
        total += w;
        s0 += w * (4 * h0 + 2);
        s1 += w * (4 * h1 + 2);
        s2 += w * (8 * h2 + 4);
      }
    }
  if (total == 0) {
    out[0] = out[1] = out[2] = 0;
    return;
  }
  out[0] = static_cast<int32_t>((s0 + total * 0.5) / total);
  out[1] = static_cast<int32_t>((s1 + total * 0.5) / total);
  out[2] = static_cast<int32_t>((s2 + total * 0.5) / total);
}

// Ascending red + green + blue. An exchange sort whose exact order among equal sums is part
// of the palette's identity: entries with equal sums are never exchanged with each other.
void ColorReducer::Impl::SortPalette() {
  auto sum = [this](int i) { return palette[i][0] + palette[i][1] + palette[i][2]; };
  for (int j = 0; j <= count - 2; ++j)
    for (int i = count - 1; i >= j + 1; --i)
      if (sum(i) < sum(j)) std::swap(palette[i], palette[j]);
}

// Finds the nearest palette entry of every cell in the 8 x 8 x 4 block holding `cell`.
// Distances use weights 2, 3, 1 on red, green, blue and the cell centres; on equal distance
// the lower palette index wins. Entries that cannot be nearest anywhere in the block are
// skipped: an entry whose smallest possible distance to the block exceeds the smallest
// largest-possible distance of any entry is never the nearest.
void ColorReducer::Impl::FillBlock(int cell) {
  const int b0 = (cell >> 11) & ~7;
  const int b1 = ((cell >> 5) & 63) & ~7;
  const int b2 = (cell & 31) & ~3;
  uint32_t* table = histogram.get();

  if (count <= 0) {
    // No palette: everything maps to entry 0.
    for (int a = 0; a < 8; ++a)
      for (int b = 0; b < 8; ++b)
        for (int d = 0; d < 4; ++d) table[CellIndex(b0 + a, b1 + b, b2 + d)] = 1;
    return;
  }

  const int m[3] = {4 * b0 + 2, 4 * b1 + 2, 8 * b2 + 4};
  const int x[3] = {m[0] + 28, m[1] + 28, m[2] + 24};
  const int w[3] = {2, 3, 1};
  const int centre[3] = {(m[0] + x[0]) >> 1, (m[1] + x[1]) >> 1, (m[2] + x[2]) >> 1};

  int minDist[kPaletteEntries];
  int limit = kInf;
  for (int i = 0; i < count; ++i) {
    int nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      int p = palette[i][k];
      int nearD, farD;
      if (p < m[k]) {
        nearD = w[k] * (p - m[k]);
        farD = w[k] * (p - x[k]);
      } else if (p > x[k]) {
        nearD = w[k] * (p - x[k]);
        farD = w[k] * (p - m[k]);
      } else {
        nearD = 0;
        farD = p <= centre[k] ? w[k] * (p - x[k]) : w[k] * (p - m[k]);
      }
      nearSum += nearD * nearD;
      farSum += farD * farD;
    }
    minDist[i] = nearSum;
    if (farSum < limit) limit = farSum;
  }

  // Cells in block order: a (red) * 32 + b (green) * 4 + d (blue).
  alignas(32) int32_t best[256];
  alignas(32) int32_t bestIndex[256];
  std::fill(best, best + 256, kInf);
  std::fill(bestIndex, bestIndex + 256, 0);
  alignas(32) int32_t d12[32];
  for (int i = 0; i < count; ++i) {
    if (minDist[i] > limit) continue;
    const int p0 = palette[i][0], p1 = palette[i][1], p2 = palette[i][2];
    for (int b = 0; b < 8; ++b) {
      int g = 3 * (m[1] + 4 * b - p1);
      for (int d = 0; d < 4; ++d) {
        int bl = m[2] + 8 * d - p2;
        d12[b * 4 + d] = g * g + bl * bl;
      }
    }
    for (int a = 0; a < 8; ++a) {
      int r = 2 * (m[0] + 4 * a - p0);
      int r2 = r * r;
      int32_t* bd = best + a * 32;
      int32_t* bi = bestIndex + a * 32;
      for (int j = 0; j < 32; ++j) {
        int32_t dist = r2 + d12[j];
        bool closer = dist < bd[j];
        bd[j] = closer ? dist : bd[j];
        bi[j] = closer ? i : bi[j];
      }
    }
  }
  for (int a = 0; a < 8; ++a)
    for (int b = 0; b < 8; ++b) {
      uint32_t* dst = &table[CellIndex(b0 + a, b1 + b, b2)];
      const int32_t* src = bestIndex + a * 32 + b * 4;
      for (int d = 0; d < 4; ++d) dst[d] = static_cast<uint32_t>(src[d]) + 1;
    }
}

std::unique_ptr<ColorReducer> ColorReducer::Create(int desired) {
  std::unique_ptr<ColorReducer> r(new (std::nothrow) ColorReducer());
  if (!r) return nullptr;
  r->impl_.reset(new (std::nothrow) Impl());
  if (!r->impl_) return nullptr;
  r->impl_->histogram.reset(new (std::nothrow) uint32_t[kHistogramCells]());
  if (!r->impl_->histogram) return nullptr;
  r->impl_->desired = std::clamp(desired, 1, kPaletteEntries);
  return r;
}

ColorReducer::~ColorReducer() = default;

// Counts stop at the largest uint32 instead of wrapping: the black margin of a long movie
// passes 2^32 pixels, and a wrapped count would weigh the colour as rare or drop it entirely.
// The test is a branch that is never taken in practice, so that it stays off the chain of
// increments of one cell (a picture's long runs of one colour).
inline void CountCell(uint32_t* table, int cell) {
  const uint32_t v = table[cell];
  if (v == UINT32_MAX) [[unlikely]]
    return;
  table[cell] = v + 1;
}

void ColorReducer::AddPixelsBGR(const uint8_t* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  uint32_t* table = impl_->histogram.get();
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; ++i, pixels += 3)
    CountCell(table, CellOf(pixels[2], pixels[1], pixels[0]));
}

void ColorReducer::AddPixelsRGB(const uint8_t* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return;
  uint32_t* table = impl_->histogram.get();
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; ++i, pixels += 3)
    CountCell(table, CellOf(pixels[0], pixels[1], pixels[2]));
}

bool ColorReducer::BuildPalette() {
  Impl& s = *impl_;
  using ColorBox = Impl::ColorBox;
  std::array<ColorBox, kPaletteEntries> boxes{};
  boxes[0] = ColorBox{{0, 0, 0}, {63, 63, 31}, 0, 0};
  s.Shrink(boxes[0]);

  if (boxes[0].colorcount == 0) {
    // Nothing was counted: one black entry keeps every later step well defined.
    s.count = 1;
    for (auto& e : s.palette) e[0] = e[1] = e[2] = 0;
    ClearHistogram(s.histogram.get());
    return true;
  }

  int boxCount = 1;
  while (boxCount < s.desired) {
    int chosen = -1;
    if (boxCount * 2 <= s.desired) {
      // First half: split the box with the most occupied cells.
      int bestCount = 0;
      for (int i = 0; i < boxCount; ++i)
        if (boxes[i].colorcount > bestCount && boxes[i].volume > 0) {
          bestCount = boxes[i].colorcount;
          chosen = i;
        }
    } else {
      // Second half: split the largest box.
      int bestVolume = 0;
      for (int i = 0; i < boxCount; ++i)
        if (boxes[i].volume > bestVolume) {
          bestVolume = boxes[i].volume;
          chosen = i;
        }
    }
    if (chosen < 0) break;

    ColorBox& box = boxes[chosen];
    ColorBox& fresh = boxes[boxCount];
    fresh = box;
    int l0 = 8 * (box.hi[0] - box.lo[0]);
    int l1 = 12 * (box.hi[1] - box.lo[1]);
    int l2 = 8 * (box.hi[2] - box.lo[2]);
    int axis = 1;
    if (l0 > l1) axis = 0;
    if (l2 > std::max(l0, l1)) axis = 2;
    int cut = (box.lo[axis] + box.hi[axis]) / 2;
    box.hi[axis] = cut;
    fresh.lo[axis] = cut + 1;
    s.Shrink(box);
    s.Shrink(fresh);
    ++boxCount;
  }

  for (int i = 0; i < boxCount; ++i) s.BoxColor(boxes[i], s.palette[i]);
  for (int i = boxCount; i < kPaletteEntries; ++i)
    s.palette[i][0] = s.palette[i][1] = s.palette[i][2] = 0;
  s.count = boxCount;
  ClearHistogram(s.histogram.get());
  s.SortPalette();
  return true;
}

int ColorReducer::GetPalette(uint8_t out[kPaletteBytes]) {
  Impl& s = *impl_;
  s.SortPalette();
  for (int i = 0; i < kPaletteEntries; ++i) {
    bool valid = i < s.count;
    out[4 * i + 0] = valid ? static_cast<uint8_t>(s.palette[i][0]) : 0;
    out[4 * i + 1] = valid ? static_cast<uint8_t>(s.palette[i][1]) : 0;
    out[4 * i + 2] = valid ? static_cast<uint8_t>(s.palette[i][2]) : 0;
    out[4 * i + 3] = 0;
  }
  return s.count;
}

void ColorReducer::SetPalette(const uint8_t* entries, int n) {
  Impl& s = *impl_;
  n = std::clamp(n, 0, kPaletteEntries);
  for (int i = 0; i < kPaletteEntries; ++i)
    for (int k = 0; k < 3; ++k) s.palette[i][k] = i < n ? entries[4 * i + k] : 0;
  s.count = n;
  s.SortPalette();
}

uint32_t* ColorReducer::GetHistogram() {
  return impl_->histogram.get();
}

void ColorReducer::ClearHistogram(uint32_t* table) {
  std::fill(table, table + kHistogramCells, 0u);
}

int ColorReducer::ColorCount() const {
  return impl_->count;
}

void ColorReducer::MapPixels(const uint8_t* in, uint8_t* out, int width, int height) {
  if (width <= 0 || height <= 0) return;
  Impl& s = *impl_;
  const uint32_t* table = s.histogram.get();
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < n; ++i, in += 3) {
    int cell = CellOf(in[0], in[1], in[2]);
    uint32_t v = table[cell];
    out[i] = v != 0 ? static_cast<uint8_t>(v - 1) : static_cast<uint8_t>(s.Lookup(cell));
  }
}

// One index per 2 x 2 cell, from the cell's summed colour. With an odd width or height the
// last column or row forms half cells; their missing pixels repeat the ones present.
void ColorReducer::MapPixelsHalfRes(const uint8_t* in, uint8_t* out, int width, int height) {
  if (width <= 0 || height <= 0) return;
  Impl& s = *impl_;
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
      uint8_t idx = static_cast<uint8_t>(s.Lookup(CellIndex(s0 >> 4, s1 >> 4, s2 >> 5)));
      o0[x] = idx;
      o0[x1] = idx;
      o1[x] = idx;
      o1[x1] = idx;
    }
  }
}

// Serpentine Floyd-Steinberg: even rows left to right, odd rows right to left. Slot x + 1 of
// an error row belongs to column x; slots 0 and width + 1 lie outside the picture, so error
// that leaves the picture is lost. Each pixel's error is split, with truncation toward zero,
// into 7/16 for the next pixel of the row, 3/16 for the pixel behind it in the row below,
// 5/16 for the pixel below, and the remainder for the pixel ahead in the row below, so the four
// parts add up exactly to the error. The slot ahead in the row below is set, not added to: it
// still holds values from two rows up, and this is the first contribution it receives. Every
// call starts with zero errors and left to right.
bool ColorReducer::MapPixelsDithered(const uint8_t* in, uint8_t* out, int width, int height) {
  if (width <= 0 || height <= 0) return true;
  Impl& s = *impl_;
  // Two rows of width + 2 slots of three interleaved components.
  const size_t rowLen = 3 * (static_cast<size_t>(width) + 2);
  try {
    s.errorRows.assign(2 * rowLen, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  int32_t* cur = s.errorRows.data();
  int32_t* nxt = cur + rowLen;
  // Locals, so that the stores to the error rows cannot force these to be reloaded per pixel.
  const uint32_t* const table = s.histogram.get();
  const int32_t(*const palette)[4] = s.palette;

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
      const int cell = CellOf(u0, u1, u2);
      uint32_t v = table[cell];
      if (v == 0) [[unlikely]]
        v = s.FillAndRead(cell);
      const int idx = static_cast<int>(v) - 1;
      *o = static_cast<uint8_t>(idx);
      const int32_t* p = palette[idx];
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

uint8_t ColorReducer::MapColor(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>(impl_->Lookup(CellOf(r, g, b)));
}

void ColorReducer::FillInverseColorMap() {
  Impl& s = *impl_;
  const uint32_t* table = s.histogram.get();
  for (int b0 = 0; b0 < 64; b0 += 8)
    for (int b1 = 0; b1 < 64; b1 += 8)
      for (int b2 = 0; b2 < 32; b2 += 4) {
        bool empty = false;
        for (int a = 0; a < 8 && !empty; ++a)
          for (int b = 0; b < 8 && !empty; ++b) {
            const uint32_t* c = &table[CellIndex(b0 + a, b1 + b, b2)];
            empty = c[0] == 0 || c[1] == 0 || c[2] == 0 || c[3] == 0;
          }
        if (empty) s.FillBlock(CellIndex(b0, b1, b2));
      }
}

uint8_t ColorReducer::MapColorFilled(uint8_t r, uint8_t g, uint8_t b) const {
  return static_cast<uint8_t>(impl_->histogram[CellOf(r, g, b)] - 1);
}

}  // namespace korvane
