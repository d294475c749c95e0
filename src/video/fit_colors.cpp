#include "video/fit_colors.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace korvane {

namespace {

// ceil(2^24 / n): s * it >> 24 is s / n for every s up to 64 x 255 (the rounding error stays
// below 1/64 of a unit).
struct Reciprocals {
  uint32_t of[65];
  constexpr Reciprocals() : of() {
    for (uint32_t n = 1; n <= 64; ++n) of[n] = ((1u << 24) + n - 1) / n;
  }
};
constexpr Reciprocals kReciprocals;

// Colours left in a block from which the exact fit merges by added error.
constexpr int kCheapestPairColors = 4;
// Colours of a whole block above which the exact fit starts from splits of its pixels.
constexpr int kSplitFitColors = 8;

}  // namespace

uint32_t QuotientBySmallCount(uint32_t s, uint32_t n) {
  return static_cast<uint32_t>((static_cast<uint64_t>(s) * kReciprocals.of[n]) >> 24);
}

ColorFitter::ColorFitter(const PaletteTables& palette, int frameWidth, bool classic)
    : pal_(palette), kernels_(dsp::Selected()), frameWidth_(frameWidth), classic_(classic) {
  std::memset(table_, 0, sizeof(table_));
  std::memset(active_, 0, sizeof(active_));
  std::memset(pairDistance_, 0, sizeof(pairDistance_));
  std::memset(origOf_, 0, sizeof(origOf_));
  std::memset(colorOf_, 0, sizeof(colorOf_));
  std::memset(nextOrig_, 0, sizeof(nextOrig_));
  std::memset(patternOf_, 0, sizeof(patternOf_));
}

void ColorFitter::SetFitSize(int n) {
  if (n == 8 || n == 4) n_ = n;
}

bool ColorFitter::ClusterTableEmpty() const {
  for (const Cluster& c : table_)
    if (c.s0 || c.s1 || c.s2 || c.count || c.t0 || c.t1 || c.t2 || c.tsq) return false;
  return true;
}

void ColorFitter::Append(uint8_t v) {
  // A block of 64 pixels has at most 64 colours.
  const int slot = activeLength_ & 63;
  const int32_t* row = pal_.DistanceRow(v);
  for (int j = 0; j < slot; ++j) {
    const int32_t d = row[active_[j]];
    pairDistance_[slot][j] = d;
    pairDistance_[j][slot] = d;
  }
  table_[v].slot = static_cast<uint8_t>(slot);
  active_[slot] = v;
  activeLength_ = slot + 1;
}

void ColorFitter::FillPairDistances() {
  for (int i = 1; i < activeLength_; ++i) {
    const int32_t* row = pal_.DistanceRow(active_[i]);
    for (int j = 0; j < i; ++j) {
      const int32_t d = row[active_[j]];
      pairDistance_[i][j] = d;
      pairDistance_[j][i] = d;
    }
  }
}

// Removing an entry moves the last entry of the list, with its distances, into its slot.
void ColorFitter::Remove(uint8_t v) {
  const int slot = table_[v].slot;
  const uint8_t last = active_[--activeLength_];
  if (slot != activeLength_) {
    active_[slot] = last;
    table_[last].slot = static_cast<uint8_t>(slot);
    std::memcpy(pairDistance_[slot], pairDistance_[activeLength_], sizeof(int32_t) * activeLength_);
    for (int j = 0; j < activeLength_; ++j)
      pairDistance_[j][slot] = pairDistance_[j][activeLength_];
  }
}

void ColorFitter::Empty(uint8_t v) {
  Cluster& c = table_[v];
  c.s0 = c.s1 = c.s2 = 0;
  c.count = 0;
  c.t0 = c.t1 = c.t2 = c.tsq = 0;
}

uint8_t ColorFitter::MapMean(const Cluster& c) const {
  const uint32_t n = static_cast<uint32_t>(c.count);
  if (!classic_)
    return pal_.MapColor(static_cast<int>(QuotientBySmallCount(c.t0, n)),
                         static_cast<int>(QuotientBySmallCount(c.t1, n)),
                         static_cast<int>(QuotientBySmallCount(c.t2, n)));
  return pal_.MapColor(static_cast<int>(QuotientBySmallCount(c.s0, n)),
                       static_cast<int>(QuotientBySmallCount(c.s1, n)),
                       static_cast<int>(QuotientBySmallCount(c.s2, n)));
}

void ColorFitter::Link(Cluster& into, const Cluster& c) {
  nextOrig_[into.lastOrig] = c.firstOrig;
  into.lastOrig = c.lastOrig;
}

void ColorFitter::Draw(uint8_t* pixels, uint8_t* pattern, const uint8_t* patternOf) const {
  const int count = n_ * n_;
  for (int p = 0; p < count; ++p) pixels[p] = colorOf_[origOf_[p]];
  if (pattern)
    for (int p = 0; p < count; ++p) pattern[p] = patternOf[pixels[p]];
}

// The error of drawing every member in `color`: the sum over the members and components of
// (t - c)^2 equals sum(t^2) - 2 c . sum(t) + n c^2, exactly, in integers.
int32_t ColorFitter::ClusterError(const Cluster& c, uint8_t color) const {
  const uint8_t* p = pal_.Rgb(color);
  const int32_t p0 = p[0], p1 = p[1], p2 = p[2];
  return c.tsq - 2 * (p0 * c.t0 + p1 * c.t1 + p2 * c.t2) + c.count * (p0 * p0 + p1 * p1 + p2 * p2);
}

// Adds the sums and the count of `c` (not its positions).
void ColorFitter::AddSums(Cluster& into, const Cluster& c) {
  into.s0 += c.s0;
  into.s1 += c.s1;
  into.s2 += c.s2;
  into.count += c.count;
  into.t0 += c.t0;
  into.t1 += c.t1;
  into.t2 += c.t2;
  into.tsq += c.tsq;
}

// The pair with the smallest palette distance, scanning (i, j), i < j, in list order; the
// first pair met wins a tie.
void ColorFitter::FindClosestPair(int* first, int* second) const {
  // The smallest distance of every row (over the pairs after the diagonal); the first row that
  // holds the smallest of all, and its first column holding it, are the first pair met.
  int32_t best = 16777216;
  int bestRow = 0;
  for (int i = 0; i + 1 < activeLength_; ++i) {
    const int32_t* row = pairDistance_[i];
    int32_t least = INT32_MAX;
    for (int j = i + 1; j < activeLength_; ++j) least = std::min(least, row[j]);
    if (least < best) {
      best = least;
      bestRow = i;
    }
  }
  *first = 0;
  *second = 1;
  if (best == 16777216) return;
  const int32_t* row = pairDistance_[bestRow];
  int j = bestRow + 1;
  while (row[j] != best) ++j;
  *first = bestRow;
  *second = j;
}

// Merging clusters a and b (na, nb pixels, target sums ta, tb) adds
// na nb / (na + nb) |ta / na - tb / nb|^2 = |ta nb - tb na|^2 / (na nb (na + nb)) to the error
// of drawing each in the mean of its pixels; fractions are compared exactly in integers.
void ColorFitter::FindCheapestPair(int* first, int* second) const {
  int64_t bestNum = -1, bestDen = 1;
  *first = 0;
  *second = 1;
  for (int i = 0; i + 1 < activeLength_; ++i) {
    const Cluster& a = table_[active_[i]];
    for (int j = i + 1; j < activeLength_; ++j) {
      const Cluster& b = table_[active_[j]];
      const int64_t d0 = int64_t{a.t0} * b.count - int64_t{b.t0} * a.count;
      const int64_t d1 = int64_t{a.t1} * b.count - int64_t{b.t1} * a.count;
      const int64_t d2 = int64_t{a.t2} * b.count - int64_t{b.t2} * a.count;
      const int64_t num = d0 * d0 + d1 * d1 + d2 * d2;
      const int64_t den = int64_t{a.count} * b.count * (a.count + b.count);
      if (bestNum < 0 || num * bestDen < bestNum * den) {
        bestNum = num;
        bestDen = den;
        *first = i;
        *second = j;
      }
    }
  }
}

bool ColorFitter::Refine(int k, uint8_t* colors, uint8_t* pattern, uint8_t* pixels, int32_t& error,
                         bool cells, bool cellOrder) const {
  // Cells are reassigned whole: the error of drawing a unit of w pixels in colour r is
  // tsq - 2 r . t + w |r|^2 from its sums, so pixels and cells take the same path.
  const Units& u = cells ? cellUnits_ : pixelUnits_;
  const int units = cells ? 16 : 64;
  const int32_t weight = cells ? 4 : 1;
  alignas(16) int32_t group[64];
  alignas(16) int32_t start[64];
  for (int i = 0; i < units; ++i) start[i] = pattern[cells ? (i >> 2) * 16 + (i & 3) * 2 : i];
  std::memcpy(group, start, sizeof(int32_t) * units);
  uint8_t color[4];
  for (int j = 0; j < k; ++j) color[j] = colors[j];
  int32_t refined = 0;
  for (int pass = 0; pass < 2; ++pass) {
    // Each colour moves to the entry nearest the mean of its pixels.
    for (int j = 0; j < k; ++j) {
      int32_t s0 = 0, s1 = 0, s2 = 0, members = 0;
      for (int i = 0; i < units; ++i) {
        const int32_t in = group[i] == j ? -1 : 0;
        s0 += in & u.t0[i];
        s1 += in & u.t1[i];
        s2 += in & u.t2[i];
        members -= in;
      }
      if (members > 0) {
        const uint32_t m = static_cast<uint32_t>(members * weight);
        color[j] = pal_.MapColor(static_cast<int>(QuotientBySmallCount(s0, m)),
                                 static_cast<int>(QuotientBySmallCount(s1, m)),
                                 static_cast<int>(QuotientBySmallCount(s2, m)));
      }
    }
    // Every unit goes to the nearest of the colours.
    int32_t terms[4][4];
    for (int j = 0; j < k; ++j) {
      const uint8_t* q = pal_.Rgb(color[j]);
      terms[j][0] = 2 * q[0];
      terms[j][1] = 2 * q[1];
      terms[j][2] = 2 * q[2];
      terms[j][3] = weight * (q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
    }
    refined = kernels_.NearestOfColors(u.t0, u.t1, u.t2, u.tsq, units, terms, k, group);
    if (pass == 0) {
      // A second round only when the first moved a unit.
      int32_t moved = 0;
      for (int i = 0; i < units; ++i) moved |= group[i] ^ start[i];
      if (!moved) break;
    }
  }
  // The coding tells its variants by the order of the colours: they must stay distinct, in
  // ascending order (the last two exchanged for the cell variant of four colours).
  int order[4] = {0, 1, 2, 3};
  for (int a = 1; a < k; ++a)
    for (int b = a; b > 0 && color[order[b]] < color[order[b - 1]]; --b)
      std::swap(order[b], order[b - 1]);
  for (int j = 0; j + 1 < k; ++j)
    if (color[order[j]] == color[order[j + 1]]) return false;
  if (cellOrder && k == 4) std::swap(order[2], order[3]);
  if (refined >= error) return false;
  uint8_t position[4];
  for (int j = 0; j < k; ++j) position[order[j]] = static_cast<uint8_t>(j);
  error = refined;
  for (int j = 0; j < k; ++j) colors[j] = color[order[j]];
  for (int p = 0; p < 64; ++p) {
    const int g = group[cells ? (p >> 4) * 4 + ((p & 7) >> 1) : p];
    pattern[p] = position[g];
    pixels[p] = color[g];
  }
  return true;
}

// Splits the units of group `from` at their mean along the component of the largest spread;
// those above it go to group `to`. False when every unit of the group has the same colour.
static bool SplitGroup(const int32_t* t0, const int32_t* t1, const int32_t* t2, int units,
                       int32_t* group, int32_t from, int32_t to) {
  // Sums of components and squares fit 32 bits: 64 pixels of 255, or 16 cells of 4 x 255.
  int32_t n = 0, s0 = 0, s1 = 0, s2 = 0, q0 = 0, q1 = 0, q2 = 0;
  for (int i = 0; i < units; ++i) {
    const int32_t in = group[i] == from ? -1 : 0;
    const int32_t a = t0[i] & in, b = t1[i] & in, c = t2[i] & in;
    n -= in;
    s0 += a;
    s1 += b;
    s2 += c;
    q0 += a * a;
    q1 += b * b;
    q2 += c * c;
  }
  const int64_t s[3] = {s0, s1, s2}, q[3] = {q0, q1, q2};
  int axis = 0;
  int64_t spread = -1;
  for (int c = 0; c < 3; ++c) {
    const int64_t v = n * q[c] - s[c] * s[c];  // n^2 times the variance
    if (v > spread) {
      spread = v;
      axis = c;
    }
  }
  if (spread <= 0) return false;
  const int32_t* t = axis == 0 ? t0 : axis == 1 ? t1 : t2;
  const int32_t mean = static_cast<int32_t>(s[axis]);
  for (int i = 0; i < units; ++i) {
    const int32_t above = (group[i] == from && t[i] * n > mean) ? -1 : 0;
    group[i] = (to & above) | (group[i] & ~above);
  }
  return true;
}

bool ColorFitter::SplitFit(FitResult& r, bool cells) const {
  const Units& u = cells ? cellUnits_ : pixelUnits_;
  const int units = cells ? 16 : 64;
  alignas(16) int32_t four[64], two[64];
  // Two groups, then each of them split again: the starts of the four- and two-colour fits,
  // each then refined.
  std::memset(two, 0, sizeof(two));
  if (!SplitGroup(u.t0, u.t1, u.t2, units, two, 0, 1)) return false;
  std::memcpy(four, two, sizeof(four));
  int k = 2;
  if (SplitGroup(u.t0, u.t1, u.t2, units, four, 0, k)) ++k;
  if (SplitGroup(u.t0, u.t1, u.t2, units, four, 1, k)) ++k;
  // Refinement reads a unit's group from its pixels (a cell's from its top-left one).
  auto start = [cells](const int32_t* group, uint8_t* pattern) {
    for (int p = 0; p < 64; ++p)
      pattern[p] = static_cast<uint8_t>(group[cells ? (p >> 4) * 4 + ((p & 7) >> 1) : p]);
  };
  r.twoError = INT32_MAX;
  start(two, r.twoPattern);
  if (!Refine(2, r.twoColors, r.twoPattern, r.twoPixels, r.twoError, cells, false)) return false;
  r.hasTwo = 1;
  if (k >= 3) {
    r.fourError = INT32_MAX;
    start(four, r.fourPattern);
    if (Refine(k, r.fourColors, r.fourPattern, r.fourPixels, r.fourError, cells, cells)) {
      r.hasFour = 1;
      r.fourCount = static_cast<uint8_t>(k);
      if (k == 3) r.fourColors[3] = cells ? 0 : r.fourColors[2];
    }
  }
  return true;
}

void ColorFitter::LoadPixels(const uint8_t* target, int n) {
  const int targetStride = 3 * frameWidth_;
  for (int y = 0; y < n; ++y) {
    const uint8_t* t = target + y * targetStride;
    for (int x = 0; x < n; ++x, t += 3) {
      const int p = y * 8 + x;
      const int32_t t0 = t[0], t1 = t[1], t2 = t[2];
      pixelUnits_.t0[p] = t0;
      pixelUnits_.t1[p] = t1;
      pixelUnits_.t2[p] = t2;
      pixelUnits_.tsq[p] = t0 * t0 + t1 * t1 + t2 * t2;
    }
  }
}

void ColorFitter::LoadBlock(const uint8_t* target) {
  LoadPixels(target, 8);
  for (int c = 0; c < 16; ++c) {
    const int p = (c >> 2) * 16 + (c & 3) * 2;
    auto cell = [p](const int32_t* a) { return a[p] + a[p + 1] + a[p + 8] + a[p + 9]; };
    cellUnits_.t0[c] = cell(pixelUnits_.t0);
    cellUnits_.t1[c] = cell(pixelUnits_.t1);
    cellUnits_.t2[c] = cell(pixelUnits_.t2);
    cellUnits_.tsq[c] = cell(pixelUnits_.tsq);
  }
}

void ColorFitter::FitColors(const uint8_t* target, const uint8_t* index, int options,
                            FitResult& r) {
  // A quadrant on its own takes the places of the top-left quadrant's pixels.
  if (n_ == 8)
    LoadBlock(target);
  else
    LoadPixels(target, 4);
  Gather(index, 0, false);
  Fit(options, r);
}

void ColorFitter::FitLoaded(const uint8_t* index, LoadedPart part, int options, FitResult& r) {
  switch (part) {
    case LoadedPart::kWhole:
      n_ = 8;
      Gather(index, 0, false);
      break;
    case LoadedPart::kCells:
      n_ = 8;
      Gather(index, 0, UniformCells(index));
      options |= kFitCellVariant;
      break;
    default: {
      const int q = static_cast<int>(part) - static_cast<int>(LoadedPart::kQuadrant0);
      n_ = 4;
      Gather(index, (q >> 1) * 32 + (q & 1) * 4, false);
      break;
    }
  }
  Fit(options, r);
}

bool ColorFitter::UniformCells(const uint8_t* index) const {
  for (int y = 0; y < 8; y += 2) {
    uint64_t a, b;
    std::memcpy(&a, index + y * frameWidth_, 8);
    std::memcpy(&b, index + (y + 1) * frameWidth_, 8);
    if (a != b || ((a ^ (a >> 8)) & 0x00FF00FF00FF00FFull) != 0) return false;
  }
  return true;
}

void ColorFitter::Gather(const uint8_t* index, int first, bool cells) {
  const int n = n_;
  // Gather the block's colours in order of first appearance, with the target sums of each.
  // A run of pixels of one colour is summed in registers and added to its cluster once: adding
  // every pixel to memory would make each wait for the one before.
  activeLength_ = 0;
  Cluster* run = nullptr;
  int32_t runCount = 0, r0 = 0, r1 = 0, r2 = 0, rsq = 0;
  auto endRun = [&]() {
    run->count += runCount;
    run->t0 += r0;
    run->t1 += r1;
    run->t2 += r2;
    run->tsq += rsq;
  };
  uint8_t runOrig = 0;
  // Opens the run of colour v unless it is the current one (runOrig: its original colour).
  auto enter = [&](uint8_t v) {
    Cluster& c = table_[v];
    if (&c != run) {
      if (run) endRun();
      if (c.count == 0) {
        const uint8_t orig = static_cast<uint8_t>(activeLength_);
        c.firstOrig = c.lastOrig = orig;
        colorOf_[orig] = v;
        c.slot = orig;
        active_[activeLength_++] = v;
      }
      run = &c;
      runOrig = c.firstOrig;
      runCount = r0 = r1 = r2 = rsq = 0;
    }
  };
  if (cells) {
    // Every 2x2 cell has one index, so the cells visited in raster order meet the colours in
    // the order the pixels would, and each adds its four pixels' sums at once.
    const Units& u = cellUnits_;
    for (int c = 0; c < 16; ++c) {
      const int p = (c >> 2) * 16 + (c & 3) * 2;
      enter(index[(c >> 2) * 2 * frameWidth_ + (c & 3) * 2]);
      origOf_[p] = origOf_[p + 1] = origOf_[p + 8] = origOf_[p + 9] = runOrig;
      runCount += 4;
      r0 += u.t0[c];
      r1 += u.t1[c];
      r2 += u.t2[c];
      rsq += u.tsq[c];
    }
  } else {
    const Units& u = pixelUnits_;
    for (int y = 0, p = 0; y < n; ++y) {
      const uint8_t* row = index + y * frameWidth_;
      const int at = first + y * 8;
      for (int x = 0; x < n; ++x, ++p) {
        enter(row[x]);
        origOf_[p] = runOrig;
        ++runCount;
        r0 += u.t0[at + x];
        r1 += u.t1[at + x];
        r2 += u.t2[at + x];
        rsq += u.tsq[at + x];
      }
    }
  }
  if (run) endRun();
}

void ColorFitter::Fit(int options, FitResult& r) {
  const int count = n_ * n_;
  r.hasTwo = 0;
  r.hasFour = 0;
  r.solidError = 0;
  r.colorCount = static_cast<uint8_t>(activeLength_);
  const bool refine = !classic_ && n_ == 8;

  // Every member of an entry has the entry's palette colour; the unchanged block's error is
  // the sum of the entries' errors.
  Cluster all{};
  int32_t rawError = 0;
  for (int i = 0; i < activeLength_; ++i) {
    const uint8_t v = active_[i];
    Cluster& c = table_[v];
    const uint8_t* rgb = pal_.Rgb(v);
    c.s0 = c.count * rgb[0];
    c.s1 = c.count * rgb[1];
    c.s2 = c.count * rgb[2];
    rawError += ClusterError(c, v);
    AddSums(all, c);
  }
  r.rawError = (options & kFitRawError) ? rawError : 0;

  uint8_t m;
  // A whole block of many colours: the exact fit starts its four- and two-colour fits from
  // splits of the pixels instead of merging every colour, which would cost far more.
  bool split = false;
  if (refine && activeLength_ > kSplitFitColors) {
    split = SplitFit(r, (options & kFitCellVariant) != 0);
    if (!split) r.hasTwo = r.hasFour = 0;
  }
  if (split) {
    for (int i = 0; i < activeLength_; ++i) Empty(active_[i]);
    activeLength_ = 0;
    m = MapMean(all);
  } else if (activeLength_ == 1) {
    m = active_[0];
    Empty(m);
    activeLength_ = 0;
  } else {
    FillPairDistances();
    for (;;) {
      if (activeLength_ == 2) {
        // The two-colour fit; merging ends here.
        r.hasTwo = 1;
        const uint8_t a = active_[0], b = active_[1];
        const uint8_t p0 = a < b ? a : b, p1 = a < b ? b : a;
        r.twoColors[0] = p0;
        r.twoColors[1] = p1;
        const Cluster& c0 = table_[p0];
        const Cluster& c1 = table_[p1];
        r.twoError = ClusterError(c0, p0) + ClusterError(c1, p1);
        patternOf_[p0] = 0;
        patternOf_[p1] = 1;
        Draw(r.twoPixels, r.twoPattern, patternOf_);
        Cluster total{};
        AddSums(total, c0);
        AddSums(total, c1);
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
        r.fourCount = static_cast<uint8_t>(activeLength_);
        r.fourError = 0;
        for (int i = 0; i < activeLength_; ++i)
          r.fourError += ClusterError(table_[active_[i]], active_[i]);
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
        for (int i = 0; i < activeLength_; ++i) patternOf_[P[i]] = static_cast<uint8_t>(i);
        Draw(r.fourPixels, r.fourPattern, patternOf_);
        if (activeLength_ == 3) P[3] = (options & kFitCellVariant) ? 0 : P[2];
      }

      // Merge the closest pair.
      int i, j;
      // The exact fit weighs the merges that shape its four-, two- and one-colour fits by
      // the error they add; while many colours remain, the nearest pair by palette distance
      // (a table look-up per pair) is merged, as a search by added error over every pair of a
      // busy block would cost more than the whole rest of the fit.
      if (classic_) {
        FindClosestPair(&i, &j);
      } else if (activeLength_ > kCheapestPairColors) {
        FindClosestPair(&i, &j);
      } else {
        FindCheapestPair(&i, &j);
      }
      const uint8_t a = active_[i], b = active_[j];
      const Cluster& ca = table_[a];
      const Cluster& cb = table_[b];
      Cluster merged = ca;
      AddSums(merged, cb);
      Link(merged, cb);
      Remove(a);
      Remove(b);
      Empty(a);
      Empty(b);

      // Absorb every cluster that already holds the colour the mean maps to.
      m = MapMean(merged);
      while (table_[m].count != 0) {
        const Cluster& c = table_[m];
        AddSums(merged, c);
        Link(merged, c);
        Remove(m);
        Empty(m);
        m = MapMean(merged);
      }
      if (activeLength_ == 0) break;  // everything merged into m

      // Every original colour of the merged cluster now shows m.
      for (uint8_t o = merged.firstOrig;; o = nextOrig_[o]) {
        colorOf_[o] = m;
        if (o == merged.lastOrig) break;
      }
      table_[m] = merged;
      Append(m);
    }
  }

  r.solidColor = m;
  if (options & kFitSolidError) r.solidError = ClusterError(all, m);
  // Refinement pays most on whole blocks; the quadrants' small fits keep their merged colours.
  if (refine && !split) {
    const bool cells = (options & kFitCellVariant) != 0;
    // A block of no more colours than a fit has keeps them: each is already the nearest entry
    // of its pixels.
    if (r.hasTwo && r.colorCount > 2)
      Refine(2, r.twoColors, r.twoPattern, r.twoPixels, r.twoError, cells, false);
    if (r.hasFour && r.colorCount > r.fourCount) {
      const int k = r.fourCount;
      Refine(k, r.fourColors, r.fourPattern, r.fourPixels, r.fourError, cells, cells);
      if (k == 3) r.fourColors[3] = cells ? 0 : r.fourColors[2];
    }
  }
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
