// mveinfo on movies korvane writes: the report agrees with what was written, damaged copies give
// the expected fault at its offset, and the program's exit status tells them apart.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "mveinfo/examiner_test_util.h"
#include "mveinfo/mve_examiner.h"
#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane {
namespace {

using test::Faults;
using test::Inspect;

using test::CommandResult;
using test::Ffmpeg;
using test::KorvaneBinary;
using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;

using Bytes = std::vector<uint8_t>;

// Two short movies converted once per test process: 96 x 64 at 15 fps with 16-bit mono sound,
// and 64 x 48 at 10 fps with 8-bit stereo sound, converted with the old method; each also with
// "-classic".
class ConvertedMovieTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(test::ScratchDir("mveinfo"));
    const std::string d = ShellQuote(*dir_);
    ok_ = Ffmpeg(
              "-f lavfi -i testsrc=size=96x64:rate=15:duration=1 -f lavfi -i "
              "sine=frequency=440:sample_rate=22050:duration=1 -c:v mjpeg -q:v 2 -c:a "
              "pcm_s16le -ac 1 " +
              ShellQuote(*dir_ + "/mono.avi")) &&
          Ffmpeg(
              "-f lavfi -i testsrc=size=64x48:rate=10:duration=1.5 -f lavfi -i "
              "sine=frequency=300:sample_rate=11025:duration=1.5 -c:v mjpeg -q:v 2 -c:a "
              "pcm_u8 -ac 2 " +
              ShellQuote(*dir_ + "/stereo.avi"));
    if (!ok_) return;
    for (const char* args : {"mono.avi", "stereo.avi -old", "mono.avi mono_classic.mve -classic",
                             "stereo.avi stereo_classic.mve -old -classic"}) {
      CommandResult r = RunCommand("cd " + d + " && " + ShellQuote(KorvaneBinary()) + " " + args);
      if (r.status != 0) {
        ok_ = false;
        ADD_FAILURE() << args << "\n" << r.out << r.err;
      }
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "fixture movies could not be made"; }

  static std::string Path(const std::string& name) { return *dir_ + "/" + name; }
  static Bytes Mono() { return ReadFileBytes(Path("mono.mve")); }

  static std::string* dir_;
  static bool ok_;
};
std::string* ConvertedMovieTest::dir_ = nullptr;
bool ConvertedMovieTest::ok_ = false;

TEST_F(ConvertedMovieTest, ReportAgreesWithWhatWasWritten) {
  struct Expected {
    const char* file;
    int blocksWide, blocksHigh;
    uint64_t frames;
    uint32_t timerRate;
    unsigned soundRate;
    int channels, bits;
    bool compressed;
    uint64_t samples;
    bool classic;  // sound only as long as the track; otherwise every piece carries sound
  } movies[] = {{"mono.mve", 12, 8, 15, 8333, 22050, 1, 16, true, 22050, false},
                {"stereo.mve", 8, 6, 15, 12500, 11025, 2, 8, false, 16538, false},
                {"mono_classic.mve", 12, 8, 15, 8333, 22050, 1, 16, true, 22050, true},
                {"stereo_classic.mve", 8, 6, 15, 12500, 11025, 2, 8, false, 16538, true}};
  for (const Expected& e : movies) {
    SCOPED_TRACE(e.file);
    Bytes bytes = ReadFileBytes(Path(e.file));
    MveInfo info = Inspect(bytes);
    EXPECT_EQ(info.FaultCount, 0u) << Faults(info);
    EXPECT_EQ(info.BlocksWide, e.blocksWide);
    EXPECT_EQ(info.BlocksHigh, e.blocksHigh);
    EXPECT_FALSE(info.TrueColor);
    EXPECT_EQ(info.ModeWidth, 640);
    EXPECT_EQ(info.ModeHeight, 480);
    EXPECT_EQ(info.Frames, e.frames);
    EXPECT_EQ(info.TimerRate, e.timerRate);
    EXPECT_EQ(info.TimerSubdivision, 8);
    EXPECT_EQ(info.PaletteChanges, 1u);
    ASSERT_EQ(info.PaletteFrames.size(), 1u);
    EXPECT_EQ(info.PaletteFrames[0], 1u);
    EXPECT_EQ(info.SoundRate, e.soundRate);
    EXPECT_EQ(info.SoundChannels, e.channels);
    EXPECT_EQ(info.SoundBits, e.bits);
    EXPECT_EQ(info.SoundCompressed, e.compressed);
    // Classic: the soundtrack's samples, its last piece filled up with silence. Otherwise the
    // sound of every piece, silence after the track included: the second sent ahead of the
    // pictures (its pieces of trunc(rate / fps) + 1 samples, the first of the group absorbing
    // the rest) and one piece per frame after it.
    const uint64_t piece = e.soundRate * uint64_t(e.timerRate) * 8 / 1000000 + 1;
    if (e.classic) {
      EXPECT_GE(info.SoundSamples, e.samples);
      EXPECT_LT(info.SoundSamples, e.samples + piece);
      EXPECT_GT(info.SilenceFrames, info.AudioFrames);
    } else {
      const uint64_t fps = 1000000 / (uint64_t(e.timerRate) * 8);
      const uint64_t pieces = fps - 1 + e.frames;
      const uint64_t regular = e.soundRate / fps + 1;
      const uint64_t leadPiece = e.soundRate - (fps - 1) * regular;
      uint64_t expected = 0;
      for (uint64_t i = 0; i < pieces; ++i) expected += i % fps == 0 ? leadPiece : regular;
      EXPECT_EQ(info.SoundSamples, expected);
      EXPECT_EQ(info.AudioFrames, pieces);
      EXPECT_EQ(info.SilenceFrames, pieces);
    }
    EXPECT_TRUE(info.ShutdownSeen);
    EXPECT_TRUE(info.EndSeen);
    uint64_t blocks = 0;
    for (uint64_t n : info.BlockOpcodes) blocks += n;
    EXPECT_EQ(blocks, info.DecodingMaps * e.blocksWide * e.blocksHigh);
    EXPECT_EQ(info.FrameBytes.size(), e.frames);

    // The test reader sees the same chunks and opcodes.
    test::MveFile parsed;
    std::string error;
    ASSERT_TRUE(test::ParseMve(bytes, &parsed, &error)) << error;
    EXPECT_EQ(info.Chunks, parsed.Chunks.size());
    std::map<uint16_t, uint64_t> opcodes;
    for (const test::MveChunk& c : parsed.Chunks)
      for (const test::MveOpcode& o : c.Opcodes) ++opcodes[uint16_t(o.Kind << 8 | o.Version)];
    EXPECT_EQ(info.Opcodes, opcodes);
    // So does FFmpeg's MVE demuxer and its decoders.
    CommandResult probe = RunCommand(
        "ffprobe -v error -count_frames -show_entries "
        "stream=codec_type,width,height,nb_read_frames,sample_rate,channels -of compact " +
        ShellQuote(Path(e.file)));
    EXPECT_EQ(probe.status, 0) << probe.err;
    EXPECT_EQ(probe.out,
              "stream|codec_type=video|width=" + std::to_string(8 * e.blocksWide) +
                  "|height=" + std::to_string(8 * e.blocksHigh) +
                  "|nb_read_frames=" + std::to_string(info.Frames) +
                  "\nstream|codec_type=audio|sample_rate=" + std::to_string(e.soundRate) +
                  "|channels=" + std::to_string(e.channels) +
                  "|nb_read_frames=" + std::to_string(info.AudioFrames) + "\n");
    uint64_t frameBytes = 0;
    for (uint32_t n : info.FrameBytes) frameBytes += n;
    EXPECT_EQ(frameBytes, bytes.size() - 26 - 12 - 4);  // all but the header and closing chunks
  }

  std::string report = FormatMveInfo(Inspect(Mono()), "mono.mve");
  for (const char* line :
       {"Video: 96 x 64 pixels (12 x 8 blocks), 8-bit palette\n",
        "    mode: 640 x 480, flags 0101\n",
        "Frames: 15 at 15.001 fps (timer 8333 x 8 = 66664 us per frame), 1.000 s\n",
        "Palette changes: 1, at frame 1\n", "Sound: 22050 Hz, mono, 16-bit, compressed (DPCM)\n",
        "    hint: some players play mono DPCM as noise; korvane -stereo writes two channels\n",
        "Bytes per second: ", "Decoding maps: 15, 1440 blocks\n", "Faults: none\n"})
    EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
  // 8-bit sound gets its own hint, and the hints come only with those formats.
  report = FormatMveInfo(Inspect(ReadFileBytes(Path("stereo.mve"))), "stereo.mve");
  EXPECT_NE(report.find("Sound: 11025 Hz, stereo, 8-bit, uncompressed\n"
                        "    hint: some players mis-play 8-bit PCM; korvane -dpcm writes 16-bit "
                        "DPCM\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("mono DPCM"), std::string::npos) << report;
}

// Where things are in the mono movie, for the damage table.
struct Layout {
  size_t frameChunk = 0;  // offset of the second frame chunk
  size_t videoData = 0;   // offset of its video-data opcode
  size_t shutdown = 0;    // offset of the shutdown chunk
  uint16_t frameLength = 0;
};

Layout Locate(const Bytes& bytes) {
  test::MveFile file;
  std::string error;
  Layout at;
  if (!test::ParseMve(bytes, &file, &error)) return at;
  int frames = 0;
  for (const test::MveChunk& c : file.Chunks) {
    if (c.Type == 3 && ++frames == 2) {
      at.frameChunk = c.Offset;
      at.frameLength = c.Length;
      for (const test::MveOpcode& o : c.Opcodes)
        if (o.Kind == 0x11) at.videoData = o.Offset;
    }
    if (c.Type == 4) at.shutdown = c.Offset;
  }
  return at;
}

TEST_F(ConvertedMovieTest, DamagedCopiesReportTheirFault) {
  const Bytes good = Mono();
  const Layout at = Locate(good);
  ASSERT_NE(at.frameChunk, 0u);
  ASSERT_NE(at.videoData, 0u);
  ASSERT_NE(at.shutdown, 0u);

  auto cut = [&good](size_t size) { return Bytes(good.begin(), good.begin() + size); };
  auto with = [&good](size_t offset, std::initializer_list<uint8_t> values) {
    Bytes b = good;
    for (uint8_t v : values) b[offset++] = v;
    return b;
  };
  const uint16_t longer = at.frameLength + 1, shorter = at.frameLength - 1;
  // The video set-up chunk (offset 26) holds the video mode (30) and then the video buffers
  // (40); its width in blocks sits at 44.
  struct Case {
    const char* name;
    Bytes bytes;
    uint64_t offset;
    std::string fault;
  } cases[] = {
      {"empty", {}, 0, "not an MVE file"},
      {"cut in the header", cut(10), 10, "the file ends inside its 26-byte header"},
      {"bad signature", with(3, {'X'}), 0, "not an MVE file"},
      {"bad header word", with(24, {0x34}), 24, "file header word is 1134, expected 1133"},
      {"cut in a chunk header", cut(at.frameChunk + 2), at.frameChunk,
       "the file ends inside a chunk header (2 bytes left)"},
      {"cut in a chunk", cut(at.frameChunk + 20), at.frameChunk,
       "frame chunk of " + std::to_string(at.frameLength) +
           " bytes is cut short: the file ends after 16 of them"},
      {"cut before the shutdown", cut(at.shutdown), at.shutdown,
       "no shutdown chunk (type 4) ends the stream"},
      {"cut before the end chunk", cut(good.size() - 4), good.size() - 4,
       "no end chunk (type 5) closes the file"},
      {"trailing bytes",
       [&good] {
         Bytes b = good;
         b.insert(b.end(), {1, 2, 3});
         return b;
       }(),
       good.size(), "3 trailing bytes after the end chunk"},
      {"chunk length one more", with(at.frameChunk, {uint8_t(longer), uint8_t(longer >> 8)}),
       at.frameChunk + 4 + at.frameLength,
       "chunk length " + std::to_string(longer) +
           " does not match its opcodes: 1 bytes follow the end-of-chunk opcode"},
      {"chunk length one less", with(at.frameChunk, {uint8_t(shorter), uint8_t(shorter >> 8)}),
       at.frameChunk + 4 + at.frameLength - 4,
       "chunk length " + std::to_string(shorter) +
           " does not match its opcodes: 3 bytes left over, too few for an opcode"},
      {"opcode past its chunk", with(at.videoData, {0xFF, 0xFF}), at.videoData,
       "opcode 0x11 (video data) of 65535 bytes runs past the end of its chunk"},
      {"map too small for the buffers", with(44, {13}), 0,
       "decoding map of 48 bytes, but video buffers of 13 x 8 blocks need 52"},
      {"video buffers never set", with(42, {0x13}), 0,
       "opcode 0x0F (set decoding map) before the video buffers are set"},
      {"unknown chunk type", with(at.frameChunk + 2, {7}), at.frameChunk, "unknown chunk type 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MveInfo info = Inspect(c.bytes);
    ASSERT_GE(info.FaultCount, 1u);
    bool found = false;
    for (const MveFault& f : info.Faults)
      if (f.Text.find(c.fault) != std::string::npos && (c.offset == 0 || f.Offset == c.offset))
        found = true;
    EXPECT_TRUE(found) << "expected at " << c.offset << ": " << c.fault << "\n" << Faults(info);
    EXPECT_FALSE(FormatMveInfo(info, c.name).empty());
  }
}

TEST_F(ConvertedMovieTest, ByteFlipsNeverCrashAndBrokenChunkLengthsAreFound) {
  const Bytes good = Mono();
  test::MveFile file;
  std::string error;
  ASSERT_TRUE(test::ParseMve(good, &file, &error)) << error;

  // Any single-bit change of any chunk length breaks the file's structure.
  for (const test::MveChunk& c : file.Chunks)
    for (int bit = 0; bit < 16; ++bit) {
      Bytes b = good;
      b[c.Offset + bit / 8] ^= uint8_t(1 << (bit % 8));
      MveInfo info = Inspect(b);
      EXPECT_GE(info.FaultCount, 1u) << "chunk at " << c.Offset << ", bit " << bit;
    }

  // Random flips anywhere: always a report, never a crash (the sanitizer build watches).
  std::mt19937 random(20040919);
  for (int round = 0; round < 300; ++round) {
    Bytes b = good;
    int flips = 1 + int(random() % 8);
    for (int i = 0; i < flips; ++i) b[random() % b.size()] ^= uint8_t(1 << (random() % 8));
    size_t keep = round % 3 == 0 ? random() % b.size() : b.size();
    b.resize(keep);
    MveInfo info = Inspect(b);
    std::string report = FormatMveInfo(info, "flipped.mve");
    EXPECT_NE(report.find("Faults: "), std::string::npos);
    if (keep < good.size()) {
      EXPECT_GE(info.FaultCount, 1u) << "cut at " << keep;
    }
  }
}

#ifdef MVEINFO_BINARY
CommandResult MveInfoProgram(const std::string& args) {
  return RunCommand(ShellQuote(MVEINFO_BINARY) + " " + args);
}

TEST_F(ConvertedMovieTest, ProgramExitStatus) {
  {
    CommandResult r = MveInfoProgram(ShellQuote(Path("mono.mve")));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Faults: none\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
  {
    Bytes good = Mono();
    std::string cutPath = Path("cut.mve");
    FILE* f = fopen(cutPath.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(good.data(), 1, good.size() / 2, f);
    fclose(f);
    CommandResult r = MveInfoProgram(ShellQuote(cutPath));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Video: 96 x 64 pixels"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("is cut short"), std::string::npos) << r.out;
  }
  {
    CommandResult r = MveInfoProgram(ShellQuote(Path("missing.mve")));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(
        r.err.find("mveinfo: cannot open `" + Path("missing.mve") + "': No such file or directory"),
        std::string::npos)
        << r.err;
  }
  {
    CommandResult r = MveInfoProgram(ShellQuote(*dir_));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("it is a directory"), std::string::npos) << r.err;
  }
  for (const char* args : {"", "a.mve b.mve"}) {
    CommandResult r = MveInfoProgram(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("Usage: mveinfo FILE.mve"), std::string::npos) << r.err;
  }
  CommandResult help = MveInfoProgram("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: mveinfo FILE.mve"), std::string::npos);
}
#endif

}  // namespace
}  // namespace korvane
