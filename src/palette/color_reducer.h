// Colour reduction for the whole movie: a coarse colour histogram, median cut to at most
// 256 colours, the brightness-sorted palette, palette files, and the mapping of true-colour
// pictures to palette indices through a lazily filled inverse colour map.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

// 256 entries of 4 bytes: red, green, blue, 0.
constexpr int kPaletteEntries = 256;
constexpr int kPaletteBytes = kPaletteEntries * 4;

// Histogram / inverse colour map geometry: 64 x 64 x 32 cells.
constexpr int kHistogramCells = 64 * 64 * 32;

class ColorReducer {
 public:
  // ColorReducerCreate: a reducer for `desired` colours with a zero histogram.
  // Returns null when memory cannot be had.
  static std::unique_ptr<ColorReducer> Create(int desired);
  ~ColorReducer();

  ColorReducer(const ColorReducer&) = delete;
  ColorReducer& operator=(const ColorReducer&) = delete;

  // Counting: width x height consecutive 3-byte pixels.
  void AddPixelsBGR(const uint8_t* pixels, int width, int height);
  void AddPixelsRGB(const uint8_t* pixels, int width, int height);

  // Median cut to the desired number of colours; the histogram becomes the inverse colour map.
  // Nothing counted gives one black entry. Returns false when working memory cannot be had.
  bool BuildPalette();

  // Sorts the palette and writes 256 entries of (R, G, B, 0), zero beyond the count; returns the
  // count.
  int GetPalette(uint8_t out[kPaletteBytes]);
  // Takes n entries of 4 bytes (byte 3 ignored) and sorts them. The inverse map is not cleared.
  void SetPalette(const uint8_t* entries, int n);

  uint32_t* GetHistogram();
  static void ClearHistogram(uint32_t* table);

  int ColorCount() const;

  // Mapping. Input pictures are R, G, B triples, rows consecutive. Each fills the inverse colour
  // map on demand (so these are not safe to call from several threads at once).
  // MapPixelsDithered returns false when its working memory cannot be allocated.
  void MapPixels(const uint8_t* in, uint8_t* out, int width, int height);
  void MapPixelsHalfRes(const uint8_t* in, uint8_t* out, int width, int height);
  bool MapPixelsDithered(const uint8_t* in, uint8_t* out, int width, int height);

  // Nearest palette index of one colour (fills its cell's update block on first use).
  uint8_t MapColor(uint8_t r, uint8_t g, uint8_t b);

  // Fills every cell of the inverse colour map that is still empty. Afterwards the lookups
  // never write, so MapColorFilled may be called from any number of threads.
  void FillInverseColorMap();
  // Lookup in a completely filled inverse colour map (read-only). Only valid after
  // FillInverseColorMap since the last BuildPalette / SetPalette / LoadPalette.
  uint8_t MapColorFilled(uint8_t r, uint8_t g, uint8_t b) const;

 private:
  ColorReducer() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Palette files: 0 = HSI Pal text, 1 = Adobe ACT.
constexpr int kPaletteFormatPal = 0;
constexpr int kPaletteFormatAct = 1;
extern const char* const PaletteExtensions[2];

// Writes the reducer's palette. On failure returns false with the system's reason in `error`.
bool SavePalette(ColorReducer& reducer, const std::string& file, int format, std::string* error);

// Invalid covers: text whose first line is not exactly "PAL", a count that is missing, not a
// number, negative or zero, fewer colour lines than declared, a value that is not a number;
// an ACT file that is neither 768 bytes nor 772 bytes (the form that declares its colour count
// in a big-endian word after the colours, then a transparency index) or that declares no
// colours; an unknown format code. A declared count above 256 loads all 256.
enum class PaletteLoadResult {
  Loaded,    // the reducer's palette was replaced
  Invalid,   // the file failed the format test or could not be parsed; the reducer is unchanged
  ReadError  // the file could not be opened or read; `error` holds the reason
};
PaletteLoadResult LoadPalette(ColorReducer& reducer, const std::string& file, int format,
                              std::string* error);

}  // namespace korvane
