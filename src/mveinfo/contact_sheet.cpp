#include "mveinfo/contact_sheet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace korvane {
namespace {

constexpr int kPad = 8;
constexpr int kGlyphWidth = 5, kGlyphHeight = 7, kAdvance = 6;
constexpr int kLabelHeight = kGlyphHeight + 6;
constexpr int kMaxThumbWidth = 320;
constexpr int kMaxCells = 16;
constexpr int kGraphHeight = 120;
constexpr std::array<uint8_t, 3> kBackground{24, 24, 28};
constexpr std::array<uint8_t, 3> kGraphBackground{40, 40, 46};
constexpr std::array<uint8_t, 3> kText{230, 230, 230};

// A 5x7 font: seven rows of five pixels per character, '#' set.
struct Glyph {
  char c;
  const char* rows[kGlyphHeight];
};
constexpr Glyph kFont[] = {
    {'0', {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
    {'1', {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'2', {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
    {'3', {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
    {'4', {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
    {'5', {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
    {'6', {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
    {'7', {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
    {'8', {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
    {'9', {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
    {'A', {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'B', {"#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "}},
    {'C', {" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "}},
    {'D', {"#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "}},
    {'E', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"}},
    {'F', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "}},
    {'G', {" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"}},
    {'H', {"#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'I', {" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'J', {"  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "}},
    {'K', {"#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"}},
    {'L', {"#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"}},
    {'M', {"#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"}},
    {'N', {"#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"}},
    {'O', {" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'P', {"#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "}},
    {'Q', {" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"}},
    {'R', {"#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"}},
    {'S', {" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "}},
    {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'U', {"#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'V', {"#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "}},
    {'W', {"#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "}},
    {'X', {"#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"}},
    {'Y', {"#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'Z', {"#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"}},
    {'.', {"     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "}},
    {':', {"     ", " ##  ", " ##  ", "     ", " ##  ", " ##  ", "     "}},
    {'#', {" # # ", " # # ", "#####", " # # ", "#####", " # # ", " # # "}},
    {'/', {"     ", "    #", "   # ", "  #  ", " #   ", "#    ", "     "}},
    {'-', {"     ", "     ", "     ", "#####", "     ", "     ", "     "}},
    {'%', {"##   ", "##  #", "   # ", "  #  ", " #   ", "#  ##", "   ##"}},
};

const Glyph* FindGlyph(char c) {
  if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  for (const Glyph& g : kFont)
    if (g.c == c) return &g;
  return nullptr;
}

std::string Printf(const char* format, double a, double b = 0) {
  char text[64];
  snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

SheetLayout LayoutSheet(const MveInfo& info, const MveRates& rates, int frameWidth,
                        int frameHeight) {
  SheetLayout l;
  const uint64_t frames = info.Frames;
  const int cells = int(std::min<uint64_t>(frames, kMaxCells));
  l.Columns = std::max(1, std::min(cells, 4));
  l.Rows = cells ? (cells + l.Columns - 1) / l.Columns : 0;
  l.FrameWidth = frameWidth;
  l.FrameHeight = frameHeight;
  l.Scale = std::max(1, (frameWidth + kMaxThumbWidth - 1) / kMaxThumbWidth);
  l.ThumbWidth = std::max(1, frameWidth / l.Scale);
  l.ThumbHeight = std::max(1, frameHeight / l.Scale);
  // Evenly spaced from the first frame on.
  for (int k = 0; k < cells; ++k) l.Frames.push_back(1 + uint64_t(k) * frames / uint64_t(cells));
  const int gridWidth = kPad + l.Columns * (l.ThumbWidth + kPad);
  l.Width = std::max(gridWidth, 2 * kPad + 60 * kAdvance);
  l.GraphX = kPad;
  l.GraphWidth = l.Width - 2 * kPad;
  l.GraphY = kPad + kLabelHeight + l.Rows * (l.ThumbHeight + kLabelHeight + kPad) + kPad;
  l.GraphHeight = kGraphHeight;
  l.Height = l.GraphY + l.GraphHeight + 3 * kLabelHeight + kPad;
  double top = rates.Peak;
  for (uint64_t b : rates.PerSecond) top = std::max(top, double(b));
  l.GraphTop = top > 0 ? top * 1.1 : 1;
  return l;
}

int SheetBarHeight(const SheetLayout& l, double bytes) {
  return std::clamp(int(std::lround(bytes * l.GraphHeight / l.GraphTop)), 0, l.GraphHeight);
}

ContactSheet::ContactSheet(const SheetLayout& layout)
    : layout_(layout), pixels_(size_t(layout.Width) * layout.Height * 3) {
  Fill(0, 0, layout_.Width, layout_.Height, kBackground);
}

void ContactSheet::Fill(int x, int y, int w, int h, std::array<uint8_t, 3> colour) {
  const int x0 = std::max(0, x), y0 = std::max(0, y);
  const int x1 = std::min(layout_.Width, x + w), y1 = std::min(layout_.Height, y + h);
  for (int yy = y0; yy < y1; ++yy)
    for (int xx = x0; xx < x1; ++xx)
      memcpy(&pixels_[3 * (size_t(yy) * layout_.Width + xx)], colour.data(), 3);
}

void ContactSheet::Text(int x, int y, const std::string& text, std::array<uint8_t, 3> colour) {
  for (char c : text) {
    if (const Glyph* g = FindGlyph(c))
      for (int row = 0; row < kGlyphHeight; ++row)
        for (int col = 0; col < kGlyphWidth; ++col)
          if (g->rows[row][col] == '#') Fill(x + col, y + row, 1, 1, colour);
    x += kAdvance;
  }
}

int ContactSheet::CellOf(uint64_t number) const {
  const auto& f = layout_.Frames;
  const auto it = std::lower_bound(f.begin(), f.end(), number);
  return it != f.end() && *it == number ? int(it - f.begin()) : -1;
}

void ContactSheet::DrawFrame(int cell, uint64_t number, double seconds, const uint8_t* pixels,
                             const uint8_t* palette) {
  const SheetLayout& l = layout_;
  const int x0 = kPad + (cell % l.Columns) * (l.ThumbWidth + kPad);
  const int y0 = kPad + kLabelHeight + (cell / l.Columns) * (l.ThumbHeight + kLabelHeight + kPad);
  const int s = l.Scale, frameWidth = l.FrameWidth;
  // Each thumbnail pixel is the mean of its s x s frame pixels.
  for (int ty = 0; ty < l.ThumbHeight; ++ty)
    for (int tx = 0; tx < l.ThumbWidth; ++tx) {
      unsigned sum[3] = {0, 0, 0};
      for (int dy = 0; dy < s; ++dy)
        for (int dx = 0; dx < s; ++dx) {
          const uint8_t* p = palette + 3 * pixels[size_t(ty * s + dy) * frameWidth + tx * s + dx];
          sum[0] += p[0], sum[1] += p[1], sum[2] += p[2];
        }
      uint8_t* out = &pixels_[3 * (size_t(y0 + ty) * l.Width + x0 + tx)];
      for (int c = 0; c < 3; ++c) out[c] = uint8_t((sum[c] + s * s / 2) / (s * s));
    }
  char label[64];
  snprintf(label, sizeof label, "#%llu  %.2f S", (unsigned long long)number, seconds);
  Text(x0, y0 + l.ThumbHeight + 3, label, kText);
}

void ContactSheet::DrawGraph(const MveRates& rates, const std::vector<double>& psnr) {
  const SheetLayout& l = layout_;
  Fill(l.GraphX, l.GraphY, l.GraphWidth, l.GraphHeight, kGraphBackground);
  const size_t n = rates.PerSecond.size();
  const int bottom = l.GraphY + l.GraphHeight;
  for (size_t s = 0; s < n; ++s) {
    const int x0 = l.GraphX + int(s * size_t(l.GraphWidth) / n);
    const int x1 = l.GraphX + int((s + 1) * size_t(l.GraphWidth) / n);
    const int h = SheetBarHeight(l, double(rates.PerSecond[s]));
    // A gap between bars while they are wide enough to show one.
    const int w = std::max(1, x1 - x0 - (x1 - x0 >= 4 ? 1 : 0));
    // Where bars share a column, the highest shows.
    Fill(x0, bottom - h, w, h, SheetColours::kBar);
  }
  Fill(l.GraphX, bottom - SheetBarHeight(l, rates.Average) - 1, l.GraphWidth, 1,
       SheetColours::kAverage);
  Fill(l.GraphX, bottom - SheetBarHeight(l, rates.Peak) - 1, l.GraphWidth, 1, SheetColours::kPeak);

  // PSNR from 20 dB at the bottom to 60 dB at the top, a short mark per second.
  double psnrSum = 0;
  int psnrSeconds = 0;
  for (size_t s = 0; s < psnr.size() && n; ++s) {
    if (psnr[s] < 0) continue;
    psnrSum += psnr[s];
    ++psnrSeconds;
    const double v = std::clamp((psnr[s] - 20.0) / 40.0, 0.0, 1.0);
    const int y = bottom - 1 - int(std::lround(v * (l.GraphHeight - 2)));
    const int x0 = l.GraphX + int(s * size_t(l.GraphWidth) / std::max(n, psnr.size()));
    const int x1 = l.GraphX + int((s + 1) * size_t(l.GraphWidth) / std::max(n, psnr.size()));
    Fill(x0, y - 1, std::max(1, x1 - x0), 2, SheetColours::kPsnr);
  }

  int y = bottom + 4;
  Text(l.GraphX, y, Printf("BYTES PER SECOND, %.0f SECONDS", double(n)), kText);
  y += kLabelHeight;
  Text(l.GraphX, y, Printf("AVERAGE %.0f", rates.Average), SheetColours::kAverage);
  Text(l.GraphX + 22 * kAdvance, y, Printf("PEAK %.0f", rates.Peak), SheetColours::kPeak);
  if (psnrSeconds)
    Text(l.GraphX + 40 * kAdvance, y, Printf("PSNR %.2f DB", psnrSum / psnrSeconds),
         SheetColours::kPsnr);
}

}  // namespace korvane
