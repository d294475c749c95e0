#include "palette/exact_nearest.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace korvane {

// Coordinates are doubled so that cell middles (4h + 1.5 in 8 bits) are whole numbers: 8h + 3.
// An entry can be nearest somewhere in the block only if its nearest distance to the block is
// no more than the smallest farthest distance of any entry.
void ExactCandidates::ForBlock(const PaletteEntries& palette, int h0, int h1, int h2) {
  const int lo[3] = {8 * h0 + 3, 8 * h1 + 3, 8 * h2 + 3};
  int64_t nearest[kPaletteEntries];
  int64_t limit = INT64_MAX;
  for (int e = 0; e < palette.Count; ++e) {
    int64_t nearSum = 0, farSum = 0;
    for (int k = 0; k < 3; ++k) {
      const int low = lo[k], high = low + 24, p = 2 * palette.Entry[e][k];
      const int nearD = p < low ? low - p : p > high ? p - high : 0;
      const int farD = std::max(std::abs(p - low), std::abs(p - high));
      nearSum += int64_t{nearD} * nearD;
      farSum += int64_t{farD} * farD;
    }
    nearest[e] = nearSum;
    limit = std::min(limit, farSum);
  }
  count_ = 0;
  for (int e = 0; e < palette.Count; ++e)
    if (nearest[e] <= limit) index_[count_++] = e;
}

int ExactCandidates::Nearest(const PaletteEntries& palette, int c0, int c1, int c2) const {
  int best = INT_MAX, bestIndex = 0;
  for (int j = 0; j < count_; ++j) {
    const int dist = ExactDistance(palette.Entry[index_[j]], c0, c1, c2);
    if (dist < best) {
      best = dist;
      bestIndex = index_[j];
    }
  }
  return bestIndex;
}

}  // namespace korvane
