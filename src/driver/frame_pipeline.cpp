#include "driver/frame_pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <utility>

#include "driver/korvane.h"
#include "driver/settings.h"

namespace korvane {

namespace {

// Nearest integer, ties to even (the default rounding mode).
int64_t Nearest(double x) {
  return static_cast<int64_t>(std::nearbyint(x));
}

constexpr double kBudgetCap = 65500;

// A byte of the decoding map whose two blocks are both code 1: left as the buffer holds them.
constexpr uint8_t kUnchangedPair = 0x11;
// A byte of the decoding map whose two blocks are both solid (code 14).
constexpr uint8_t kSolidPair = 0xEE;

}  // namespace

PipelineConfig PipelineConfig::From(const Settings& settings, const FrameRange& range,
                                    int frameWidth, int frameHeight, int framesPerSecond) {
  PipelineConfig c;
  c.FrameWidth = frameWidth;
  c.FrameHeight = frameHeight;
  c.OldMethod = settings.OldMethod;
  c.SizeLimited = settings.SizeLimited;
  c.BitRate = settings.BitRate;
  c.SizeLimit = settings.SizeLimit;
  c.FirstFrame = range.FromFrame;
  c.LastFrame = range.ToFrame;
  c.FramesPerSecond = framesPerSecond;
  c.AcrossFrames = !settings.OldMethod && !settings.Classic;
  return c;
}

FramePipeline::FramePipeline(const PipelineConfig& config, MveWriter& file, StreamLayout& layout,
                             std::ostream& progress)
    : config_(config),
      file_(file),
      layout_(layout),
      progress_(progress),
      blocksPerRow_(config.FrameWidth / 8),
      blocksPerColumn_(config.FrameHeight / 8) {
  if (config_.FramesPerSecond < 1) config_.FramesPerSecond = 1;
  if (config_.AcrossFrames && !config_.OldMethod) {
    RateControlConfig rate;
    rate.FrameRate = config_.FrameRate > 0 ? config_.FrameRate : config_.FramesPerSecond;
    rate.Frames = int64_t{config_.LastFrame} - config_.FirstFrame + 1;
    rate.SizeLimited = config_.SizeLimited;
    rate.BitRate = config_.BitRate;
    rate.SizeLimit = config_.SizeLimit;
    rate.FrameCosts = config_.FrameCosts;
    rate_ = std::make_unique<RateControl>(rate);
  }
  map_.reserve(static_cast<size_t>(BlockCount()) / 2 + 1);
  video_.reserve(config_.OldMethod ? kSplitFrameBytes + 64
                                   : static_cast<size_t>(BlockCount()) * 64);
}

FramePipeline::~FramePipeline() = default;

void FramePipeline::SetFrameCoder(FrameCoder* coder) {
  coder_ = coder;
  if (coder_) coder_->SetRatePlanner(rate_.get());
}

const std::string& FramePipeline::LastError() const {
  return lastError_.empty() ? file_.LastError() : lastError_;
}

void FramePipeline::FlipAndReverse(const uint8_t* source, uint8_t* target, int width, int height) {
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int k = 0; k < height; ++k) {
    const uint8_t* s = source + static_cast<size_t>(height - 1 - k) * rowBytes;
    uint8_t* t = target + static_cast<size_t>(k) * rowBytes;
    for (int x = 0; x < width; ++x, s += 3, t += 3) {
      t[0] = s[2];
      t[1] = s[1];
      t[2] = s[0];
    }
  }
}

void FramePipeline::ReverseComponents(const uint8_t* source, uint8_t* target, int64_t n) {
  for (int64_t i = 0; i < n; ++i, source += 3, target += 3) {
    const uint8_t b0 = source[0], b2 = source[2];
    target[0] = b2;
    target[1] = source[1];
    target[2] = b0;
  }
}

void FramePipeline::PackCode(uint8_t& accumulator, int column, uint8_t code, Bytes& map) {
  if (column % 2 == 0) {
    accumulator = code;
  } else {
    map.push_back(static_cast<uint8_t>(code * 16 + accumulator));
    accumulator = 0;
  }
}

int32_t FramePipeline::AudioOverhead() const {
  const FrameAudioSource* audio = layout_.Config().Audio;
  return audio ? audio->AudioOverhead() : 0;
}

int32_t FramePipeline::FrameBudget() {
  const int fps = config_.FramesPerSecond;
  const int64_t written = file_.BytesWritten();
  const bool firstFrame = layout_.TimerPending();
  // Frames of pass 2, and those still to come including this one; never below one, so that
  // a run coding more frames than its range still divides by a positive count.
  const double frames = std::max<int64_t>(1, int64_t{config_.LastFrame} - config_.FirstFrame + 1);
  const double framesLeft =
      std::max<int64_t>(1, int64_t{config_.LastFrame} - config_.FirstFrame + 2 - frameCounter_);

  if (!budgetStarted_) {
    budgetStarted_ = true;
    if (config_.SizeLimited) sizeLimit_ = static_cast<double>(config_.SizeLimit) - 16;
    double b0 = config_.SizeLimited ? (sizeLimit_ - static_cast<double>(written)) / frames
                                    : static_cast<double>(config_.BitRate) / fps;
    if (b0 > kBudgetCap) b0 = kBudgetCap;
    budgetWindow_.assign(static_cast<size_t>(fps), Nearest(b0));
    windowSum_ = Nearest(b0) * fps;
    windowPosition_ = 0;
    passStartBytes_ = written;
  } else {
    windowSum_ -= budgetWindow_[windowPosition_];
    budgetWindow_[windowPosition_] = written - bytesAtLastBudget_;
    windowSum_ += budgetWindow_[windowPosition_];
    windowPosition_ = (windowPosition_ + 1) % budgetWindow_.size();
  }

  const double bitRate = config_.BitRate;
  double b = config_.SizeLimited
                 ? (sizeLimit_ - static_cast<double>(written)) / framesLeft
                 : (5 * bitRate / fps + bitRate - static_cast<double>(windowSum_)) * 0.2;
  if (b > kBudgetCap) b = kBudgetCap;
  bytesAtLastBudget_ = written;

  int64_t budget = Nearest(b) - 44 - BlockCount() / 2 - AudioOverhead();
  if (firstFrame)
    budget = std::max<int64_t>(budget, BlockCount());
  else
    budget = std::max<int64_t>(budget, 0);
  return static_cast<int32_t>(budget);
}

void FramePipeline::Progress() {
  const int64_t number = int64_t{config_.FirstFrame} + frameCounter_;
  if (number % (config_.OldMethod ? 50 : 25) == 0) {
    progress_ << number << ' ';
    progress_.flush();
  }
}

bool FramePipeline::WritePiece(bool first, bool final) {
  ++piecesWritten_;
  return layout_.WriteFrameChunk(file_, frameCounter_, map_, video_, first, final);
}

int FramePipeline::PieceCount() {
  if (!config_.OldMethod) return 1;
  uint8_t data[64];
  size_t video = 0;
  int pieces = 1;
  for (int block = 0; block < BlockCount(); ++block) {
    int size = 0;
    coder_->GetBlockCode(block, data, &size);
    video += static_cast<size_t>(size);
    if (video > kSplitFrameBytes) {
      ++pieces;
      video = 0;
    }
  }
  const size_t fullMap = static_cast<size_t>(BlockCount()) / 2;
  if (video > 0 && layout_.FrameChunkPayload(fullMap, video, true) > kMaxRecordPayload) ++pieces;
  return pieces;
}

bool FramePipeline::WriteLeadPiece() {
  // Every block a solid colour 0: a picture that refers to no other, drawn like a frame of its
  // own and never shown.
  map_.assign(static_cast<size_t>(BlockCount()) / 2, kSolidPair);
  video_.assign(static_cast<size_t>(BlockCount()), 0);
  ++leadPieces_;
  return WritePiece(true, false);
}

void FramePipeline::ReportFrame(const FrameStats& stats) {
  for (int32_t k = 0; k < stats.CellShapeFaults; ++k)
    progress_ << "Error: 2x2 approximation does not look like 2x2\n";
  if (!stats.LimitMet)
    progress_ << "Warning: Limit condition could not be met. Requested: " << stats.Limit
              << " bytes Got: " << stats.Bytes << " bytes\n";
}

bool FramePipeline::CodeBlocks() {
  const size_t fullMap = static_cast<size_t>(BlockCount()) / 2;
  // Decoders that show every piece of a split frame as a picture of its own (FFmpeg) read the
  // blocks that a piece leaves as they are (code 1) from their picture two pieces back. Before
  // a movie's first frame that is cut into pieces, one lead piece gives them a picture to read.
  if (piecesWritten_ == 0 && PieceCount() > 1 && !WriteLeadPiece()) return false;
  map_.clear();
  video_.clear();
  int blocksDone = 0;
  bool first = true;
  int block = 0;
  uint8_t data[64];
  for (int by = 0; by < blocksPerColumn_; ++by) {
    uint8_t accumulator = 0;
    for (int bx = 0; bx < blocksPerRow_; ++bx) {
      int size = 0;
      const uint8_t code = coder_->GetBlockCode(block, data, &size);
      video_.insert(video_.end(), data, data + size);
      PackCode(accumulator, bx, code, map_);
      ++blocksDone;
      ++block;
      if (config_.OldMethod && video_.size() > kSplitFrameBytes) {
        // Cut the frame after this block. Blocks not coded yet, and in the next pieces the
        // blocks already sent, are code 1: left as the drawing buffer holds them. Blocks not
        // coded yet are drawn by a later piece, so what this piece puts there is never seen:
        // in the movie's second picture, where a decoder has no picture two back to read,
        // they copy the previous picture (code 0) instead.
        const bool early = piecesWritten_ == 1;
        const bool even = bx % 2 == 0;
        if (even) PackCode(accumulator, bx + 1, early ? 0 : 1, map_);
        map_.resize(fullMap, early ? 0x00 : kUnchangedPair);
        if (!WritePiece(first, false)) return false;
        first = false;
        video_.clear();
        map_.assign(static_cast<size_t>(blocksDone / 2), kUnchangedPair);
        accumulator = even ? 1 : 0;
      }
    }
  }
  // The piece that ends the frame also carries the sound and the palette. When they would
  // push it past what a chunk can hold, its video goes in a piece of its own first.
  if (config_.OldMethod && !video_.empty() &&
      layout_.FrameChunkPayload(map_.size(), video_.size(), true) > kMaxRecordPayload) {
    if (!WritePiece(first, false)) return false;
    first = false;
    video_.clear();
    map_.assign(fullMap, kUnchangedPair);
  }
  if (!WritePiece(first, true)) return false;
  if (!first) ++splitFrames_;
  return true;
}

int32_t FramePipeline::BeginFrame() {
  ++frameCounter_;
  if (config_.OldMethod) return 0;
  if (!rate_) return FrameBudget();
  // Everything of the frame's chunk but its video data (its 4-byte header, map, sound and
  // palette included).
  const size_t fullMap = static_cast<size_t>(BlockCount()) / 2;
  const int64_t overhead = 4 + static_cast<int64_t>(layout_.FrameChunkPayload(fullMap, 0, true));
  const int32_t limit = rate_->BeginFrame(file_.BytesWritten(), static_cast<int32_t>(overhead));
  passStartBytes_ = rate_->PassStartBytes();
  return limit;
}

bool FramePipeline::WriteCodedFrame(const FrameStats& stats) {
  ReportFrame(stats);
  Progress();
  totalError_ += stats.Error;
  totalEnergy_ += stats.Energy;
  peakChainBytes_ = std::max(peakChainBytes_, stats.ChainBytes);
  return CodeBlocks();
}

bool FramePipeline::EncodeAndWriteFrame(const uint8_t* workingFrame, const uint8_t* prepared) {
  lastError_.clear();
  if (!coder_) {
    lastError_ = "No frame coder";
    return false;
  }
  const int32_t limit = BeginFrame();
  FrameStats stats;
  const bool coded = prepared ? coder_->EncodePreparedFrame(workingFrame, prepared, limit, stats)
                              : coder_->EncodeFrame(workingFrame, limit, stats);
  if (!coded) {
    lastError_ = stats.Failure ? stats.Failure : "Cannot code the frame";
    return false;
  }
  return WriteCodedFrame(stats);
}

}  // namespace korvane
