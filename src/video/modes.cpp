#include "video/modes.h"

#include <algorithm>
#include <cstring>

namespace korvane {

namespace {

constexpr int kRecordSizes[kModeKindCount] = {
    sizeof(RawMode),           sizeof(CopyPrevMode),  sizeof(CopyPrev2Mode),
    sizeof(MotionMode),        sizeof(TwoColorMode),  sizeof(FourColorMode),
    sizeof(SolidMode),         sizeof(QuadSolidMode), sizeof(QuadTwoColorMode),
    sizeof(QuadFourColorMode), sizeof(HalfResMode),   sizeof(CheckerMode),
    sizeof(FarMotionMode),     sizeof(PackedMode),    sizeof(PackedMode),
    sizeof(PackedMode),        sizeof(FrameCopyMode), sizeof(FrameCopyMode)};

constexpr uint8_t kOpcodes[kModeKindCount] = {11, 0,  1,  4, 7, 9, 14, 13, 8,
                                              10, 12, 15, 5, 8, 9, 10, 2,  3};

// Quadrant q (top-left, top-right, bottom-left, bottom-right) starts at this offset.
inline int QuadrantOffset(int q, int stride) {
  return (q & 1) * 4 + (q >> 1) * 4 * stride;
}

// Quadrants in the order the video data carries them: top-left, bottom-left, top-right,
// bottom-right.
constexpr int kEmitQuadrantOrder[4] = {0, 2, 1, 3};

template <class T>
const T& As(const ModeCandidate& r) {
  return static_cast<const T&>(r);
}

}  // namespace

int RecordSize(const ModeCandidate& record) {
  return static_cast<unsigned>(record.Kind) < kModeKindCount ? kRecordSizes[record.Kind]
                                                             : sizeof(ModeCandidate);
}

uint8_t ModeOpcode(const ModeCandidate& record) {
  return static_cast<unsigned>(record.Kind) < kModeKindCount ? kOpcodes[record.Kind] : 0;
}

uint8_t DataSize(const ModeCandidate& record) {
  switch (record.Kind) {
    case kRawMode:
      return 64;
    case kCopyPrevMode:
    case kCopyPrev2Mode:
      return 0;
    case kMotionMode:
      return 1;
    case kTwoColorMode: {
      const auto& r = As<TwoColorMode>(record);
      return r.P[0] > r.P[1] ? 4 : 10;
    }
    case kFourColorMode: {
      const auto& r = As<FourColorMode>(record);
      return r.P[2] > r.P[3] ? 8 : 20;
    }
    case kSolidMode:
      return 1;
    case kQuadSolidMode:
      return 4;
    case kQuadTwoColorMode:
      return 16;
    case kQuadFourColorMode:
      return 32;
    case kHalfResMode:
      return 16;
    case kCheckerMode:
      return 2;
    case kFarMotionMode:
      return 2;
    case kHalfTwoColorMode:
    case kPairFourColorMode:
      return 12;
    case kHalfFourColorMode:
      return 24;
    case kFarCopyTwoBackMode:
    case kNearCopyMode:
      return 1;
    default:
      return 0;
  }
}

void Reconstruct(const ModeCandidate& record, const BlockPlanes& planes) {
  const int w = planes.width;
  uint8_t* dst = planes.current + planes.blockOffset[record.BlockIndex];
  const int o = planes.blockOffset[record.BlockIndex];
  switch (record.Kind) {
    case kRawMode:
      break;  // the frame already holds the block
    case kCopyPrevMode:
      if (planes.previous) CopyBlock8(dst, planes.previous + o, w);
      break;
    case kCopyPrev2Mode:
      if (planes.twoBack) CopyBlock8(dst, planes.twoBack + o, w);
      break;
    case kMotionMode:
      if (planes.previous)
        CopyBlock8(dst, planes.previous + As<MotionMode>(record).SourceOffset, w);
      break;
    case kTwoColorMode:
      PutBlock64(dst, w, As<TwoColorMode>(record).Pixels);
      break;
    case kFourColorMode:
      PutBlock64(dst, w, As<FourColorMode>(record).Pixels);
      break;
    case kSolidMode:
      FillBlock8(dst, w, As<SolidMode>(record).Color);
      break;
    case kQuadSolidMode: {
      const auto& r = As<QuadSolidMode>(record);
      for (int q = 0; q < 4; ++q) FillQuadrant(dst + QuadrantOffset(q, w), w, r.Colors[q]);
      break;
    }
    case kQuadTwoColorMode: {
      const auto& r = As<QuadTwoColorMode>(record);
      for (int q = 0; q < 4; ++q) PutQuadrant16(dst + QuadrantOffset(q, w), w, r.Pixels[q]);
      break;
    }
    case kQuadFourColorMode: {
      const auto& r = As<QuadFourColorMode>(record);
      for (int q = 0; q < 4; ++q) PutQuadrant16(dst + QuadrantOffset(q, w), w, r.Pixels[q]);
      break;
    }
    case kHalfResMode:
      if (planes.halfRes) CopyBlock8(dst, planes.halfRes + o, w);
      break;
    case kCheckerMode: {
      const auto& r = As<CheckerMode>(record);
      DrawChecker(dst, w, r.Colors[0], r.Colors[1]);
      break;
    }
    case kFarMotionMode: {
      const auto& r = As<FarMotionMode>(record);
      if (planes.previous) CopyBlock8(dst, planes.previous + o + r.Dy * w + r.Dx, w);
      break;
    }
    case kHalfTwoColorMode:
    case kPairFourColorMode:
    case kHalfFourColorMode:
      PutBlock64(dst, w, As<PackedMode>(record).Pixels);
      break;
    case kFarCopyTwoBackMode:
      if (planes.twoBack)
        CopyBlock8(dst, planes.twoBack + As<FrameCopyMode>(record).SourceOffset, w);
      break;
    case kNearCopyMode:
      // The source lies wholly in blocks drawn before this one.
      CopyBlock8(dst, planes.current + As<FrameCopyMode>(record).SourceOffset, w);
      break;
    default:
      break;
  }
}

int Emit(const ModeCandidate& record, const BlockPlanes& planes, uint8_t* out) {
  const uint8_t size = DataSize(record);
  out[0] = ModeOpcode(record);
  out[1] = size;
  uint8_t* d = out + 2;
  switch (record.Kind) {
    case kRawMode:
      GetBlock64(planes.current + planes.blockOffset[record.BlockIndex], planes.width, d);
      break;
    case kCopyPrevMode:
    case kCopyPrev2Mode:
      break;
    case kMotionMode: {
      const auto& r = As<MotionMode>(record);
      d[0] = static_cast<uint8_t>((r.Dx + 8) + 16 * (r.Dy + 8));
      break;
    }
    case kTwoColorMode: {
      const auto& r = As<TwoColorMode>(record);
      d[0] = r.P[0];
      d[1] = r.P[1];
      if (r.P[0] > r.P[1]) {
        // One bit per 2x2 cell from its top-left pixel. The stored pattern counts the smaller
        // colour as 0 while the slots hold the larger first, so the bit is inverted: a set bit
        // selects P1, the smaller colour.
        for (int half = 0; half < 2; ++half) {
          uint8_t bits = 0;
          for (int k = 0; k < 8; ++k) {
            const int cy = half * 2 + k / 4, cx = k % 4;
            if (r.Pattern[(2 * cy) * 8 + 2 * cx] == 0) bits |= 1u << k;
          }
          d[2 + half] = bits;
        }
      } else {
        for (int y = 0; y < 8; ++y) {
          uint8_t bits = 0;
          for (int x = 0; x < 8; ++x)
            if (r.Pattern[y * 8 + x] == 1) bits |= 1u << x;
          d[2 + y] = bits;
        }
      }
      break;
    }
    case kFourColorMode: {
      const auto& r = As<FourColorMode>(record);
      std::memcpy(d, r.P, 4);
      if (r.P[2] > r.P[3]) {
        for (int cy = 0; cy < 4; ++cy) {
          uint8_t bits = 0;
          for (int cx = 0; cx < 4; ++cx) bits |= (r.Pattern[(2 * cy) * 8 + 2 * cx] & 3) << (2 * cx);
          d[4 + cy] = bits;
        }
      } else {
        for (int k = 0; k < 16; ++k) {
          uint8_t bits = 0;
          for (int j = 0; j < 4; ++j) bits |= (r.Pattern[4 * k + j] & 3) << (2 * j);
          d[4 + k] = bits;
        }
      }
      break;
    }
    case kSolidMode:
      d[0] = As<SolidMode>(record).Color;
      break;
    case kQuadSolidMode:
      std::memcpy(d, As<QuadSolidMode>(record).Colors, 4);
      break;
    case kQuadTwoColorMode: {
      const auto& r = As<QuadTwoColorMode>(record);
      for (int i = 0; i < 4; ++i) {
        const int q = kEmitQuadrantOrder[i];
        unsigned bits = 0;
        for (int k = 0; k < 16; ++k)
          if (r.Pattern[q][k] == 1) bits |= 1u << k;
        d[4 * i + 0] = r.P[q][0];
        d[4 * i + 1] = r.P[q][1];
        d[4 * i + 2] = static_cast<uint8_t>(bits);
        d[4 * i + 3] = static_cast<uint8_t>(bits >> 8);
      }
      break;
    }
    case kQuadFourColorMode: {
      const auto& r = As<QuadFourColorMode>(record);
      for (int i = 0; i < 4; ++i) {
        const int q = kEmitQuadrantOrder[i];
        std::memcpy(d + 8 * i, r.P[q], 4);
        for (int y = 0; y < 4; ++y) {
          uint8_t bits = 0;
          for (int x = 0; x < 4; ++x) bits |= (r.Pattern[q][4 * y + x] & 3) << (2 * x);
          d[8 * i + 4 + y] = bits;
        }
      }
      break;
    }
    case kHalfResMode: {
      const uint8_t* src = planes.halfRes + planes.blockOffset[record.BlockIndex];
      for (int cy = 0; cy < 4; ++cy)
        for (int cx = 0; cx < 4; ++cx) d[4 * cy + cx] = src[2 * cy * planes.width + 2 * cx];
      break;
    }
    case kCheckerMode: {
      const auto& r = As<CheckerMode>(record);
      d[0] = r.Colors[0];
      d[1] = r.Colors[1];
      break;
    }
    case kFarMotionMode: {
      // Two signed bytes: dx, then dy.
      const auto& r = As<FarMotionMode>(record);
      d[0] = static_cast<uint8_t>(r.Dx);
      d[1] = static_cast<uint8_t>(r.Dy);
      break;
    }
    case kHalfTwoColorMode:
    case kPairFourColorMode:
    case kHalfFourColorMode:
      PackPartsData(As<PackedMode>(record), d);
      break;
    case kFarCopyTwoBackMode:
    case kNearCopyMode:
      d[0] = As<FrameCopyMode>(record).Vector;
      break;
    default:
      break;
  }
  return 2 + size;
}

ModeSet::ModeSet(bool extended) {
  std::memset(LargestRecordBySize, 0, sizeof(LargestRecordBySize));
  auto base = [](ModeCandidate& r, ModeKind kind) {
    r.Error = kUnavailable;
    r.Bytes = 0;
    r.Slope = kChainEnd;
    r.BlockIndex = -1;
    r.Kind = kind;
  };
  raw = {};
  copyPrev = {};
  copyPrev2 = {};
  motion = {};
  two = {};
  four = {};
  solid = {};
  quadSolid = {};
  quadTwo = {};
  quadFour = {};
  cellTwo = {};
  cellFour = {};
  halfRes = {};
  checker = {};
  farMotion = {};
  base(raw, kRawMode);
  base(copyPrev, kCopyPrevMode);
  base(copyPrev2, kCopyPrev2Mode);
  base(motion, kMotionMode);
  base(two, kTwoColorMode);
  two.P[0] = 0;
  two.P[1] = 1;
  base(four, kFourColorMode);
  four.P[0] = 0;
  four.P[1] = 1;
  four.P[2] = 2;
  four.P[3] = 3;
  base(solid, kSolidMode);
  base(quadSolid, kQuadSolidMode);
  base(quadTwo, kQuadTwoColorMode);
  base(quadFour, kQuadFourColorMode);
  base(cellTwo, kTwoColorMode);
  cellTwo.P[0] = 1;
  cellTwo.P[1] = 0;
  base(cellFour, kFourColorMode);
  cellFour.P[0] = 0;
  cellFour.P[1] = 1;
  cellFour.P[2] = 3;
  cellFour.P[3] = 2;
  base(halfRes, kHalfResMode);
  base(checker, kCheckerMode);
  base(farMotion, kFarMotionMode);

  ModeCandidate* order[kModes] = {&raw,     &copyPrev, &copyPrev2, &motion,  &two,
                                  &four,    &solid,    &quadSolid, &quadTwo, &quadFour,
                                  &cellTwo, &cellFour, &halfRes,   &checker, &farMotion};
  for (ModeCandidate* r : order) Register(*r);

  halfTwo = {};
  pairFour = {};
  halfFour = {};
  farCopy = {};
  base(halfTwo, kHalfTwoColorMode);
  base(pairFour, kPairFourColorMode);
  base(halfFour, kHalfFourColorMode);
  base(farCopy, kFarCopyTwoBackMode);
  if (extended)
    for (ModeCandidate* r :
         {static_cast<ModeCandidate*>(&halfTwo), static_cast<ModeCandidate*>(&pairFour),
          static_cast<ModeCandidate*>(&halfFour), static_cast<ModeCandidate*>(&farCopy)})
      Register(*r);
}

void ModeSet::Register(ModeCandidate& record) {
  const int size = DataSize(record);
  const int32_t recordSize = RecordSize(record);
  if (recordSize > LargestRecordBySize[size]) {
    CandidateSpace -= LargestRecordBySize[size];
    LargestRecordBySize[size] = recordSize;
    CandidateSpace += recordSize;
  }
  records[ModeCount++] = &record;
}

// --- Half blocks, pixel pairs and copies within the frame ---

int NearCopyByte(int dx, int dy) {
  if (dy >= 0 && dy <= 7 && dx >= 8 && dx <= 14) return 7 * dy + (dx - 8);
  if (dy >= 8 && dx >= -14 && dx <= 14) {
    const int b = 56 + 29 * (dy - 8) + (dx + 14);
    if (b <= 255) return b;
  }
  return -1;
}

void NearCopyVector(uint8_t b, int* dx, int* dy) {
  if (b < 56) {
    *dx = 8 + b % 7;
    *dy = b / 7;
  } else {
    *dx = -14 + (b - 56) % 29;
    *dy = 8 + (b - 56) / 29;
  }
}

namespace {

// Pixel (raster index in the block) of element k (0 ... 31) of part h: for halves (`pairs`
// false) pixel k of the half in raster order, halves left and right (`split` 1) or top and
// bottom; for pairs the first pixel of pair k, pairs side by side (`split` 0) or one above the
// other, in raster order.
inline int PartPixel(bool pairs, int split, int h, int k) {
  if (pairs) return split ? 16 * (k / 8) + k % 8 : 8 * (k / 4) + 2 * (k % 4);
  return split ? 8 * (k / 4) + 4 * h + k % 4 : 32 * h + k;
}

// Writes the colours of a part into `slots` (k of them, all distinct: colours the part does not
// use are filled with the smallest unused indices) and its pattern, `bitsPer` bits per element.
// `order` lists, per slot, the rank of its colour among the k sorted ascending.
void PackPart(const uint8_t* pixels, bool pairs, int split, int h, int k, const int* order,
              uint8_t* slots, uint64_t* bits) {
  uint8_t colours[4];
  int n = 0;
  for (int e = 0; e < 32 && n <= k; ++e) {
    const uint8_t c = pixels[PartPixel(pairs, split, h, e)];
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || colours[i] == c;
    if (!seen && n < k) colours[n++] = c;
  }
  for (int v = 0; n < k; ++v) {
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || colours[i] == v;
    if (!seen) colours[n++] = static_cast<uint8_t>(v);
  }
  std::sort(colours, colours + k);
  for (int s = 0; s < k; ++s) slots[s] = colours[order[s]];
  const int bitsPer = k == 2 ? 1 : 2;
  uint64_t b = 0;
  for (int e = 0; e < 32; ++e) {
    const uint8_t c = pixels[PartPixel(pairs, split, h, e)];
    uint64_t s = 0;
    while (s + 1 < static_cast<uint64_t>(k) && slots[s] != c) ++s;
    b |= s << (bitsPer * e);
  }
  *bits = b;
}

void PutLe(uint8_t* d, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) d[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void PackPartsData(const PackedMode& r, uint8_t* d) {
  // The first pair of colours in descending order selects these variants; the order of the
  // second pair (or of the second half's first pair) tells which one.
  static const int kDescending2[2] = {1, 0}, kAscending2[2] = {0, 1};
  static const int kFirst4[4] = {3, 0, 1, 2}, kAscending4[4] = {0, 1, 2, 3};
  static const int kPairsUpright4[4] = {3, 0, 2, 1};
  uint64_t bits;
  switch (r.Kind) {
    case kHalfTwoColorMode:
      // Second half: ascending for left and right, descending for top and bottom.
      PackPart(r.Pixels, false, r.Split, 0, 2, kDescending2, d, &bits);
      PutLe(d + 2, bits, 4);
      PackPart(r.Pixels, false, r.Split, 1, 2, r.Split ? kAscending2 : kDescending2, d + 6, &bits);
      PutLe(d + 8, bits, 4);
      break;
    case kHalfFourColorMode:
      PackPart(r.Pixels, false, r.Split, 0, 4, kFirst4, d, &bits);
      PutLe(d + 4, bits, 8);
      PackPart(r.Pixels, false, r.Split, 1, 4, r.Split ? kAscending4 : kFirst4, d + 12, &bits);
      PutLe(d + 16, bits, 8);
      break;
    case kPairFourColorMode:
      // Third and fourth colours ascending for pairs side by side, descending for upright ones.
      PackPart(r.Pixels, true, r.Split, 0, 4, r.Split ? kPairsUpright4 : kFirst4, d, &bits);
      PutLe(d + 4, bits, 8);
      break;
    default:
      break;
  }
}

bool CheckerboardTest(const uint8_t* block, uint8_t* c0, uint8_t* c1) {
  *c0 = block[0];
  *c1 = block[1];
  if (block[2] != block[0] || block[3] != block[1]) return false;
  uint32_t even, odd;
  std::memcpy(&even, block, 4);
  // Row 0 shifted by one pixel: C1 C0 C1 C0.
  const uint8_t shifted[4] = {block[1], block[0], block[1], block[0]};
  std::memcpy(&odd, shifted, 4);
  for (int y = 0; y < 8; ++y) {
    const uint32_t want = (y & 1) ? odd : even;
    uint32_t a, b;
    std::memcpy(&a, block + 8 * y, 4);
    std::memcpy(&b, block + 8 * y + 4, 4);
    if (a != want || b != want) return false;
  }
  return true;
}

bool HorizontalPairsTest(const uint8_t* block) {
  for (int i = 0; i < 64; i += 2)
    if (block[i] != block[i + 1]) return false;
  return true;
}

bool VerticalPairsTest(const uint8_t* block) {
  for (int k = 0; k < 4; ++k)
    if (std::memcmp(block + 16 * k, block + 16 * k + 8, 8) != 0) return false;
  return true;
}

void FillBlock8(uint8_t* dst, int stride, uint8_t color) {
  for (int y = 0; y < 8; ++y) std::memset(dst + y * stride, color, 8);
}

void FillQuadrant(uint8_t* dst, int stride, uint8_t color) {
  for (int y = 0; y < 4; ++y) std::memset(dst + y * stride, color, 4);
}

void DrawChecker(uint8_t* dst, int stride, uint8_t c0, uint8_t c1) {
  const uint8_t even[8] = {c0, c1, c0, c1, c0, c1, c0, c1};
  const uint8_t odd[8] = {c1, c0, c1, c0, c1, c0, c1, c0};
  for (int y = 0; y < 8; ++y) std::memcpy(dst + y * stride, (y & 1) ? odd : even, 8);
}

void CopyBlock8(uint8_t* dst, const uint8_t* src, int stride) {
  for (int y = 0; y < 8; ++y) std::memcpy(dst + y * stride, src + y * stride, 8);
}

void PutBlock64(uint8_t* dst, int stride, const uint8_t* src64) {
  for (int y = 0; y < 8; ++y) std::memcpy(dst + y * stride, src64 + 8 * y, 8);
}

void GetBlock64(const uint8_t* src, int stride, uint8_t* dst64) {
  for (int y = 0; y < 8; ++y) std::memcpy(dst64 + 8 * y, src + y * stride, 8);
}

void PutQuadrant16(uint8_t* dst, int stride, const uint8_t* src16) {
  for (int y = 0; y < 4; ++y) std::memcpy(dst + y * stride, src16 + 4 * y, 4);
}

}  // namespace korvane
