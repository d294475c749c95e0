#include "driver/rate_control.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane {

namespace {

// The shutdown and end chunks that close the file.
constexpr int64_t kClosingBytes = 16;
// The most a frame chunk may hold, with room to spare below the 16-bit record length.
constexpr int64_t kChunkCap = 65500;
// Room kept for each frame still to come beyond this frame's overhead: its sound piece may be a
// sample longer.
constexpr int64_t kOverheadMargin = 8;
// The least a frame gets of its share when it can use it.
constexpr double kLeastShare = 0.5;
// The streaming limit: bytes of a one-second window over the rate.
constexpr double kWindowRatio = 1.5;

// The square of the difference of two bytes, in 32 bits for vector code.
inline int32_t Square(int32_t d) {
  return d * d;
}

int32_t ToLimit(int64_t bytes) {
  return static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void FrameActivity::Add(const uint8_t* pixels, int width, int height) {
  const int blocksX = width / 8, blocksY = height / 8;
  const int sw = blocksX * 4, sh = blocksY * 4;
  sampled_.resize(static_cast<size_t>(sw) * sh * 3);
  for (int y = 0; y < sh; ++y) {
    const uint8_t* row = pixels + static_cast<size_t>(2 * y) * width * 3;
    uint8_t* to = sampled_.data() + static_cast<size_t>(y) * sw * 3;
    for (int x = 0; x < sw; ++x)
      for (int c = 0; c < 3; ++c) to[3 * x + c] = row[6 * x + c];
  }
  const bool hasPrevious = previous_.size() == sampled_.size();
  // Row by row of a band of blocks, each block's 12 bytes of the row at once: loops of fixed
  // length without branches, which the compiler turns into vector code. The sums are of
  // integers, so their order does not matter.
  const size_t rowBytes = static_cast<size_t>(sw) * 3;
  temporal_.assign(static_cast<size_t>(blocksX), 0);
  spatial_.assign(static_cast<size_t>(blocksX), 0);
  double cost = 0;
  for (int by = 0; by < blocksY; ++by) {
    std::fill(temporal_.begin(), temporal_.end(), 0);
    std::fill(spatial_.begin(), spatial_.end(), 0);
    for (int y = 0; y < 4; ++y) {
      const size_t at = static_cast<size_t>(4 * by + y) * rowBytes;
      const uint8_t* row = sampled_.data() + at;
      for (int bx = 0; bx < blocksX; ++bx) {
        const uint8_t* p = row + 12 * bx;
        int32_t side = 0;
        for (int i = 3; i < 12; ++i) side += Square(p[i] - p[i - 3]);
        if (y > 0) {
          const uint8_t* up = p - rowBytes;
          for (int i = 0; i < 12; ++i) side += Square(p[i] - up[i]);
        }
        spatial_[bx] += side;
        if (hasPrevious) {
          const uint8_t* before = previous_.data() + at + 12 * bx;
          int32_t change = 0;
          for (int i = 0; i < 12; ++i) change += Square(p[i] - before[i]);
          temporal_[bx] += change;
        }
      }
    }
    for (int bx = 0; bx < blocksX; ++bx) {
      // 48 differences in time, 72 in space.
      const double fresh = static_cast<double>(spatial_[bx]) * (48.0 / 72.0);
      cost += hasPrevious ? std::min(static_cast<double>(temporal_[bx]), fresh) : fresh;
    }
  }
  costs_.push_back(cost);
  previous_.swap(sampled_);
}

RateControl::RateControl(const RateControlConfig& config) : config_(config) {
  if (!(config_.FrameRate >= 1e-3)) config_.FrameRate = 1;
  config_.Frames = std::max<int64_t>(1, config_.Frames);
  const double window = std::ceil(config_.FrameRate - 1e-9);
  windowFrames_ = static_cast<int>(std::clamp(window, 1.0, 100000.0));
  historyFrames_ = windowFrames_;
  recent_.assign(static_cast<size_t>(windowFrames_ - 1), 0);
  history_.resize(static_cast<size_t>(historyFrames_));
  historySum_.assign(RateCurve::kSteps, 0.0);
  const auto& costs = config_.FrameCosts;
  if (static_cast<int64_t>(costs.size()) >= config_.Frames) {
    // A still frame costs a little too: its map and the odd block.
    double sum = 0;
    for (int64_t i = 0; i < config_.Frames; ++i) sum += std::max(0.0, costs[i]);
    costFloor_ = 0.02 * sum / static_cast<double>(config_.Frames) + 1;
    futureLevels_.assign(kLevels, 0);
    for (int64_t i = 0; i < config_.Frames; ++i) ++futureLevels_[LevelBin(i)];
  }
}

double RateControl::Cost(int64_t frame) const {
  return std::max(0.0, config_.FrameCosts[frame]) + costFloor_;
}

double RateControl::Level(double cost) {
  return 8 * std::log2(std::max(1.0, cost));
}

int RateControl::LevelBin(int64_t frame) const {
  return static_cast<int>(std::clamp(std::floor(Level(Cost(frame))), 0.0, double{kLevels - 1}));
}

int64_t RateControl::RecentBytes(int count) const {
  int64_t sum = 0;
  const int64_t n = std::min<int64_t>(count, recentCount_);
  const size_t size = recent_.size();
  for (int64_t i = 1; i <= n; ++i)
    sum += recent_[(recentNext_ + size - static_cast<size_t>(i)) % size];
  return sum;
}

int32_t RateControl::BeginFrame(int64_t bytesWritten, int32_t overhead) {
  if (!started_) {
    started_ = true;
    passStart_ = bytesWritten;
    const double frames = static_cast<double>(config_.Frames);
    if (config_.SizeLimited) {
      budget_ = config_.SizeLimit - kClosingBytes - bytesWritten;
      rate_ = static_cast<double>(std::max<int64_t>(0, budget_)) * config_.FrameRate / frames;
    } else {
      // The whole file, header and sound lead included, stays within the rate over the movie.
      const double total = static_cast<double>(config_.BitRate) * frames / config_.FrameRate;
      budget_ =
          static_cast<int64_t>(std::floor(std::min(total, 9e18))) - kClosingBytes - bytesWritten;
      rate_ = static_cast<double>(config_.BitRate);
    }
    windowCap_ = static_cast<int64_t>(std::floor(std::min(kWindowRatio * rate_, 9e18)));
  } else if (!recent_.empty()) {
    recent_[recentNext_] = bytesWritten - lastWritten_;
    recentNext_ = (recentNext_ + 1) % recent_.size();
    recentCount_ = std::min<int64_t>(recentCount_ + 1, static_cast<int64_t>(recent_.size()));
  }
  lastWritten_ = bytesWritten;
  ++frameIndex_;
  spent_ = bytesWritten - passStart_;
  overhead_ = std::max(0, overhead);

  const int64_t later = std::max<int64_t>(1, config_.Frames - frameIndex_) - 1;
  int64_t limit = budget_ - spent_ - overhead_ - later * (overhead_ + kOverheadMargin);
  // What comes before the first frame (the header, the set-up chunks, the sound sent ahead) is
  // read with it: it counts in every window that holds the first frame.
  const int64_t lead = frameIndex_ < windowFrames_ ? passStart_ : 0;
  limit = std::min(limit, windowCap_ - RecentBytes(windowFrames_ - 1) - lead - overhead_);
  limit = std::min(limit, kChunkCap - overhead_);
  hardLimit_ = std::max<int64_t>(0, limit);
  return ToLimit(hardLimit_);
}

void RateControl::Learn(const RateCurve& curve, double level) {
  Shelf& shelf = shelves_[std::clamp(static_cast<int>(level / 8), 0, kShelves - 1)];
  ++shelf.Count;
  // The recent frames of an activity count most: content changes along a movie.
  const double weight = 1.0 / static_cast<double>(std::min<int64_t>(shelf.Count, 4));
  shelf.Level += (level - shelf.Level) * weight;
  for (int k = 0; k < RateCurve::kSteps; ++k)
    shelf.Bytes[k] += (static_cast<double>(curve.Bytes[k]) - shelf.Bytes[k]) * weight;
}

PruneGoal RateControl::Plan(const RateCurve& curve) {
  const int64_t framesLeft = std::max<int64_t>(1, config_.Frames - frameIndex_);
  const double later = static_cast<double>(framesLeft - 1);
  // The video bytes left for this frame and those to come.
  const double videoLeft = static_cast<double>(budget_ - spent_) -
                           static_cast<double>(framesLeft) * static_cast<double>(overhead_);
  // What a frame to come costs at each rung: the average of the last frames (the first frame,
  // which has nothing to copy from, is not counted), or this frame's own costs before any.
  auto predicted = [&](int k) {
    return historyCount_ > 0 ? historySum_[k] / historyCount_ : static_cast<double>(curve.Bytes[k]);
  };
  // The frames to come. Without their activity, each costs what the recent frames cost on
  // average. With it, each costs what the frames seen so far of the nearest activity cost
  // (this one included): a frame whose changes are a times those of such frames makes errors
  // a times as large for the same bytes, so its steps' slopes are a times theirs, and at a slope
  // it costs what they cost at that slope over a (8 log2 a rungs down the ladder).
  const bool costsKnown = !futureLevels_.empty() && frameIndex_ < config_.Frames;
  if (costsKnown) {
    while (levelsRemoved_ <= frameIndex_) --futureLevels_[LevelBin(levelsRemoved_++)];
    Learn(curve, Level(Cost(frameIndex_)));
  }
  // The nearest learnt activity to a level (bin b + 0.5), and the rung shift from there.
  auto nearest = [&](double level, int* shift) {
    int best = -1;
    for (int i = 0; i < kShelves; ++i) {
      if (shelves_[i].Count == 0) continue;
      if (best < 0 || std::abs(shelves_[i].Level - level) < std::abs(shelves_[best].Level - level))
        best = i;
    }
    *shift = static_cast<int>(std::lround(shelves_[best].Level - level));
    return best;
  };
  auto learnt = [&](int shelf, int shift, int k) {
    return shelves_[shelf].Bytes[std::clamp(k + shift, 0, RateCurve::kSteps - 1)];
  };
  if (costsKnown) {
    toComeShelves_.clear();
    for (int b = 0; b < kLevels; ++b) {
      if (futureLevels_[b] == 0) continue;
      int shift = 0;
      const int shelf = nearest(b + 0.5, &shift);
      toComeShelves_.push_back({static_cast<double>(futureLevels_[b]), shelf, shift});
    }
  }
  auto toCome = [&](int k) {
    if (!costsKnown) return later * predicted(k);
    double sum = 0;
    for (const Planned& p : toComeShelves_) sum += p.Frames * learnt(p.Shelf, p.Shift, k);
    return sum;
  };
  int rung = RateCurve::kSteps - 1;
  for (int k = 0; k < RateCurve::kSteps; ++k) {
    if (static_cast<double>(curve.Bytes[k]) + toCome(k) <= videoLeft) {
      rung = k;
      break;
    }
  }

  // Room for the frames to come in every window this frame is part of: each is expected to
  // take what the slope costs, but no more than its share of the rate.
  const double share = rate_ / config_.FrameRate;
  double next = predicted(rung);
  if (costsKnown && frameIndex_ + 1 < config_.Frames) {
    int shift = 0;
    const int shelf = nearest(LevelBin(frameIndex_ + 1) + 0.5, &shift);
    next = learnt(shelf, shift, rung);
  }
  const double expected = std::min(static_cast<double>(overhead_) + next, share);
  int64_t limit = hardLimit_;
  const int64_t before = std::min<int64_t>(windowFrames_ - 1, recentCount_);
  // Windows that end j frames after this one hold the last (windowFrames - 1 - j) chunks.
  int64_t recentSum = 0;
  const size_t size = recent_.size();
  for (int64_t m = 0; m < windowFrames_ - 1; ++m) {
    // m = windowFrames - 1 - j chunks before this frame; no window ends past the movie's end.
    const int64_t j = windowFrames_ - 1 - m;
    if (j <= framesLeft - 1) {
      const int64_t cap = windowCap_ - recentSum -
                          static_cast<int64_t>(std::ceil(static_cast<double>(j) * expected)) -
                          overhead_;
      limit = std::min(limit, cap);
    }
    if (m < before) recentSum += recent_[(recentNext_ + size - static_cast<size_t>(m + 1)) % size];
  }
  // Between two rungs: what the frames to come leave at this rung may buy some of the steps
  // between it and the rung below, flattest first. And no frame that can use them gets less
  // than half its share: the frames to come are foreseen only roughly (the first frames of a
  // movie least), and a frame starved on a wrong forecast costs the frames that copy from it.
  double want = static_cast<double>(curve.Bytes[rung]);
  if (rung > 0)
    want = std::max(want,
                    std::min(videoLeft - toCome(rung), static_cast<double>(curve.Bytes[rung - 1])));
  want = std::max(want, kLeastShare * std::max(0.0, share - static_cast<double>(overhead_)));
  int from = rung;
  while (from > 0 && static_cast<double>(curve.Bytes[from]) < want) --from;
  limit = std::min(limit, static_cast<int64_t>(std::floor(std::min(want, 9e18))));
  const int32_t slope = RateCurve::SlopeAt(from);
  limit = std::max<int64_t>(0, limit);

  if (frameIndex_ > 0 && !history_.empty()) {
    RateCurve& slot = history_[historyNext_];
    if (historyCount_ == historyFrames_) {
      for (int k = 0; k < RateCurve::kSteps; ++k)
        historySum_[k] -= static_cast<double>(slot.Bytes[k]);
    } else {
      ++historyCount_;
    }
    slot = curve;
    for (int k = 0; k < RateCurve::kSteps; ++k)
      historySum_[k] += static_cast<double>(curve.Bytes[k]);
    historyNext_ = (historyNext_ + 1) % history_.size();
  }
  return PruneGoal{slope, ToLimit(limit)};
}

}  // namespace korvane
