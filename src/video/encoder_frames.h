// Frame geometry and the frame buffers of the default method: the frame being coded, the two
// previous reconstructions, the half-resolution target and the RGB copy of the previous
// reconstruction, rotated at the start of every frame.
#pragma once

#include <cstdint>
#include <vector>

#include "video/modes.h"

namespace korvane {

struct FrameGeometry {
  int FrameWidth = 0, FrameHeight = 0;
  int BlocksPerRow = 0, BlocksPerColumn = 0;
  int BlockCount = 0;
  int32_t PixelCount = 0;
  int32_t LastBlockOffset = 0;       // BlockOffset of the last block
  std::vector<int32_t> BlockOffset;  // block (raster order) -> top-left pixel offset

  // Blocks cover the whole 8 x 8 cells of the frame (the caller passes multiples of 8).
  void Setup(int width, int height);
};

class EncoderFrames {
 public:
  // Allocates every buffer once for the run; no previous frame exists afterwards.
  void Setup(const FrameGeometry& geometry);

  // Start of a frame: the old two-back storage becomes the current frame, the current frame
  // the previous one and the previous one the frame two back. With `motion` the RGB copy of
  // the previous reconstruction is refreshed through `paletteRGB` (4 bytes per entry); with a
  // null `paletteRGB` it is only made ready, for ExpandPreviousRGB to fill.
  void Rotate(bool motion, const uint8_t* paletteRGB);
  // Fills `rows` rows of the RGB copy of the previous reconstruction from row `firstRow`, so
  // that bands of rows can be filled on several threads.
  void ExpandPreviousRGB(int firstRow, int rows, const uint8_t* paletteRGB);

  uint8_t* Current() { return current_; }
  const uint8_t* Current() const { return current_; }
  // Null while the frame does not exist yet.
  const uint8_t* Previous() const { return framesStarted_ >= 2 ? previous_ : nullptr; }
  const uint8_t* TwoBack() const { return framesStarted_ >= 3 ? twoBack_ : nullptr; }
  uint8_t* HalfRes() { return halfRes_.data(); }
  const uint8_t* HalfRes() const { return halfRes_.data(); }
  // Null until a frame has been rotated in with the motion flag.
  const uint8_t* PreviousRGB() const {
    return previousRGB_.empty() ? nullptr : previousRGB_.data();
  }

  BlockPlanes Planes(const FrameGeometry& geometry);

 private:
  int width_ = 0;
  int32_t pixels_ = 0;
  std::vector<uint8_t> storage_[3];
  uint8_t* current_ = nullptr;
  uint8_t* previous_ = nullptr;
  uint8_t* twoBack_ = nullptr;
  std::vector<uint8_t> halfRes_;
  std::vector<uint8_t> previousRGB_;
  int framesStarted_ = 0;  // frames rotated in so far
};

}  // namespace korvane
