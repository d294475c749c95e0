// The contact sheet: one picture to judge a movie at a glance. A grid of evenly spaced frames,
// each with its number and time, and under it a bar graph of the bytes of every second of the
// movie against its average and peak, with the PSNR of each second against the source when it
// is known. Drawing only: the caller hands in the frames and writes the picture.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mveinfo/mve_examiner.h"

namespace korvane {

struct SheetLayout {
  int Width = 0, Height = 0;  // of the whole sheet
  // The grid.
  int Columns = 0, Rows = 0;
  int FrameWidth = 0, FrameHeight = 0;  // of the movie's frames
  int Scale = 1;                        // a thumbnail is the frame shrunk by this factor
  int ThumbWidth = 0, ThumbHeight = 0;
  std::vector<uint64_t> Frames;  // frame numbers (from 1) shown, left to right, top to bottom
  // The bar graph: bar s spans columns [GraphX + s * GraphWidth / n, GraphX + (s + 1) *
  // GraphWidth / n) and rises round(bytes * GraphHeight / GraphTop) pixels from the bottom row
  // GraphY + GraphHeight - 1; the average and peak are lines at those heights.
  int GraphX = 0, GraphY = 0, GraphWidth = 0, GraphHeight = 0;
  double GraphTop = 1;  // bytes per second at the top of the graph
};

// Where everything goes for a movie of `info`'s frames and frame size.
SheetLayout LayoutSheet(const MveInfo& info, const MveRates& rates, int frameWidth,
                        int frameHeight);

// Height in pixels of a bar (or line) for `bytes` per second.
int SheetBarHeight(const SheetLayout& layout, double bytes);

// Colours of the graph, red, green, blue.
struct SheetColours {
  static constexpr std::array<uint8_t, 3> kBar{90, 140, 210};
  static constexpr std::array<uint8_t, 3> kAverage{250, 200, 60};
  static constexpr std::array<uint8_t, 3> kPeak{240, 70, 60};
  static constexpr std::array<uint8_t, 3> kPsnr{90, 220, 110};
};

class ContactSheet {
 public:
  explicit ContactSheet(const SheetLayout& layout);

  const SheetLayout& Layout() const { return layout_; }
  // Index into Layout().Frames of frame `number`, or -1 when it is not on the sheet.
  int CellOf(uint64_t number) const;
  // Draws frame `number` into cell `cell`: palette indices with an 8-bit palette (768 bytes).
  void DrawFrame(int cell, uint64_t number, double seconds, const uint8_t* pixels,
                 const uint8_t* palette);
  // Draws the bar graph; `psnr` holds one value per second (dB, or a negative number for a
  // second without one) or is empty.
  void DrawGraph(const MveRates& rates, const std::vector<double>& psnr);
  // Writes a line of text (upper-case letters, digits, and . : # / - % x) at (x, y).
  void Text(int x, int y, const std::string& text, std::array<uint8_t, 3> colour);

  // Red, green, blue rows of Layout().Width pixels.
  const std::vector<uint8_t>& Pixels() const { return pixels_; }

 private:
  void Fill(int x, int y, int w, int h, std::array<uint8_t, 3> colour);

  SheetLayout layout_;
  std::vector<uint8_t> pixels_;
};

}  // namespace korvane
