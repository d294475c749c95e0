// Median cut of the colour histogram.
#include "palette/median_cut.h"

#include <algorithm>
#include <array>
#include <utility>

namespace korvane {

namespace {

struct ColorBox {
  int lo[3];
  int hi[3];
  int volume;
  int colorcount;
};

bool PlaneOccupied(const uint32_t* histogram, const ColorBox& box, int axis, int value) {
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
void Shrink(const uint32_t* histogram, ColorBox& box) {
  for (int axis = 0; axis < 3; ++axis) {
    if (box.lo[axis] < box.hi[axis]) {
      for (int v = box.lo[axis]; v <= box.hi[axis]; ++v)
        if (PlaneOccupied(histogram, box, axis, v)) {
          box.lo[axis] = v;
          break;
        }
    }
    if (box.lo[axis] < box.hi[axis]) {
      for (int v = box.hi[axis]; v >= box.lo[axis]; --v)
        if (PlaneOccupied(histogram, box, axis, v)) {
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
void BoxColor(const uint32_t* histogram, const ColorBox& box, int32_t out[3]) {
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

}  // namespace

void MedianCut(const ColorHistogram& histogram, int desired, PaletteEntries& palette) {
  const uint32_t* cells = histogram.Cells();
  std::array<ColorBox, kPaletteEntries> boxes{};
  boxes[0] = ColorBox{{0, 0, 0}, {63, 63, 31}, 0, 0};
  Shrink(cells, boxes[0]);

  if (boxes[0].colorcount == 0) {
    // Nothing was counted: one black entry keeps every later step well defined.
    palette = PaletteEntries{};
    palette.Count = 1;
    return;
  }

  int boxCount = 1;
  while (boxCount < desired) {
    int chosen = -1;
    if (boxCount * 2 <= desired) {
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
    Shrink(cells, box);
    Shrink(cells, fresh);
    ++boxCount;
  }

  palette = PaletteEntries{};
  for (int i = 0; i < boxCount; ++i) BoxColor(cells, boxes[i], palette.Entry[i]);
  palette.Count = boxCount;
  SortPalette(palette);
}

void SortPalette(PaletteEntries& palette) {
  auto& e = palette.Entry;
  auto sum = [&e](int i) { return e[i][0] + e[i][1] + e[i][2]; };
  for (int j = 0; j <= palette.Count - 2; ++j)
    for (int i = palette.Count - 1; i >= j + 1; --i)
      if (sum(i) < sum(j)) std::swap(e[i], e[j]);
}

}  // namespace korvane
