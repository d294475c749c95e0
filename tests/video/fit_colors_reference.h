// The colour fitting written plainly, step by step, for comparison with the encoder's fitter:
// clusters keep their pixel positions, the working block is recoloured on every merge, and
// every error is summed over the pixels.
#pragma once

#include <cstdint>
#include <cstring>

#include "video/fit_colors.h"
#include "video/measures.h"

namespace korvane::test {

class ReferenceFitter {
 public:
  ReferenceFitter(const PaletteTables& pal, int frameWidth, int n)
      : pal_(pal), w_(frameWidth), n_(n) {
    std::memset(table_, 0, sizeof(table_));
  }

  void Fit(const uint8_t* target, const uint8_t* index, int options, FitResult& r) {
    const int n = n_, count = n * n, ts = 3 * w_;
    r.hasTwo = r.hasFour = 0;
    r.solidError = 0;
    r.rawError = (options & kFitRawError) ? BlockError(pal_, target, ts, index, w_, n) : 0;
    len_ = 0;
    for (int p = 0; p < count; ++p) {
      const uint8_t v = index[(p / n) * w_ + p % n];
      Entry& e = table_[v];
      const uint8_t* rgb = pal_.Rgb(v);
      e.s[0] += rgb[0];
      e.s[1] += rgb[1];
      e.s[2] += rgb[2];
      if (e.count == 0) {
        e.slot = len_;
        list_[len_++] = v;
      }
      e.pos[e.count++] = static_cast<uint8_t>(p);
      work_[p] = v;
    }
    r.colorCount = static_cast<uint8_t>(len_);
    int m = 0;
    if (len_ == 1) {
      m = list_[0];
      Clear(m);
    } else {
      for (;;) {
        if (len_ == 2) {
          r.hasTwo = 1;
          std::memcpy(r.twoPixels, work_, count);
          r.twoError = ContiguousBlockError(pal_, target, ts, work_, n);
          const int p0 = list_[0] < list_[1] ? list_[0] : list_[1];
          const int p1 = list_[0] < list_[1] ? list_[1] : list_[0];
          r.twoColors[0] = static_cast<uint8_t>(p0);
          r.twoColors[1] = static_cast<uint8_t>(p1);
          for (int k = 0; k < table_[p0].count; ++k) r.twoPattern[table_[p0].pos[k]] = 0;
          for (int k = 0; k < table_[p1].count; ++k) r.twoPattern[table_[p1].pos[k]] = 1;
          int s[3], total = table_[p0].count + table_[p1].count;
          for (int k = 0; k < 3; ++k) s[k] = table_[p0].s[k] + table_[p1].s[k];
          Clear(p0);
          Clear(p1);
          if ((options & kFitFillMissing) && !r.hasFour) {
            std::memcpy(r.fourPixels, r.twoPixels, count);
            std::memcpy(r.fourPattern, r.twoPattern, count);
            r.fourColors[0] = static_cast<uint8_t>(p0);
            r.fourColors[1] = r.fourColors[2] = r.fourColors[3] = static_cast<uint8_t>(p1);
            r.fourError = r.twoError;
          }
          m = pal_.MapColor(s[0] / total, s[1] / total, s[2] / total);
          break;
        }
        if ((len_ == 3 || len_ == 4) && !r.hasFour) {
          r.hasFour = 1;
          std::memcpy(r.fourPixels, work_, count);
          r.fourError = ContiguousBlockError(pal_, target, ts, work_, n);
          uint8_t* P = r.fourColors;
          for (int i = 0; i < len_; ++i) P[i] = list_[i];
          const int pairs3[3][2] = {{0, 2}, {0, 1}, {1, 2}};
          const int pairs4[6][2] = {{0, 3}, {0, 2}, {0, 1}, {1, 3}, {1, 2}, {2, 3}};
          const int(*pairs)[2] = len_ == 3 ? pairs3 : pairs4;
          for (int k = 0; k < (len_ == 3 ? 3 : 6); ++k)
            if (P[pairs[k][1]] < P[pairs[k][0]]) std::swap(P[pairs[k][0]], P[pairs[k][1]]);
          if (len_ == 4 && (options & kFitCellVariant)) std::swap(P[2], P[3]);
          for (int i = 0; i < len_; ++i)
            for (int k = 0; k < table_[P[i]].count; ++k)
              r.fourPattern[table_[P[i]].pos[k]] = static_cast<uint8_t>(i);
          if (len_ == 3) P[3] = (options & kFitCellVariant) ? 0 : P[2];
        }
        int bi = 0, bj = 1;
        int32_t best = 16777216;
        for (int i = 0; i < len_; ++i)
          for (int j = i + 1; j < len_; ++j)
            if (pal_.Distance(list_[i], list_[j]) < best) {
              best = pal_.Distance(list_[i], list_[j]);
              bi = i;
              bj = j;
            }
        const int a = list_[bi], b = list_[bj];
        Entry merged{};
        Absorb(merged, table_[a]);
        Absorb(merged, table_[b]);
        Unlist(a);
        Unlist(b);
        Clear(a);
        Clear(b);
        m = MeanColor(merged);
        while (table_[m].count != 0) {
          Absorb(merged, table_[m]);
          Unlist(m);
          Clear(m);
          m = MeanColor(merged);
        }
        if (len_ == 0) break;
        for (int k = 0; k < merged.count; ++k) work_[merged.pos[k]] = static_cast<uint8_t>(m);
        merged.slot = len_;
        table_[m] = merged;
        list_[len_++] = static_cast<uint8_t>(m);
      }
    }
    r.solidColor = static_cast<uint8_t>(m);
    if (options & kFitSolidError) r.solidError = SolidError(pal_, target, ts, r.solidColor, n);
    if ((options & kFitFillMissing) && !r.hasTwo) {
      r.twoColors[0] = r.twoColors[1] = r.solidColor;
      std::memset(r.twoPixels, m, count);
      std::memset(r.twoPattern, 0, count);
      r.twoError = r.solidError;
      if (!r.hasFour) {
        for (int k = 0; k < 4; ++k) r.fourColors[k] = r.solidColor;
        std::memset(r.fourPixels, m, count);
        std::memset(r.fourPattern, 0, count);
        r.fourError = r.solidError;
      }
    }
  }

 private:
  struct Entry {
    int s[3];
    int count;
    int slot;
    uint8_t pos[64];
  };
  void Clear(int v) {
    table_[v].s[0] = table_[v].s[1] = table_[v].s[2] = 0;
    table_[v].count = 0;
  }
  void Unlist(int v) {
    const int slot = table_[v].slot;
    const uint8_t last = list_[--len_];
    if (slot != len_) {
      list_[slot] = last;
      table_[last].slot = slot;
    }
  }
  static void Absorb(Entry& into, const Entry& e) {
    for (int k = 0; k < 3; ++k) into.s[k] += e.s[k];
    std::memcpy(into.pos + into.count, e.pos, e.count);
    into.count += e.count;
  }
  int MeanColor(const Entry& e) const {
    return pal_.MapColor(e.s[0] / e.count, e.s[1] / e.count, e.s[2] / e.count);
  }

  const PaletteTables& pal_;
  int w_, n_;
  Entry table_[256];
  uint8_t list_[64];
  int len_ = 0;
  uint8_t work_[64];
};

}  // namespace korvane::test
