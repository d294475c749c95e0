#include "palette/exact_nearest.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace korvane {

namespace {

// Of the entries `from` (`count` of them, or the first `count` entries when null), those that
// can be nearest to some point of the cube from `lo` to `span` further along every axis (in
// points' units), in the order given: an entry can be nearest somewhere in the cube only if its
// nearest distance to the cube is no more than the smallest farthest distance of any entry.
// Distances stay below 2^24.
int Select(const PaletteEntries& palette, const int lo[3], int span, const int* from, int count,
           int* out) {
  int nearest[kPaletteEntries];
  int limit = INT_MAX;
  for (int j = 0; j < count; ++j) {
    const int32_t* entry = palette.Entry[from ? from[j] : j];
    int nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      const int low = lo[k], high = low + span, p = 8 * entry[k];
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
// as the nearest) to a point of the block: such an entry is within the region's limit and within
// the limit of every farthest distance to the block, so the nearest found is the same. A block
// of 4 cells along an axis holds points from 32h to 32h + 120.
void ExactCandidates::ForBlock(int h0, int h1, int h2) {
  const int region = (h0 >> 4) << 8 | (h1 >> 4) << 4 | (h2 >> 4);
  if (region != region_) {
    const int lo[3] = {32 * (h0 & ~15), 32 * (h1 & ~15), 32 * (h2 & ~15)};
    regionCount_ = Select(palette_, lo, 32 * 15 + 24, nullptr, palette_.Count, regionIndex_);
    region_ = region;
  }
  const int lo[3] = {32 * h0, 32 * h1, 32 * h2};
  count_ = Select(palette_, lo, 32 * 3 + 24, regionIndex_, regionCount_, index_);
}

int ExactCandidates::Nearest(const int point[3]) const {
  int best = INT_MAX, bestIndex = 0;
  for (int j = 0; j < count_; ++j) {
    const int dist = ExactDistance(palette_.Entry[index_[j]], point);
    if (dist < best) {
      best = dist;
      bestIndex = index_[j];
    }
  }
  return bestIndex;
}

}  // namespace korvane
