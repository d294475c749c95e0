#include "palette/variance_cut.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "palette/exact_nearest.h"
#include "palette/large_array.h"
#include "palette/median_cut.h"
#include "palette/split_work.h"

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
  int point[3];  // the mean as the exact colour map takes it
};

using Cells = LargeArray<Occupied>;

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

// Cells are visited in the order of an axis, which is no order in memory: the cell this many
// places ahead is fetched while the sums go on.
constexpr int kAhead = 16;

// The box of the cells order[begin ... end - 1] (cells begin ... end - 1 without an order).
Box MakeBox(const Cells& cells, const int* order, int begin, int end) {
  Box b{begin, end, 0, {0, 0, 0}, {0, 0, 0}};
  for (int i = begin; i < end; ++i) {
    if (order && i + kAhead < end) __builtin_prefetch(&cells[order[i + kAhead]]);
    const Occupied& c = cells[order ? order[i] : i];
    b.weight += c.weight;
    for (int k = 0; k < 3; ++k) {
      b.sum[k] += c.sum[k];
      b.squares[k] += c.sum[k] * c.mean[k];
    }
  }
  return b;
}

struct SortKey {
  uint64_t mean;  // the bits of the mean
  uint32_t cell;
  uint32_t at;
};

// The cells in the order of their means along each axis (ties by cell), kept per box: a box is
// the same range [begin, end) of all three orders, so a split needs no sorting.
struct AxisOrders {
  LargeArray<int> by[3];
  LargeArray<int> scratch[2];
  LargeArray<char> low;  // by cell: in the low part of the split under way
  int threads = 1;
};

// Cells of a box from which its split partitions the other two orders on two threads.
constexpr int kParallelPartition = 16384;

// All cells along one axis, by mean and then by cell, with a stable radix sort: first on the
// cell's number, then on the mean's bits (a non-negative double orders as its bits do). Byte
// positions that every key shares are skipped.
bool SortAlong(const Cells& cells, int axis, LargeArray<int>& order) {
  const size_t n = cells.size();
  LargeArray<SortKey> keys, other;
  if (!keys.Allocate(n) || !other.Allocate(n) || !order.Allocate(n)) return false;
  for (size_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, &cells[i].mean[axis], sizeof bits);
    keys[i] = {bits, static_cast<uint32_t>(cells[i].cell), static_cast<uint32_t>(i)};
  }
  SortKey* from = keys.data();
  SortKey* to = other.data();
  auto pass = [&](auto digit) {
    size_t count[257] = {};
    for (size_t i = 0; i < n; ++i) ++count[digit(from[i]) + 1];
    for (int d = 0; d < 256; ++d)
      if (count[d + 1] == n) return;  // every key has this digit
    for (int d = 0; d < 256; ++d) count[d + 1] += count[d];
    for (size_t i = 0; i < n; ++i) to[count[digit(from[i])]++] = from[i];
    std::swap(from, to);
  };
  for (int shift = 0; shift < 24; shift += 8)
    pass([shift](const SortKey& k) { return (k.cell >> shift) & 255; });
  for (int shift = 0; shift < 64; shift += 8)
    pass([shift](const SortKey& k) { return static_cast<uint32_t>(k.mean >> shift) & 255; });
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<int>(from[i].at);
  return true;
}

// Splits `box` along its axis of largest spread at the point that leaves the least error.
// False when it cannot be split.
bool Split(const Cells& cells, AxisOrders& orders, const Box& box, Box& low, Box& high) {
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
  const int* order = orders.by[axis].data();
  // The split that keeps the most of |sum|^2 / weight on both sides leaves the least error.
  // The running sums are the low part's box, added up as MakeBox adds it.
  Box run{box.begin, box.begin, 0, {0, 0, 0}, {0, 0, 0}};
  double best = -1;
  int at = -1;
  for (int i = box.begin; i < box.end - 1; ++i) {
    if (i + kAhead < box.end) __builtin_prefetch(&cells[order[i + kAhead]]);
    const Occupied& c = cells[order[i]];
    run.weight += c.weight;
    for (int k = 0; k < 3; ++k) {
      run.sum[k] += c.sum[k];
      run.squares[k] += c.sum[k] * c.mean[k];
    }
    if (c.mean[axis] == cells[order[i + 1]].mean[axis]) continue;
    const double rw = box.weight - run.weight;
    double kept = 0;
    for (int k = 0; k < 3; ++k) {
      const double r = box.sum[k] - run.sum[k];
      kept += run.sum[k] * run.sum[k] / run.weight + r * r / rw;
    }
    if (kept > best) {
      best = kept;
      at = i + 1;
      low = run;
      low.end = at;
    }
  }
  if (at < 0) return false;
  high = MakeBox(cells, order, at, box.end);
  // The other two orders keep their order within each part: the low part first. A large box
  // has them partitioned on two threads.
  for (int i = box.begin; i < box.end; ++i) orders.low[static_cast<size_t>(order[i])] = i < at;
  const int others[2] = {axis == 0 ? 1 : 0, axis == 2 ? 1 : 2};
  SplitWork(box.end - box.begin >= kParallelPartition ? orders.threads : 1, 2,
            [&](int first, int last) {
              for (int j = first; j < last; ++j) {
                LargeArray<int>& other = orders.by[others[j]];
                int* aside = orders.scratch[j].data();
                int l = box.begin, h = 0;
                for (int i = box.begin; i < box.end; ++i) {
                  const int c = other[static_cast<size_t>(i)];
                  if (orders.low[static_cast<size_t>(c)])
                    other[static_cast<size_t>(l++)] = c;
                  else
                    aside[h++] = c;
                }
                std::copy(aside, aside + h, other.begin() + l);
              }
            });
  return true;
}

// The block of 4 x 4 x 4 cells a cell lies in.
int BlockOf(int cell) {
  return ((cell >> 14) << 8) | (((cell >> 8) & 15) << 4) | ((cell >> 2) & 15);
}

// For every occupied cell from `first` to `last` (cells sorted by block), the entry the exact
// colour map gives it.
void AssignCells(const Cells& cells, const PaletteEntries& palette, LargeArray<int>& assigned,
                 int first, int last) {
  ExactCandidates candidates(palette);
  for (int i = first; i < last;) {
    const int block = BlockOf(cells[i].cell);
    int end = i + 1;
    while (end < last && BlockOf(cells[end].cell) == block) ++end;
    candidates.ForBlock((block >> 8) * 4, ((block >> 4) & 15) * 4, (block & 15) * 4);
    for (; i < end; ++i) assigned[i] = candidates.Nearest(cells[i].point);
  }
}

// Parts of the cells may go to different threads: a block cut between two parts is looked at by
// both, with the same result.
void AssignCells(const Cells& cells, const PaletteEntries& palette, LargeArray<int>& assigned,
                 int threads) {
  SplitWork(threads, static_cast<int>(cells.size()),
            [&](int first, int last) { AssignCells(cells, palette, assigned, first, last); });
}

// Entries moved in a round up to which the next round looks only at them.
constexpr int kFewMoved = 24;

// AssignCells after a round that moved only the entries `movedEntries` (flagged in `moved`): a
// cell whose entry stayed keeps it unless a moved entry is now nearer (or as near with a lower
// index), as every other entry stayed where it lost before; a cell whose entry moved is looked
// at afresh. The result is what AssignCells gives.
void ReassignCells(const Cells& cells, const PaletteEntries& palette,
                   const std::vector<int>& movedEntries, const std::vector<char>& moved,
                   LargeArray<int>& assigned, int threads) {
  SplitWork(threads, static_cast<int>(cells.size()), [&](int first, int last) {
    ExactCandidates candidates(palette);
    int block = -1;
    for (int i = first; i < last; ++i) {
      const int cell = cells[static_cast<size_t>(i)].cell;
      const int current = assigned[static_cast<size_t>(i)];
      if (moved[static_cast<size_t>(current)]) {
        const int b = BlockOf(cell);
        if (b != block) {
          block = b;
          candidates.ForBlock((b >> 8) * 4, ((b >> 4) & 15) * 4, (b & 15) * 4);
        }
        assigned[static_cast<size_t>(i)] = candidates.Nearest(cells[static_cast<size_t>(i)].point);
        continue;
      }
      const int* point = cells[static_cast<size_t>(i)].point;
      int best = current, bestDistance = ExactDistance(palette.Entry[current], point);
      for (int e : movedEntries) {
        const int d = ExactDistance(palette.Entry[e], point);
        if (d < bestDistance || (d == bestDistance && e < best)) {
          best = e;
          bestDistance = d;
        }
      }
      assigned[static_cast<size_t>(i)] = best;
    }
  });
}

void ShownEntry(const double mean[3], int32_t out[4]) {
  for (int k = 0; k < 3; ++k) out[k] = NearestShownComponent(mean[k]);
  out[3] = 0;
}

}  // namespace

bool VarianceCut(const ColorStatistics& statistics, int desired, PaletteEntries& palette,
                 int refinements, int threads) {
  desired = std::clamp(desired, 1, kPaletteEntries);
  palette = PaletteEntries{};
  const ColorStatistics::Cell* counted = statistics.Cells();
  // The occupied cells by blocks of 4 x 4 x 4, each block's cells in ascending order, in room
  // for every cell (what is not reached is never touched).
  LargeArray<Occupied> cells;
  if (!cells.Allocate(ColorStatistics::kCells)) return false;
  size_t next = 0;
  for (int h0 = 0; h0 < 64; h0 += 4)
    for (int h1 = 0; h1 < 64; h1 += 4)
      for (int h2 = 0; h2 < 64; h2 += 4)
        for (int a = h0; a < h0 + 4; ++a)
          for (int b = h1; b < h1 + 4; ++b)
            for (int d = h2; d < h2 + 4; ++d) {
              const int i = (a << 12) | (b << 6) | d;
              const ColorStatistics::Cell& c = counted[i];
              if (c.Count == 0) continue;
              Occupied& o = cells[next++];
              o.cell = i;
              o.weight = static_cast<double>(c.Count);
              o.sum[0] = static_cast<double>(c.Red);
              o.sum[1] = static_cast<double>(c.Green);
              o.sum[2] = static_cast<double>(c.Blue);
              for (int k = 0; k < 3; ++k) o.mean[k] = o.sum[k] / o.weight;
              CellPoint(counted, i, o.point);
            }
  if (next == 0) {
    palette.Count = 1;
    return true;
  }
  cells.Truncate(next);

  std::vector<Box> boxes{MakeBox(cells, nullptr, 0, static_cast<int>(cells.size()))};
  std::vector<char> whole(1, 0);  // boxes found not to split
  AxisOrders orders;
  bool sorted[3] = {false, false, false};
  SplitWork(std::min(threads, 3), 3, [&](int begin, int end) {
    for (int k = begin; k < end; ++k) sorted[k] = SortAlong(cells, k, orders.by[k]);
  });
  if (!sorted[0] || !sorted[1] || !sorted[2]) return false;
  if (!orders.scratch[0].Allocate(cells.size()) || !orders.scratch[1].Allocate(cells.size()) ||
      !orders.low.Allocate(cells.size()))
    return false;
  orders.threads = threads;
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
    if (!Split(cells, orders, boxes[pick], low, high)) {
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

  // Lloyd refinement: every counted colour goes to the entry the exact map gives its cell (the
  // entry nearest the cell's mean); each entry moves to the shown colour nearest the mean of
  // what it received.
  LargeArray<int> assigned;
  if (!assigned.Allocate(cells.size())) return false;
  std::vector<std::array<double, 4>> acc(boxes.size());
  std::vector<int> movedEntries;
  std::vector<char> moved(boxes.size(), 0);
  for (int round = 0; round < refinements; ++round) {
    if (round == 0 || static_cast<int>(movedEntries.size()) > kFewMoved)
      AssignCells(cells, palette, assigned, threads);
    else
      ReassignCells(cells, palette, movedEntries, moved, assigned, threads);
    for (auto& a : acc) a = {0, 0, 0, 0};
    for (size_t i = 0; i < cells.size(); ++i) {
      const Occupied& c = cells[i];
      std::array<double, 4>& a = acc[assigned[i]];
      a[0] += c.sum[0];
      a[1] += c.sum[1];
      a[2] += c.sum[2];
      a[3] += c.weight;
    }
    movedEntries.clear();
    for (size_t b = 0; b < boxes.size(); ++b) {
      moved[b] = 0;
      if (acc[b][3] <= 0) continue;
      const double mean[3] = {acc[b][0] / acc[b][3], acc[b][1] / acc[b][3], acc[b][2] / acc[b][3]};
      int32_t entry[4];
      ShownEntry(mean, entry);
      for (int k = 0; k < 3; ++k) {
        moved[b] |= entry[k] != palette.Entry[b][k];
        palette.Entry[b][k] = entry[k];
      }
      if (moved[b]) movedEntries.push_back(static_cast<int>(b));
    }
    if (movedEntries.empty()) break;
  }
  SortPalette(palette);
  return true;
}

}  // namespace korvane
