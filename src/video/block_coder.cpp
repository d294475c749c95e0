#include "video/block_coder.h"

#include <cstring>

namespace korvane {

BlockCoder::BlockCoder(const PaletteTables& palette, const FrameGeometry& geometry, bool classic)
    : pal_(palette), geo_(geometry), fitter_(palette, geometry.FrameWidth, classic) {
  std::memset(candidates_, 0, sizeof(candidates_));
}

void BlockCoder::Offer(ModeCandidate& record) {
  if (record.Error == kUnavailable) return;
  record.Bytes = DataSize(record);
  candidates_[count_++] = &record;
}

void BlockCoder::CheckCellPattern(const uint8_t* pattern) {
  if (!HorizontalPairsTest(pattern) || !VerticalPairsTest(pattern)) ++cellShapeFaults_;
}

int BlockCoder::OfferCandidates(const uint8_t* target, const EncoderFrames& frames, int block,
                                bool motion) {
  count_ = 0;
  cellShapeFaults_ = 0;
  ModeSet& m = modes_;
  const int w = geo_.FrameWidth;
  const int32_t o = geo_.BlockOffset[block];
  const uint8_t* t = target + 3 * static_cast<size_t>(o);
  const int ts = 3 * w;
  FitResult fit;

  // Whole block of the mapped frame: raw, solid, two- and four-colour codings.
  fitter_.LoadBlock(t);
  fit.twoPattern = m.two.Pattern;
  fit.twoPixels = m.two.Pixels;
  fit.fourPattern = m.four.Pattern;
  fit.fourPixels = m.four.Pixels;
  fitter_.FitLoaded(frames.Current() + o, ColorFitter::LoadedPart::kWhole,
                    kFitRawError | kFitSolidError, fit);

  m.raw.Error = fit.rawError;
  Offer(m.raw);

  // Copies of the previous frames: only the better of the two is offered.
  const uint8_t* previous = frames.Previous();
  const uint8_t* twoBack = frames.TwoBack();
  m.copyPrev.Error = kUnavailable;
  m.copyPrev2.Error = kUnavailable;
  if (previous) m.copyPrev.Error = BlockError(pal_, t, ts, previous + o, w, 8);
  if (twoBack) m.copyPrev2.Error = BlockError(pal_, t, ts, twoBack + o, w, 8);
  if (m.copyPrev2.Error < m.copyPrev.Error)
    Offer(m.copyPrev2);
  else
    Offer(m.copyPrev);

  if (previous && motion && frames.PreviousRGB()) {
    m.motion.Error = MotionSearch(m.copyPrev.Error, t, frames.PreviousRGB(), w, o,
                                  geo_.LastBlockOffset, m.motion);
    Offer(m.motion);
  }

  m.solid.Error = fit.solidError;
  m.solid.Color = fit.solidColor;
  Offer(m.solid);

  if (fit.hasTwo) {
    m.two.Error = fit.twoError;
    m.two.P[0] = fit.twoColors[0];
    m.two.P[1] = fit.twoColors[1];
    uint8_t c0, c1;
    if (CheckerboardTest(m.two.Pixels, &c0, &c1)) {
      // A checkerboard costs 2 bytes instead of 10 for the same picture.
      m.checker.Error = fit.twoError;
      m.checker.Colors[0] = c0;
      m.checker.Colors[1] = c1;
      m.two.Error = kUnavailable;
      Offer(m.checker);
    }
    Offer(m.two);
  }

  if (fit.hasFour) {
    m.four.Error = fit.fourError;
    std::memcpy(m.four.P, fit.fourColors, 4);
    Offer(m.four);
  }

  // Whole block at half resolution: the 2x2-cell codings.
  fit.twoPattern = m.cellTwo.Pattern;
  fit.twoPixels = m.cellTwo.Pixels;
  fit.fourPattern = m.cellFour.Pattern;
  fit.fourPixels = m.cellFour.Pixels;
  fitter_.FitLoaded(frames.HalfRes() + o, ColorFitter::LoadedPart::kCells, kFitRawError, fit);

  m.halfRes.Error = fit.rawError;
  Offer(m.halfRes);

  if (fit.hasTwo) {
    m.cellTwo.Error = fit.twoError;
    CheckCellPattern(m.cellTwo.Pattern);
    // Larger colour first: that order selects the 2x2-cell variant.
    m.cellTwo.P[0] = fit.twoColors[1];
    m.cellTwo.P[1] = fit.twoColors[0];
    Offer(m.cellTwo);
  }

  if (fit.hasFour) {
    m.cellFour.Error = fit.fourError;
    std::memcpy(m.cellFour.P, fit.fourColors, 4);
    CheckCellPattern(m.cellFour.Pattern);
    Offer(m.cellFour);
  }

  // Quadrants: top-left, top-right, bottom-left, bottom-right.
  int32_t solidSum = 0, twoSum = 0, fourSum = 0;
  bool anyTwo = false, anyFour = false;
  for (int q = 0; q < 4; ++q) {
    const int dx = (q & 1) * 4, dy = (q >> 1) * 4;
    fit.twoPattern = m.quadTwo.Pattern[q];
    fit.twoPixels = m.quadTwo.Pixels[q];
    fit.fourPattern = m.quadFour.Pattern[q];
    fit.fourPixels = m.quadFour.Pixels[q];
    fitter_.FitLoaded(frames.Current() + o + dx + dy * w,
                      static_cast<ColorFitter::LoadedPart>(
                          static_cast<int>(ColorFitter::LoadedPart::kQuadrant0) + q),
                      kFitSolidError | kFitFillMissing, fit);
    solidSum += fit.solidError;
    twoSum += fit.twoError;
    fourSum += fit.fourError;
    m.quadSolid.Colors[q] = fit.solidColor;
    m.quadTwo.P[q][0] = fit.twoColors[0];
    m.quadTwo.P[q][1] = fit.twoColors[1];
    std::memcpy(m.quadFour.P[q], fit.fourColors, 4);
    anyTwo = anyTwo || fit.hasTwo;
    anyFour = anyFour || fit.hasFour;
  }

  m.quadSolid.Error = solidSum;
  Offer(m.quadSolid);
  if (anyTwo) {
    m.quadTwo.Error = twoSum;
    Offer(m.quadTwo);
  }
  if (anyFour) {
    m.quadFour.Error = fourSum;
    Offer(m.quadFour);
  }
  return count_;
}

}  // namespace korvane
