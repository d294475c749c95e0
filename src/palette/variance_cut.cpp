#include "palette/variance_cut.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "palette/exact_nearest.h"
#include "palette/median_cut.h"

namespace korvane {

int NearestShownComponent(double value) {
  int six = static_cast<int>(std::lround(value * 63.0 / 255.0));
  six = std::clamp(six, 0, 63);
  int best = six;
  for (int v = std::max(0, six - 1); v <= std::min(63, six + 1); ++v)
    if (std::abs(ShownComponent(v) - value) < std::abs(ShownComponent(best) - value)) best = v;
  return ShownComponent(best);
}

namespace {

struct Occupied {
  int cell;
  double weight;
  double sum[3];
  double mean[3];
};

struct Box {
  int begin, end;  // range in the order array
  double weight;
  double sum[3];
  double squares[3];  // sum of weight * mean^2 per axis
  double Error() const {
    double e = 0;
    for (int k = 0; k < 3; ++k) e += squares[k] - sum[k] * sum[k] / weight;
    return e;
  }
};

Box MakeBox(const std::vector<Occupied>& cells, const std::vector<int>& order, int begin, int end) {
  Box b{begin, end, 0, {0, 0, 0}, {0, 0, 0}};
  for (int i = begin; i < end; ++i) {
    const Occupied& c = cells[order[i]];
    b.weight += c.weight;
    for (int k = 0; k < 3; ++k) {
      b.sum[k] += c.sum[k];
      b.squares[k] += c.sum[k] * c.mean[k];
    }
  }
  return b;
}

// Splits `box` along its axis of largest spread at the point that leaves the least error.
// False when it cannot be split.
bool Split(const std::vector<Occupied>& cells, std::vector<int>& order, std::vector<int>& scratch,
           const Box& box, Box& low, Box& high) {
  if (box.end - box.begin < 2) return false;
  int axis = 0;
  double spread = -1;
  for (int k = 0; k < 3; ++k) {
    const double v = box.squares[k] - box.sum[k] * box.sum[k] / box.weight;
    if (v > spread) {
      spread = v;
      axis = k;
    }
  }
  // A cell's mean on an axis lies within the cell, so ordering by the cell's 6-bit coordinate
  // first and then by the mean within each coordinate is ordering by the mean: the cells are
  // distributed by coordinate and only each coordinate's few cells are sorted.
  const int shift = axis == 0 ? 12 : axis == 1 ? 6 : 0;
  int start[65] = {};
  for (int i = box.begin; i < box.end; ++i) ++start[((cells[order[i]].cell >> shift) & 63) + 1];
  for (int c = 0; c < 64; ++c) start[c + 1] += start[c];
  scratch.resize(static_cast<size_t>(box.end - box.begin));
  int next[64];
  std::copy(start, start + 64, next);
  for (int i = box.begin; i < box.end; ++i)
    scratch[static_cast<size_t>(next[(cells[order[i]].cell >> shift) & 63]++)] = order[i];
  auto byMean = [&](int a, int b) {
    const double ma = cells[a].mean[axis], mb = cells[b].mean[axis];
    return ma != mb ? ma < mb : cells[a].cell < cells[b].cell;
  };
  for (int c = 0; c < 64; ++c)
    if (start[c + 1] - start[c] > 1)
      std::sort(scratch.begin() + start[c], scratch.begin() + start[c + 1], byMean);
  std::copy(scratch.begin(), scratch.end(), order.begin() + box.begin);
  // The split that keeps the most of |sum|^2 / weight on both sides leaves the least error.
  double w = 0, s[3] = {0, 0, 0};
  double best = -1;
  int at = -1;
  for (int i = box.begin; i < box.end - 1; ++i) {
    const Occupied& c = cells[order[i]];
    w += c.weight;
    for (int k = 0; k < 3; ++k) s[k] += c.sum[k];
    if (cells[order[i]].mean[axis] == cells[order[i + 1]].mean[axis]) continue;
    const double rw = box.weight - w;
    double kept = 0;
    for (int k = 0; k < 3; ++k) {
      const double r = box.sum[k] - s[k];
      kept += s[k] * s[k] / w + r * r / rw;
    }
    if (kept > best) {
      best = kept;
      at = i + 1;
    }
  }
  if (at < 0) return false;
  low = MakeBox(cells, order, box.begin, at);
  high = MakeBox(cells, order, at, box.end);
  return true;
}

// The block of 4 x 4 x 4 cells a cell lies in.
int BlockOf(int cell) {
  return ((cell >> 14) << 8) | (((cell >> 8) & 15) << 4) | ((cell >> 2) & 15);
}

// For every occupied cell (cells sorted by block), the entry the exact colour map gives it.
void AssignCells(const std::vector<Occupied>& cells, const PaletteEntries& palette,
                 std::vector<int>& assigned) {
  ExactCandidates candidates;
  for (size_t i = 0; i < cells.size();) {
    const int block = BlockOf(cells[i].cell);
    size_t end = i + 1;
    while (end < cells.size() && BlockOf(cells[end].cell) == block) ++end;
    candidates.ForBlock(palette, (block >> 8) * 4, ((block >> 4) & 15) * 4, (block & 15) * 4);
    for (; i < end; ++i) {
      const int cell = cells[i].cell;
      assigned[i] = candidates.Nearest(palette, cell >> 12, (cell >> 6) & 63, cell & 63);
    }
  }
}

void ShownEntry(const double mean[3], int32_t out[4]) {
  for (int k = 0; k < 3; ++k) out[k] = NearestShownComponent(mean[k]);
  out[3] = 0;
}

}  // namespace

void VarianceCut(const ColorStatistics& statistics, int desired, PaletteEntries& palette,
                 int refinements) {
  desired = std::clamp(desired, 1, kPaletteEntries);
  palette = PaletteEntries{};
  std::vector<Occupied> cells;
  const ColorStatistics::Cell* counted = statistics.Cells();
  for (int i = 0; i < ColorStatistics::kCells; ++i) {
    const ColorStatistics::Cell& c = counted[i];
    if (c.Count == 0) continue;
    Occupied o;
    o.cell = i;
    o.weight = static_cast<double>(c.Count);
    o.sum[0] = static_cast<double>(c.Red);
    o.sum[1] = static_cast<double>(c.Green);
    o.sum[2] = static_cast<double>(c.Blue);
    for (int k = 0; k < 3; ++k) o.mean[k] = o.sum[k] / o.weight;
    cells.push_back(o);
  }
  if (cells.empty()) {
    palette.Count = 1;
    return;
  }
  std::sort(cells.begin(), cells.end(), [](const Occupied& a, const Occupied& b) {
    const int ba = BlockOf(a.cell), bb = BlockOf(b.cell);
    return ba != bb ? ba < bb : a.cell < b.cell;
  });

  std::vector<int> order(cells.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::vector<Box> boxes{MakeBox(cells, order, 0, static_cast<int>(cells.size()))};
  std::vector<char> whole(1, 0);  // boxes found not to split
  std::vector<int> scratch;
  while (static_cast<int>(boxes.size()) < desired) {
    int pick = -1;
    double worst = 0;
    for (size_t b = 0; b < boxes.size(); ++b) {
      const double e = boxes[b].Error();
      if (!whole[b] && e > worst) {
        worst = e;
        pick = static_cast<int>(b);
      }
    }
    if (pick < 0) break;
    Box low, high;
    if (!Split(cells, order, scratch, boxes[pick], low, high)) {
      whole[pick] = 1;
      continue;
    }
    boxes[pick] = low;
    boxes.push_back(high);
    whole.push_back(0);
  }

  std::vector<std::array<double, 3>> means(boxes.size());
  for (size_t b = 0; b < boxes.size(); ++b)
    for (int k = 0; k < 3; ++k) means[b][k] = boxes[b].sum[k] / boxes[b].weight;
  palette.Count = static_cast<int>(boxes.size());
  for (size_t b = 0; b < boxes.size(); ++b) ShownEntry(means[b].data(), palette.Entry[b]);

  // Lloyd refinement: every counted colour goes to the entry the exact map gives its cell; each
  // entry moves to the shown colour nearest the mean of what it received.
  std::vector<int> assigned(cells.size());
  std::vector<std::array<double, 4>> acc(boxes.size());
  for (int round = 0; round < refinements; ++round) {
    AssignCells(cells, palette, assigned);
    for (auto& a : acc) a = {0, 0, 0, 0};
    for (size_t i = 0; i < cells.size(); ++i) {
      const Occupied& c = cells[i];
      std::array<double, 4>& a = acc[assigned[i]];
      a[0] += c.sum[0];
      a[1] += c.sum[1];
      a[2] += c.sum[2];
      a[3] += c.weight;
    }
    bool moved = false;
    for (size_t b = 0; b < boxes.size(); ++b) {
      if (acc[b][3] <= 0) continue;
      const double mean[3] = {acc[b][0] / acc[b][3], acc[b][1] / acc[b][3], acc[b][2] / acc[b][3]};
      int32_t entry[4];
      ShownEntry(mean, entry);
      for (int k = 0; k < 3; ++k) {
        moved |= entry[k] != palette.Entry[b][k];
        palette.Entry[b][k] = entry[k];
      }
    }
    if (!moved) break;
  }
  SortPalette(palette);
}

}  // namespace korvane
