#include "video/block_coder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "video/dsp/dsp.h"
#include "video/frame_copies.h"

namespace korvane {

BlockCoder::BlockCoder(const PaletteTables& palette, const FrameGeometry& geometry, bool classic)
    : pal_(palette),
      geo_(geometry),
      modes_(!classic),
      fitter_(palette, geometry.FrameWidth, classic),
      partFitter_(palette),
      extended_(!classic),
      classic_(classic) {
  std::memset(candidates_, 0, sizeof(candidates_));
}

void BlockCoder::Offer(ModeCandidate& record) {
  if (record.Error == kUnavailable) return;
  if (only_ >= 0 && record.Kind != only_ && record.Kind != kRawMode) return;
  record.Bytes = DataSize(record);
  candidates_[count_++] = &record;
}

bool BlockCoder::MayPay(int32_t bytes, int64_t error) const {
  // A coding of `bytes` bytes that draws the block with at least `error` can only be chosen at
  // the slope floor or above where it costs less there than every coding offered so far.
  if (slopeFloor_ <= 0 || only_ >= 0) return true;
  const int64_t cost = error + int64_t{slopeFloor_} * bytes;
  for (int i = 0; i < count_; ++i) {
    const ModeCandidate& c = *candidates_[i];
    if (int64_t{c.Error} + int64_t{slopeFloor_} * c.Bytes <= cost) return false;
  }
  return true;
}

bool BlockCoder::MayPay(int32_t bytes) const {
  // Hardly any coding draws the block better than raw, the block as mapped to the palette.
  return MayPay(bytes, modes_.raw.Error);
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

  // Whole block of the mapped frame: raw, solid, two- and four-colour codings. With a slope
  // floor, the raw error is measured on its own first, and the fits wait until the copies and
  // motion show whether codings of a byte or more can pay.
  auto fitWhole = [&] {
    fitter_.LoadBlock(t);
    fit.twoPattern = m.two.Pattern;
    fit.twoPixels = m.two.Pixels;
    fit.fourPattern = m.four.Pattern;
    fit.fourPixels = m.four.Pixels;
    fitter_.FitLoaded(frames.Current() + o, ColorFitter::LoadedPart::kWhole,
                      kFitRawError | kFitSolidError, fit);
  };
  const bool floored = slopeFloor_ > 0 && only_ < 0;
  if (floored) {
    m.raw.Error = BlockError(pal_, t, ts, frames.Current() + o, w, 8);
  } else {
    fitWhole();
    m.raw.Error = fit.rawError;
  }
  Offer(m.raw);

  // Copies of the previous frames: only the better of the two is offered.
  const uint8_t* previous = frames.Previous();
  const uint8_t* twoBack = frames.TwoBack();
  m.copyPrev.Error = kUnavailable;
  m.copyPrev2.Error = kUnavailable;
  // Without the classic fit the previous frame is also at hand in RGB, where the error of the
  // copy is one vector sum (the same sum of the same squares).
  const uint8_t* previousRGB = classic_ ? nullptr : frames.PreviousRGB();
  if (previous && previousRGB)
    m.copyPrev.Error =
        dsp::Selected().RowBoundedError(t, previousRGB + 3 * static_cast<size_t>(o), ts, INT32_MAX);
  else if (previous)
    m.copyPrev.Error = BlockError(pal_, t, ts, previous + o, w, 8);
  if (twoBack) m.copyPrev2.Error = BlockError(pal_, t, ts, twoBack + o, w, 8);
  if (m.copyPrev2.Error < m.copyPrev.Error)
    Offer(m.copyPrev2);
  else
    Offer(m.copyPrev);

  if (!classic_) {
    if (MayPay(1))
      OfferSeededMotion(t, frames, block, motion);
    else if (field_)
      field_->Store(block, MotionVector{});
  } else if (previous && motion && frames.PreviousRGB()) {
    m.motion.Error = MotionSearch(m.copyPrev.Error, t, frames.PreviousRGB(), w, o,
                                  geo_.LastBlockOffset, m.motion);
    Offer(m.motion);
  }

  if (floored) {
    // The whole block's fits: one colour (1 byte), which draws the block no better than its
    // mean does (the spread: the squared distances from the mean, 64 x the squares less the
    // square of the sums, over 64, rounded down), then codings of 2 bytes or more.
    int64_t sum[3] = {}, squares = 0;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 24; x += 3)
        for (int c = 0; c < 3; ++c) {
          const int32_t v = t[y * ts + x + c];
          sum[c] += v;
          squares += v * v;
        }
    const int64_t spread =
        (64 * squares - (sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2])) / 64;
    if (!MayPay(1, spread) && !MayPay(2)) return count_;
    fitWhole();
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

  // The 2x2-cell and quadrant codings cost at least 4 bytes.
  if (!MayPay(4)) return count_;

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
  if (extended_) OfferPartsAndCopies(t, ts, frames, o);
  return count_;
}

// --- Half blocks, pixel pairs and the two-back copy ---

void BlockCoder::OfferPartsAndCopies(const uint8_t* t, int ts, const EncoderFrames& frames,
                                     int32_t o) {
  ModeSet& m = modes_;
  partFitter_.Load(t, ts);
  using P = PartFitter;
  // No coding draws a block with less error than raw: where a coding offered already has
  // raw's error at fewer bytes, the codings of more bytes are not worth fitting.
  const int32_t floor = m.raw.Error;
  int32_t bestUpTo1 = kUnavailable, bestUpTo12 = kUnavailable, bestUpTo24 = kUnavailable;
  for (int i = 0; i < count_; ++i) {
    const ModeCandidate& c = *candidates_[i];
    if (c.Kind == kRawMode) continue;
    if (c.Bytes <= 1) bestUpTo1 = std::min(bestUpTo1, c.Error);
    if (c.Bytes <= 12) bestUpTo12 = std::min(bestUpTo12, c.Error);
    if (c.Bytes <= 24) bestUpTo24 = std::min(bestUpTo24, c.Error);
  }

  // The lower convex hull of the codings offered so far, at `bytes`: a new coding of that many
  // bytes is only ever chosen when it draws the block with less error.
  auto hullAt = [&](int32_t bytes) {
    int64_t best = kUnavailable;
    for (int i = 0; i < count_; ++i) {
      const ModeCandidate& a = *candidates_[i];
      if (a.Bytes > bytes) continue;
      if (a.Bytes == bytes) best = std::min<int64_t>(best, a.Error);
      for (int j = 0; j < count_; ++j) {
        const ModeCandidate& b = *candidates_[j];
        if (b.Bytes <= bytes) continue;
        const int64_t e =
            a.Error + (int64_t{b.Error} - a.Error) * (bytes - a.Bytes) / (b.Bytes - a.Bytes);
        best = std::min(best, e);
      }
    }
    return best;
  };
  // Four colours per quadrant draw a block at least about as well as four per half, and four
  // colours over single pixels at least about as well as over pairs: where those already lie on
  // or above the hull, the halves or the pairs are not worth fitting.
  auto offered = [&](const ModeCandidate& r) {
    for (int i = 0; i < count_; ++i)
      if (candidates_[i] == &r) return true;
    return false;
  };
  const bool halvesPay =
      bestUpTo24 > floor && MayPay(12) && (!offered(m.quadFour) || m.quadFour.Error < hullAt(24));
  const bool pairsPay =
      bestUpTo12 > floor && MayPay(12) && (!offered(m.four) || m.four.Error < hullAt(12));

  // Halves of four colours in the split that its guide finds better; where each half's fit
  // has no more than two colours, the same picture as halves of two colours.
  if (halvesPay) {
    const bool leftRight = partFitter_.LeftRightHalvesBetter();
    PackedMode& r = m.halfFour;
    r.Split = leftRight ? 1 : 0;
    int32_t colours[2];
    r.Error = partFitter_.Fit(leftRight ? P::kLeftHalf : P::kTopHalf, 4, r.Pixels, &colours[0]) +
              partFitter_.Fit(leftRight ? P::kRightHalf : P::kBottomHalf, 4, r.Pixels, &colours[1]);
    Offer(r);
    if (colours[0] <= 2 && colours[1] <= 2 && bestUpTo12 > floor) {
      std::memcpy(m.halfTwo.Pixels, r.Pixels, 64);
      m.halfTwo.Split = r.Split;
      m.halfTwo.Error = r.Error;
      Offer(m.halfTwo);
    }
  }
  // Pixel pairs in the shape its guide finds better.
  if (pairsPay) {
    const bool upright = partFitter_.UprightPairsBetter();
    m.pairFour.Split = upright ? 1 : 0;
    m.pairFour.Error =
        partFitter_.Fit(upright ? P::kPairsUpright : P::kPairsSideBySide, 4, m.pairFour.Pixels);
    Offer(m.pairFour);
  }

  // The mapped block found whole in the frame two back, right of or below it: the raw
  // picture for one byte.
  const uint8_t* twoBack = frames.TwoBack();
  m.farCopy.Error = kUnavailable;
  if (twoBack && bestUpTo1 > floor && MayPay(1) &&
      FindIdenticalCopy(frames.Current() + o, geo_.FrameWidth, twoBack, geo_.FrameWidth,
                        geo_.FrameHeight, o, false, m.farCopy)) {
    m.farCopy.Error = m.raw.Error;
    Offer(m.farCopy);
  }
}

void BlockCoder::OfferSeededMotion(const uint8_t* t, const EncoderFrames& frames, int block,
                                   bool exhaustive) {
  ModeSet& m = modes_;
  const uint8_t* previousRGB = frames.PreviousRGB();
  const int32_t bound = m.copyPrev.Error;
  // Nothing can beat a perfect copy.
  if (!frames.Previous() || !previousRGB || bound == 0) {
    if (field_) field_->Store(block, MotionVector{});
    return;
  }
  const int w = geo_.FrameWidth;
  const int32_t o = geo_.BlockOffset[block];
  int32_t nearError = kUnavailable;
  MotionVector near{};
  SeededSearchSettings settings;
  if (exhaustive) {
    nearError = MotionSearch(bound, t, previousRGB, w, o, geo_.LastBlockOffset, m.motion);
    if (nearError != kUnavailable) near = MotionVector{m.motion.Dx, m.motion.Dy};
    settings.NearSearched = true;
    settings.RefineSteps = 8;
    settings.WideRefine = true;
  }
  MotionVector seeds[MotionField::kMaxSeeds];
  int seedCount = 1;
  seeds[0] = MotionVector{};
  if (field_) seedCount = field_->Seeds(block, seeds);
  const SeededMotion found = SeededMotionSearch(t, previousRGB, w, o, geo_.LastBlockOffset, bound,
                                                nearError, near, seeds, seedCount, settings);
  if (found.NearError != kUnavailable) {
    m.motion.Error = found.NearError;
    m.motion.Dx = found.Near.Dx;
    m.motion.Dy = found.Near.Dy;
    m.motion.SourceOffset = o + found.Near.Dy * w + found.Near.Dx;
    Offer(m.motion);
  }
  if (found.FarError != kUnavailable) {
    m.farMotion.Error = found.FarError;
    m.farMotion.Dx = found.Far.Dx;
    m.farMotion.Dy = found.Far.Dy;
    Offer(m.farMotion);
  }
  if (field_) field_->Store(block, found.Best);
}

}  // namespace korvane
