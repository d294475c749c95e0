#include "video/encoder_frames.h"

#include <cstring>

namespace korvane {

void FrameGeometry::Setup(int width, int height) {
  FrameWidth = width > 0 ? width : 0;
  FrameHeight = height > 0 ? height : 0;
  BlocksPerRow = FrameWidth / 8;
  BlocksPerColumn = FrameHeight / 8;
  BlockCount = BlocksPerRow * BlocksPerColumn;
  PixelCount = FrameWidth * FrameHeight;
  BlockOffset.assign(BlockCount, 0);
  for (int by = 0, i = 0; by < BlocksPerColumn; ++by)
    for (int bx = 0; bx < BlocksPerRow; ++bx, ++i) BlockOffset[i] = 8 * bx + 8 * by * FrameWidth;
  LastBlockOffset = BlockCount > 0 ? BlockOffset[BlockCount - 1] : 0;
}

void EncoderFrames::Setup(const FrameGeometry& geometry) {
  width_ = geometry.FrameWidth;
  pixels_ = geometry.PixelCount;
  for (auto& s : storage_) s.assign(pixels_, 0);
  current_ = storage_[0].data();
  previous_ = storage_[1].data();
  twoBack_ = storage_[2].data();
  halfRes_.assign(pixels_, 0);
  previousRGB_.clear();
  previousRGB_.shrink_to_fit();
  framesStarted_ = 0;
}

void EncoderFrames::Rotate(bool motion, const uint8_t* paletteRGB) {
  uint8_t* oldCurrent = current_;
  current_ = twoBack_;
  twoBack_ = previous_;
  previous_ = oldCurrent;
  ++framesStarted_;
  if (motion) {
    if (previousRGB_.empty()) previousRGB_.assign(3 * static_cast<size_t>(pixels_), 0);
    if (paletteRGB && width_ > 0) ExpandPreviousRGB(0, pixels_ / width_, paletteRGB);
  }
}

void EncoderFrames::ExpandPreviousRGB(int firstRow, int rows, const uint8_t* paletteRGB) {
  const uint8_t* prev = Previous();
  if (!prev || previousRGB_.empty()) return;
  const size_t first = static_cast<size_t>(firstRow) * static_cast<size_t>(width_);
  const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(width_);
  uint8_t* out = previousRGB_.data() + 3 * first;
  for (size_t i = first; i < first + count; ++i, out += 3)
    std::memcpy(out, paletteRGB + 4 * prev[i], 3);
}

BlockPlanes EncoderFrames::Planes(const FrameGeometry& geometry) {
  BlockPlanes p;
  p.width = width_;
  p.current = current_;
  p.previous = Previous();
  p.twoBack = TwoBack();
  p.halfRes = halfRes_.data();
  p.blockOffset = geometry.BlockOffset.data();
  return p;
}

}  // namespace korvane
