// Frames of palette indices for the old (exact) compression method, with the block-level
// operations it codes from: exact comparison with a block of another frame, the search for an
// identical block near the same place, and the recognition of blocks of a special shape
// together with the parameter bytes of the MVE opcode that draws each shape.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace korvane {

// The analysis of one 8x8 block.
struct BlockAnalysis {
  int32_t ColorCount = 0;       // distinct palette indices in the block (1-64)
  uint8_t Colors[64] = {};      // the distinct indices, ascending; the rest 0
  uint8_t PixelColor[64] = {};  // per pixel (raster order): position of its index in Colors
};

class IndexFrame {
 public:
  // A zero-filled frame; the pixel array is allocated with both dimensions rounded up to a
  // multiple of 8, the row stride stays `width`.
  IndexFrame(int width, int height);
  static std::unique_ptr<IndexFrame> Create(int width, int height) {
    return std::make_unique<IndexFrame>(width, height);
  }
  virtual ~IndexFrame() = default;

  // Copies Height rows of Width bytes; the first source row becomes the bottom row.
  void LoadBottomUp(const uint8_t* source);

  uint8_t* PixelAddress(int x, int y) { return Pixels.data() + y * Width + x; }
  const uint8_t* PixelAddress(int x, int y) const { return Pixels.data() + y * Width + x; }
  uint8_t* BlockAddress(int bx, int by) { return PixelAddress(8 * bx, 8 * by); }
  const uint8_t* BlockAddress(int bx, int by) const { return PixelAddress(8 * bx, 8 * by); }

  // True when the 8x8 block at pixel (x1, y1) here equals the one at (x2, y2) in `other`.
  // False whenever either block does not lie wholly inside the frame.
  bool SameBlockAt(int x1, int y1, const IndexFrame& other, int x2, int y2) const;
  bool SameBlock(int bx1, int by1, const IndexFrame& other, int bx2, int by2) const {
    return SameBlockAt(8 * bx1, 8 * by1, other, 8 * bx2, 8 * by2);
  }
  // The first displacement (dy outer, dx inner, both -8..7) at which `other` holds the block
  // at (x, y) of this frame. On no match returns false and leaves dx, dy unchanged.
  bool FindCopy(int x, int y, const IndexFrame& other, int* dx, int* dy) const;

  // Fills BlockInfo for block (bx, by). The shape tests below read it.
  void AnalyseBlock(int bx, int by);

  // One colour.
  bool SolidColor(uint8_t* color) const;
  // Uniform 4x4 quadrants: colours top-left, top-right, bottom-left, bottom-right.
  bool QuadrantColors(int bx, int by, uint8_t out[4]) const;
  // Uniform 2x2 cells: the 16 cell colours in raster order.
  bool CellColors(int bx, int by, uint8_t out[16]) const;
  // Checkerboard of pixel (0,0) and (1,0): those two colours.
  bool CheckerColors(int bx, int by, uint8_t out[2]) const;
  // Three or four colours: the four colours (the third repeated when there are three), then
  // 2 bits per pixel, 4 pixels per byte, first pixel lowest.
  bool FourColorPattern(uint8_t out[20]) const;
  // Two colours: both colours, then one byte per row, bit x set for the second colour.
  bool TwoColorPattern(uint8_t out[10]) const;
  // The 64 pixels of the block in raster order.
  void BlockBytes(int bx, int by, uint8_t out[64]) const;

  std::vector<uint8_t> Pixels;
  int32_t Width = 0;
  int32_t Height = 0;
  BlockAnalysis BlockInfo;

 private:
  uint8_t position_[256] = {};  // AnalyseBlock's index -> position in Colors
};

}  // namespace korvane
