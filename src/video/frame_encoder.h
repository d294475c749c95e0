// The default compression method: every 8x8 block of a true-colour frame is offered a set of
// candidate codings, each block's candidates are chained along their lower convex hull of
// (bytes, error), and the frame is pruned greedily to a byte limit. What it chose is drawn
// into the current reconstruction, which the next frame is coded against.
#pragma once

#include <cstdint>
#include <memory>

#include "video/frame_coder.h"

namespace korvane {

class ColorReducer;
struct ModeCandidate;

class FrameEncoder final : public FrameCoder {
 public:
  FrameEncoder();
  ~FrameEncoder() override;
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  // Once per run, before the first frame. `reducer` holds the movie palette (may be null); the
  // palette must not change afterwards. `threads` is the number of workers, the calling thread
  // included (below 1: one per core); the output never depends on it. Width and height are
  // multiples of 8.
  void SetupFrameGeometry(int width, int height, const ColorReducer* reducer, bool dither,
                          int threads);

  // The motion search (off until set): blocks may also be copied from elsewhere in the
  // previous frames.
  void SetMotionSearch(bool motion);

  // With a planner, every frame is pruned to the goal it chooses from the frame's rate curve;
  // the limit given to EncodeFrame is then not used.
  void SetRatePlanner(RatePlanner* planner) override;

  RowOrder InputRows() const override { return RowOrder::TopDown; }
  // Codes one frame: `target` is FrameWidth x FrameHeight pixels of R, G, B, top row first;
  // `limit` the byte budget of the frame's video data. The frame's facts go to `stats`: its
  // error and bytes after pruning, whether the limit was met, the chain storage it used (the
  // chains' bytes as if stored back to back) and the pruning steps taken.
  bool EncodeFrame(const uint8_t* target, int32_t limit, FrameStats& stats) override;
  // The frame mapped to the palette (plain or dithered, and at half resolution) and its
  // energy, which need no earlier frame. Set-up must be done; safe beside EncodeFrame.
  size_t PreparedBytes() const override;
  // True where mapping ahead takes work off the workers' path: dithering (one thread), or the
  // classic fit, which has no loop over the frame's rows of its own.
  bool PrepareAhead() const override;
  void PrepareFrame(const uint8_t* target, uint8_t* prepared) const override;
  bool EncodePreparedFrame(const uint8_t* target, const uint8_t* prepared, int32_t limit,
                           FrameStats& stats) override;

  // After EncodeFrame: the opcode of block `block` (raster order); its video-data bytes are
  // written to `data` (room for 64 bytes) and their number to `size`.
  uint8_t GetBlockCode(int block, uint8_t* data, int* size) const override;

  int BlockCount() const override;
  int32_t CandidateSpace() const;
  // Palette indices of the reconstruction of the last coded frame (FrameWidth per row).
  const uint8_t* CurrentFrame() const;

  // The coding chosen for each block of the last coded frame, for checks.
  const ModeCandidate* ChosenRecord(int block) const;
  // Target of the last coded frame at half resolution (FrameWidth per row).
  const uint8_t* HalfResFrame() const;
  int Threads() const;
  // With the exact fit, for tests: see BlockCoder::OfferOnly (call after SetupFrameGeometry).
  void OfferOnly(int kind);

 private:
  // Replaces chosen codings by one-byte copies within the frame where they draw the same
  // block; returns the bytes saved.
  int32_t ReplaceByFrameCopies();
  // The coding of a block of the last coded frame.
  const ModeCandidate& Coding(int block) const;

  struct Impl;
  bool Encode(const uint8_t* target, const uint8_t* prepared, int32_t limit, FrameStats& stats);
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
