// The road of one frame in pass 2: the working frame gets its byte budget, the frame coder
// (the default method's rate allocation, or the old method's exact coding) turns it into a code
// and data bytes for every block, the codes are packed into the decoding map and the bytes
// collected into the video data, and the frame is written as one frame chunk, or as several
// when the old method's video data grows past 44000 bytes. The frame's facts are reported here
// (warnings, progress) and summed for the run's report.
//
// Use, per run:
//   MveWriter file; StreamLayout layout(streamConfig);
//   FramePipeline pipeline(config, file, layout, std::cout);
//   pipeline.SetFrameCoder(&coder);
//   per frame: FlipAndReverse or ReverseComponents (as coder.InputRows() asks) into the working
//              frame, build the frame's audio, then EncodeAndWriteFrame(working)
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "driver/rate_control.h"
#include "mve/mve_record.h"
#include "mve/mve_writer.h"
#include "mve/stream_layout.h"
#include "video/frame_coder.h"

namespace korvane {

struct Settings;
struct FrameRange;

// The settings and movie facts the pipeline reads.
struct PipelineConfig {
  int FrameWidth = 0;        // a multiple of 16
  int FrameHeight = 0;       // a multiple of 8
  bool OldMethod = false;    // no budget; frames split past kSplitFrameBytes
  bool SizeLimited = false;  // budget from SizeLimit instead of BitRate
  int32_t BitRate = 307200;  // bytes per second
  int32_t SizeLimit = 0;     // bytes for the whole file
  int32_t FirstFrame = 0;    // frame numbers of pass 2, inclusive
  int32_t LastFrame = 0;
  int FramesPerSecond = 0;  // the movie's rounded frame rate; below 1 counts as 1
  double FrameRate = 0;     // the exact frame rate (0: FramesPerSecond)
  // The default method's bytes are allocated across frames (RateControl) instead of by each
  // frame's own budget (FrameBudget).
  bool AcrossFrames = false;
  // How much each frame of the pass changes (FrameActivity), when pass 1 measured it.
  std::vector<double> FrameCosts;

  // The pipeline of a run of `settings` over pass 2's `range` of frames of the given size.
  static PipelineConfig From(const Settings& settings, const FrameRange& range, int frameWidth,
                             int frameHeight, int framesPerSecond);
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

  // With allocation across frames, the coder's rate planner is the pipeline's.
  void SetFrameCoder(FrameCoder* coder);

  // Bottom-up B, G, R rows -> top-down R, G, B rows.
  static void FlipAndReverse(const uint8_t* source, uint8_t* target, int width, int height);
  // Reverses the three bytes of each of n pixels; row order kept.
  static void ReverseComponents(const uint8_t* source, uint8_t* target, int64_t n);
  // Adds one 4-bit code to the decoding map: left block of a pair in the low nibble.
  static void PackCode(uint8_t& accumulator, int column, uint8_t code, Bytes& map);

  // The byte budget of the current frame's video data (default method). Reads BytesWritten
  // and, to recognise the first frame, the layout's TimerPending.
  int32_t FrameBudget();
  // Bytes the frame's audio opcodes will take in its chunk.
  int32_t AudioOverhead() const;

  // Codes and writes one frame. `workingFrame` is R, G, B with its rows in the order the frame
  // coder asks for; `prepared`, when given, what the coder's PrepareFrame made of it. False
  // when the frame cannot be coded or the output cannot be written (LastError).
  bool EncodeAndWriteFrame(const uint8_t* workingFrame, const uint8_t* prepared = nullptr);
  // The two halves of EncodeAndWriteFrame, for a frame coded by the caller: BeginFrame counts
  // the frame and returns its byte budget (0 for the old method; with allocation across frames,
  // the most the frame may take, its goal then coming from the planner); WriteCodedFrame reports
  // what the coder found and writes the blocks the coder holds.
  int32_t BeginFrame();
  bool WriteCodedFrame(const FrameStats& stats);

  int32_t FrameCounter() const { return frameCounter_; }
  int32_t SplitFrames() const { return splitFrames_; }
  // Pieces written before the first frame so that decoders showing every piece can read it.
  int32_t LeadPieces() const { return leadPieces_; }
  // BytesWritten at the first budget computation (0 with the old method).
  int64_t PassStartBytes() const { return passStartBytes_; }
  int BlockCount() const { return blocksPerRow_ * blocksPerColumn_; }
  // Run totals of the frames' facts, for the report.
  double TotalError() const { return totalError_; }
  double TotalEnergy() const { return totalEnergy_; }
  // The most chain storage one frame used.
  int32_t PeakChainBytes() const { return peakChainBytes_; }
  const std::string& LastError() const;

 private:
  void Progress();
  void ReportFrame(const FrameStats& stats);
  bool CodeBlocks();
  bool WritePiece(bool first, bool final);
  // The pieces the coded frame will be written in.
  int PieceCount();
  bool WriteLeadPiece();

  PipelineConfig config_;
  MveWriter& file_;
  StreamLayout& layout_;
  std::ostream& progress_;
  FrameCoder* coder_ = nullptr;
  int blocksPerRow_ = 0, blocksPerColumn_ = 0;

  int32_t frameCounter_ = 0;
  int32_t splitFrames_ = 0;
  int32_t leadPieces_ = 0;
  int64_t piecesWritten_ = 0;
  int64_t passStartBytes_ = 0;
  double totalError_ = 0;
  double totalEnergy_ = 0;
  int32_t peakChainBytes_ = 0;

  // Allocation across frames (null: each frame's own budget).
  std::unique_ptr<RateControl> rate_;

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
