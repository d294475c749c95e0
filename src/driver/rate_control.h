// Allocation of bytes across the frames of a movie: every frame is pruned to one rate-distortion
// slope, the slope at which the movie as a whole spends its budget, so that bytes go where they
// buy the most error whatever frame they are in. Calm frames cost little at that slope and what
// they leave is spent by busy ones.
//
// No frame after the current one is coded yet, so each frame's slope is the one at which this
// frame and the frames still to come would spend exactly the bytes left, a frame to come
// costing what the frames coded so far of the nearest activity (FrameActivity, from pass 1)
// cost, or without pass 1 what the last second's frames cost on average. A frame that can use
// them never gets less than half its share. Two hard limits hold whatever the slope: the
// frame chunks never exceed the budget (the frames still to come keep room for their maps,
// headers and sound), and no run of frames lasting a second (WindowFrames consecutive frames,
// the first with everything written before it: header, set-up chunks, the sound sent ahead)
// exceeds 1.5 times the rate, the most the machines these movies were made for can stream.
//
// Use, per run: RateControl rate(config); per frame: limit = rate.BeginFrame(BytesWritten,
// overhead), then the frame coder asks Plan() with the frame's rate curve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/frame_coder.h"

namespace korvane {

// How much each frame of a movie changes, gathered while pass 1 reads it: for every 8x8 block,
// the smaller of its squared difference from the same block of the frame before (what a copy
// misses) and its own detail (the squared differences of neighbouring pixels, what coding it
// afresh misses), on every other pixel and row, summed over the frame. The rate control takes it
// for how the frames to come compare in cost.
class FrameActivity {
 public:
  // The next frame: `width` x `height` pixels of 3 bytes, rows without gaps (any row order and
  // component order, the same for every frame).
  void Add(const uint8_t* pixels, int width, int height);
  const std::vector<double>& Costs() const { return costs_; }

 private:
  std::vector<uint8_t> previous_;  // the sampled pixels of the last frame
  std::vector<uint8_t> sampled_;
  std::vector<int64_t> temporal_, spatial_;  // a band of blocks' sums
  std::vector<double> costs_;
};

struct RateControlConfig {
  double FrameRate = 0;  // frames per second of the movie (below 1e-3: taken as 1)
  int64_t Frames = 0;    // frames of the pass (at least 1 counted)
  bool SizeLimited = false;
  int64_t BitRate = 0;    // bytes per second: the whole file at most BitRate x duration
  int64_t SizeLimit = 0;  // bytes for the whole file, when SizeLimited
  // FrameActivity's costs of the pass's frames in order (empty: not known; then every frame to
  // come is taken to cost what the recent ones did).
  std::vector<double> FrameCosts;
};

class RateControl final : public RatePlanner {
 public:
  explicit RateControl(const RateControlConfig& config);

  // Before a frame is coded: `bytesWritten` the file's size so far, `overhead` the bytes of the
  // frame's chunk besides its video data (map, headers, sound, palette). Returns the most video
  // data the frame may have under the hard limits.
  int32_t BeginFrame(int64_t bytesWritten, int32_t overhead);

  // The frame's goal from its rate curve: the slope for the movie, and the frame's limit.
  PruneGoal Plan(const RateCurve& curve) override;

  // Frames of a one-second window, and the bytes such a window may hold.
  int WindowFrames() const { return windowFrames_; }
  int64_t WindowCap() const { return windowCap_; }
  // The bytes the frame chunks may take in all (known from the first frame on).
  int64_t Budget() const { return budget_; }
  // BytesWritten at the first frame.
  int64_t PassStartBytes() const { return passStart_; }

 private:
  // The activity of frame `frame` of the pass, with its floor.
  double Cost(int64_t frame) const;
  // The sum of the last `count` frames' chunks (fewer at the start of the movie).
  int64_t RecentBytes(int count) const;

  RateControlConfig config_;
  int windowFrames_ = 1;
  int historyFrames_ = 1;
  bool started_ = false;
  int64_t passStart_ = 0;
  int64_t budget_ = 0;
  double rate_ = 0;  // bytes per second the budget allows
  int64_t windowCap_ = 0;

  // The frames coded so far, and the bytes of every frame chunk (the last WindowFrames kept).
  int64_t frameIndex_ = -1;
  int64_t lastWritten_ = 0;
  std::vector<int64_t> recent_;  // ring of the last WindowFrames - 1 chunks
  size_t recentNext_ = 0;
  int64_t recentCount_ = 0;

  // This frame's facts from BeginFrame.
  int64_t spent_ = 0;
  int32_t overhead_ = 0;
  int64_t hardLimit_ = 0;

  // The rate curves of the last historyFrames_ frames after the first, and their sum.
  std::vector<RateCurve> history_;
  // The frames to come by their level of activity (eighths of an octave), and the floor of
  // each frame's activity.
  static constexpr int kLevels = 8 * 64;
  static double Level(double cost);
  int LevelBin(int64_t frame) const;
  std::vector<int64_t> futureLevels_;
  // What frames of each octave of activity cost: their curves and level, averaged with the
  // recent frames weighing most.
  static constexpr int kShelves = kLevels / 8;
  struct Shelf {
    double Bytes[RateCurve::kSteps] = {};
    double Level = 0;
    int64_t Count = 0;
  };
  void Learn(const RateCurve& curve, double level);
  std::vector<Shelf> shelves_ = std::vector<Shelf>(kShelves);
  // The frames to come by level: how many, the shelf that predicts them and the rung shift.
  struct Planned {
    double Frames;
    int Shelf;
    int Shift;
  };
  std::vector<Planned> toComeShelves_;
  int64_t levelsRemoved_ = 0;
  double costFloor_ = 0;
  size_t historyNext_ = 0;
  int historyCount_ = 0;
  std::vector<double> historySum_;
};

}  // namespace korvane
