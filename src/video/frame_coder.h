// The interface both compression methods share: a frame goes in, and every 8x8 block comes back
// as an MVE block code with its data bytes, together with the facts of the frame. Coders never
// print; the caller decides what the facts mean to the user.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// What coding one frame found. The caller reports it and keeps the run's totals.
struct FrameStats {
  int32_t Limit = 0;              // the byte budget the frame was given (0: the coder has none)
  int32_t Bytes = 0;              // video-data bytes of the coded frame
  bool LimitMet = true;           // false: the cheapest coding of every block still passes Limit
  int32_t CellShapeFaults = 0;    // blocks whose 2x2 approximation failed its shape check
  double Error = 0;               // squared error of what decoders show against the target
  double Energy = 0;              // the target's signal energy (sum of squared components)
  int32_t ChainBytes = 0;         // candidate chain storage the frame used
  int64_t PruneSteps = 0;         // pruning steps taken to meet Limit
  const char* Failure = nullptr;  // why EncodeFrame returned false
};

// What a frame's video data costs at each slope of a fixed ladder: Bytes[k] is the size of the
// frame when every block takes each step of its chain whose added error per byte saved is
// below SlopeAt(k). The ladder climbs by an eighth of an octave from 1; its first rung (0)
// takes no step, its last takes every step (the cheapest coding of every block).
struct RateCurve {
  static constexpr int kSteps = 202;
  static int32_t SlopeAt(int k);
  // The first rung whose slope lies above `slope` (kSteps - 1 for the largest slopes).
  static int RungAbove(int32_t slope);
  int64_t Bytes[kSteps] = {};
};

// Where a frame's pruning stops: every step below Slope is taken, and then more steps, by
// ascending slope, while the video data exceeds Limit.
struct PruneGoal {
  int32_t Slope = 0;
  int32_t Limit = 0;
};

// Chooses each frame's pruning goal once the frame's costs are known.
class RatePlanner {
 public:
  virtual ~RatePlanner() = default;
  virtual PruneGoal Plan(const RateCurve& curve) = 0;
};

// In which order the rows of the frame handed to EncodeFrame come.
enum class RowOrder { BottomUp, TopDown };

class FrameCoder {
 public:
  virtual ~FrameCoder() = default;

  // The row order EncodeFrame expects its R, G, B frame in.
  virtual RowOrder InputRows() const = 0;

  // Codes one frame of R, G, B pixels (rows in InputRows() order) against the frames coded
  // before it. `limit` is the byte budget of its video data (ignored by coders without rate
  // control). False (with stats.Failure) when the frame could not be coded.
  virtual bool EncodeFrame(const uint8_t* frame, int32_t limit, FrameStats& stats) = 0;

  // A planner that chooses every later frame's goal from its costs, in place of `limit`
  // (null: none). Coders without rate control ignore it.
  virtual void SetRatePlanner(RatePlanner*) {}

  // The part of coding a frame that needs none of the frames before it, which a caller may do
  // ahead, on another thread, while the frame before is coded: PrepareFrame fills
  // PreparedBytes() bytes from the frame, and EncodePreparedFrame then codes the frame exactly
  // as EncodeFrame would. PrepareFrame may run beside any call but SetupFrameGeometry-like
  // set-up. A coder with nothing to prepare takes no bytes.
  virtual size_t PreparedBytes() const { return 0; }
  // Whether preparing ahead pays: where the coder would do the same work on all its workers in
  // a loop it runs anyway, it may answer false, and is then given frames unprepared.
  virtual bool PrepareAhead() const { return PreparedBytes() > 0; }
  virtual void PrepareFrame(const uint8_t* frame, uint8_t* prepared) const {
    (void)frame;
    (void)prepared;
  }
  virtual bool EncodePreparedFrame(const uint8_t* frame, const uint8_t* prepared, int32_t limit,
                                   FrameStats& stats) {
    (void)prepared;
    return EncodeFrame(frame, limit, stats);
  }

  // After EncodeFrame: the code of block `block` (raster order, top row of blocks first); its
  // data bytes are written to `data` (room for 64 bytes) and their number to `size`.
  virtual uint8_t GetBlockCode(int block, uint8_t* data, int* size) const = 0;

  virtual int BlockCount() const = 0;
};

}  // namespace korvane
