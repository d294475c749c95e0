#include "video/motion_field.h"

#include <algorithm>
#include <cstdlib>

#include "video/dsp/dsp.h"
#include "video/modes.h"

namespace korvane {

void MotionField::Setup(int blocksPerRow, int blocksPerColumn) {
  blocksPerRow_ = std::max(0, blocksPerRow);
  blocksPerColumn_ = std::max(0, blocksPerColumn);
  const size_t n = static_cast<size_t>(blocksPerRow_) * static_cast<size_t>(blocksPerColumn_);
  current_.assign(n, MotionVector{});
  previous_.assign(n, MotionVector{});
  pan_ = MotionVector{};
}

void MotionField::NextFrame(MotionVector pan) {
  current_.swap(previous_);
  std::fill(current_.begin(), current_.end(), MotionVector{});
  pan_ = pan;
}

int MotionField::Seeds(int block, MotionVector* seeds) const {
  // Repeated seeds are left for the search to skip.
  int n = 0;
  auto add = [&](MotionVector v) { seeds[n++] = v; };
  const int bx = block % std::max(1, blocksPerRow_), by = block / std::max(1, blocksPerRow_);
  static constexpr int kAround[9][2] = {{0, 0},   {-1, 0}, {1, 0},  {0, -1}, {0, 1},
                                        {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
  for (const auto& d : kAround) {
    const int x = bx + d[0], y = by + d[1];
    if (x < 0 || y < 0 || x >= blocksPerRow_ || y >= blocksPerColumn_) continue;
    add(previous_[static_cast<size_t>(y) * blocksPerRow_ + x]);
  }
  add(pan_);
  return n;
}

namespace {

// Vectors tried for one block, so that none is measured twice.
class Tried {
 public:
  bool Insert(int dx, int dy) {
    const uint16_t key = static_cast<uint16_t>(((dx & 255) << 8) | (dy & 255));
    for (int i = 0; i < n_; ++i)
      if (keys_[i] == key) return false;
    if (n_ < kMax) keys_[n_++] = key;
    return true;
  }

 private:
  static constexpr int kMax = 96;
  uint16_t keys_[kMax];
  int n_ = 0;
};

inline bool IsNear(int dx, int dy) {
  return dx >= -8 && dx <= 7 && dy >= -8 && dy <= 7;
}

}  // namespace

SeededMotion SeededMotionSearch(const uint8_t* target, const uint8_t* previousRGB, int width,
                                int32_t offset, int32_t lastBlockOffset, int32_t bound,
                                int32_t nearError, MotionVector near, const MotionVector* seeds,
                                int seedCount, const SeededSearchSettings& settings) {
  SeededMotion r;
  r.NearError = nearError < bound ? nearError : kUnavailable;
  r.Near = near;
  r.FarError = kUnavailable;
  r.Far = MotionVector{};
  const auto error = dsp::Selected().RowBoundedError;
  const int stride = 3 * width;
  const int column = offset % width;
  // The best error so far over every source, the plain copy included, and its vector.
  int32_t best = bound;
  MotionVector bestVector{};
  if (r.NearError != kUnavailable) {
    best = r.NearError;
    bestVector = near;
  }
  Tried tried;
  tried.Insert(0, 0);  // the plain copy: its error is the bound
  if (r.NearError != kUnavailable) tried.Insert(near.Dx, near.Dy);

  // Measures the source at (dx, dy) and keeps it when it is the best of its kind. A far source
  // costs one byte more than a near one, so it only counts when it beats every near source.
  auto measure = [&](int dx, int dy) {
    if (dx < -128 || dx > 127 || dy < -128 || dy > 127) return;
    if (column + dx < 0 || column + dx > width - 8) return;
    const int32_t s = offset + dy * width + dx;
    if (s < 0 || s > lastBlockOffset) return;
    const bool nearby = IsNear(dx, dy);
    if (nearby && settings.NearSearched) return;
    if (!tried.Insert(dx, dy)) return;
    const int32_t limit =
        nearby ? std::min(bound, r.NearError) : std::min({bound, r.NearError, r.FarError});
    const int32_t e = error(target, previousRGB + 3 * static_cast<size_t>(s), stride, limit);
    if (e >= limit) return;
    const MotionVector v{static_cast<int8_t>(dx), static_cast<int8_t>(dy)};
    if (nearby) {
      r.NearError = e;
      r.Near = v;
      // A far source no better than the near one is never worth its extra byte.
      if (r.FarError >= e) r.FarError = kUnavailable;
    } else {
      r.FarError = e;
      r.Far = v;
    }
    if (e < best) {
      best = e;
      bestVector = v;
    }
  };

  for (int i = 0; i < seedCount; ++i) measure(seeds[i].Dx, seeds[i].Dy);

  // Refinement: one-pixel steps around the best source while they improve it.
  static constexpr int kSteps[8][2] = {{-1, 0},  {1, 0},  {0, -1}, {0, 1},
                                       {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
  const int directions = settings.WideRefine ? 8 : 4;
  for (int round = 0; round < settings.RefineSteps; ++round) {
    const MotionVector centre = bestVector;
    for (int k = 0; k < directions; ++k)
      measure(centre.Dx + kSteps[k][0], centre.Dy + kSteps[k][1]);
    if (bestVector == centre) break;
  }

  if (r.FarError != kUnavailable && r.NearError != kUnavailable && r.FarError >= r.NearError)
    r.FarError = kUnavailable;
  r.Best = bestVector;
  return r;
}

void PanEstimator::Setup(int width, int height) {
  width_ = std::max(0, width);
  height_ = std::max(0, height);
  havePrevious_ = false;
  const size_t pixels = static_cast<size_t>(width_) * height_;
  plane_.assign(pixels, 0);
  previousPlane_.assign(pixels, 0);
  rows_.assign(height_, 0);
  previousRows_.assign(height_, 0);
}

void PanEstimator::AddBand(const uint8_t* picture, int firstRow, int rows) {
  for (int y = std::max(0, firstRow); y < firstRow + rows && y < height_; ++y) {
    const uint8_t* p = picture + 3 * static_cast<size_t>(y) * width_;
    uint16_t* out = plane_.data() + static_cast<size_t>(y) * width_;
    int32_t sum = 0;
    for (int x = 0; x < width_; ++x, p += 3) {
      const uint16_t v = static_cast<uint16_t>(p[0] + p[1] + p[2]);
      out[x] = v;
      sum += v;
    }
    rows_[y] = sum;
  }
}

namespace {

// The shift d at which profile a[i] best matches b[i + d], by the mean absolute difference
// over the overlap (at least half the profile); smaller shifts win ties.
int ProfileShift(const std::vector<int32_t>& a, const std::vector<int32_t>& b, int range) {
  const int n = static_cast<int>(a.size());
  int bestShift = 0;
  int64_t bestSum = -1, bestCount = 1;
  for (int k = 0; k <= 2 * range; ++k) {
    const int d = (k & 1) ? (k + 1) / 2 : -(k / 2);
    const int first = std::max(0, -d), last = std::min(n, n - d);
    const int64_t count = last - first;
    if (count < (n + 1) / 2) continue;
    int64_t sum = 0;
    for (int i = first; i < last; ++i) sum += std::abs(a[i] - b[i + d]);
    if (bestSum < 0 || sum * bestCount < bestSum * count) {
      bestSum = sum;
      bestCount = count;
      bestShift = d;
    }
  }
  return bestShift;
}

// Every fourth line of the overlap is summed: enough to line profiles up, at a quarter of the
// work.
constexpr int kSkip = 4;

}  // namespace

MotionVector PanEstimator::FinishFrame(int range) {
  range = std::clamp(range, 0, 127);
  MotionVector pan{};
  if (havePrevious_ && width_ > 0 && height_ > 0) {
    const int w = width_, h = height_;
    // Rows first, over whole rows.
    int dy = ProfileShift(rows_, previousRows_, range);
    // Columns over the rows both pictures share at that shift: row y here, y + dy before.
    a_.assign(w, 0);
    b_.assign(w, 0);
    for (int y = std::max(0, -dy); y < std::min(h, h - dy); y += kSkip) {
      const uint16_t* p = plane_.data() + static_cast<size_t>(y) * w;
      const uint16_t* q = previousPlane_.data() + static_cast<size_t>(y + dy) * w;
      for (int x = 0; x < w; ++x) {
        a_[x] += p[x];
        b_[x] += q[x];
      }
    }
    const int dx = ProfileShift(a_, b_, range);
    // Rows again over the columns both share at that shift: column x here, x + dx before.
    a_.assign(h, 0);
    b_.assign(h, 0);
    const int x0 = std::max(0, -dx), x1 = std::min(w, w - dx);
    for (int y = 0; y < h; ++y) {
      const uint16_t* p = plane_.data() + static_cast<size_t>(y) * w;
      const uint16_t* q = previousPlane_.data() + static_cast<size_t>(y) * w + dx;
      int32_t sa = 0, sb = 0;
      for (int x = x0; x < x1; x += kSkip) {
        sa += p[x];
        sb += q[x];
      }
      a_[y] = sa;
      b_[y] = sb;
    }
    dy = ProfileShift(a_, b_, range);
    pan = MotionVector{static_cast<int8_t>(dx), static_cast<int8_t>(dy)};
  }
  plane_.swap(previousPlane_);
  rows_.swap(previousRows_);
  havePrevious_ = true;
  return pan;
}

}  // namespace korvane
