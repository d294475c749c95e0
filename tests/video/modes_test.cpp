// Block coding modes: registration, the bytes every mode writes, reconstruction against an
// independent decoder, the exact-shape tests and the frame buffer rotation.
#include "video/modes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "mveinfo/mve_player.h"
#include "video/encoder_frames.h"
#include "video/frame_copies.h"
#include "video_test_util.h"

namespace korvane {
namespace {

// A 16 x 16 frame (2 x 2 blocks) with distinct content in every buffer.
struct Planes16 {
  static constexpr int W = 16;
  std::vector<uint8_t> current, previous, twoBack, halfRes;
  std::vector<int32_t> offsets{0, 8, 8 * W, 8 * W + 8};
  BlockPlanes planes;

  explicit Planes16(unsigned seed = 5) {
    std::mt19937 rng(seed);
    auto fill = [&](std::vector<uint8_t>& v) {
      v.resize(W * W);
      for (auto& b : v) b = static_cast<uint8_t>(rng());
    };
    fill(current);
    fill(previous);
    fill(twoBack);
    fill(halfRes);
    // The half-resolution frame holds one index per 2x2 cell.
    for (int i = 0; i < W * W; ++i) halfRes[i] = halfRes[(i / W) / 2 * 2 * W + (i % W) / 2 * 2];
    planes.width = W;
    planes.current = current.data();
    planes.previous = previous.data();
    planes.twoBack = twoBack.data();
    planes.halfRes = halfRes.data();
    planes.blockOffset = offsets.data();
  }
};

template <class T>
T Record(ModeKind kind, int block = 0) {
  T r{};
  r.Error = 0;
  r.Kind = kind;
  r.BlockIndex = block;
  r.Slope = kChainEnd;
  return r;
}

std::vector<uint8_t> Emitted(const ModeCandidate& r, const BlockPlanes& p) {
  uint8_t buf[kMaxEmitBytes + 8];
  std::memset(buf, 0xCD, sizeof(buf));
  const int n = Emit(r, p, buf);
  return std::vector<uint8_t>(buf, buf + n);
}

struct EmitCase {
  const char* name;
  std::vector<uint8_t> expectedPrefix;
};

TEST(ModeEmit, BytesOfEveryMode) {
  Planes16 p;
  // Block 3 (bottom-right) for the modes reading frame buffers.
  const int o = p.offsets[3];

  auto raw = Record<RawMode>(kRawMode, 3);
  std::vector<uint8_t> rawBytes{11, 64};
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) rawBytes.push_back(p.current[o + y * 16 + x]);

  auto half = Record<HalfResMode>(kHalfResMode, 3);
  std::vector<uint8_t> halfBytes{12, 16};
  for (int cy = 0; cy < 4; ++cy)
    for (int cx = 0; cx < 4; ++cx) halfBytes.push_back(p.halfRes[o + 2 * cy * 16 + 2 * cx]);

  auto two = Record<TwoColorMode>(kTwoColorMode);
  two.P[0] = 4;
  two.P[1] = 9;
  const uint8_t row0[8] = {1, 0, 0, 0, 0, 0, 0, 1};  // 9 4 4 4 4 4 4 9
  std::memcpy(two.Pattern, row0, 8);
  two.Pattern[8 + 1] = 1;  // row 1: pixel 1 has colour 9
  auto four = Record<FourColorMode>(kFourColorMode);
  const uint8_t colours[4] = {1, 2, 3, 4};
  std::memcpy(four.P, colours, 4);
  for (int x = 0; x < 8; ++x) four.Pattern[x] = static_cast<uint8_t>(x & 3);  // 1 2 3 4 1 2 3 4

  // Cell variants: the stored pattern counts the smaller colour as 0.
  auto cellTwo = Record<TwoColorMode>(kTwoColorMode);
  cellTwo.P[0] = 9;  // larger first
  cellTwo.P[1] = 4;
  // Cell (0,0) has the larger colour (pattern 1), every other cell the smaller one.
  cellTwo.Pattern[0] = cellTwo.Pattern[1] = cellTwo.Pattern[8] = cellTwo.Pattern[9] = 1;
  auto cellFour = Record<FourColorMode>(kFourColorMode);
  const uint8_t cellColours[4] = {1, 2, 7, 5};
  std::memcpy(cellFour.P, cellColours, 4);
  for (int cy = 0; cy < 4; ++cy)
    for (int cx = 0; cx < 4; ++cx)
      for (int k = 0; k < 4; ++k)
        cellFour.Pattern[(2 * cy + k / 2) * 8 + 2 * cx + k % 2] =
            static_cast<uint8_t>((cx + cy) & 3);

  auto quadTwo = Record<QuadTwoColorMode>(kQuadTwoColorMode);
  auto quadFour = Record<QuadFourColorMode>(kQuadFourColorMode);
  for (int q = 0; q < 4; ++q) {
    quadTwo.P[q][0] = static_cast<uint8_t>(10 * q + 1);
    quadTwo.P[q][1] = static_cast<uint8_t>(10 * q + 2);
    quadTwo.Pattern[q][q] = 1;  // one pixel per quadrant, at position q
    for (int k = 0; k < 4; ++k) quadFour.P[q][k] = static_cast<uint8_t>(10 * q + k);
    quadFour.Pattern[q][4 * q] = 3;  // first pixel of row q
  }

  auto solid = Record<SolidMode>(kSolidMode);
  solid.Color = 77;
  auto quadSolid = Record<QuadSolidMode>(kQuadSolidMode);
  const uint8_t qs[4] = {1, 2, 3, 4};
  std::memcpy(quadSolid.Colors, qs, 4);
  auto checker = Record<CheckerMode>(kCheckerMode);
  checker.Colors[0] = 5;
  checker.Colors[1] = 6;

  struct Row {
    const char* name;
    const ModeCandidate* record;
    std::vector<uint8_t> bytes;  // exact
  };
  const std::vector<Row> rows = {
      {"raw", &raw, rawBytes},
      {"copy previous", nullptr, {}},
      {"two-colour full", &two, {7, 10, 4, 9, 0x81, 0x02, 0, 0, 0, 0, 0, 0}},
      {"four-colour full", &four, {9, 20, 1, 2, 3, 4, 0xE4, 0xE4, 0, 0, 0,
                                   0, 0,  0, 0, 0, 0, 0,    0,    0, 0, 0}},
      {"two-colour cells", &cellTwo, {7, 4, 9, 4, 0xFE, 0xFF}},
      // Cell rows: pattern (cx + cy) & 3 -> row 0: 0 1 2 3 = 0xE4, row 1: 1 2 3 0 = 0x39,
      // row 2: 2 3 0 1 = 0x4E, row 3: 3 0 1 2 = 0x93.
      {"four-colour cells", &cellFour, {9, 8, 1, 2, 7, 5, 0xE4, 0x39, 0x4E, 0x93}},
      {"half resolution", &half, halfBytes},
      {"solid", &solid, {14, 1, 77}},
      {"quadrant solid", &quadSolid, {13, 4, 1, 2, 3, 4}},
      // Quadrants written top-left, bottom-left, top-right, bottom-right.
      {"quadrant two-colour",
       &quadTwo,
       {8, 16, 1, 2, 0x01, 0x00, 21, 22, 0x04, 0x00, 11, 12, 0x02, 0x00, 31, 32, 0x08, 0x00}},
      {"quadrant four-colour", &quadFour, {10, 32, 0,  1,  2,  3,  3,  0,  0,  0,  20, 21,
                                           22, 23, 0,  0,  3,  0,  10, 11, 12, 13, 0,  3,
                                           0,  0,  30, 31, 32, 33, 0,  0,  0,  3}},
      {"checkerboard", &checker, {15, 2, 5, 6}},
  };
  for (const Row& row : rows) {
    if (!row.record) continue;
    EXPECT_EQ(Emitted(*row.record, p.planes), row.bytes) << row.name;
  }

  auto copyPrev = Record<CopyPrevMode>(kCopyPrevMode);
  auto copyPrev2 = Record<CopyPrev2Mode>(kCopyPrev2Mode);
  EXPECT_EQ(Emitted(copyPrev, p.planes), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(Emitted(copyPrev2, p.planes), (std::vector<uint8_t>{1, 0}));
}

TEST(ModeEmit, MotionByte) {
  Planes16 p;
  struct Case {
    int dx, dy;
    uint8_t byte;
  };
  const Case cases[] = {{-8, -8, 0x00}, {7, 7, 0xFF}, {0, 0, 0x88}, {-1, 2, 0xA7}, {7, -8, 0x0F}};
  for (const Case& c : cases) {
    auto m = Record<MotionMode>(kMotionMode, 3);
    m.Dx = static_cast<int8_t>(c.dx);
    m.Dy = static_cast<int8_t>(c.dy);
    m.SourceOffset = p.offsets[3] + c.dy * 16 + c.dx;
    EXPECT_EQ(Emitted(m, p.planes), (std::vector<uint8_t>{4, 1, c.byte})) << c.dx << "," << c.dy;
  }
}

// Opcode 5: two signed bytes, dx then dy, whatever the distance.
TEST(ModeEmit, FarMotionBytes) {
  Planes16 p;
  const struct {
    int dx, dy;
    uint8_t b0, b1;
  } cases[] = {{-128, 127, 0x80, 0x7F},
               {127, -128, 0x7F, 0x80},
               {-12, 100, 0xF4, 0x64},
               {9, 0, 0x09, 0x00},
               {0, -9, 0x00, 0xF7}};
  for (const auto& c : cases) {
    auto m = Record<FarMotionMode>(kFarMotionMode, 0);
    m.Dx = static_cast<int8_t>(c.dx);
    m.Dy = static_cast<int8_t>(c.dy);
    EXPECT_EQ(Emitted(m, p.planes), (std::vector<uint8_t>{5, 2, c.b0, c.b1}))
        << c.dx << "," << c.dy;
  }
}

TEST(ModeEmit, EveryModeWritesTwoPlusDataSizeBytes) {
  Planes16 p;
  ModeSet m;
  for (int i = 0; i < m.ModeCount; ++i) {
    ModeCandidate& r = *m.records[i];
    r.BlockIndex = 0;
    uint8_t buf[kMaxEmitBytes + 16];
    std::memset(buf, 0xEE, sizeof(buf));
    const int n = Emit(r, p.planes, buf);
    EXPECT_EQ(n, 2 + DataSize(r)) << "record " << i + 1;
    EXPECT_EQ(buf[1], DataSize(r)) << "record " << i + 1;
    for (size_t k = n; k < sizeof(buf); ++k) ASSERT_EQ(buf[k], 0xEE) << "record " << i + 1;
  }
}

// Random contents for every mode, drawn by Reconstruct (on a copy of the record held in a byte
// buffer, as the chain storage holds it) and by the independent decoder from the emitted bytes.
TEST(ModeReconstruct, MatchesADecoderOfTheEmittedBytes) {
  std::mt19937 rng(11);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  for (int trial = 0; trial < 40; ++trial) {
    Planes16 p(100 + trial);
    const int block = trial % 4;
    const int o = p.offsets[block];
    std::vector<std::unique_ptr<uint8_t[]>> storage;
    std::vector<ModeCandidate*> records;
    auto keep = [&](const ModeCandidate& r, int size) {
      // Copy whole records into storage, as the chain storage does.
      storage.emplace_back(new uint8_t[size]);
      std::memcpy(storage.back().get(), &r, size);
      records.push_back(reinterpret_cast<ModeCandidate*>(storage.back().get()));
    };

    keep(Record<RawMode>(kRawMode, block), sizeof(RawMode));
    keep(Record<CopyPrevMode>(kCopyPrevMode, block), sizeof(CopyPrevMode));
    keep(Record<CopyPrev2Mode>(kCopyPrev2Mode, block), sizeof(CopyPrev2Mode));
    keep(Record<HalfResMode>(kHalfResMode, block), sizeof(HalfResMode));
    {
      auto m = Record<MotionMode>(kMotionMode, block);
      // Any source inside the frame.
      int dx, dy, s;
      do {
        dx = static_cast<int>(rng() % 16) - 8;
        dy = static_cast<int>(rng() % 16) - 8;
        s = o + dy * 16 + dx;
      } while (s < 0 || s > p.offsets[3]);
      m.Dx = static_cast<int8_t>(dx);
      m.Dy = static_cast<int8_t>(dy);
      m.SourceOffset = s;
      keep(m, sizeof(m));
      // The same source as opcode 5.
      auto far = Record<FarMotionMode>(kFarMotionMode, block);
      far.Dx = m.Dx;
      far.Dy = m.Dy;
      keep(far, sizeof(far));
    }
    {
      auto s = Record<SolidMode>(kSolidMode, block);
      s.Color = byte();
      keep(s, sizeof(s));
      auto q = Record<QuadSolidMode>(kQuadSolidMode, block);
      for (auto& c : q.Colors) c = byte();
      keep(q, sizeof(q));
      auto c = Record<CheckerMode>(kCheckerMode, block);
      c.Colors[0] = byte();
      c.Colors[1] = byte();
      keep(c, sizeof(c));
    }
    for (int cells = 0; cells < 2; ++cells) {
      auto t = Record<TwoColorMode>(kTwoColorMode, block);
      uint8_t a = byte(), b = byte();
      if (a == b) b = static_cast<uint8_t>(a + 1);
      const uint8_t lo = std::min(a, b), hi = std::max(a, b);
      for (int k = 0; k < 64; ++k) t.Pattern[k] = static_cast<uint8_t>(rng() & 1);
      // Cell variants: every pixel takes the value of its cell's top-left pixel.
      if (cells)
        for (int k = 0; k < 64; ++k) t.Pattern[k] = t.Pattern[(k / 16) * 16 + ((k % 8) / 2) * 2];
      for (int k = 0; k < 64; ++k) t.Pixels[k] = t.Pattern[k] ? hi : lo;
      t.P[0] = cells ? hi : lo;
      t.P[1] = cells ? lo : hi;
      keep(t, sizeof(t));

      auto f = Record<FourColorMode>(kFourColorMode, block);
      uint8_t c[4];
      for (auto& x : c) x = byte();
      std::sort(c, c + 4);
      if (cells) std::swap(c[2], c[3]);
      if (cells && c[2] == c[3]) {  // keep P2 > P3
        if (c[3] > 0)
          --c[3];
        else
          ++c[2];
      }
      std::memcpy(f.P, c, 4);
      for (int k = 0; k < 64; ++k) f.Pattern[k] = static_cast<uint8_t>(rng() & 3);
      if (cells)
        for (int k = 0; k < 64; ++k) f.Pattern[k] = f.Pattern[(k / 16) * 16 + ((k % 8) / 2) * 2];
      for (int k = 0; k < 64; ++k) f.Pixels[k] = f.P[f.Pattern[k]];
      keep(f, sizeof(f));
    }
    {
      auto q2 = Record<QuadTwoColorMode>(kQuadTwoColorMode, block);
      auto q4 = Record<QuadFourColorMode>(kQuadFourColorMode, block);
      for (int q = 0; q < 4; ++q) {
        uint8_t a = byte(), b = byte();
        q2.P[q][0] = std::min(a, b);
        q2.P[q][1] = std::max(a, b);
        uint8_t c[4];
        for (auto& x : c) x = byte();
        std::sort(c, c + 2);
        std::memcpy(q4.P[q], c, 4);
        for (int k = 0; k < 16; ++k) {
          q2.Pattern[q][k] = static_cast<uint8_t>(rng() & 1);
          q2.Pixels[q][k] = q2.P[q][q2.Pattern[q][k]];
          q4.Pattern[q][k] = static_cast<uint8_t>(rng() & 3);
          q4.Pixels[q][k] = q4.P[q][q4.Pattern[q][k]];
        }
      }
      keep(q2, sizeof(q2));
      keep(q4, sizeof(q4));
    }

    for (ModeCandidate* r : records) {
      std::vector<uint8_t> frame = p.current;
      BlockPlanes planes = p.planes;
      planes.current = frame.data();
      uint8_t bytes[kMaxEmitBytes];
      const int n = Emit(*r, planes, bytes);
      ASSERT_EQ(n, 2 + bytes[1]);
      uint8_t decoded[64];
      std::string why;
      ASSERT_TRUE(test::DecodeBlockRef(bytes[0], bytes + 2, bytes[1], p.previous.data(),
                                       p.twoBack.data(), 16, 16, o, decoded, &why))
          << why;
      Reconstruct(*r, planes);
      uint8_t drawn[64];
      GetBlock64(frame.data() + o, 16, drawn);
      EXPECT_EQ(0, std::memcmp(drawn, decoded, 64)) << "opcode " << int(bytes[0]);
      // Nothing outside the block changes.
      for (int i = 0; i < 256; ++i) {
        const int y = i / 16, x = i % 16, oy = o / 16, ox = o % 16;
        if (y >= oy && y < oy + 8 && x >= ox && x < ox + 8) continue;
        ASSERT_EQ(frame[i], p.current[i]) << "opcode " << int(bytes[0]) << " pixel " << i;
      }
    }
  }
}

TEST(ModeReconstruct, CheckerboardOddRowsStartWithTheSecondColour) {
  Planes16 p;
  auto c = Record<CheckerMode>(kCheckerMode, 0);
  c.Colors[0] = 3;
  c.Colors[1] = 8;
  Reconstruct(c, p.planes);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(p.current[y * 16 + x], ((x + y) & 1) ? 8 : 3) << x << "," << y;
}

TEST(ShapeTests, CheckerboardAndPairs) {
  auto make = [](auto f) {
    std::vector<uint8_t> b(64);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) b[8 * y + x] = static_cast<uint8_t>(f(x, y));
    return b;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> block;
    bool checker, horizontal, vertical;
    uint8_t c0, c1;
  };
  std::vector<Case> cases = {
      {"solid", make([](int, int) { return 7; }), true, true, true, 7, 7},
      {"checkerboard", make([](int x, int y) { return (x + y) & 1 ? 9 : 2; }), true, false, false,
       2, 9},
      {"stripes", make([](int x, int) { return x & 1 ? 9 : 2; }), false, false, true, 2, 9},
      {"2x2 cells", make([](int x, int y) { return (x / 2 + y / 2) & 1 ? 5 : 6; }), false, true,
       true, 6, 6},
      {"horizontal pairs only", make([](int x, int y) { return (x / 2 + y) & 1; }), false, true,
       false, 0, 0},
      {"checker but one pixel off",
       make([](int x, int y) { return (x == 7 && y == 7) ? 4 : ((x + y) & 1 ? 9 : 2); }), false,
       false, false, 2, 9},
      {"row 0 not repeating", make([](int x, int) { return x < 4 ? x : 0; }), false, false, true, 0,
       1},
  };
  for (const Case& c : cases) {
    uint8_t a = 0xAA, b = 0xBB;
    EXPECT_EQ(CheckerboardTest(c.block.data(), &a, &b), c.checker) << c.name;
    EXPECT_EQ(a, c.block[0]) << c.name;  // the pair is always returned
    EXPECT_EQ(b, c.block[1]) << c.name;
    EXPECT_EQ(HorizontalPairsTest(c.block.data()), c.horizontal) << c.name;
    EXPECT_EQ(VerticalPairsTest(c.block.data()), c.vertical) << c.name;
  }
}

TEST(EncoderFramesTest, RotationKeepsTheTwoPreviousReconstructions) {
  FrameGeometry g;
  g.Setup(32, 16);
  EXPECT_EQ(g.BlockCount, 8);
  EXPECT_EQ(g.BlockOffset[5], 8 + 8 * 32);
  EXPECT_EQ(g.LastBlockOffset, 24 + 8 * 32);
  EncoderFrames f;
  f.Setup(g);
  uint8_t palette[1024] = {};
  for (int i = 0; i < 256; ++i) {
    palette[4 * i] = static_cast<uint8_t>(i);
    palette[4 * i + 1] = static_cast<uint8_t>(255 - i);
    palette[4 * i + 2] = static_cast<uint8_t>(i / 2);
  }
  f.Rotate(true, palette);
  EXPECT_EQ(f.Previous(), nullptr);
  EXPECT_EQ(f.TwoBack(), nullptr);
  std::memset(f.Current(), 1, g.PixelCount);
  const uint8_t* first = f.Current();

  f.Rotate(false, palette);
  ASSERT_NE(f.Previous(), nullptr);
  EXPECT_EQ(f.Previous(), first);
  EXPECT_EQ(f.TwoBack(), nullptr);
  std::memset(f.Current(), 2, g.PixelCount);
  const uint8_t* second = f.Current();

  f.Rotate(true, palette);
  EXPECT_EQ(f.Previous(), second);
  EXPECT_EQ(f.TwoBack(), first);
  EXPECT_NE(f.Current(), first);
  EXPECT_NE(f.Current(), second);
  // The RGB copy of the previous reconstruction is refreshed with the motion flag.
  ASSERT_NE(f.PreviousRGB(), nullptr);
  for (int i = 0; i < g.PixelCount; ++i) {
    ASSERT_EQ(f.PreviousRGB()[3 * i], 2);
    ASSERT_EQ(f.PreviousRGB()[3 * i + 1], 253);
    ASSERT_EQ(f.PreviousRGB()[3 * i + 2], 1);
  }
  std::memset(f.Current(), 3, g.PixelCount);
  // Without the motion flag the copy is left alone.
  f.Rotate(false, palette);
  EXPECT_EQ(f.PreviousRGB()[0], 2);
  EXPECT_EQ(f.Previous()[0], 3);
  EXPECT_EQ(f.TwoBack()[0], 2);
}

// --- Half blocks, pixel pairs and copies within the frame ---

// Every half-block and pixel-pair record, whatever colours its parts use (one to k of them,
// the lowest and highest indices among them), emits bytes that a decoder draws as the record's
// pixels, in the variant its split asks for.
TEST(PackedModes, EmittedBytesDecodeToTheDrawnBlock) {
  struct Case {
    ModeKind kind;
    uint8_t opcode, size;
    int k;  // colours per part
    bool pairs;
  };
  const Case cases[] = {{kHalfTwoColorMode, 8, 12, 2, false},
                        {kHalfFourColorMode, 10, 24, 4, false},
                        {kPairFourColorMode, 9, 12, 4, true}};
  std::mt19937 rng(11);
  for (const Case& c : cases)
    for (uint8_t split : {0, 1})
      for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + " split " + std::to_string(split) +
                     " round " + std::to_string(round));
        auto r = Record<PackedMode>(c.kind);
        r.Split = split;
        // Each part's colours: 1 ... k of them, from a narrow range so that 0, 1 and 255 come up.
        auto palette = [&](uint8_t* colours) {
          const int n = 1 + static_cast<int>(rng() % c.k);
          const int base = (round % 3 == 0) ? 0 : (round % 3 == 1) ? 250 : int(rng() % 256);
          for (int i = 0; i < n; ++i) colours[i] = static_cast<uint8_t>((base + rng() % 6) & 255);
          return n;
        };
        uint8_t colours[2][4];
        const int n0 = palette(colours[0]), n1 = palette(colours[1]);
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            int part = 0;
            if (!c.pairs) part = split ? x / 4 : y / 4;
            const int n = part ? n1 : n0;
            uint8_t& p = r.Pixels[8 * y + x];
            // Pairs share their colour: side by side for split 0, one above the other for 1.
            if (c.pairs && split == 0 && (x & 1))
              p = r.Pixels[8 * y + x - 1];
            else if (c.pairs && split == 1 && (y & 1))
              p = r.Pixels[8 * (y - 1) + x];
            else
              p = colours[part][rng() % n];
          }
        ASSERT_EQ(DataSize(r), c.size);
        Planes16 planes;
        uint8_t bytes[kMaxEmitBytes];
        ASSERT_EQ(Emit(r, planes.planes, bytes), 2 + c.size);
        ASSERT_EQ(bytes[0], c.opcode);
        ASSERT_EQ(bytes[1], c.size);
        ASSERT_GT(bytes[2], bytes[3]);  // the variant of halves or pairs
        uint8_t decoded[64] = {};
        const MveBlockFrames frames{nullptr, nullptr, 8, 8};
        ASSERT_EQ(DecodeMveBlock(bytes[0], bytes + 2, bytes[1], frames, 0, 0, decoded, 8, nullptr),
                  c.size);
        ASSERT_EQ(0, std::memcmp(decoded, r.Pixels, 64));
        Reconstruct(r, planes.planes);
        uint8_t drawn[64];
        GetBlock64(planes.current.data(), 16, drawn);
        ASSERT_EQ(0, std::memcmp(drawn, r.Pixels, 64));
      }
}

TEST(FrameCopies, TableBytes) {
  for (int b = 0; b < 256; ++b) {
    int dx, dy;
    NearCopyVector(static_cast<uint8_t>(b), &dx, &dy);
    EXPECT_EQ(NearCopyByte(dx, dy), b);
  }
  EXPECT_EQ(NearCopyByte(8, 0), 0);
  EXPECT_EQ(NearCopyByte(-14, 8), 56);
  EXPECT_EQ(NearCopyByte(11, 14), 255);
  const int outside[][2] = {{7, 0}, {15, 3}, {0, 0}, {-8, 7}, {12, 14}, {-15, 8}, {0, 15}};
  for (const auto& v : outside) EXPECT_EQ(NearCopyByte(v[0], v[1]), -1) << v[0] << "," << v[1];
}

// A block found in the part of the frame already drawn (left, above) or in the frame two back
// (right, below): the record names it, and a decoder that draws into the frame two back, as
// players do, shows the wanted block. Sources reaching out of the frame are passed over.
TEST(FrameCopies, FindsIdenticalBlocksInsideTheFrame) {
  constexpr int W = 48, H = 40;
  std::mt19937 rng(4);
  std::vector<uint8_t> drawing(W * H), twoBack(W * H);
  for (auto& v : drawing) v = static_cast<uint8_t>(rng());
  for (auto& v : twoBack) v = static_cast<uint8_t>(rng());
  struct Case {
    int bx, by;   // block
    int dx, dy;   // where the copy of its pixels lies
    bool within;  // in the frame being drawn (else two back)
    bool found;
  };
  const Case cases[] = {
      {3, 2, -10, -3, true, true},  // left and up
      {2, 3, 4, -12, true, true},   // above, to the right
      {1, 1, -8, 0, true, true},    // the block on the left
      {2, 2, 12, 5, false, true},   // right and down, two back
      {2, 2, -14, 8, false, true},  // below, to the left
      {5, 1, 8, 0, false, false},   // would reach past the right edge
      {0, 2, -9, -1, true, false},  // would reach past the left edge
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bx) + "," + std::to_string(c.by));
    std::vector<uint8_t> frame = drawing, back = twoBack;
    const int32_t o = c.by * 8 * W + c.bx * 8;
    uint8_t want[64];
    for (auto& v : want) v = static_cast<uint8_t>(rng());
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        frame[o + y * W + x] = want[8 * y + x];
        const int sx = c.bx * 8 + c.dx + x, sy = c.by * 8 + c.dy + y;
        if (sx >= 0 && sx < W && sy >= 0 && sy < H)
          (c.within ? frame : back)[sy * W + sx] = want[8 * y + x];
      }
    FrameCopyMode r{};
    const bool found = FindIdenticalCopy(frame.data() + o, W, c.within ? frame.data() : back.data(),
                                         W, H, o, c.within, r);
    ASSERT_EQ(found, c.found);
    if (!found) continue;
    EXPECT_EQ(r.Kind, c.within ? kNearCopyMode : kFarCopyTwoBackMode);
    EXPECT_EQ(r.SourceOffset, o + c.dy * W + c.dx);
    EXPECT_EQ(r.Vector, NearCopyByte(c.within ? -c.dx : c.dx, c.within ? -c.dy : c.dy));
    // A player draws into the buffer that holds the frame two back, so blocks not yet drawn
    // still show it, and the blocks drawn so far show this frame.
    std::vector<uint8_t> buffer = back;
    for (int i = 0; i < W * H; ++i)
      if (i / W < c.by * 8 || (i / W < c.by * 8 + 8 && i % W < c.bx * 8)) buffer[i] = frame[i];
    std::vector<uint8_t> previous(W * H, 0);
    const MveBlockFrames frames{buffer.data(), previous.data(), W, H};
    uint8_t emitted[kMaxEmitBytes];
    BlockPlanes planes;
    planes.width = W;
    ASSERT_EQ(Emit(r, planes, emitted), 3);
    EXPECT_EQ(emitted[0], c.within ? 3 : 2);
    bool outside = true;
    ASSERT_EQ(DecodeMveBlock(emitted[0], emitted + 2, 1, frames, c.bx, c.by, buffer.data() + o, W,
                             &outside),
              1);
    EXPECT_FALSE(outside);
    for (int y = 0; y < 8; ++y)
      EXPECT_EQ(0, std::memcmp(buffer.data() + o + y * W, want + 8 * y, 8)) << y;
  }
}

// On frames of few values, where many sources match, the copy found is the first of the table
// that lies inside the frame and holds the block, as a plain walk through the table finds it.
TEST(FrameCopies, FindsTheFirstSourceInTableOrder) {
  constexpr int W = 64, H = 48;
  std::mt19937 rng(9);
  auto firstInTable = [&](const std::vector<uint8_t>& source, int32_t o, bool within) {
    const int x0 = o % W, y0 = o / W, sign = within ? -1 : 1;
    for (int b = 0; b < 256; ++b) {
      int dx, dy;
      NearCopyVector(static_cast<uint8_t>(b), &dx, &dy);
      const int x = x0 + sign * dx, y = y0 + sign * dy;
      if (x < 0 || y < 0 || x > W - 8 || y > H - 8) continue;
      bool same = true;
      for (int r = 0; r < 8 && same; ++r)
        same = std::memcmp(&source[(y + r) * W + x], &source[(y0 + r) * W + x0], 8) == 0;
      if (same) return b;
    }
    return -1;
  };
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> frame(W * H), back(W * H);
    // Two values in stripes or blotches: identical blocks at many displacements.
    for (int i = 0; i < W * H; ++i) {
      frame[i] = static_cast<uint8_t>(round % 2 ? (i % W) % 2 : rng() % 100 == 0);
      back[i] = frame[i];
    }
    for (int by = 0; by < H / 8; ++by)
      for (int bx = 0; bx < W / 8; ++bx) {
        const int32_t o = by * 8 * W + bx * 8;
        for (bool within : {true, false}) {
          FrameCopyMode r{};
          const int expected = firstInTable(within ? frame : back, o, within);
          // The wanted block is this frame's; two back holds the same pixels here.
          const bool found = FindIdenticalCopy(
              frame.data() + o, W, within ? frame.data() : back.data(), W, H, o, within, r);
          ASSERT_EQ(found, expected >= 0) << round << " " << bx << "," << by << " " << within;
          if (found) {
            EXPECT_EQ(r.Vector, expected) << round << " " << bx << "," << by;
          }
        }
      }
  }
}

}  // namespace
}  // namespace korvane
