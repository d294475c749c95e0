// The road of one frame in pass 2: the decoded frame becomes the working frame, gets its byte
// budget, is coded block by block (by the default method's rate allocation, or by the exact
// block tests of the old method), its block codes are packed into the decoding map and their
// bytes collected into the video data, and the frame is written as one frame chunk, or as
// several when the old method's video data grows past 44000 bytes.
//
// Use, per run:
//   MveWriter file; StreamLayout layout(streamConfig);
//   FramePipeline pipeline(config, file, layout, std::cout);
//   pipeline.SetColorReducer(&reducer)     // old method: the mapping to the palette
//   pipeline.SetFrameEncoder(&encoder)     // default method (after its SetupFrameGeometry)
//   pipeline.CreateOldFrames();
//   per frame: ReverseComponents (old) or FlipAndReverse (default) into the working frame,
//              build the frame's audio, then EncodeAndWriteFrame(working, index frame)
//   pipeline.FreeOldFrames();
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "mve/mve_writer.h"
#include "mve/stream_layout.h"
#include "mve/tblock.h"
#include "video/frame.h"

namespace korvane {

class ColorReducer;
class FrameEncoder;

// The settings and movie facts the pipeline reads.
struct PipelineConfig {
  int FrameWidth = 0;   // a multiple of 16
  int FrameHeight = 0;  // a multiple of 8
  bool OldMethod = false;
  bool Dither = false;         // old method: Floyd-Steinberg mapping
  bool LocalPalettes = false;  // old method: a palette per frame, so no copies between frames
  bool HighQuality = false;    // default method: motion search
  bool SizeLimited = false;    // budget from SizeLimit instead of BitRate
  int32_t BitRate = 307200;    // bytes per second
  int32_t SizeLimit = 0;       // bytes for the whole file
  int32_t FirstFrame = 0;      // frame numbers of pass 2, inclusive
  int32_t LastFrame = 0;
  int FramesPerSecond = 0;  // the movie's rounded frame rate; below 1 counts as 1
};

// Video data beyond which the old method cuts a frame.
constexpr size_t kSplitFrameBytes = 44000;

class FramePipeline {
 public:
  // `progress` receives the pass-2 progress numbers.
  FramePipeline(const PipelineConfig& config, MveWriter& file, StreamLayout& layout,
                std::ostream& progress);
  ~FramePipeline();
  FramePipeline(const FramePipeline&) = delete;
  FramePipeline& operator=(const FramePipeline&) = delete;

  void SetColorReducer(ColorReducer* reducer) { reducer_ = reducer; }
  void SetFrameEncoder(FrameEncoder* encoder) { encoder_ = encoder; }

  // Bottom-up B, G, R rows -> top-down R, G, B rows.
  static void FlipAndReverse(const uint8_t* source, uint8_t* target, int width, int height);
  // Reverses the three bytes of each of n pixels; row order kept.
  static void ReverseComponents(const uint8_t* source, uint8_t* target, int64_t n);
  // Adds one 4-bit code to the decoding map: left block of a pair in the low nibble.
  static void PackCode(uint8_t& accumulator, int column, uint8_t code, Bytes& map);

  // The three frames of the old method: current, previous, two back.
  void CreateOldFrames();
  void FreeOldFrames();
  // Two back := previous, previous := current, current := the index frame (bottom row first).
  void RotateOldFrames(const uint8_t* indexFrame);
  TFrame* CurrentFrame() const { return current_.get(); }

  // Old method: the code of block (bx, by) of the current frame; its data bytes are appended
  // to the frame's video data.
  uint8_t OldBlockCode(int bx, int by);
  const Bytes& VideoData() const { return video_; }
  void ClearVideoData() { video_.clear(); }

  // The byte budget of the current frame's video data (default method). Reads BytesWritten
  // and, to recognise the first frame, the layout's TimerPending.
  int32_t FrameBudget();
  // Bytes the frame's audio opcodes will take in its chunk.
  int32_t AudioOverhead() const;

  // Codes and writes one frame. `workingFrame` is R, G, B: bottom row first for the old method
  // (mapped into `indexFrame`, FrameWidth x FrameHeight bytes), top row first for the default
  // method. False when the output cannot be written or the mapping lacks memory (LastError).
  bool EncodeAndWriteFrame(const uint8_t* workingFrame, uint8_t* indexFrame);
  // The old method for a frame already mapped to palette indices (bottom row first).
  bool EncodeAndWriteMappedFrame(const uint8_t* indexFrame);

  int32_t FrameCounter() const { return frameCounter_; }
  int32_t SplitFrames() const { return splitFrames_; }
  // BytesWritten at the first budget computation (0 with the old method).
  int64_t PassStartBytes() const { return passStartBytes_; }
  int BlockCount() const { return blocksPerRow_ * blocksPerColumn_; }
  const std::string& LastError() const;

 private:
  void Progress();
  bool CodeBlocks();
  bool WritePiece(bool first, bool final);

  PipelineConfig config_;
  MveWriter& file_;
  StreamLayout& layout_;
  std::ostream& progress_;
  ColorReducer* reducer_ = nullptr;
  FrameEncoder* encoder_ = nullptr;
  int blocksPerRow_ = 0, blocksPerColumn_ = 0;

  std::unique_ptr<TFrame> current_, previous_, twoBack_;

  int32_t frameCounter_ = 0;
  int32_t splitFrames_ = 0;
  int64_t passStartBytes_ = 0;

  // Budget state.
  std::vector<int64_t> budgetWindow_;
  size_t windowPosition_ = 0;
  int64_t windowSum_ = 0;
  int64_t bytesAtLastBudget_ = 0;
  bool budgetStarted_ = false;
  double sizeLimit_ = 0;

  // Per frame.
  Bytes map_;
  Bytes video_;
  std::string lastError_;
};

}  // namespace korvane
