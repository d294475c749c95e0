#include "palette/color_statistics.h"

#include <cstring>
#include <new>

namespace korvane {

namespace {

// Recent pixels a cell holds before they go to its totals: three sums of the low bits of 64
// pixels, 192 at most, still fit their 8 bits.
constexpr uint32_t kSpillAt = 64u << 24;

// Adds the recent counts `recent` of `cell` to its totals. `R` and `B` are the positions of
// red and blue among the three bytes of a pixel.
template <int R, int B>
void Spill(ColorStatistics::Cell& c, int cell, uint32_t recent) {
  const uint64_t count = recent >> 24;
  const uint64_t low[3] = {recent & 255, (recent >> 8) & 255, (recent >> 16) & 255};
  c.Count += count;
  c.Red += 4 * static_cast<uint64_t>(cell >> 12) * count + low[R];
  c.Green += 4 * static_cast<uint64_t>((cell >> 6) & 63) * count + low[1];
  c.Blue += 4 * static_cast<uint64_t>(cell & 63) * count + low[B];
}

// Counts one pixel, its bytes in the low three bytes of `word`, in the recent table, spilling
// its cell's recent counts to the totals when they are full.
template <int R, int B>
inline void CountPixel(ColorStatistics::Cell* cells, uint32_t* recent, uint32_t word) {
  const uint32_t red = (word >> (8 * R)) & 255, green = (word >> 8) & 255,
                 blue = (word >> (8 * B)) & 255;
  const int cell = ColorStatistics::CellOf(static_cast<int>(red), static_cast<int>(green),
                                           static_cast<int>(blue));
  const uint32_t v = recent[cell] + ((word & 0x030303u) | (1u << 24));
  recent[cell] = v;
  if (v >= kSpillAt) [[unlikely]] {
    Spill<R, B>(cells[cell], cell, v);
    recent[cell] = 0;
  }
}

template <int R, int B>
void Add(ColorStatistics::Cell* cells, uint32_t* recent, const uint8_t* p, int64_t n) {
  // A pixel is read as a word of four bytes, the last one as three.
  for (int64_t i = 0; i + 1 < n; ++i, p += 3) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    CountPixel<R, B>(cells, recent, word);
  }
  if (n > 0) CountPixel<R, B>(cells, recent, p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16);
}

}  // namespace

std::unique_ptr<ColorStatistics> ColorStatistics::Create() {
  std::unique_ptr<ColorStatistics> s(new (std::nothrow) ColorStatistics());
  if (!s) return nullptr;
  if (!s->cells_.Allocate(kCells) || !s->recent_.Allocate(kCells)) return nullptr;
  return s;
}

void ColorStatistics::Begin(Order order) {
  if (recentOrder_ != order) Flush();
  recentOrder_ = order;
}

void ColorStatistics::AddBGR(const uint8_t* pixels, int width, int height) {
  const int64_t n = int64_t{width} * height;
  if (n <= 0) return;
  Begin(Order::BGR);
  Add<2, 0>(cells_.data(), recent_.data(), pixels, n);
}

void ColorStatistics::AddRGB(const uint8_t* pixels, int width, int height) {
  const int64_t n = int64_t{width} * height;
  if (n <= 0) return;
  Begin(Order::RGB);
  Add<0, 2>(cells_.data(), recent_.data(), pixels, n);
}

void ColorStatistics::Flush() const {
  if (recentOrder_ == Order::None) return;
  for (int cell = 0; cell < kCells; ++cell) {
    const uint32_t v = recent_[static_cast<size_t>(cell)];
    if (v == 0) continue;
    Cell& c = cells_[static_cast<size_t>(cell)];
    if (recentOrder_ == Order::BGR)
      Spill<2, 0>(c, cell, v);
    else
      Spill<0, 2>(c, cell, v);
  }
  recent_.Zero();
  recentOrder_ = Order::None;
}

const ColorStatistics::Cell* ColorStatistics::Cells() const {
  Flush();
  return cells_.data();
}

void ColorStatistics::Clear() {
  cells_.Zero();
  recent_.Zero();
  recentOrder_ = Order::None;
}

}  // namespace korvane
