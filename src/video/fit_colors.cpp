#include "video/fit_colors.h"

#include <cstring>

namespace korvane {

ColorFitter::ColorFitter(const PaletteTables& palette, int frameWidth)
    : pal_(palette), frameWidth_(frameWidth) {
  std::memset(table_, 0, sizeof(table_));
  std::memset(active_, 0, sizeof(active_));
  std::memset(working_, 0, sizeof(working_));
  std::memset(&merged_, 0, sizeof(merged_));
}

void ColorFitter::SetFitSize(int n) {
  if (n == 8 || n == 4) n_ = n;
}

bool ColorFitter::ClusterTableEmpty() const {
  for (const Cluster& c : table_)
    if (c.s0 || c.s1 || c.s2 || c.count) return false;
  return true;
}

void ColorFitter::Append(uint8_t v) {
  table_[v].slot = static_cast<uint8_t>(activeLength_);
  active_[activeLength_++] = v;
}

// Removing an entry moves the last entry of the list into its slot.
void ColorFitter::Remove(uint8_t v) {
  const int slot = table_[v].slot;
  const uint8_t last = active_[--activeLength_];
  if (slot != activeLength_) {
    active_[slot] = last;
    table_[last].slot = static_cast<uint8_t>(slot);
  }
}

void ColorFitter::Empty(uint8_t v) {
  Cluster& c = table_[v];
  c.s0 = c.s1 = c.s2 = 0;
  c.count = 0;
}

uint8_t ColorFitter::MapMean(const Cluster& c) const {
  return pal_.MapColor(c.s0 / c.count, c.s1 / c.count, c.s2 / c.count);
}

// The pair with the smallest palette distance, scanning (i, j), i < j, in list order; the
// first pair met wins a tie.
void ColorFitter::FindClosestPair(int* first, int* second) const {
  int32_t best = 16777216;
  *first = 0;
  *second = 1;
  for (int i = 0; i + 1 < activeLength_; ++i) {
    const int32_t* row = pal_.DistanceRow(active_[i]);
    for (int j = i + 1; j < activeLength_; ++j) {
      const int32_t d = row[active_[j]];
      if (d < best) {
        best = d;
        *first = i;
        *second = j;
      }
    }
  }
}

void ColorFitter::FitColors(const uint8_t* target, const uint8_t* index, int options,
                            FitResult& r) {
  const int n = n_;
  const int count = n * n;
  const int targetStride = 3 * frameWidth_;
  r.hasTwo = 0;
  r.hasFour = 0;
  r.solidError = 0;
  r.rawError =
      (options & kFitRawError) ? BlockError(pal_, target, targetStride, index, frameWidth_, n) : 0;

  // Gather the block's colours in order of first appearance.
  activeLength_ = 0;
  for (int y = 0, p = 0; y < n; ++y) {
    const uint8_t* row = index + y * frameWidth_;
    for (int x = 0; x < n; ++x, ++p) {
      const uint8_t v = row[x];
      Cluster& c = table_[v];
      const uint8_t* rgb = pal_.Rgb(v);
      c.s0 += rgb[0];
      c.s1 += rgb[1];
      c.s2 += rgb[2];
      if (c.count == 0) Append(v);
      c.positions[c.count++] = static_cast<uint8_t>(p);
      working_[p] = v;
    }
  }
  r.colorCount = static_cast<uint8_t>(activeLength_);

  uint8_t m;
  if (activeLength_ == 1) {
    m = active_[0];
    Empty(m);
    activeLength_ = 0;
  } else {
    for (;;) {
      if (activeLength_ == 2) {
        // The two-colour fit; merging ends here.
        r.hasTwo = 1;
        std::memcpy(r.twoPixels, working_, count);
        r.twoError = ContiguousBlockError(pal_, target, targetStride, working_, n);
        const uint8_t a = active_[0], b = active_[1];
        const uint8_t p0 = a < b ? a : b, p1 = a < b ? b : a;
        r.twoColors[0] = p0;
        r.twoColors[1] = p1;
        const Cluster& c0 = table_[p0];
        const Cluster& c1 = table_[p1];
        for (int k = 0; k < c0.count; ++k) r.twoPattern[c0.positions[k]] = 0;
        for (int k = 0; k < c1.count; ++k) r.twoPattern[c1.positions[k]] = 1;
        Cluster total;
        total.s0 = c0.s0 + c1.s0;
        total.s1 = c0.s1 + c1.s1;
        total.s2 = c0.s2 + c1.s2;
        total.count = c0.count + c1.count;
        Empty(p0);
        Empty(p1);
        activeLength_ = 0;
        if ((options & kFitFillMissing) && !r.hasFour) {
          std::memcpy(r.fourPixels, r.twoPixels, count);
          std::memcpy(r.fourPattern, r.twoPattern, count);
          r.fourColors[0] = p0;
          r.fourColors[1] = p1;
          r.fourColors[2] = p1;
          r.fourColors[3] = p1;
          r.fourError = r.twoError;
        }
        m = MapMean(total);
        break;
      }
      if ((activeLength_ == 3 || activeLength_ == 4) && !r.hasFour) {
        // The four-colour fit; merging goes on.
        r.hasFour = 1;
        std::memcpy(r.fourPixels, working_, count);
        r.fourError = ContiguousBlockError(pal_, target, targetStride, working_, n);
        uint8_t* P = r.fourColors;
        for (int i = 0; i < activeLength_; ++i) P[i] = active_[i];
        auto order = [P](int i, int j) {
          if (P[j] < P[i]) {
            const uint8_t t = P[i];
            P[i] = P[j];
            P[j] = t;
          }
        };
        if (activeLength_ == 3) {
          order(0, 2);
          order(0, 1);
          order(1, 2);
        } else {
          order(0, 3);
          order(0, 2);
          order(0, 1);
          order(1, 3);
          order(1, 2);
          order(2, 3);
          if (options & kFitCellVariant) {
            const uint8_t t = P[2];
            P[2] = P[3];
            P[3] = t;
          }
        }
        for (int i = 0; i < activeLength_; ++i) {
          const Cluster& c = table_[P[i]];
          for (int k = 0; k < c.count; ++k) r.fourPattern[c.positions[k]] = static_cast<uint8_t>(i);
        }
        if (activeLength_ == 3) P[3] = (options & kFitCellVariant) ? 0 : P[2];
      }

      // Merge the closest pair.
      int i, j;
      FindClosestPair(&i, &j);
      const uint8_t a = active_[i], b = active_[j];
      const Cluster& ca = table_[a];
      const Cluster& cb = table_[b];
      merged_.s0 = ca.s0 + cb.s0;
      merged_.s1 = ca.s1 + cb.s1;
      merged_.s2 = ca.s2 + cb.s2;
      merged_.count = ca.count + cb.count;
      std::memcpy(merged_.positions, ca.positions, ca.count);
      std::memcpy(merged_.positions + ca.count, cb.positions, cb.count);
      Remove(a);
      Remove(b);
      Empty(a);
      Empty(b);

      // Absorb every cluster that already holds the colour the mean maps to.
      m = MapMean(merged_);
      while (table_[m].count != 0) {
        Cluster& c = table_[m];
        merged_.s0 += c.s0;
        merged_.s1 += c.s1;
        merged_.s2 += c.s2;
        std::memcpy(merged_.positions + merged_.count, c.positions, c.count);
        merged_.count += c.count;
        Remove(m);
        Empty(m);
        m = MapMean(merged_);
      }
      if (activeLength_ == 0) break;  // everything merged into m

      for (int k = 0; k < merged_.count; ++k) working_[merged_.positions[k]] = m;
      Cluster& dst = table_[m];
      dst.s0 = merged_.s0;
      dst.s1 = merged_.s1;
      dst.s2 = merged_.s2;
      dst.count = merged_.count;
      std::memcpy(dst.positions, merged_.positions, merged_.count);
      Append(m);
    }
  }

  r.solidColor = m;
  if (options & kFitSolidError) r.solidError = SolidError(pal_, target, targetStride, m, n);
  if ((options & kFitFillMissing) && !r.hasTwo) {
    r.twoColors[0] = r.twoColors[1] = m;
    std::memset(r.twoPixels, m, count);
    std::memset(r.twoPattern, 0, count);
    r.twoError = r.solidError;
    if (!r.hasFour) {
      r.fourColors[0] = r.fourColors[1] = r.fourColors[2] = r.fourColors[3] = m;
      std::memset(r.fourPixels, m, count);
      std::memset(r.fourPattern, 0, count);
      r.fourError = r.solidError;
    }
  }
}

}  // namespace korvane
