// The candidate builder of one worker: fits and measures one block and offers its candidate
// codings in a fixed order. Each worker owns its own prototype records and fitting state, so
// blocks can be coded on several threads at once; what a block is offered depends only on the
// block and the shared read-only frames and palette.
#pragma once

#include <cstdint>

#include "video/encoder_frames.h"
#include "video/fit_colors.h"
#include "video/measures.h"
#include "video/modes.h"
#include "video/motion_field.h"
#include "video/part_fit.h"

namespace korvane {

class BlockCoder {
 public:
  // `classic`: the classic colour fit (see ColorFitter).
  BlockCoder(const PaletteTables& palette, const FrameGeometry& geometry, bool classic = true);
  BlockCoder(const BlockCoder&) = delete;
  BlockCoder& operator=(const BlockCoder&) = delete;

  // Fills the prototype records for block `block` of `target` (RGB, rows 3 x FrameWidth bytes)
  // and offers every available one; returns how many were offered. `frames` must hold the
  // mapped target in Current() and HalfRes().
  int OfferCandidates(const uint8_t* target, const EncoderFrames& frames, int block, bool motion);
  // The records offered for the last block, in offering order.
  ModeCandidate* const* Candidates() const { return candidates_; }
  // Half-resolution fits of the last block whose pattern was not made of uniform 2x2 cells.
  int CellShapeFaults() const { return cellShapeFaults_; }

  // Without the classic fit, every block with a previous frame is offered motion from the
  // seeded search (with `motion` in OfferCandidates, on top of the full -8 ... 7 search). The
  // seeds come from `field`, which also receives each block's best vector; without a field
  // the search starts from no motion alone.
  void SetMotionField(MotionField* field) { field_ = field; }

  ModeSet& Modes() { return modes_; }
  // With the exact fit only: offers no candidate but those of kind `kind` (and raw, so that a
  // block always has one); -1 offers all. For tests that need every block in one coding.
  void OfferOnly(int kind) { only_ = kind; }
  // A slope (added error per byte saved) below which the frame will not be pruned: codings
  // that could only be chosen below it are not fitted. 0: every coding is fitted.
  void SetSlopeFloor(int32_t slope) { slopeFloor_ = slope; }
  ColorFitter& Fitter() { return fitter_; }

 private:
  void Offer(ModeCandidate& record);
  // Checks a cell fit's pattern; counts a fault when it is not made of uniform 2x2 cells.
  void CheckCellPattern(const uint8_t* pattern);
  // Half blocks, pixel pairs and the two-back copy (exact fit only).
  void OfferPartsAndCopies(const uint8_t* target, int targetStride, const EncoderFrames& frames,
                           int32_t offset);
  // The seeded motion search of block `block` (target block at `t`): offers opcode 4 and
  // opcode 5 records when they beat the plain copy. `exhaustive`: the -8 ... 7 window is
  // searched in full first.
  void OfferSeededMotion(const uint8_t* t, const EncoderFrames& frames, int block, bool exhaustive);

  const PaletteTables& pal_;
  const FrameGeometry& geo_;
  ModeSet modes_;
  ColorFitter fitter_;
  PartFitter partFitter_;
  bool extended_;
  bool MayPay(int32_t bytes, int64_t error) const;
  bool MayPay(int32_t bytes) const;
  int only_ = -1;
  int32_t slopeFloor_ = 0;
  ModeCandidate* candidates_[ModeSet::kMaxModes];
  int count_ = 0;
  int cellShapeFaults_ = 0;
  const bool classic_;
  MotionField* field_ = nullptr;
};

}  // namespace korvane
