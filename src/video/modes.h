// Block coding modes of the default method: one plain record type per MVE block opcode the
// encoder produces, the three operations every record supports (draw the block as a decoder
// would, write its opcode and video-data bytes, tell its data size), the set of fourteen
// prototype records with their registration totals, the exact-shape tests and the block
// copy and fill primitives.
//
// Records are trivially copyable: the rate allocation copies whole records, by the size of
// their type, into its chain storage, and a copy works exactly like the original.
#pragma once

#include <cstdint>

namespace korvane {

// In Error: the coding is unavailable for the current block. In Slope: last record of a chain.
constexpr int32_t kUnavailable = 2147483647;
constexpr int32_t kChainEnd = 2147483647;

// The type link of a record: selects the record type and its operations.
enum ModeKind : int32_t {
  kRawMode = 0,
  kCopyPrevMode,
  kCopyPrev2Mode,
  kMotionMode,
  kTwoColorMode,
  kFourColorMode,
  kSolidMode,
  kQuadSolidMode,
  kQuadTwoColorMode,
  kQuadFourColorMode,
  kHalfResMode,
  kCheckerMode,
  kFarMotionMode,
  // Codings of the exact fit only (never offered with the classic fit).
  kHalfTwoColorMode,    // opcode 8: two colours for each 8x4 or 4x8 half
  kPairFourColorMode,   // opcode 9: four colours, one per 2x1 or 1x2 pixel pair
  kHalfFourColorMode,   // opcode 10: four colours for each half
  kFarCopyTwoBackMode,  // opcode 2: a block of the frame two back, right of or below this one
  kNearCopyMode,        // opcode 3: a block of this frame already drawn, left of or above it
  kModeKindCount
};

struct ModeCandidate {
  int32_t Error;       // distortion of the block in this mode; kUnavailable: not offered
  int32_t Bytes;       // DataSize when offered; increments once stored in a chain
  int32_t Slope;       // added error per byte saved by the next step of the chain
  int32_t BlockIndex;  // raster index of the coded block; -1 while free in a chain build
  int32_t Kind;        // ModeKind
};

struct RawMode : ModeCandidate {};
struct CopyPrevMode : ModeCandidate {};
struct CopyPrev2Mode : ModeCandidate {};
struct HalfResMode : ModeCandidate {};
struct MotionMode : ModeCandidate {
  int32_t SourceOffset;  // top-left pixel of the source block in the previous frame
  int8_t Dx, Dy;         // -8 ... 7
};
// A copy from anywhere within -128 ... 127 pixels in the previous frame (opcode 5). The
// source is found from the block's offset, so the record stays as small as the checkerboard's
// and the chain storage a block can need does not grow.
struct FarMotionMode : ModeCandidate {
  int8_t Dx, Dy;
};
struct SolidMode : ModeCandidate {
  uint8_t Color;
};
struct QuadSolidMode : ModeCandidate {
  uint8_t Colors[4];  // top-left, top-right, bottom-left, bottom-right
};
struct CheckerMode : ModeCandidate {
  uint8_t Colors[2];  // pixels (0,0) and (1,0)
};
struct TwoColorMode : ModeCandidate {
  uint8_t Pattern[64];  // 0/1 per pixel: index of the fitted colour (0 = the smaller index)
  uint8_t Pixels[64];   // the block as drawn
  uint8_t P[2];         // P0 > P1 selects the 2x2-cell variant
};
struct FourColorMode : ModeCandidate {
  uint8_t Pattern[64];
  uint8_t Pixels[64];
  uint8_t P[4];  // P2 > P3 selects the 2x2-cell variant
};
// Quadrants in the order top-left, top-right, bottom-left, bottom-right.
struct QuadTwoColorMode : ModeCandidate {
  uint8_t Pattern[4][16];
  uint8_t Pixels[4][16];
  uint8_t P[4][2];
};
struct QuadFourColorMode : ModeCandidate {
  uint8_t Pattern[4][16];
  uint8_t Pixels[4][16];
  uint8_t P[4][4];
};

// --- Half blocks, pixel pairs and copies within the frame ---
// The half-block and pixel-pair codings keep the drawn block; their colours, their order (which
// tells the variant) and their pattern bits follow from the pixels alone, so Emit packs them.
struct PackedMode : ModeCandidate {
  uint8_t Pixels[64];  // the block as drawn
  uint8_t Split;       // halves: 0 top and bottom, 1 left and right; pairs: 0 2x1, 1 1x2
  uint8_t Pad[3];
};
// A copy by a one-byte vector of the near-copy table: from the frame two back (opcode 2) or from
// the part of this frame already drawn (opcode 3).
struct FrameCopyMode : ModeCandidate {
  int32_t SourceOffset;  // top-left pixel of the source block
  uint8_t Vector;        // the data byte
  uint8_t Pad[3];
};
static_assert(sizeof(PackedMode) == 88);
static_assert(sizeof(FrameCopyMode) == 28);

// The data byte of the near-copy table for a source (dx, dy) pixels away: dx 8 ... 14 with
// dy 0 ... 7, or dx -14 ... 14 with dy 8 ... 14 (as far as the byte reaches). Opcode 2 reads
// the frame two back at (dx, dy), opcode 3 this frame at (-dx, -dy). -1 when out of the table.
int NearCopyByte(int dx, int dy);
// The displacement of data byte `b` in the table above.
void NearCopyVector(uint8_t b, int* dx, int* dy);
// Writes the video data of a half-block or pixel-pair record (12 or 24 bytes) into `d`.
void PackPartsData(const PackedMode& record, uint8_t* d);

// Record sizes are part of what the program reports (the chain storage it reserves), so they
// are pinned down here rather than left to chance.
static_assert(sizeof(ModeCandidate) == 20);
static_assert(sizeof(MotionMode) == 28);
static_assert(sizeof(SolidMode) == 24);
static_assert(sizeof(QuadSolidMode) == 24);
static_assert(sizeof(CheckerMode) == 24);
static_assert(sizeof(FarMotionMode) == 24);
static_assert(sizeof(TwoColorMode) == 152);
static_assert(sizeof(FourColorMode) == 152);
static_assert(sizeof(QuadTwoColorMode) == 156);
static_assert(sizeof(QuadFourColorMode) == 164);

// Largest record type, and the room Emit needs.
constexpr int kLargestRecord = sizeof(QuadFourColorMode);
static_assert(sizeof(PackedMode) <= kLargestRecord);
constexpr int kMaxEmitBytes = 2 + 64;

// What the block operations read and write. Every index buffer has rows `width` bytes apart.
struct BlockPlanes {
  int width = 0;
  uint8_t* current = nullptr;         // the frame being coded; Reconstruct writes here
  const uint8_t* previous = nullptr;  // reconstruction of the previous frame
  const uint8_t* twoBack = nullptr;   // reconstruction of the frame two back
  const uint8_t* halfRes = nullptr;   // the target at half resolution
  const int32_t* blockOffset = nullptr;
};

// Size in bytes of the record's type.
int RecordSize(const ModeCandidate& record);
// Number of video-data bytes of the block in this mode (0 ... 64).
uint8_t DataSize(const ModeCandidate& record);
// MVE opcode of the record's mode.
uint8_t ModeOpcode(const ModeCandidate& record);
// Draws the block of record.BlockIndex into planes.current as a decoder would.
void Reconstruct(const ModeCandidate& record, const BlockPlanes& planes);
// Writes the opcode, a length byte equal to DataSize and the video-data bytes; returns the
// number of bytes written (2 + DataSize, at most kMaxEmitBytes).
int Emit(const ModeCandidate& record, const BlockPlanes& planes, uint8_t* out);

// The fifteen prototype records, constructed and registered in a fixed order, with the
// registration totals; with `extended` (the exact fit) the half-block, pixel-pair and
// two-back-copy records are registered after them. Every worker of the encoder owns one set
// and refills it per block.
struct ModeSet {
  static constexpr int kModes = 15;
  static constexpr int kMaxModes = kModes + 4;

  RawMode raw;
  CopyPrevMode copyPrev;
  CopyPrev2Mode copyPrev2;
  MotionMode motion;
  TwoColorMode two;    // full-block two-colour, order (0, 1)
  FourColorMode four;  // full-block four-colour, order (0, 1, 2, 3)
  SolidMode solid;
  QuadSolidMode quadSolid;
  QuadTwoColorMode quadTwo;
  QuadFourColorMode quadFour;
  TwoColorMode cellTwo;    // 2x2 cells, order (1, 0)
  FourColorMode cellFour;  // 2x2 cells, order (0, 1, 3, 2)
  HalfResMode halfRes;
  CheckerMode checker;
  FarMotionMode farMotion;  // offered only by the seeded motion search
  // Exact fit only.
  PackedMode halfTwo;
  PackedMode pairFour;
  PackedMode halfFour;
  FrameCopyMode farCopy;

  // Registration order.
  ModeCandidate* records[kMaxModes];
  int ModeCount = 0;
  // Per data size 0..64: size of the largest registered record type with that data size.
  int32_t LargestRecordBySize[65];
  // Sum of the non-zero LargestRecordBySize entries: the most one block's chain can take.
  int32_t CandidateSpace = 0;

  explicit ModeSet(bool extended = false);
  ModeSet(const ModeSet&) = delete;
  ModeSet& operator=(const ModeSet&) = delete;

 private:
  void Register(ModeCandidate& record);
};

// Exact-shape tests on a contiguous 8x8 block (64 bytes, raster order).
// The pair (first two pixels of row 0) is always returned; true when the block is a
// checkerboard of them (even rows C0 C1 C0 C1 ..., odd rows C1 C0 ...). A solid block passes.
bool CheckerboardTest(const uint8_t* block, uint8_t* c0, uint8_t* c1);
// Every row has pixels 2k and 2k+1 equal.
bool HorizontalPairsTest(const uint8_t* block);
// Rows 2k and 2k+1 are equal.
bool VerticalPairsTest(const uint8_t* block);

// Block primitives; `stride` is the row distance of the frame buffer.
void FillBlock8(uint8_t* dst, int stride, uint8_t color);
void FillQuadrant(uint8_t* dst, int stride, uint8_t color);
void DrawChecker(uint8_t* dst, int stride, uint8_t c0, uint8_t c1);
void CopyBlock8(uint8_t* dst, const uint8_t* src, int stride);
void PutBlock64(uint8_t* dst, int stride, const uint8_t* src64);
void GetBlock64(const uint8_t* src, int stride, uint8_t* dst64);
void PutQuadrant16(uint8_t* dst, int stride, const uint8_t* src16);

}  // namespace korvane
