// The colour reducer's object over its parts.
#include "palette/color_reducer.h"

#include <algorithm>
#include <new>

#include "palette/median_cut.h"
#include "palette/remap.h"
#include "palette/variance_cut.h"

namespace korvane {

std::unique_ptr<ColorReducer> ColorReducer::Create(int desired, bool classic) {
  std::unique_ptr<ColorReducer> r(new (std::nothrow) ColorReducer());
  if (!r) return nullptr;
  r->classic_ = classic;
  if (classic) {
    r->histogram_ = ColorHistogram::Create();
    if (!r->histogram_) return nullptr;
  } else {
    r->statistics_ = ColorStatistics::Create();
    if (!r->statistics_) return nullptr;
  }
  r->map_ = InverseColorMap::Create(!classic);
  if (!r->map_) return nullptr;
  r->desired_ = std::clamp(desired, 1, kPaletteEntries);
  return r;
}

ColorReducer::~ColorReducer() = default;

void ColorReducer::AddPixelsBGR(const uint8_t* pixels, int width, int height) {
  if (classic_)
    histogram_->AddBGR(pixels, width, height);
  else
    statistics_->AddBGR(pixels, width, height);
}

void ColorReducer::AddPixelsRGB(const uint8_t* pixels, int width, int height) {
  if (classic_)
    histogram_->AddRGB(pixels, width, height);
  else
    statistics_->AddRGB(pixels, width, height);
}

bool ColorReducer::BuildPalette() {
  if (classic_)
    MedianCut(*histogram_, desired_, palette_);
  else if (!VarianceCut(*statistics_, desired_, palette_, 8, threads_))
    return false;
  // The exact map takes each counted cell's mean colour, so it is built before the counts go.
  map_->Build(palette_, classic_ ? nullptr : statistics_.get());
  ClearCounts();
  return true;
}

void ColorReducer::SetThreads(int threads) {
  threads_ = std::max(1, threads);
  map_->SetThreads(threads_);
}

void ColorReducer::ClearCounts() {
  if (classic_)
    histogram_->Clear();
  else
    statistics_->Clear();
}

int ColorReducer::GetPalette(uint8_t out[kPaletteBytes]) const {
  // The palette is kept sorted: every change sorts it.
  for (int i = 0; i < kPaletteEntries; ++i) {
    const bool valid = i < palette_.Count;
    for (int k = 0; k < 3; ++k)
      out[4 * i + k] = valid ? static_cast<uint8_t>(palette_.Entry[i][k]) : 0;
    out[4 * i + 3] = 0;
  }
  return palette_.Count;
}

void ColorReducer::SetPalette(const uint8_t* entries, int n) {
  n = std::clamp(n, 0, kPaletteEntries);
  palette_ = PaletteEntries{};
  // The exact reducer keeps every entry at the colour decoders will show for it.
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k)
      palette_.Entry[i][k] =
          classic_ ? entries[4 * i + k] : ShownComponent(entries[4 * i + k] >> 2);
  palette_.Count = n;
  SortPalette(palette_);
  map_->Build(palette_);
}

uint32_t* ColorReducer::GetHistogram() {
  return histogram_ ? histogram_->Cells() : nullptr;
}

void ColorReducer::ClearHistogram(uint32_t* table) {
  std::fill(table, table + kHistogramCells, 0u);
}

int ColorReducer::ColorCount() const {
  return palette_.Count;
}

void ColorReducer::MapPixels(const uint8_t* in, uint8_t* out, int width, int height) const {
  RemapPixels(*map_, in, out, width, height);
}

void ColorReducer::MapPixelsHalfRes(const uint8_t* in, uint8_t* out, int width, int height) const {
  RemapHalfRes(*map_, in, out, width, height);
}

bool ColorReducer::MapPixelsDithered(const uint8_t* in, uint8_t* out, int width, int height) const {
  return RemapDithered(*map_, palette_, in, out, width, height);
}

uint8_t ColorReducer::MapColor(uint8_t r, uint8_t g, uint8_t b) const {
  return map_->Nearest(r, g, b);
}

}  // namespace korvane
