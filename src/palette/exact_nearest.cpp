#include "palette/exact_nearest.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace korvane {

namespace {

// Coordinates are doubled so that cell middles (4h + 1.5 in 8 bits) are whole numbers: 8h + 3.
// Of the entries `from` (`count` of them, or the first `count` entries when null), those that
// can be nearest to some cell of the cube whose first middle is `lo` and whose last lies `span`
// further along every axis, in the order given: an entry can be nearest somewhere in the cube
// only if its nearest distance to the cube is no more than the smallest farthest distance of
// any entry. Distances stay below 2^20.
int Select(const PaletteEntries& palette, const int lo[3], int span, const int* from, int count,
           int* out) {
  int nearest[kPaletteEntries];
  int limit = INT_MAX;
  for (int j = 0; j < count; ++j) {
    const int32_t* entry = palette.Entry[from ? from[j] : j];
    int nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      const int low = lo[k], high = low + span, p = 2 * entry[k];
      const int nearD = p < low ? low - p : p > high ? p - high : 0;
      const int farD = std::max(p - low, high - p);
      nearSum += nearD * nearD;
      farSum += farD * farD;
    }
    nearest[j] = nearSum;
    limit = std::min(limit, farSum);
  }
  int n = 0;
  for (int j = 0; j < count; ++j)
    if (nearest[j] <= limit) out[n++] = from ? from[j] : j;
  return n;
}

}  // namespace

// A block's candidates picked from its region's include every entry that is nearest (or as near
// as the nearest) to a cell of the block: such an entry is within the region's limit and within
// the limit of every farthest distance to the block, so the nearest found is the same.
void ExactCandidates::ForBlock(int h0, int h1, int h2) {
  const int region = (h0 >> 4) << 8 | (h1 >> 4) << 4 | (h2 >> 4);
  if (region != region_) {
    const int lo[3] = {8 * (h0 & ~15) + 3, 8 * (h1 & ~15) + 3, 8 * (h2 & ~15) + 3};
    regionCount_ = Select(palette_, lo, 8 * 15, nullptr, palette_.Count, regionIndex_);
    region_ = region;
  }
  const int lo[3] = {8 * h0 + 3, 8 * h1 + 3, 8 * h2 + 3};
  count_ = Select(palette_, lo, 8 * 3, regionIndex_, regionCount_, index_);
}

int ExactCandidates::Nearest(int c0, int c1, int c2) const {
  int best = INT_MAX, bestIndex = 0;
  for (int j = 0; j < count_; ++j) {
    const int dist = ExactDistance(palette_.Entry[index_[j]], c0, c1, c2);
    if (dist < best) {
      best = dist;
      bestIndex = index_[j];
    }
  }
  return bestIndex;
}

}  // namespace korvane
