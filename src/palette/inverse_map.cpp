// The nearest palette entry of every histogram cell.
#include "palette/inverse_map.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "palette/exact_nearest.h"
#include "palette/split_work.h"

namespace korvane {

namespace {

constexpr int kInf = INT32_MAX;

// Finds the nearest entry of every cell in the 8 x 8 x 4 block whose first cell is
// (b0, b1, b2). Entries that cannot be nearest anywhere in the block are skipped: an entry
// whose smallest possible distance to the block exceeds the smallest largest-possible distance
// of any entry is never the nearest.
void FillBlock(const PaletteEntries& palette, int b0, int b1, int b2, uint8_t* index) {
  const int count = palette.Count;
  const int m[3] = {4 * b0 + 2, 4 * b1 + 2, 8 * b2 + 4};
  const int x[3] = {m[0] + 28, m[1] + 28, m[2] + 24};
  const int w[3] = {2, 3, 1};
  const int centre[3] = {(m[0] + x[0]) >> 1, (m[1] + x[1]) >> 1, (m[2] + x[2]) >> 1};

  int minDist[kPaletteEntries];
  int limit = kInf;
  for (int i = 0; i < count; ++i) {
    int nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      int p = palette.Entry[i][k];
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
    const int p0 = palette.Entry[i][0], p1 = palette.Entry[i][1], p2 = palette.Entry[i][2];
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
      uint8_t* dst = &index[CellIndex(b0 + a, b1 + b, b2)];
      const int32_t* src = bestIndex + a * 32 + b * 4;
      for (int d = 0; d < 4; ++d) dst[d] = static_cast<uint8_t>(src[d]);
    }
}

// The exact map's cells of the block of 4 x 4 x 4 whose first cell is (h0, h1, h2), each from
// its point: the mean of its counted colours (`counted` may be null) or its middle.
void FillExactBlock(ExactCandidates& candidates, const ColorStatistics::Cell* counted, int h0,
                    int h1, int h2, uint8_t* index) {
  candidates.ForBlock(h0, h1, h2);
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b)
      for (int d = 0; d < 4; ++d) {
        const int cell = ((h0 + a) << 12) | ((h1 + b) << 6) | (h2 + d);
        int point[3];
        CellPoint(counted, cell, point);
        index[cell] = static_cast<uint8_t>(candidates.Nearest(point));
      }
}

}  // namespace

std::unique_ptr<InverseColorMap> InverseColorMap::Create(bool exact) {
  std::unique_ptr<InverseColorMap> map(new (std::nothrow) InverseColorMap());
  if (!map) return nullptr;
  map->exact_ = exact;
  if (exact) {
    map->redShift_ = 12;
    map->greenShift_ = 6;
    map->blueDrop_ = 2;
  }
  map->index_.reset(new (std::nothrow) uint8_t[exact ? kExactCells : kHistogramCells]());
  if (!map->index_) return nullptr;
  return map;
}

void InverseColorMap::BuildExact(const PaletteEntries& palette, const ColorStatistics* statistics) {
  const ColorStatistics::Cell* counted = statistics ? statistics->Cells() : nullptr;
  // Regions of 16 x 16 x 16 cells, each filled whole by one thread, block by block.
  SplitWork(threads_, 64, [&](int begin, int end) {
    ExactCandidates candidates(palette);
    for (int region = begin; region < end; ++region) {
      const int r0 = (region >> 4) * 16, r1 = ((region >> 2) & 3) * 16, r2 = (region & 3) * 16;
      for (int h0 = r0; h0 < r0 + 16; h0 += 4)
        for (int h1 = r1; h1 < r1 + 16; h1 += 4)
          for (int h2 = r2; h2 < r2 + 16; h2 += 4)
            FillExactBlock(candidates, counted, h0, h1, h2, index_.get());
    }
  });
}

void InverseColorMap::Build(const PaletteEntries& palette, const ColorStatistics* statistics) {
  if (palette.Count <= 0) {
    std::memset(index_.get(), 0, exact_ ? kExactCells : kHistogramCells);
    return;
  }
  if (exact_) {
    BuildExact(palette, statistics);
    return;
  }
  for (int b0 = 0; b0 < 64; b0 += 8)
    for (int b1 = 0; b1 < 64; b1 += 8)
      for (int b2 = 0; b2 < 32; b2 += 4) FillBlock(palette, b0, b1, b2, index_.get());
}

}  // namespace korvane
