// Colour reduction for the whole movie, one object over the parts that do the work: the colour
// histogram (histogram.h), median cut to at most 256 colours in brightness order
// (median_cut.h), the inverse colour map built whenever the palette changes (inverse_map.h),
// and the mapping of true-colour pictures to palette indices (remap.h). Palette files too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "palette/color_statistics.h"
#include "palette/histogram.h"
#include "palette/inverse_map.h"
#include "palette/palette_entries.h"

namespace korvane {

class ColorReducer {
 public:
  // ColorReducerCreate: a reducer for `desired` colours with a zero histogram and an empty
  // palette (every colour maps to entry 0). Returns null when memory cannot be had.
  // The classic reducer counts into the 64 x 64 x 32 histogram, cuts it by median cut and maps
  // through the classic inverse map. The exact one (`classic` false) designs the palette from
  // the mean colours of 6-bit cells by variance cut, keeps entries at colours decoders show
  // exactly, and maps every colour to the plainly nearest entry (see variance_cut.h).
  static std::unique_ptr<ColorReducer> Create(int desired, bool classic = true);
  ~ColorReducer();

  ColorReducer(const ColorReducer&) = delete;
  ColorReducer& operator=(const ColorReducer&) = delete;

  // Counting: width x height consecutive 3-byte pixels. Counts stop at the largest uint32.
  void AddPixelsBGR(const uint8_t* pixels, int width, int height);
  void AddPixelsRGB(const uint8_t* pixels, int width, int height);

  // Median cut to the desired number of colours, then the inverse colour map; clears the
  // histogram. Nothing counted gives one black entry. Its memory comes with the object, so it
  // returns true (false is kept for a failure to get working memory).
  bool BuildPalette();
  // Threads that building a palette and its colour map may use (1 by default); the results are
  // the same for any number.
  void SetThreads(int threads);

  // Writes the 256 entries of (R, G, B, 0), in brightness order, zero beyond the count; returns
  // the count.
  int GetPalette(uint8_t out[kPaletteBytes]) const;
  // Takes n entries of 4 bytes (byte 3 ignored), sorts them and builds the inverse colour map.
  void SetPalette(const uint8_t* entries, int n);

  // The classic histogram's counts (null for the exact reducer).
  uint32_t* GetHistogram();
  static void ClearHistogram(uint32_t* table);
  // Forgets everything counted.
  void ClearCounts();
  bool Classic() const { return classic_; }

  int ColorCount() const;

  // Mapping. Input pictures are R, G, B triples, rows consecutive. They only read the palette
  // and its inverse colour map, so any number may run at once (between palette changes).
  // MapPixelsDithered returns false when its working memory cannot be allocated.
  void MapPixels(const uint8_t* in, uint8_t* out, int width, int height) const;
  void MapPixelsHalfRes(const uint8_t* in, uint8_t* out, int width, int height) const;
  bool MapPixelsDithered(const uint8_t* in, uint8_t* out, int width, int height) const;

  // Nearest palette index of one colour.
  uint8_t MapColor(uint8_t r, uint8_t g, uint8_t b) const;
  // The inverse colour map itself, for look-ups without a call; it lives as long as the
  // reducer and follows its palette changes.
  const InverseColorMap& Map() const { return *map_; }

 private:
  ColorReducer() = default;
  int desired_ = 256;
  int threads_ = 1;
  bool classic_ = true;
  PaletteEntries palette_;
  std::unique_ptr<ColorHistogram> histogram_;    // classic
  std::unique_ptr<ColorStatistics> statistics_;  // exact
  std::unique_ptr<InverseColorMap> map_;
};

// Palette files: 0 = HSI Pal text, 1 = Adobe ACT.
constexpr int kPaletteFormatPal = 0;
constexpr int kPaletteFormatAct = 1;
extern const char* const PaletteExtensions[2];

// Writes the reducer's palette. On failure returns false with the system's reason in `error`.
bool SavePalette(const ColorReducer& reducer, const std::string& file, int format,
                 std::string* error);

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
