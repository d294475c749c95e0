#include "video/part_fit.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr int kRefineRounds = 1;

// Pixel of unit u of a part, and the pixel a unit of pairs adds (0: none).
inline int UnitPixel(PartFitter::Part part, int u) {
  switch (part) {
    case PartFitter::kTopHalf:
      return u;
    case PartFitter::kBottomHalf:
      return 32 + u;
    case PartFitter::kLeftHalf:
      return 8 * (u / 4) + u % 4;
    case PartFitter::kRightHalf:
      return 8 * (u / 4) + 4 + u % 4;
    case PartFitter::kPairsSideBySide:
      return 8 * (u / 4) + 2 * (u % 4);
    default:
      return 16 * (u / 8) + u % 8;
  }
}

inline int PairStep(PartFitter::Part part) {
  return part == PartFitter::kPairsSideBySide ? 1 : part == PartFitter::kPairsUpright ? 8 : 0;
}

}  // namespace

void PartFitter::Load(const uint8_t* target, int stride) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const uint8_t* p = target + y * stride + 3 * x;
      const int i = 8 * y + x;
      t_[0][i] = p[0];
      t_[1][i] = p[1];
      t_[2][i] = p[2];
      tsq_[i] = p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
    }
}

int32_t PartFitter::Fit(Part part, int k, uint8_t* pixels, int32_t* colours) {
  constexpr int kUnits = 32;
  const int step = PairStep(part);
  const int32_t weight = step ? 2 : 1;
  int32_t t[3][kUnits], tsq[kUnits];
  // The components again in 16 bits (a unit's sum is at most 510, a group's at most 16320),
  // where the splits and the groups' sums below run as vector code without branches.
  int16_t t16[3][kUnits];
  for (int u = 0; u < kUnits; ++u) {
    const int p = UnitPixel(part, u);
    for (int c = 0; c < 3; ++c) {
      t[c][u] = t_[c][p] + (step ? t_[c][p + step] : 0);
      t16[c][u] = static_cast<int16_t>(t[c][u]);
    }
    tsq[u] = tsq_[p] + (step ? tsq_[p + step] : 0);
  }

  // Start: split the units in two at the mean of their widest component, and for four colours
  // each group again at its own.
  int16_t group[kUnits] = {};
  auto split = [&](int16_t from, int16_t to) {
    int16_t lo[3] = {32767, 32767, 32767}, hi[3] = {-1, -1, -1}, sum[3] = {0, 0, 0};
    int16_t n = 0;
    for (int u = 0; u < kUnits; ++u) {
      const int16_t in = static_cast<int16_t>(-(group[u] == from));  // all ones or zero
      n = static_cast<int16_t>(n - in);
      for (int c = 0; c < 3; ++c) {
        const int16_t v = t16[c][u];
        lo[c] = std::min(lo[c], static_cast<int16_t>((v & in) | (32767 & ~in)));
        hi[c] = std::max(hi[c], static_cast<int16_t>(v | ~in));
        sum[c] = static_cast<int16_t>(sum[c] + (v & in));
      }
    }
    if (n == 0) return;
    int wide = 0;
    for (int c = 1; c < 3; ++c)
      if (hi[c] - lo[c] > hi[wide] - lo[wide]) wide = c;
    const int16_t* tw = t16[wide];
    const int16_t mean = sum[wide];
    for (int u = 0; u < kUnits; ++u) {
      const bool move = (group[u] == from) & (static_cast<int16_t>(tw[u] * n) > mean);
      group[u] = move ? to : group[u];
    }
  };
  split(0, 1);
  if (k == 4) {
    split(0, 2);
    split(1, 3);
  }

  uint8_t colors[4] = {};
  bool used[4] = {};
  int32_t rgb[4][4] = {};  // the colours' components and squared length
  auto place = [&]() {
    // Every group with units takes the entry nearest the mean of their pixels.
    int32_t sum[4][3] = {}, w[4] = {};
    for (int g = 0; g < k; ++g) {
      int16_t s0 = 0, s1 = 0, s2 = 0, count = 0;
      for (int u = 0; u < kUnits; ++u) {
        const int16_t in = static_cast<int16_t>(-(group[u] == g));
        s0 = static_cast<int16_t>(s0 + (t16[0][u] & in));
        s1 = static_cast<int16_t>(s1 + (t16[1][u] & in));
        s2 = static_cast<int16_t>(s2 + (t16[2][u] & in));
        count = static_cast<int16_t>(count - in);
      }
      sum[g][0] = s0;
      sum[g][1] = s1;
      sum[g][2] = s2;
      w[g] = weight * count;
    }
    bool changed = false;
    for (int g = 0; g < k; ++g) {
      if (w[g] == 0) {
        used[g] = false;
        continue;
      }
      const int32_t n = w[g];
      const uint8_t c =
          pal_.MapColor((sum[g][0] + n / 2) / n, (sum[g][1] + n / 2) / n, (sum[g][2] + n / 2) / n);
      changed = changed || !used[g] || c != colors[g];
      colors[g] = c;
      used[g] = true;
      const uint8_t* r = pal_.Rgb(c);
      rgb[g][0] = r[0];
      rgb[g][1] = r[1];
      rgb[g][2] = r[2];
      rgb[g][3] = weight * (r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    }
    return changed;
  };
  // Every unit to the colour that draws it with the least error (the first of the colours in
  // use on equal errors); returns the part's error.
  auto assign = [&]() {
    int32_t terms[4][4], nearest[kUnits];
    int32_t inUse[4];
    int n = 0;
    for (int g = 0; g < k; ++g) {
      if (!used[g]) continue;
      terms[n][0] = 2 * rgb[g][0];
      terms[n][1] = 2 * rgb[g][1];
      terms[n][2] = 2 * rgb[g][2];
      terms[n][3] = rgb[g][3];
      inUse[n++] = g;
    }
    const int32_t error =
        kernels_.NearestOfColors(t[0], t[1], t[2], tsq, kUnits, terms, n, nearest);
    for (int u = 0; u < kUnits; ++u) group[u] = static_cast<int16_t>(inUse[nearest[u]]);
    return error;
  };

  place();
  int32_t error = assign();
  for (int round = 0; round < kRefineRounds; ++round) {
    int16_t keepGroup[kUnits];
    uint8_t keepColors[4];
    bool keepUsed[4];
    int32_t keepRgb[4][4];
    std::copy(group, group + kUnits, keepGroup);
    std::copy(colors, colors + 4, keepColors);
    std::copy(used, used + 4, keepUsed);
    std::copy(&rgb[0][0], &rgb[0][0] + 16, &keepRgb[0][0]);
    if (!place()) break;
    const int32_t refined = assign();
    if (refined >= error) {
      std::copy(keepGroup, keepGroup + kUnits, group);
      std::copy(keepColors, keepColors + 4, colors);
      std::copy(keepUsed, keepUsed + 4, used);
      std::copy(&keepRgb[0][0], &keepRgb[0][0] + 16, &rgb[0][0]);
      break;
    }
    error = refined;
  }

  bool drawn[4] = {};
  for (int u = 0; u < kUnits; ++u) {
    const int p = UnitPixel(part, u);
    pixels[p] = colors[group[u]];
    if (step) pixels[p + step] = colors[group[u]];
    drawn[group[u]] = true;
  }
  if (colours) {
    // Groups of one colour count once.
    *colours = 0;
    for (int g = 0; g < k; ++g) {
      bool again = false;
      for (int h = 0; h < g; ++h) again = again || (drawn[h] && colors[h] == colors[g]);
      *colours += drawn[g] && !again;
    }
  }
  return error;
}

bool PartFitter::LeftRightHalvesBetter() const {
  // Each half's squared distance from its mean, times its 32 pixels: 32 sum(tsq) - |sum(t)|^2.
  int64_t spread[4] = {};  // top, bottom, left, right
  for (int h = 0; h < 4; ++h) {
    int64_t sum[3] = {}, sq = 0;
    for (int u = 0; u < 32; ++u) {
      const int p = UnitPixel(static_cast<Part>(h), u);
      sum[0] += t_[0][p];
      sum[1] += t_[1][p];
      sum[2] += t_[2][p];
      sq += tsq_[p];
    }
    spread[h] = 32 * sq - sum[0] * sum[0] - sum[1] * sum[1] - sum[2] * sum[2];
  }
  return spread[2] + spread[3] < spread[0] + spread[1];
}

bool PartFitter::UprightPairsBetter() const {
  int32_t across = 0, upright = 0;
  for (int p = 0; p < 64; ++p) {
    for (int c = 0; c < 3; ++c) {
      if ((p & 1) == 0) {
        const int32_t d = t_[c][p] - t_[c][p + 1];
        across += d * d;
      }
      if ((p & 8) == 0) {
        const int32_t d = t_[c][p] - t_[c][p + 8];
        upright += d * d;
      }
    }
  }
  return upright < across;
}

}  // namespace korvane
