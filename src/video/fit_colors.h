// Colour fitting of a block already mapped to the palette: agglomerative merging of the
// block's distinct palette indices, closest pair first (by palette distance), each merged
// cluster taking the palette colour its mean maps to. The block is recorded when it first has
// three or four colours (four-colour fit) and two colours (two-colour fit); the colour
// everything merges into is the solid colour.
#pragma once

#include <cstdint>

#include "video/dsp/dsp.h"
#include "video/measures.h"

namespace korvane {

// Options of a fit.
constexpr int kFitRawError = 0x10;     // rawError := block error of the unchanged block
constexpr int kFitSolidError = 0x08;   // solidError := error of the final solid colour
constexpr int kFitFillMissing = 0x04;  // missing two/four-colour fits filled from simpler ones
constexpr int kFitCellVariant = 0x02;  // four-colour fit ordered for the 2x2-cell variant

struct FitResult {
  uint8_t colorCount = 0;  // distinct indices in the block
  uint8_t solidColor = 0;
  int32_t solidError = 0;
  int32_t hasTwo = 0;
  uint8_t twoColors[2] = {};
  int32_t twoError = 0;
  int32_t hasFour = 0;
  uint8_t fourCount = 0;  // colours of the four-colour fit: 3 or 4
  uint8_t fourColors[4] = {};
  int32_t fourError = 0;
  int32_t rawError = 0;
  // Caller-supplied buffers of FitSize x FitSize bytes.
  uint8_t* twoPattern = nullptr;
  uint8_t* fourPattern = nullptr;
  uint8_t* twoPixels = nullptr;
  uint8_t* fourPixels = nullptr;
};

// s / n for 0 <= s <= 64 x 255 and 1 <= n <= 64, by multiplication.
uint32_t QuotientBySmallCount(uint32_t s, uint32_t n);

// One fitter per thread: it owns the cluster table and the working state of a fit.
class ColorFitter {
 public:
  // The classic fit merges the closest pair of colours by palette distance and gives a merged
  // cluster the entry nearest the mean of its members' palette colours. The exact fit
  // (`classic` false) merges the pair whose merging adds the least error, gives a cluster the
  // entry nearest the mean of its source pixels, and then refines the two- and four-colour fits:
  // every pixel (every 2x2 cell for the cell variant) goes to the nearest of the final colours,
  // which move to the entry nearest the mean of their pixels, a few times over.
  ColorFitter(const PaletteTables& palette, int frameWidth, bool classic = true);

  // 8 (whole block) or 4 (quadrant); other sizes are ignored.
  void SetFitSize(int n);
  int FitSize() const { return n_; }

  // `target`: true-colour block, rows 3 x frameWidth bytes apart; `index`: the block in an
  // index frame, rows frameWidth bytes apart. Fills `result` and its four buffers.
  void FitColors(const uint8_t* target, const uint8_t* index, int options, FitResult& result);

  // The fits of one block's parts share its target: LoadBlock reads an 8x8 true-colour block
  // (rows 3 x frameWidth bytes apart) once, and FitLoaded fits a part of it from `index`, the
  // block (or, for a quadrant, the quadrant) in an index frame, rows frameWidth bytes apart.
  // The same as SetFitSize and FitColors on that part; kCells is the whole block with the
  // 2x2-cell option (its uniform 2x2 cells, as a half-resolution map has, are gathered whole).
  enum class LoadedPart { kWhole, kCells, kQuadrant0, kQuadrant1, kQuadrant2, kQuadrant3 };
  void LoadBlock(const uint8_t* target);
  void FitLoaded(const uint8_t* index, LoadedPart part, int options, FitResult& result);

  // True when every cluster table entry has zero sums and count (between fits, always).
  bool ClusterTableEmpty() const;

 private:
  // The members of a cluster are kept as the block's original colours it holds (each original
  // colour stands for all its pixels), so merging moves no pixel lists.
  struct Cluster {
    int32_t s0, s1, s2;  // palette colours of the members
    int32_t count;       // member pixels; 0: not in use
    // Target colours of the members and the sum of their squares: the error of drawing the
    // members in one colour follows from these without visiting the pixels again.
    int32_t t0, t1, t2, tsq;
    uint8_t slot;                 // position in the active list
    uint8_t firstOrig, lastOrig;  // original colours held, linked through nextOrig_
  };

  // Reads the n x n true-colour pixels at `target` into the pixel units, row y at unit 8 y.
  void LoadPixels(const uint8_t* target, int n);
  // Collects the colours of the fit's pixels from `index` with their targets' sums, the pixels
  // read from the loaded units from unit `first` on (or the cells, when `cells`).
  void Gather(const uint8_t* index, int first, bool cells);
  // True when every 2x2 cell of the 8x8 block at `index` has one index.
  bool UniformCells(const uint8_t* index) const;
  // The fits of the gathered colours.
  void Fit(int options, FitResult& result);
  void Append(uint8_t v);
  void Remove(uint8_t v);
  void Empty(uint8_t v);
  uint8_t MapMean(const Cluster& c) const;
  int32_t ClusterError(const Cluster& c, uint8_t color) const;
  static void AddSums(Cluster& into, const Cluster& c);
  // Appends the original colours of `c` to those of `into`.
  void Link(Cluster& into, const Cluster& c);
  // The block as it stands: every pixel in the colour its original colour has merged into,
  // and (when `pattern` is given) that colour's pattern value from `patternOf`.
  void Draw(uint8_t* pixels, uint8_t* pattern, const uint8_t* patternOf) const;
  void FindClosestPair(int* first, int* second) const;
  // The exact fit's choice: the pair whose merging adds the least squared error.
  void FindCheapestPair(int* first, int* second) const;
  // Refines a fit of k colours (2, 3 or 4): `colors` by position, `pattern` the position of
  // every pixel, `pixels` its colour, `error` the fit's error; `cells` for the 2x2-cell
  // variant, `cellOrder` to put a four-colour fit in the cell variant's order. False (nothing
  // changed) when the refined colours are not distinct or do not lower `error`.
  bool Refine(int k, uint8_t* colors, uint8_t* pattern, uint8_t* pixels, int32_t& error, bool cells,
              bool cellOrder) const;
  // The exact fit of a whole block of many colours: its two- and four-colour fits start from
  // splits of the pixels (or 2x2 cells) and are refined. False when they cannot be had so.
  bool SplitFit(FitResult& r, bool cells) const;
  // Fills the palette distances between every pair of the active list.
  void FillPairDistances();
  const PaletteTables& pal_;
  const dsp::Kernels& kernels_;
  int frameWidth_;
  bool classic_;
  int n_ = 8;
  Cluster table_[256];
  uint8_t active_[64];
  int activeLength_ = 0;
  // Original colours, numbered in order of first appearance.
  uint8_t origOf_[64];    // pixel position -> its original colour
  uint8_t colorOf_[64];   // original colour -> the palette index it has merged into
  uint8_t nextOrig_[64];  // next original colour of the same cluster
  uint8_t patternOf_[256];
  // Palette distances between the colours of the active list, by slot.
  alignas(16) int32_t pairDistance_[64][64];
  // The loaded block: its 64 pixels, and its 16 2x2 cells, each with the sums of its target
  // components and of their squares; what fits gather and refinement reassigns.
  struct Units {
    alignas(16) int32_t t0[64];
    alignas(16) int32_t t1[64];
    alignas(16) int32_t t2[64];
    alignas(16) int32_t tsq[64];
  };
  Units pixelUnits_;
  Units cellUnits_;
};

}  // namespace korvane
