// The old compression method: every block of the frame, mapped to the palette, is coded
// exactly. A block equal to the same block two frames back or one frame back is left or copied;
// an identical block within 8 pixels in the previous frame is copied by a motion code; a block
// of a special shape (one colour, uniform quadrants or 2x2 cells, a checkerboard, four or two
// colours) gets the opcode that draws that shape; any other block is sent raw.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "video/frame.h"
#include "video/frame_coder.h"

namespace korvane {

class ColorReducer;

class ExactEncoder final : public FrameCoder {
 public:
  // `reducer` maps frames to the palette (Floyd-Steinberg with `dither`); it may change its
  // palette between frames. With `localPalettes` every frame has its own palette, so no block
  // is copied from another frame. Width and height are multiples of 8.
  ExactEncoder(int width, int height, ColorReducer* reducer, bool dither, bool localPalettes);
  ~ExactEncoder() override;

  RowOrder InputRows() const override { return RowOrder::BottomUp; }
  // Maps the frame to the palette, then codes it as EncodeMappedFrame does. `limit` is ignored.
  bool EncodeFrame(const uint8_t* frame, int32_t limit, FrameStats& stats) override;
  uint8_t GetBlockCode(int block, uint8_t* data, int* size) const override;
  int BlockCount() const override { return blocksPerRow_ * blocksPerColumn_; }

  // Codes a frame already mapped to palette indices (Width x Height bytes, bottom row first).
  void EncodeMappedFrame(const uint8_t* indexFrame, FrameStats& stats);

  // The steps of EncodeMappedFrame, for checks of single blocks: RotateFrames makes the index
  // frame current (the previous current frame becomes the previous one, and so on), and
  // CodeBlock returns the code of block (bx, by) of the current frame, appending its data.
  void RotateFrames(const uint8_t* indexFrame);
  uint8_t CodeBlock(int bx, int by, std::vector<uint8_t>& data);
  IndexFrame& CurrentFrame() { return *current_; }

 private:
  int width_, height_, blocksPerRow_, blocksPerColumn_;
  ColorReducer* reducer_;
  bool dither_, localPalettes_;
  int64_t framesCoded_ = 0;  // including the current frame

  std::unique_ptr<IndexFrame> current_, previous_, twoBack_;
  std::vector<uint8_t> indexFrame_;  // the mapped frame, bottom row first
  std::vector<uint8_t> codes_;       // per block
  std::vector<uint32_t> offsets_;    // per block, and one past the last: where its data starts
  std::vector<uint8_t> data_;        // the frame's video data, blocks in raster order
};

}  // namespace korvane
