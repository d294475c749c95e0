// Allocation across frames, simulated: movies of made-up rate curves (calm, busy, cuts, fades)
// run through the rate control, with each frame's bytes taken from its curve where the pruning
// would stop. The whole stays within the budget and every second within 1.5 times the rate,
// whatever the movie, rate, frame rate and activity; calm frames' savings go to busy ones.
#include "driver/rate_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace korvane {
namespace {

// A frame whose video costs `scale` times a standard curve: bytes fall by half every two
// octaves of slope from `scale` x 40000 down to nothing at the top of the ladder.
RateCurve Curve(double scale) {
  RateCurve c;
  for (int k = 0; k < RateCurve::kSteps; ++k) {
    const double octaves = k / 8.0;
    c.Bytes[k] = k == RateCurve::kSteps - 1
                     ? 0
                     : static_cast<int64_t>(scale * 40000 * std::exp2(-octaves / 2) + 0.5);
  }
  return c;
}

// Where the pruning stops: the goal's slope, then on to the limit (or the cheapest coding).
int64_t Pruned(const RateCurve& c, const PruneGoal& goal) {
  int k = 0;
  while (k < RateCurve::kSteps - 1 && RateCurve::SlopeAt(k) < goal.Slope) ++k;
  while (k < RateCurve::kSteps - 1 && c.Bytes[k] > goal.Limit) ++k;
  return c.Bytes[k];
}

struct Simulation {
  std::vector<int64_t> chunks;  // bytes of every frame chunk
  int64_t start = 1000;         // header, set-up and sound lead
  bool limitMissed = false;
};

// Runs a movie of frames costing `scales` through the rate control; every chunk carries
// `overhead` bytes besides its video data.
Simulation Simulate(const RateControlConfig& config, const std::vector<double>& scales,
                    int32_t overhead) {
  RateControl rate(config);
  Simulation s;
  int64_t written = s.start;
  for (double scale : scales) {
    const int32_t hard = rate.BeginFrame(written, overhead);
    const RateCurve curve = Curve(scale);
    const PruneGoal goal = rate.Plan(curve);
    EXPECT_LE(goal.Limit, hard);
    const int64_t video = Pruned(curve, goal);
    if (video > goal.Limit) s.limitMissed = true;
    s.chunks.push_back(overhead + video);
    written += overhead + video;
  }
  return s;
}

int64_t Sum(const std::vector<int64_t>& v, size_t from, size_t to) {
  int64_t sum = 0;
  for (size_t i = from; i < to && i < v.size(); ++i) sum += v[i];
  return sum;
}

TEST(RateControl, HardLimitsHoldOnEveryKindOfMovie) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 120; ++trial) {
    const double fps = std::vector<double>{15, 25, 29.97, 12.5, 1, 60}[trial % 6];
    const int frames = 20 + static_cast<int>(rng() % 300);
    std::vector<double> scales(frames);
    // Scenes of random length and cost: still (almost nothing), calm, busy, a cut (one frame
    // far above its neighbours), a fade (costs sliding to nothing).
    for (int f = 0; f < frames;) {
      const int length = 1 + static_cast<int>(rng() % 60);
      const int kind = static_cast<int>(rng() % 5);
      const double level = std::exp2(static_cast<double>(rng() % 90) / 10.0 - 4);
      for (int i = 0; i < length && f < frames; ++i, ++f) {
        switch (kind) {
          case 0:
            scales[f] = 0.001;
            break;
          case 1:
            scales[f] = level / 8;
            break;
          case 2:
            scales[f] = level;
            break;
          case 3:
            scales[f] = i == 0 ? level * 8 : level / 4;
            break;
          default:
            scales[f] = level * (1 - double(i) / length);
            break;
        }
      }
    }
    RateControlConfig config;
    config.FrameRate = fps;
    config.Frames = frames;
    config.SizeLimited = trial % 4 == 3;
    config.BitRate = 2000 + static_cast<int64_t>(rng() % 400000);
    config.SizeLimit = 5000 + static_cast<int64_t>(rng() % 4000000);
    // Activity as pass 1 would see it, or none (a palette given).
    if (trial % 3 != 0)
      for (double scale : scales) config.FrameCosts.push_back(scale * 1e6);
    const int32_t overhead = 300 + static_cast<int32_t>(rng() % 500);
    SCOPED_TRACE("trial " + std::to_string(trial) + " at " + std::to_string(fps) + " fps, " +
                 (config.SizeLimited ? "size " + std::to_string(config.SizeLimit)
                                     : "rate " + std::to_string(config.BitRate)));
    const Simulation s = Simulate(config, scales, overhead);

    const int64_t total = s.start + Sum(s.chunks, 0, s.chunks.size()) + 16;
    const int64_t allowed =
        config.SizeLimited
            ? config.SizeLimit
            : static_cast<int64_t>(std::floor(double(config.BitRate) * frames / fps));
    const int64_t least = s.start + 16 + int64_t{overhead} * frames;  // what no frame can shed
    if (least <= allowed) {
      EXPECT_LE(total, allowed);
      EXPECT_FALSE(s.limitMissed);
    }
    const int window = static_cast<int>(std::ceil(fps - 1e-9));
    const double rate =
        config.SizeLimited ? double(config.SizeLimit) * fps / frames : double(config.BitRate);
    if (int64_t{overhead} * window <= 1.5 * rate) {
      for (size_t f = 0; f < s.chunks.size(); ++f)
        ASSERT_LE(Sum(s.chunks, f, f + window), 1.5 * rate) << "window from frame " << f;
    }
  }
}

// Two seconds of calm frames, then two of busy ones: the busy frames get what the calm ones
// left, far beyond a second's share, and the budget is spent. With pass 1's activity the calm
// frames know to save; without it they save what a second of calm frames cannot use.
TEST(RateControl, CalmFramesSaveForBusyOnes) {
  const double fps = 15;
  std::vector<double> scales;
  for (int f = 0; f < 30; ++f) scales.push_back(0.05);
  for (int f = 0; f < 30; ++f) scales.push_back(2.0);
  for (bool activity : {true, false}) {
    SCOPED_TRACE(activity ? "activity known" : "no activity");
    RateControlConfig config;
    config.FrameRate = fps;
    config.Frames = 60;
    config.BitRate = 150000;
    if (activity)
      for (double scale : scales) config.FrameCosts.push_back(scale * 1e6);
    const Simulation s = Simulate(config, scales, 400);
    const int64_t busy = Sum(s.chunks, 30, 60);
    const int64_t all = Sum(s.chunks, 0, 60);
    const double budget = 150000.0 * 4 - s.start - 16;
    EXPECT_LE(all, budget);
    // The busy seconds come near the streaming limit of 1.5 times the rate.
    EXPECT_GT(busy, 1.4 * 150000 * 2) << "busy " << busy << " of " << all;
  }
}

}  // namespace
}  // namespace korvane
