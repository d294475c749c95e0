// mveinfo's exports: the frames it writes are what the test reader's player shows, and where
// there are no split frames what FFmpeg decodes, pixel for pixel; the WAV holds FFmpeg's sound
// sample for sample (then the silence the movie declares), DPCM wrapping as players do; the
// contact sheet is a PNG FFmpeg reads, whose bars are mveinfo's own bytes per second; and any
// file, however large, is read in bounded memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "mveinfo/contact_sheet.h"
#include "mveinfo/examiner_test_util.h"
#include "mveinfo/mve_examiner.h"
#include "support/fixtures.h"
#include "support/mve_reader.h"

#ifdef MVEINFO_BINARY

namespace korvane {
namespace {

using test::CommandResult;
using test::Ffmpeg;
using test::ReadFileBytes;
using test::RunCommand;
using test::ShellQuote;

using Bytes = std::vector<uint8_t>;

CommandResult MveInfo(const std::string& args) {
  return RunCommand(ShellQuote(MVEINFO_BINARY) + " " + args);
}

// Raw RGB frames of `path` (a movie or a numbered PNG pattern) as FFmpeg decodes them.
Bytes FfmpegRgb(const std::string& input, const std::string& out) {
  if (!Ffmpeg("-i " + ShellQuote(input) + " -f rawvideo -pix_fmt rgb24 " + ShellQuote(out)))
    return {};
  return ReadFileBytes(out);
}

// The frames the test reader's player shows, as RGB.
Bytes DecodedRgb(const test::DecodedMovie& movie) {
  Bytes rgb;
  for (size_t f = 0; f < movie.Frames.size(); ++f)
    for (uint8_t index : movie.Frames[f])
      for (int c = 0; c < 3; ++c) {
        const uint8_t v = movie.Palettes[f][3 * index + c];
        rgb.push_back(uint8_t((v << 2) | (v >> 4)));
      }
  return rgb;
}

std::vector<int16_t> Samples(const Bytes& bytes, size_t from) {
  std::vector<int16_t> s;
  for (size_t i = from; i + 1 < bytes.size(); i += 2)
    s.push_back(int16_t(bytes[i] | (bytes[i + 1] << 8)));
  return s;
}

class ExportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(test::ScratchDir("mveinfo_export"));
    const std::string d = ShellQuote(*dir_);
    // Motion and a 16-bit tone; noise that the old method must split; 8-bit stereo sound.
    ok_ = Ffmpeg(
              "-f lavfi -i testsrc=size=128x96:rate=10:duration=2 -f lavfi -i "
              "sine=frequency=440:sample_rate=22050:duration=2 -c:v mjpeg -q:v 2 -c:a "
              "pcm_s16le -ac 1 " +
              ShellQuote(*dir_ + "/motion.avi")) &&
          Ffmpeg("-f lavfi -i " +
                 ShellQuote("nullsrc=size=320x240:rate=5:duration=1,format=gray,"
                            "geq=lum=random(1)*255") +
                 " -c:v ffv1 " + ShellQuote(*dir_ + "/noise.mkv")) &&
          Ffmpeg(
              "-f lavfi -i testsrc=size=64x48:rate=10:duration=1.5 -f lavfi -i "
              "sine=frequency=300:sample_rate=11025:duration=1.5 -c:v mjpeg -q:v 2 -c:a "
              "pcm_u8 -ac 2 " +
              ShellQuote(*dir_ + "/stereo8.avi"));
    if (!ok_) return;
    for (const char* args :
         {"motion.avi default.mve", "motion.avi old.mve -old", "motion.avi hq.mve -hq",
          "noise.mkv split.mve -old", "stereo8.avi stereo8.mve"}) {
      CommandResult r =
          RunCommand("cd " + d + " && " + ShellQuote(test::KorvaneBinary()) + " " + args);
      if (r.status != 0) {
        ok_ = false;
        ADD_FAILURE() << args << "\n" << r.out << r.err;
      }
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "fixture movies could not be made"; }

  static std::string Path(const std::string& name) { return *dir_ + "/" + name; }

  static std::string* dir_;
  static bool ok_;
};
std::string* ExportTest::dir_ = nullptr;
bool ExportTest::ok_ = false;

TEST_F(ExportTest, FramesAndSoundAreWhatTheGameShows) {
  struct Case {
    const char* movie;
    bool split;  // FFmpeg cannot show its split frames as players do
  };
  for (const Case& c : {Case{"default.mve", false}, Case{"old.mve", false}, Case{"hq.mve", false},
                        Case{"split.mve", true}, Case{"stereo8.mve", false}}) {
    SCOPED_TRACE(c.movie);
    const std::string movie = Path(c.movie), frames = Path(std::string(c.movie) + ".frames"),
                      wav = Path(std::string(c.movie) + ".wav");
    CommandResult r = MveInfo("--frames " + ShellQuote(frames) + " --wav " + ShellQuote(wav) + " " +
                              ShellQuote(movie));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const korvane::MveInfo info = test::Inspect(ReadFileBytes(movie));
    EXPECT_NE(r.out.find("Frames written: " + std::to_string(info.Frames) + " to "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(info.VideoDataPieces > info.Frames, c.split);

    test::MveFile parsed;
    test::DecodedMovie decoded;
    std::string error;
    ASSERT_TRUE(test::ReadMveFile(movie, &parsed, &error)) << error;
    ASSERT_TRUE(test::DecodeMovie(parsed, &decoded, &error)) << error;
    ASSERT_EQ(decoded.Frames.size(), info.Frames);
    const Bytes exported = FfmpegRgb(frames + "/frame_%06d.png", frames + ".rgb");
    const Bytes expected = DecodedRgb(decoded);
    ASSERT_EQ(exported.size(), expected.size());
    EXPECT_TRUE(exported == expected) << "the PNGs differ from the player's frames";
    if (!c.split) {
      EXPECT_TRUE(exported == FfmpegRgb(movie, frames + ".ffmpeg.rgb"))
          << "the PNGs differ from FFmpeg's decode";
    }

    // The WAV: 16-bit at the movie's rate and channels, FFmpeg's decode of the sound, then the
    // silence frames that close the soundtrack; empty for a movie without sound.
    const Bytes w = ReadFileBytes(wav);
    ASSERT_GE(w.size(), 44u);
    EXPECT_EQ(std::string(w.begin(), w.begin() + 4), "RIFF");
    if (!info.SoundSet) {
      EXPECT_EQ(w.size(), 44u);
      continue;
    }
    EXPECT_EQ(test::Le16(&w[22]), info.SoundChannels);
    EXPECT_EQ(test::Le32(&w[24]), info.SoundRate);
    EXPECT_EQ(test::Le16(&w[34]), 16);
    EXPECT_EQ(test::Le32(&w[40]), w.size() - 44);
    const std::vector<int16_t> sound = Samples(w, 44);
    ASSERT_TRUE(
        Ffmpeg("-i " + ShellQuote(movie) + " -map 0:a -f s16le " + ShellQuote(wav + ".raw")));
    const std::vector<int16_t> ffmpeg = Samples(ReadFileBytes(wav + ".raw"), 0);
    ASSERT_EQ(sound.size(),
              (info.SoundSamples + info.SilentSamples) * uint64_t(info.SoundChannels));
    ASSERT_EQ(ffmpeg.size(), info.SoundSamples * uint64_t(info.SoundChannels));
    EXPECT_TRUE(std::equal(ffmpeg.begin(), ffmpeg.end(), sound.begin()));
    for (size_t i = ffmpeg.size(); i < sound.size(); ++i) ASSERT_EQ(sound[i], 0) << i;
  }
}

// A hand-made movie of one audio frame whose DPCM steps run past 32767 and below -32768: the
// WAV wraps as players do (FFmpeg clips). The movie has no closing chunks: mveinfo exports what
// it can read and reports the faults with status 1.
TEST_F(ExportTest, DpcmWrapsAndADamagedMovieStillExports) {
  Bytes movie = {'I', 'n', 't', 'e', 'r', 'p',  'l', 'a',  'y', ' ', 'M', 'V',  'E',
                 ' ', 'F', 'i', 'l', 'e', 0x1A, 0,   0x1A, 0,   0,   1,   0x33, 0x11};
  // Audio set-up chunk: opcode 03 version 1, 16-bit mono compressed at 22050 Hz.
  const Bytes setup = {0x10, 0, 0,    0,    0x0A, 0,    0x03, 0x01, 0,    0,
                       0x06, 0, 0x22, 0x56, 0x00, 0x10, 0x00, 0,    0x01, 0};
  movie.insert(movie.end(), setup.begin(), setup.end());
  // Audio-only chunk of 20 bytes: opcode 08, sequence 0, stream 0, 10 bytes of sound (5 samples):
  // the first sample 32000, then the codes 0x6A (step 10472) twice, 0x7F (65535, a step of -1
  // as a 16-bit number) and 0x81 (-65535, a step of +1).
  const Bytes audio = {0x14, 0, 1, 0,    0x0C, 0,    0x08, 0x00, 0, 0, 1,    0,
                       10,   0, 0, 0x7D, 0x6A, 0x6A, 0x7F, 0x81, 0, 0, 0x01, 0};
  movie.insert(movie.end(), audio.begin(), audio.end());
  const std::string path = Path("wrap.mve"), wav = Path("wrap.wav");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(movie.data(), 1, movie.size(), f);
  fclose(f);
  CommandResult r = MveInfo("--wav " + ShellQuote(wav) + " " + ShellQuote(path));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("no shutdown chunk"), std::string::npos) << r.out;
  const std::vector<int16_t> sound = Samples(ReadFileBytes(wav), 44);
  // 32000 + 10472 wraps to -23064, + 10472 = -12592, - 1 = -12593, + 1 = -12592.
  EXPECT_EQ(sound, (std::vector<int16_t>{32000, -23064, -12592, -12593, -12592}));
}

// A real-size movie: the sheet is a PNG FFmpeg reads, of the size its layout gives, and every
// bar of the graph is as high as mveinfo's own bytes for that second; the average and peak
// lines sit at the figures the report prints.
TEST_F(ExportTest, SheetShowsMveinfosOwnFigures) {
  const std::string source = Path("real.avi"), movie = Path("real.mve"),
                    sheet = Path("real_sheet.png");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=640x480:rate=10:duration=3 -c:v mjpeg -q:v 3 " +
                     ShellQuote(source)));
  CommandResult k = RunCommand(ShellQuote(test::KorvaneBinary()) + " " + ShellQuote(source) + " " +
                               ShellQuote(movie) + " -ns");
  ASSERT_EQ(k.status, 0) << k.out;
  CommandResult r = MveInfo("--sheet " + ShellQuote(sheet) + " --source " + ShellQuote(source) +
                            " " + ShellQuote(movie));
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  const korvane::MveInfo info = test::Inspect(ReadFileBytes(movie));
  const MveRates rates = ComputeMveRates(info);
  const SheetLayout layout = LayoutSheet(info, rates, 640, 480);
  EXPECT_NE(r.out.find("Sheet written: " + std::to_string(layout.Width) + " x " +
                       std::to_string(layout.Height)),
            std::string::npos)
      << r.out;
  // The report's figures are the graph's.
  char line[128];
  snprintf(line, sizeof line, "Bytes per second: %.0f average, %.0f peak", rates.Average,
           rates.Peak);
  EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
  // The bytes of each second, counted here from the chunks: everything up to a frame's
  // send-buffer opcode belongs to that frame.
  test::MveFile parsed;
  std::string error;
  ASSERT_TRUE(test::ParseMve(ReadFileBytes(movie), &parsed, &error)) << error;
  std::vector<uint64_t> perSecond;
  uint64_t pending = 0, frame = 0, total = 0;
  for (const test::MveChunk& c : parsed.Chunks) {
    if (c.Type == 4 || c.Type == 5) continue;
    pending += 4 + c.Length;
    if (!c.Find(0x07)) continue;
    const size_t second =
        size_t(frame++ * uint64_t(info.TimerRate) * info.TimerSubdivision / 1000000);
    if (second >= perSecond.size()) perSecond.resize(second + 1);
    perSecond[second] += pending;
    total += pending;
    pending = 0;
  }
  EXPECT_EQ(perSecond, rates.PerSecond);
  EXPECT_EQ(perSecond.size(), 3u);
  EXPECT_NEAR(rates.Average, double(total) / rates.Seconds, 1e-6);

  // FFmpeg reads the sheet at the size the layout gives.
  CommandResult probe = RunCommand(
      "ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + ShellQuote(sheet));
  EXPECT_EQ(probe.out, std::to_string(layout.Width) + "," + std::to_string(layout.Height) + "\n");
  const Bytes rgb = FfmpegRgb(sheet, sheet + ".rgb");
  ASSERT_EQ(rgb.size(), size_t(layout.Width) * layout.Height * 3);
  auto pixel = [&](int x, int y) {
    const uint8_t* p = &rgb[3 * (size_t(y) * layout.Width + x)];
    return std::array<uint8_t, 3>{p[0], p[1], p[2]};
  };
  const int bottom = layout.GraphY + layout.GraphHeight - 1;
  const size_t n = perSecond.size();
  for (size_t s = 0; s < n; ++s) {
    // Measured in the middle of the bar: its highest pixel, unless a line covers the top.
    const int x = layout.GraphX + int((2 * s + 1) * size_t(layout.GraphWidth) / (2 * n));
    int height = 0;
    for (int h = 1; h <= layout.GraphHeight; ++h)
      if (pixel(x, bottom + 1 - h) == SheetColours::kBar) height = h;
    const int expected = SheetBarHeight(layout, double(perSecond[s]));
    EXPECT_LE(height, expected) << "second " << s;
    for (int h = height + 1; h <= expected; ++h) {
      const std::array<uint8_t, 3> p = pixel(x, bottom + 1 - h);
      EXPECT_TRUE(p == SheetColours::kAverage || p == SheetColours::kPeak ||
                  p == SheetColours::kPsnr)
          << "second " << s << ": the bar is " << height << " pixels high, expected " << expected;
    }
  }
  // The average and peak lines run across the graph; the PSNR marks, drawn over them, cover
  // them where they cross (a movie of even quality may cover a line whole).
  auto expectLine = [&](int y, const std::array<uint8_t, 3>& colour, const char* name) {
    for (int x = layout.GraphX; x < layout.GraphX + layout.GraphWidth; ++x) {
      const std::array<uint8_t, 3> p = pixel(x, y);
      EXPECT_TRUE(p == colour || p == SheetColours::kPsnr) << name << " line at x " << x;
    }
  };
  expectLine(bottom + 1 - SheetBarHeight(layout, rates.Average) - 1, SheetColours::kAverage,
             "average");
  expectLine(bottom + 1 - SheetBarHeight(layout, rates.Peak) - 1, SheetColours::kPeak, "peak");
  // The PSNR against the source, per second.
  double psnr = 0;
  const size_t at = r.out.find("PSNR against the source: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  psnr = atof(r.out.c_str() + at + 25);
  EXPECT_GT(psnr, 25.0);
  EXPECT_LT(psnr, 99.0);
}

// Exports that cannot be made end with status 2 and a reason on standard error, after the
// report; an unusable command line gives the usage text.
TEST_F(ExportTest, ExportsThatCannotBeMadeEndWithStatus2) {
  const std::string movie = ShellQuote(Path("default.mve"));
  const std::string file = Path("default.mve");  // a file where a folder would be needed
  struct Case {
    std::string args;
    const char* err;  // expected in standard error
    bool report;      // the report is printed
  };
  const Case cases[] = {
      {"--frames " + ShellQuote(file + "/frames") + " " + movie, "cannot create", true},
      {"--wav " + ShellQuote(Path("missing/a.wav")) + " " + movie, "cannot write", true},
      {"--sheet " + ShellQuote(Path("missing/a.png")) + " " + movie, "cannot write", true},
      {"--wav " + ShellQuote(Path("pipe.wav")) + " /dev/stdin < /dev/null", "", false},
      {"--sheet " + ShellQuote(Path("s.png")) + " --source " + ShellQuote(Path("none.avi")) + " " +
           movie,
       "cannot read the source", true},
      {"--source " + ShellQuote(Path("motion.avi")) + " " + movie, "Usage: mveinfo", false},
      {"--frames " + movie, "Usage: mveinfo", false},
      {"--bogus " + movie, "Usage: mveinfo", false},
  };
  for (const Case& c : cases) {
    CommandResult r = MveInfo(c.args);
    EXPECT_EQ(r.status, 2) << c.args << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out.find("Faults: none") != std::string::npos, c.report) << c.args;
  }
  CommandResult version = MveInfo("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("mveinfo " KORVANE_VERSION "\nlibavformat ", 0), 0u) << version.out;
  // A pipe holds the movie only once: the exports say so.
  CommandResult piped = RunCommand("cat " + movie + " | " + ShellQuote(MVEINFO_BINARY) + " --wav " +
                                   ShellQuote(Path("pipe.wav")) + " /dev/stdin");
  EXPECT_EQ(piped.status, 2) << piped.out << piped.err;
  EXPECT_NE(piped.err.find("is not a regular file"), std::string::npos) << piped.err;
  EXPECT_NE(piped.out.find("Faults: none"), std::string::npos) << piped.out;
}

// Peak resident memory of one mveinfo run, from GNU time, in kilobytes; -1 when unknown.
long PeakKilobytes(const std::string& args, int* status) {
  CommandResult r = RunCommand("/usr/bin/time -f 'peak %M' " + ShellQuote(MVEINFO_BINARY) + " " +
                               args + " >/dev/null");
  const size_t at = r.err.rfind("peak ");
  // GNU time reports the program's status as its own, unless the program was killed.
  *status = r.status;
  return at == std::string::npos ? -1 : atol(r.err.c_str() + at + 5);
}

// Any input stays in bounded memory and ends with a documented status: a device of endless
// zeros (not an MVE file: 2), and a movie of over 3 GB, sparse on disk, whose frame chunks each
// hold a 64 KiB opcode mveinfo does not know (sound: 0).
TEST_F(ExportTest, AnyFileIsReadInBoundedMemory) {
  const Bytes good = ReadFileBytes(Path("default.mve"));
  ASSERT_GT(good.size(), 100u);
  const std::string big = Path("big.mve");
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  // The movie without its closing chunks (the shutdown chunk of 8 bytes, the end chunk of 4).
  const size_t body = good.size() - 12 - 4;
  ASSERT_EQ(write(fd, good.data(), body), ssize_t(body));
  off_t at = off_t(body);
  const int chunks = 50000;
  for (int i = 0; i < chunks; ++i) {
    // A frame chunk of 65535 bytes: an unknown opcode 0x13 of 65519 bytes (a hole), a
    // send-buffer opcode and the end-of-chunk opcode.
    const uint8_t head[8] = {0xFF, 0xFF, 3, 0, 0xEF, 0xFF, 0x13, 0};
    const uint8_t tail[12] = {4, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x01, 0};
    ASSERT_EQ(pwrite(fd, head, 8, at), 8);
    ASSERT_EQ(pwrite(fd, tail, 12, at + 8 + 65519), 12);
    at += 4 + 65535;
  }
  ASSERT_EQ(pwrite(fd, good.data() + body, 16, at), 16);
  close(fd);

  int status = -1;
  const long zero = PeakKilobytes("/dev/zero", &status);
  EXPECT_EQ(status, 2);
  const long large = PeakKilobytes(ShellQuote(big), &status);
  EXPECT_EQ(status, 0);
  ASSERT_GT(zero, 0);
  ASSERT_GT(large, 0);
  // Reading 3 GB costs hardly more than reading nothing (the libraries and, in a sanitizer
  // build, the sanitizers' own tables make the rest).
  EXPECT_LT(large - zero, 8 * 1024) << large << " KB against " << zero << " KB";
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(zero, 64 * 1024);
  EXPECT_LT(large, 64 * 1024) << "kilobytes at the peak";
#endif
  CommandResult r = MveInfo(ShellQuote(big));
  const korvane::MveInfo small = test::Inspect(good);
  EXPECT_NE(r.out.find("Frames: " + std::to_string(small.Frames + chunks) + " at"),
            std::string::npos)
      << r.out.substr(0, 600);
  unlink(big.c_str());
}

}  // namespace
}  // namespace korvane

#endif
