// The MVE inspector on small movies built byte by byte: the checks of the video data against its
// decoding map, opcodes other programs write, faults of order, and hostile files that must stay
// cheap to inspect.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mveinfo/examiner_test_util.h"
#include "mveinfo/mve_examiner.h"

namespace korvane {
namespace {

using test::Faults;
using test::Inspect;

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, unsigned value) {
  out.push_back(uint8_t(value));
  out.push_back(uint8_t(value >> 8));
}
void Put32(Bytes& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

Bytes Op(uint8_t kind, uint8_t version, const Bytes& payload = {}) {
  Bytes out;
  Put16(out, unsigned(payload.size()));
  out.push_back(kind);
  out.push_back(version);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Chunk(uint16_t type, const std::vector<Bytes>& ops) {
  Bytes body;
  for (const Bytes& op : ops) body.insert(body.end(), op.begin(), op.end());
  Bytes out;
  Put16(out, unsigned(body.size()));
  Put16(out, type);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Header() {
  const std::string text = "Interplay MVE File";
  Bytes out(text.begin(), text.end());
  out.push_back(0x1A);
  out.push_back(0x00);
  Put16(out, 0x001A);
  Put16(out, 0x0100);
  Put16(out, 0x1133);
  return out;
}

Bytes Words(std::initializer_list<unsigned> words) {
  Bytes out;
  for (unsigned w : words) Put16(out, w);
  return out;
}

// A movie of 2 x 2 blocks: the chunks given between the video set-up and the closing chunks.
Bytes Movie(const std::vector<Bytes>& chunks, bool withSetup = true) {
  Bytes out = Header();
  auto add = [&out](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
  if (withSetup)
    add(Chunk(
        2, {Op(0x0A, 0, Words({640, 480, 0x101})), Op(0x05, 2, Words({2, 2, 1, 0})), Op(0x01, 0)}));
  for (const Bytes& c : chunks) add(c);
  add(Chunk(4, {Op(0x00, 0), Op(0x01, 0)}));
  add(Chunk(5, {}));
  return out;
}

// Video data for the map codes 14, 11, 0, 15 (1 + 64 + 0 + 2 bytes after the 14-byte header),
// with `extra` bytes more (negative: fewer).
Bytes VideoData(int extra) {
  Bytes out = Words({1, 0, 0, 0, 2, 2, 1});
  out.resize(out.size() + 67 + extra, 7);
  return out;
}

Bytes FrameChunk(int extra, bool timer = true) {
  std::vector<Bytes> ops;
  if (timer) {
    Bytes t;
    Put32(t, 8333);
    Put16(t, 8);
    ops.push_back(Op(0x02, 0, t));
  }
  ops.push_back(Op(0x0F, 0, {0xBE, 0xF0}));  // blocks: 14, 11, 0, 15
  ops.push_back(Op(0x11, 3, VideoData(extra)));
  ops.push_back(Op(0x07, 1, Words({0, 0, 0})));
  ops.push_back(Op(0x01, 0));
  return Chunk(3, ops);
}

TEST(MveExaminer, BlockDataSizesFollowTheColourOrder) {
  const uint8_t rising[4] = {1, 2, 3, 4}, falling[4] = {2, 1, 4, 3}, mixed[4] = {1, 2, 4, 3};
  EXPECT_EQ(MveBlockDataSize(7, rising, 4), 10);
  EXPECT_EQ(MveBlockDataSize(7, falling, 4), 4);
  EXPECT_EQ(MveBlockDataSize(8, rising, 4), 16);
  EXPECT_EQ(MveBlockDataSize(8, falling, 4), 12);
  EXPECT_EQ(MveBlockDataSize(9, rising, 4), 20);
  EXPECT_EQ(MveBlockDataSize(9, mixed, 4), 8);
  EXPECT_EQ(MveBlockDataSize(9, falling, 4), 12);
  EXPECT_EQ(MveBlockDataSize(10, rising, 4), 32);
  EXPECT_EQ(MveBlockDataSize(10, falling, 4), 24);
  EXPECT_EQ(MveBlockDataSize(9, rising, 3), -1);  // the size needs all four colours
  const int fixed[16] = {0, 0, 1, 1, 1, 2, 0, -2, -2, -2, -2, 64, 16, 4, 1, 2};
  for (uint8_t code = 0; code < 16; ++code) {
    if (fixed[code] >= 0) {
      EXPECT_EQ(MveBlockDataSize(code, nullptr, 0), fixed[code]) << int(code);
    }
  }
}

TEST(MveExaminer, SoundMovieAndVideoDataThatDoesNotFitItsMap) {
  Bytes good = Movie({FrameChunk(0), FrameChunk(0, false)});
  MveInfo info = Inspect(good);
  EXPECT_EQ(info.FaultCount, 0u) << Faults(info);
  EXPECT_EQ(info.Frames, 2u);
  EXPECT_EQ(info.BlocksWide, 2);
  EXPECT_EQ(info.TimerRate, 8333u);
  EXPECT_EQ(info.BlockOpcodes[14], 2u);
  EXPECT_EQ(info.BlockOpcodes[11], 2u);
  EXPECT_EQ(info.BlockOpcodes[0], 2u);
  EXPECT_EQ(info.BlockOpcodes[15], 2u);

  // The video-data opcode of the first frame chunk starts after the file header (26), the set-up
  // chunk (4 + 10 + 12 + 4), the chunk header (4), the timer (10) and the map (6).
  const uint64_t videoData = 26 + 30 + 4 + 10 + 6;
  struct Case {
    int extra;
    std::string fault;
  } cases[] = {{-1, "video data ends inside block 3 (opcode 15) of 4"},
               {-66, "video data ends inside block 1 (opcode 11) of 4"},
               {2, "video data holds 2 bytes its decoding map does not use"},
               {-81, "too short for its 14-byte header"}};
  for (const Case& c : cases) {
    MveInfo bad = Inspect(Movie({FrameChunk(c.extra)}));
    ASSERT_EQ(bad.FaultCount, 1u) << c.extra << "\n" << Faults(bad);
    EXPECT_EQ(bad.Faults[0].Offset, videoData) << c.extra;
    EXPECT_NE(bad.Faults[0].Text.find(c.fault), std::string::npos) << bad.Faults[0].Text;
  }
}

TEST(MveExaminer, OpcodesOfOtherProgramsAreReportedButNotFaults) {
  // Version 0 set-ups, an old-format video data opcode, a gradient, and opcodes no player knows.
  Bytes timer;
  Put32(timer, 5000);
  Put16(timer, 8);
  Bytes setup = Chunk(
      2, {Op(0x05, 0, Words({2, 2})), Op(0x0B, 0, {1, 2, 3}), Op(0x30, 7, {9, 9}), Op(0x01, 0)});
  Bytes sound = Chunk(0, {Op(0x03, 0, Words({0, 2, 11025, 8192})), Op(0x01, 0)});
  Bytes frame = Chunk(3, {Op(0x02, 0, timer), Op(0x06, 0, Bytes(20, 0)),
                          Op(0x08, 0,
                             [] {
                               Bytes a = Words({0, 1, 8});
                               a.resize(a.size() + 8, 0);
                               return a;
                             }()),
                          Op(0x0E, 0), Op(0x07, 0, Words({0, 0})), Op(0x01, 0)});
  MveInfo info = Inspect(Movie({setup, sound, frame}, false));
  EXPECT_EQ(info.FaultCount, 0u) << Faults(info);
  EXPECT_EQ(info.SoundBits, 16);
  EXPECT_FALSE(info.SoundCompressed);  // version 0 never compresses
  EXPECT_EQ(info.SoundSamples, 4u);
  EXPECT_EQ(info.Frames, 1u);
  EXPECT_EQ(info.Opcodes.at(0x3007), 1u);
  std::string report = FormatMveInfo(info, "game.mve");
  EXPECT_NE(report.find("30 v7   (unknown)"), std::string::npos) << report;
  EXPECT_NE(report.find("Faults: none\n"), std::string::npos) << report;
}

TEST(MveExaminer, FaultsOfOrder) {
  struct Case {
    const char* name;
    Bytes movie;
    uint64_t offset;
    std::string fault;
  } cases[] = {
      {"video data without buffers", Movie({FrameChunk(0)}, false), 26 + 4 + 10,
       "opcode 0x0F (set decoding map) before the video buffers are set"},
      {"chunk after the end of stream",
       [] {
         Bytes m = Movie({});
         Bytes extra = Chunk(3, {Op(0x01, 0)});
         m.insert(m.end() - 4, extra.begin(), extra.end());
         return m;
       }(),
       26 + 30 + 12, "frame chunk after the end of the stream"},
      {"chunk without end-of-chunk", Movie({Chunk(1, {Op(0x04, 0)})}), 26 + 30,
       "audio only chunk has no end-of-chunk opcode"},
      {"unknown chunk type", Movie({Chunk(9, {Op(0x01, 0)})}), 26 + 30, "unknown chunk type 9"},
      {"audio before its set-up", Movie({Chunk(1, {Op(0x09, 0, Words({0, 1, 4})), Op(0x01, 0)})}),
       26 + 30 + 4, "opcode 0x09 (silence frame) before the sound is set up"},
      {"palette past 255",
       Movie({Chunk(3, {Op(0x0C, 0,
                           [] {
                             Bytes p = Words({250, 10});
                             p.resize(p.size() + 30, 0);
                             return p;
                           }()),
                        Op(0x01, 0)})}),
       26 + 30 + 4, "palette of 10 entries from entry 250 runs past entry 255"},
      {"short timer", Movie({Chunk(3, {Op(0x02, 0, Words({1})), Op(0x01, 0)})}), 26 + 30 + 4,
       "opcode 0x02 (create timer) version 0 holds 2 bytes, too few"},
  };
  for (const Case& c : cases) {
    MveInfo info = Inspect(c.movie);
    ASSERT_GE(info.FaultCount, 1u) << c.name;
    EXPECT_EQ(info.Faults[0].Offset, c.offset) << c.name << "\n" << Faults(info);
    EXPECT_NE(info.Faults[0].Text.find(c.fault), std::string::npos) << c.name << "\n"
                                                                    << Faults(info);
  }
}

TEST(MveExaminer, HostileFilesStayCheap) {
  // The largest decoding map a chunk can hold (131070 blocks, all "copy"), then thousands of
  // tiny video-data opcodes that each would walk all of it.
  Bytes setup = Chunk(2, {Op(0x05, 0, Words({65527, 2})), Op(0x01, 0)});
  Bytes map = Chunk(3, {Op(0x0F, 0, Bytes(65527, 0)), Op(0x01, 0)});
  std::vector<Bytes> ops(3600, Op(0x11, 3, Words({1, 0, 0, 0, 2, 2, 1})));
  ops.push_back(Op(0x01, 0));
  Bytes pieces = Chunk(3, ops);
  Bytes movie = Movie({setup, map, pieces, pieces}, false);
  auto start = std::chrono::steady_clock::now();
  MveInfo info = Inspect(movie);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 20.0);  // a generous bound: without the walk budget this takes minutes
  EXPECT_GE(info.FaultCount, 1u);
  EXPECT_LE(info.Faults.size(), MveInfo::kMaxFaults);
  std::string report = FormatMveInfo(info, "hostile.mve");
  EXPECT_NE(report.find("video data checks stopped"), std::string::npos) << report.substr(0, 4000);

  // A file of nothing but faults keeps only the first ones, and counts the rest.
  Bytes many = Header();
  for (int i = 0; i < 5000; ++i) {
    Bytes c = Chunk(9, {Op(0x01, 0)});
    many.insert(many.end(), c.begin(), c.end());
  }
  MveInfo manyInfo = Inspect(many);
  EXPECT_EQ(manyInfo.FaultCount, 5002u);
  EXPECT_EQ(manyInfo.Faults.size(), MveInfo::kMaxFaults);
  EXPECT_NE(FormatMveInfo(manyInfo, "x").find("... and 4802 more"), std::string::npos);

  // The longest timer a file can set makes a frame last over eight years: the rates keep their
  // averages but no table of seconds is sized by it.
  Bytes slow;
  Put32(slow, 0xFFFFFFFFu);
  Put16(slow, 0xFFFF);
  Bytes frame = Chunk(3, {Op(0x02, 0, slow), Op(0x07, 1, Words({0, 0, 0})), Op(0x01, 0)});
  Bytes next = Chunk(3, {Op(0x07, 1, Words({0, 0, 0})), Op(0x01, 0)});
  MveInfo slowInfo = Inspect(Movie({frame, next, next}, false));
  ASSERT_EQ(slowInfo.Frames, 3u);
  const MveRates rates = ComputeMveRates(slowInfo);
  EXPECT_TRUE(rates.Known);
  EXPECT_TRUE(rates.PerSecond.empty());
  EXPECT_GT(rates.Average, 0);
  EXPECT_NE(FormatMveInfo(slowInfo, "slow.mve").find("Frames: 3"), std::string::npos);
}

TEST(MveExaminer, EmptyAndForeignInput) {
  MveInfo empty = MveExaminer().Inspect(nullptr, 0);
  EXPECT_FALSE(empty.HeaderValid);
  EXPECT_EQ(empty.FaultCount, 1u);
  const std::string text = "RIFF....AVI LIST";
  MveInfo avi = MveExaminer().Inspect(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  ASSERT_EQ(avi.FaultCount, 1u);
  EXPECT_EQ(avi.Faults[0].Offset, 0u);
  EXPECT_NE(FormatMveInfo(avi, "a.avi").find("Not an MVE file.\n"), std::string::npos);
}

}  // namespace
}  // namespace korvane
