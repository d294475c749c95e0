#include "video/part_fit.h"

#include <algorithm>

namespace korvane {

namespace {

constexpr int kRefineRounds = 3;

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

int32_t PartFitter::Fit(Part part, int k, uint8_t* pixels) {
  constexpr int kUnits = 32;
  const int step = PairStep(part);
  const int32_t weight = step ? 2 : 1;
  int32_t t[3][kUnits], tsq[kUnits];
  for (int u = 0; u < kUnits; ++u) {
    const int p = UnitPixel(part, u);
    for (int c = 0; c < 3; ++c) t[c][u] = t_[c][p] + (step ? t_[c][p + step] : 0);
    tsq[u] = tsq_[p] + (step ? tsq_[p + step] : 0);
  }

  // Start: split the units in two at the mean of their widest component, and for four colours
  // each group again at its own.
  uint8_t group[kUnits] = {};
  auto split = [&](uint8_t from, uint8_t to) {
    int32_t lo[3] = {1 << 20, 1 << 20, 1 << 20}, hi[3] = {-1, -1, -1}, sum[3] = {0, 0, 0};
    int n = 0;
    for (int u = 0; u < kUnits; ++u) {
      if (group[u] != from) continue;
      ++n;
      for (int c = 0; c < 3; ++c) {
        lo[c] = t[c][u] < lo[c] ? t[c][u] : lo[c];
        hi[c] = t[c][u] > hi[c] ? t[c][u] : hi[c];
        sum[c] += t[c][u];
      }
    }
    if (n == 0) return;
    int wide = 0;
    for (int c = 1; c < 3; ++c)
      if (hi[c] - lo[c] > hi[wide] - lo[wide]) wide = c;
    for (int u = 0; u < kUnits; ++u)
      if (group[u] == from && t[wide][u] * n > sum[wide]) group[u] = to;
  };
  split(0, 1);
  if (k == 4) {
    split(0, 2);
    split(1, 3);
  }

  uint8_t colors[4] = {};
  bool used[4] = {};
  auto place = [&]() {
    // Every group with units takes the entry nearest the mean of their pixels.
    bool changed = false;
    for (int g = 0; g < k; ++g) {
      int32_t sum[3] = {0, 0, 0}, w = 0;
      for (int u = 0; u < kUnits; ++u)
        if (group[u] == g) {
          sum[0] += t[0][u];
          sum[1] += t[1][u];
          sum[2] += t[2][u];
          w += weight;
        }
      if (w == 0) {
        used[g] = false;
        continue;
      }
      const uint8_t c =
          pal_.MapColor((sum[0] + w / 2) / w, (sum[1] + w / 2) / w, (sum[2] + w / 2) / w);
      changed = changed || !used[g] || c != colors[g];
      colors[g] = c;
      used[g] = true;
    }
    return changed;
  };
  // Every unit to the colour that draws it with the least error; returns the part's error.
  auto assign = [&]() {
    int32_t error = 0;
    for (int u = 0; u < kUnits; ++u) {
      int32_t best = 0;
      uint8_t bestGroup = 0;
      bool any = false;
      for (int g = 0; g < k; ++g) {
        if (!used[g]) continue;
        const uint8_t* r = pal_.Rgb(colors[g]);
        const int32_t e = weight * (r[0] * r[0] + r[1] * r[1] + r[2] * r[2]) -
                          2 * (r[0] * t[0][u] + r[1] * t[1][u] + r[2] * t[2][u]);
        if (!any || e < best) {
          best = e;
          bestGroup = static_cast<uint8_t>(g);
          any = true;
        }
      }
      group[u] = bestGroup;
      error += best + tsq[u];
    }
    return error;
  };

  place();
  int32_t error = assign();
  for (int round = 0; round < kRefineRounds; ++round) {
    uint8_t keepGroup[kUnits], keepColors[4];
    bool keepUsed[4];
    std::copy(group, group + kUnits, keepGroup);
    std::copy(colors, colors + 4, keepColors);
    std::copy(used, used + 4, keepUsed);
    if (!place()) break;
    const int32_t refined = assign();
    if (refined >= error) {
      std::copy(keepGroup, keepGroup + kUnits, group);
      std::copy(keepColors, keepColors + 4, colors);
      std::copy(keepUsed, keepUsed + 4, used);
      break;
    }
    error = refined;
  }

  for (int u = 0; u < kUnits; ++u) {
    const int p = UnitPixel(part, u);
    pixels[p] = colors[group[u]];
    if (step) pixels[p + step] = colors[group[u]];
  }
  return error;
}

}  // namespace korvane
