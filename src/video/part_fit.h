// Colour fitting of the parts of a block the half-block and pixel-pair codings draw: k palette
// colours (2 or 4) for 32 units of one or two pixels each (a half of 8x4 or 4x8 pixels, or the
// block's 2x1 or 1x2 pixel pairs), by splitting the units at the mean of their widest colour
// component and then moving every unit to the nearest of the colours and every colour to the
// entry nearest the mean of its units, a few times over.
#pragma once

#include <cstdint>

#include "video/dsp/dsp.h"
#include "video/measures.h"

namespace korvane {

class PartFitter {
 public:
  explicit PartFitter(const PaletteTables& palette) : pal_(palette), kernels_(dsp::Selected()) {}

  // Takes the 8x8 true-colour block (rows `stride` bytes apart) that later fits work on.
  void Load(const uint8_t* target, int stride);

  // The parts a fit covers.
  enum Part {
    kTopHalf,          // rows 0-3
    kBottomHalf,       // rows 4-7
    kLeftHalf,         // columns 0-3
    kRightHalf,        // columns 4-7
    kPairsSideBySide,  // the whole block in 2x1 pairs
    kPairsUpright,     // the whole block in 1x2 pairs
  };
  // Fits `k` colours (2 or 4) to `part` and draws the part into `pixels` (the block's 64 pixels
  // in raster order; other pixels are left alone). Returns the squared error of the part, and
  // the number of distinct colours it was drawn in through `colours` when given.
  int32_t Fit(Part part, int k, uint8_t* pixels, int32_t* colours = nullptr);

  // Cheap guides to the split worth fitting, from the block loaded: true when the left and
  // right halves are more uniform than the top and bottom ones (their squared distances from
  // their means sum lower), and when upright pixel pairs differ less within than pairs side by
  // side.
  bool LeftRightHalvesBetter() const;
  bool UprightPairsBetter() const;

 private:
  const PaletteTables& pal_;
  const dsp::Kernels& kernels_;
  int32_t t_[3][64];  // target components by pixel
  int32_t tsq_[64];   // sum of their squares
};

}  // namespace korvane
