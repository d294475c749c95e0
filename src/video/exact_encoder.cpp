#include "video/exact_encoder.h"

#include <cstring>
#include <utility>

#include "palette/color_reducer.h"

namespace korvane {

ExactEncoder::ExactEncoder(int width, int height, ColorReducer* reducer, bool dither,
                           bool localPalettes)
    : width_(width),
      height_(height),
      blocksPerRow_(width / 8),
      blocksPerColumn_(height / 8),
      reducer_(reducer),
      dither_(dither),
      localPalettes_(localPalettes),
      current_(IndexFrame::Create(width, height)),
      previous_(IndexFrame::Create(width, height)),
      twoBack_(IndexFrame::Create(width, height)),
      indexFrame_(static_cast<size_t>(width) * height),
      codes_(static_cast<size_t>(BlockCount())),
      offsets_(static_cast<size_t>(BlockCount()) + 1) {
  data_.reserve(static_cast<size_t>(BlockCount()) * 64);
}

ExactEncoder::~ExactEncoder() = default;

bool ExactEncoder::EncodeFrame(const uint8_t* frame, int32_t, FrameStats& stats) {
  stats = FrameStats{};
  if (!reducer_) {
    stats.Failure = "No palette to map the frame to";
    return false;
  }
  if (dither_) {
    if (!reducer_->MapPixelsDithered(frame, indexFrame_.data(), width_, height_)) {
      stats.Failure = "could not alloc mem";
      return false;
    }
  } else {
    reducer_->MapPixels(frame, indexFrame_.data(), width_, height_);
  }
  EncodeMappedFrame(indexFrame_.data(), stats);
  return true;
}

void ExactEncoder::RotateFrames(const uint8_t* indexFrame) {
  // The frame two back is no longer needed; its storage takes the new frame.
  std::unique_ptr<IndexFrame> recycled = std::move(twoBack_);
  twoBack_ = std::move(previous_);
  previous_ = std::move(current_);
  current_ = std::move(recycled);
  current_->LoadBottomUp(indexFrame);
  ++framesCoded_;
}

uint8_t ExactEncoder::CodeBlock(int bx, int by, std::vector<uint8_t>& data) {
  IndexFrame& cur = *current_;
  cur.AnalyseBlock(bx, by);
  // With a palette per frame the indices of other frames mean other colours: no copies.
  if (!localPalettes_) {
    if (framesCoded_ > 2 && cur.SameBlock(bx, by, *twoBack_, bx, by)) return 1;
    if (framesCoded_ > 1) {
      if (cur.SameBlock(bx, by, *previous_, bx, by)) return 0;
      int dx = 0, dy = 0;
      if (cur.FindCopy(8 * bx, 8 * by, *previous_, &dx, &dy)) {
        data.push_back(static_cast<uint8_t>((dx + 8) + 16 * (dy + 8)));
        return 4;
      }
    }
  }
  uint8_t bytes[64];
  auto emit = [&](int n) { data.insert(data.end(), bytes, bytes + n); };
  if (cur.SolidColor(bytes)) return emit(1), 14;
  if (cur.QuadrantColors(bx, by, bytes)) return emit(4), 13;
  if (cur.CellColors(bx, by, bytes)) return emit(16), 12;
  if (cur.CheckerColors(bx, by, bytes)) return emit(2), 15;
  if (cur.FourColorPattern(bytes)) return emit(20), 9;
  if (cur.TwoColorPattern(bytes)) return emit(10), 7;
  cur.BlockBytes(bx, by, bytes);
  emit(64);
  return 11;
}

void ExactEncoder::EncodeMappedFrame(const uint8_t* indexFrame, FrameStats& stats) {
  stats = FrameStats{};
  RotateFrames(indexFrame);
  data_.clear();
  size_t block = 0;
  for (int by = 0; by < blocksPerColumn_; ++by) {
    for (int bx = 0; bx < blocksPerRow_; ++bx, ++block) {
      offsets_[block] = static_cast<uint32_t>(data_.size());
      codes_[block] = CodeBlock(bx, by, data_);
    }
  }
  offsets_[block] = static_cast<uint32_t>(data_.size());
  stats.Bytes = static_cast<int32_t>(data_.size());
}

uint8_t ExactEncoder::GetBlockCode(int block, uint8_t* data, int* size) const {
  if (block < 0 || block >= BlockCount() || framesCoded_ == 0) {
    *size = 0;
    return 0;
  }
  const uint32_t begin = offsets_[block], end = offsets_[block + 1];
  *size = static_cast<int>(end - begin);
  std::memcpy(data, data_.data() + begin, end - begin);
  return codes_[block];
}

}  // namespace korvane
