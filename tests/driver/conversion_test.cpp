// The program end to end: movies made with the ffmpeg tool, converted by korvane, read back with
// the test reader and decoded with FFmpeg's own MVE decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

// Runs korvane in `dir` with the given arguments (already quoted where needed).
CommandResult Korvane(const std::string& dir, const std::string& args) {
  return RunCommand("cd " + ShellQuote(dir) + " && " + ShellQuote(KorvaneBinary()) + " " + args);
}

// A short test-pattern movie with a tone, made once per test suite.
class ConversionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(ScratchDir("conversion"));
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc=size=96x64:rate=15:duration=2 -f lavfi -i "
               "sine=frequency=440:sample_rate=22050:duration=2 -c:v mjpeg -q:v 2 -c:a "
               "pcm_s16le -ac 1 " +
               ShellQuote(*dir_ + "/movie.avi")));
  }
  static void TearDownTestSuite() { delete dir_; }
  static const std::string& Dir() { return *dir_; }
  static std::string* dir_;
};
std::string* ConversionTest::dir_ = nullptr;

// Frames FFmpeg decodes from an MVE file, as RGB24.
std::vector<std::vector<uint8_t>> FfmpegFrames(const std::string& mve, int width, int height) {
  std::string raw = mve + ".rgb";
  std::vector<std::vector<uint8_t>> frames;
  if (!Ffmpeg("-i " + ShellQuote(mve) + " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 " +
              ShellQuote(raw)))
    return frames;
  std::vector<uint8_t> bytes = ReadFileBytes(raw);
  size_t frameBytes = size_t(width) * height * 3;
  for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes)
    frames.emplace_back(bytes.begin() + at, bytes.begin() + at + frameBytes);
  return frames;
}

// What our own decoder shows for every frame, as RGB24 with 6-bit palette components widened
// the way players do.
std::vector<std::vector<uint8_t>> OwnFrames(const std::string& mve) {
  std::vector<std::vector<uint8_t>> frames;
  MveFile file;
  DecodedMovie movie;
  std::string error;
  if (!ReadMveFile(mve, &file, &error) || !DecodeMovie(file, &movie, &error)) {
    ADD_FAILURE() << error;
    return frames;
  }
  for (size_t f = 0; f < movie.Frames.size(); ++f) {
    std::vector<uint8_t> rgb;
    rgb.reserve(movie.Frames[f].size() * 3);
    for (uint8_t index : movie.Frames[f])
      for (int c = 0; c < 3; ++c) {
        uint8_t v = movie.Palettes[f][3 * index + c];
        rgb.push_back(uint8_t((v << 2) | (v >> 4)));
      }
    frames.push_back(std::move(rgb));
  }
  return frames;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  double mse = sum / double(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST_F(ConversionTest, TestRunPrintsFactsAndWritesNothing) {
  std::string dir = ScratchDir("conversion-test-run");
  CommandResult r = Korvane(dir, ShellQuote(Dir() + "/movie.avi") + " -test");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("KORVANE beta (2004/09/19)\nInput video stream info:\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("    width: 96   height: 64\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n\nTest run. Processing is skipped.\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(ConversionTest, StopsWithErrors) {
  std::string dir = ScratchDir("conversion-errors");
  std::string movie = ShellQuote(Dir() + "/movie.avi");
  {
    CommandResult r = Korvane(dir, "missing.avi");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error: Input movie doesn't exist: `missing.avi'\n"), std::string::npos);
  }
  {
    CommandResult r = Korvane(dir, movie + " -p nothere.pal");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error: Input palette doesn't exist: `nothere.pal'\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Input video stream info"), std::string::npos) << "opened the movie";
  }
  {
    std::ofstream(dir + "/bad.pal") << "pal\r\n1\r\n  1   2   3\r\n";
    CommandResult r = Korvane(dir, movie + " out.mve -p bad.pal");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error: Invalid palette file: `bad.pal'\n"), std::string::npos) << r.out;
  }
  {
    CommandResult r = Korvane(dir, movie + " no/such/dir/out.mve -len 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error: Cannot write `no/such/dir/out.pal': No such file or directory\n"),
              std::string::npos)
        << r.out;
  }
  {
    CommandResult r = Korvane(dir, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "KORVANE beta (2004/09/19)\n");
    EXPECT_NE(r.err.find("Usage:\tkorvane.exe movie.avi"), std::string::npos);
  }
  EXPECT_FALSE(FileExists(dir + "/out.mve"));
  EXPECT_FALSE(FileExists(dir + "/movie.mve"));
}

TEST_F(ConversionTest, BadInputStopsWithAClearMessage) {
  std::string dir = ScratchDir("conversion-bad-input");
  std::ofstream(dir + "/empty.avi");
  std::ofstream(dir + "/notes.avi") << "This is not a movie.\n";
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=duration=1 " + ShellQuote(dir + "/sound.wav")));
  std::vector<uint8_t> movie = ReadFileBytes(Dir() + "/movie.avi");
  std::ofstream(dir + "/cut.avi", std::ios::binary)
      .write(reinterpret_cast<const char*>(movie.data()), std::streamsize(movie.size() / 3));
  for (const char* name : {"empty.avi", "notes.avi", "sound.wav"}) {
    CommandResult r = Korvane(dir, name);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.out.find("Error: Error opening video stream: "), std::string::npos)
        << name << r.out;
  }
  // A truncated movie converts the frames it really holds, or stops with a message.
  CommandResult cut = Korvane(dir, "cut.avi -ns");
  EXPECT_TRUE(cut.status == 0 || (cut.status == 1 && cut.out.find("Error: ") != std::string::npos))
      << cut.out;
  if (cut.status == 0) {
    MveFile file;
    std::string error;
    EXPECT_TRUE(ReadMveFile(dir + "/cut.mve", &file, &error)) << error;
  }
}

TEST_F(ConversionTest, NamesWithSpacesAndNonAsciiCharacters) {
  std::string dir = ScratchDir("conversion-names");
  fs::copy_file(Dir() + "/movie.avi", dir + "/my clip \xc3\xa9t\xc3\xa9.avi");
  CommandResult r = Korvane(dir, ShellQuote("my clip \xc3\xa9t\xc3\xa9.avi") + " -len 3");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(FileExists(dir + "/my clip \xc3\xa9t\xc3\xa9.mve"));
  EXPECT_TRUE(FileExists(dir + "/my clip \xc3\xa9t\xc3\xa9.pal"));
}

TEST_F(ConversionTest, PictureSizeLimit) {
  std::string dir = ScratchDir("conversion-size");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=641x8:rate=5:duration=0.2 -c:v ffv1 -pix_fmt bgr0 " +
                     ShellQuote(dir + "/wide.avi")));
  ASSERT_TRUE(
      Ffmpeg("-f lavfi -i testsrc=size=633x475:rate=5:duration=0.2 -c:v ffv1 -pix_fmt bgr0 " +
             ShellQuote(dir + "/fits.avi")));
  CommandResult wide = Korvane(dir, "wide.avi");
  EXPECT_EQ(wide.status, 1);
  EXPECT_NE(wide.out.find("\nYour movie is too large. The limit is 640x480 pixels.\n"),
            std::string::npos)
      << wide.out;
  CommandResult fits = Korvane(dir, "fits.avi -test");
  EXPECT_EQ(fits.status, 0) << fits.out;
  EXPECT_FALSE(FileExists(dir + "/wide.mve"));
}

TEST_F(ConversionTest, SoundPiecesTooLargeStopBeforeOutput) {
  std::string dir = ScratchDir("conversion-slow");
  // One frame per second with 48000 Hz stereo: a piece of 96000 samples cannot fit a chunk.
  ASSERT_TRUE(
      Ffmpeg("-f lavfi -i testsrc=size=32x16:rate=1:duration=3 -f lavfi -i "
             "sine=sample_rate=48000:duration=3 -ac 2 -c:v ffv1 -c:a pcm_s16le " +
             ShellQuote(dir + "/slow.avi")));
  CommandResult r = Korvane(dir, "slow.avi");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Error: Sound pieces exceed 65535 bytes at this frame rate; use -ns or a "
                       "movie of a higher frame rate\n"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(FileExists(dir + "/slow.mve"));
  EXPECT_FALSE(FileExists(dir + "/slow.pal"));
  CommandResult silent = Korvane(dir, "slow.avi -ns");
  EXPECT_EQ(silent.status, 0) << silent.out;
}

// Both methods: the run's lines, the file's structure, and FFmpeg decoding every frame exactly as
// our own decoder does, close to the source picture.
TEST_F(ConversionTest, ConvertsWithSoundByBothMethods) {
  for (std::string method :
       {"", "-dither", "-classic", "-old", "-hq -dither -threads 2", "-old -dither"}) {
    SCOPED_TRACE(method.empty() ? "default method" : method);
    std::string dir = ScratchDir("conversion-run" + method);
    CommandResult r = Korvane(dir, ShellQuote(Dir() + "/movie.avi") + " " + method);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The movie's name with .mve, in the current directory, and its palette beside it.
    ASSERT_TRUE(FileExists(dir + "/movie.mve"));
    EXPECT_TRUE(FileExists(dir + "/movie.pal"));

    const std::string& out = r.out;
    size_t range = out.find("\nProcessing frames from 0 to 29\n");
    size_t pass1 = out.find("Pass 1. Color reduction.\n\r\nDone. Palette saved to `movie.pal'\n\n");
    size_t pass2 = out.find("Pass 2. Making MVE.\n");
    size_t done = out.find("\r\nDone.\r\n\nMVE file size: ");
    EXPECT_NE(range, std::string::npos) << out;
    EXPECT_LT(range, pass1) << out;
    EXPECT_LT(pass1, pass2) << out;
    EXPECT_LT(pass2, done) << out;
    const bool old = method.rfind("-old", 0) == 0;
    EXPECT_EQ(out.find("  bitrate limit: 307200 bytes per second\n") != std::string::npos, !old)
        << out;
    EXPECT_EQ(out.find("Relative error: ") != std::string::npos, !old) << out;

    MveFile file;
    std::string error;
    ASSERT_TRUE(ReadMveFile(dir + "/movie.mve", &file, &error)) << error;
    // Video set-up, audio set-up, 14 audio-only chunks, 30 frames, shutdown, end.
    ASSERT_EQ(file.Chunks.size(), 1u + 1 + 14 + 30 + 2);
    EXPECT_EQ(file.Chunks[0].Type, 2);
    EXPECT_EQ(file.Chunks[1].Type, 0);
    for (int i = 2; i < 16; ++i) EXPECT_EQ(file.Chunks[i].Type, 1);
    for (int i = 16; i < 46; ++i) EXPECT_EQ(file.Chunks[i].Type, 3);
    EXPECT_NE(out.find("MVE file size: " + std::to_string(file.Size) + " bytes.\n"),
              std::string::npos);

    std::vector<std::vector<uint8_t>> decoded = FfmpegFrames(dir + "/movie.mve", 96, 64);
    ASSERT_EQ(decoded.size(), 30u);
    std::vector<std::vector<uint8_t>> own = OwnFrames(dir + "/movie.mve");
    ASSERT_EQ(own.size(), 30u);
    std::vector<std::vector<uint8_t>> source = FfmpegFrames(Dir() + "/movie.avi", 96, 64);
    ASSERT_EQ(source.size(), 30u);
    for (size_t i = 0; i < decoded.size(); ++i) {
      EXPECT_TRUE(decoded[i] == own[i]) << "frame " << i;
      EXPECT_GT(Psnr(decoded[i], source[i]), 24.0) << "frame " << i;
    }
  }
}

// A camera panning 11 pixels a frame, faster than one motion byte reaches: the default method
// and -hq follow it with two-byte vectors, FFmpeg shows every frame as our decoder does, and
// the movie is the same for any number of threads. -classic never writes them.
TEST_F(ConversionTest, FastPanIsFollowedWithFarVectors) {
  const std::string dir = ScratchDir("conversion-pan");
  ASSERT_TRUE(Ffmpeg(
      "-f lavfi -i \"mandelbrot=size=480x240:rate=15:start_scale=0.4:end_scale=0.4:maxiter=200,"
      "crop=128:96:x='n*11':y='n*5'\" -frames:v 20 -c:v ffv1 " +
      ShellQuote(dir + "/pan.mkv")));
  for (std::string method : {"", "-hq", "-classic", "-classic -hq"}) {
    SCOPED_TRACE(method.empty() ? "default method" : method);
    std::vector<uint8_t> first;
    for (int threads : {1, 2, 4}) {
      const std::string out = dir + "/pan" + std::to_string(threads) + ".mve";
      CommandResult r = Korvane(dir, "pan.mkv " + ShellQuote(out) + " -ns -rate 60 -threads " +
                                         std::to_string(threads) + " " + method);
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      if (threads == 1)
        first = ReadFileBytes(out);
      else
        EXPECT_TRUE(ReadFileBytes(out) == first) << threads << " threads";
    }
    const std::string mve = dir + "/pan1.mve";
    MveFile file;
    std::string error;
    ASSERT_TRUE(ReadMveFile(mve, &file, &error)) << error;
    int far = 0;
    for (const MveChunk& chunk : file.Chunks)
      if (const MveOpcode* map = chunk.Find(0x0F))
        for (uint8_t byte : map->Payload) far += ((byte & 15) == 5) + ((byte >> 4) == 5);
    if (method.rfind("-classic", 0) == 0)
      EXPECT_EQ(far, 0);
    else
      EXPECT_GT(far, 19 * 192 / 3);  // most blocks of the frames after the first
    std::vector<std::vector<uint8_t>> decoded = FfmpegFrames(mve, 128, 96);
    std::vector<std::vector<uint8_t>> own = OwnFrames(mve);
    ASSERT_EQ(decoded.size(), 20u);
    ASSERT_EQ(own.size(), 20u);
    for (size_t i = 0; i < decoded.size(); ++i) EXPECT_TRUE(decoded[i] == own[i]) << "frame " << i;
  }
}

TEST_F(ConversionTest, PaletteFromFileAndRange) {
  std::string dir = ScratchDir("conversion-palette");
  std::string movie = ShellQuote(Dir() + "/movie.avi");
  CommandResult first = Korvane(dir, movie + " first.mve -act -len 3 -ns");
  ASSERT_EQ(first.status, 0) << first.out;
  ASSERT_EQ(ReadFileBytes(dir + "/first.act").size(), 768u);

  CommandResult second =
      Korvane(dir, movie + " second.mve -p first.act -act -start 10 -end 12 -old -ns");
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_NE(second.out.find("Processing frames from 10 to 12\nPass 1 skipped. Palette loaded "
                            "from `first.act'\n\nPass 2. Making MVE.\n"),
            std::string::npos)
      << second.out;
  EXPECT_FALSE(FileExists(dir + "/second.act"));
  MveFile file;
  std::string error;
  ASSERT_TRUE(ReadMveFile(dir + "/second.mve", &file, &error)) << error;
  EXPECT_EQ(file.Chunks.size(), 1u + 3 + 2);
}

TEST_F(ConversionTest, LocalPalettesNeedTheOldMethod) {
  std::string dir = ScratchDir("conversion-loc");
  CommandResult r = Korvane(dir, ShellQuote(Dir() + "/movie.avi") + " -loc -len 2 -ns");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Warning: -loc works only together with -old; ignored.\n"),
            std::string::npos);
  EXPECT_TRUE(FileExists(dir + "/movie.pal"));

  CommandResult old =
      Korvane(dir, ShellQuote(Dir() + "/movie.avi") + " loc.mve -loc -old -len 2 -ns");
  ASSERT_EQ(old.status, 0) << old.out;
  EXPECT_EQ(old.out.find("Pass 1"), std::string::npos);
  MveFile file;
  std::string error;
  ASSERT_TRUE(ReadMveFile(dir + "/loc.mve", &file, &error)) << error;
  EXPECT_EQ(file.Chunks[0].Find(0x0C), nullptr);
  EXPECT_NE(file.Chunks[1].Find(0x0C), nullptr);
  EXPECT_NE(file.Chunks[2].Find(0x0C), nullptr);
  EXPECT_EQ(FfmpegFrames(dir + "/loc.mve", 96, 64).size(), 2u);
}

TEST(Conversion, PassOneProgressNumbers) {
  std::string dir = ScratchDir("conversion-progress");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=32x16:rate=25:duration=4.8 -c:v ffv1 " +
                     ShellQuote(dir + "/long.avi")));
  CommandResult r = Korvane(dir, "long.avi -ns -old");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Pass 1. Color reduction.\n50 100 \r\nDone. Palette saved"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Pass 2. Making MVE.\n50 100 \r\nDone.\r\n"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace korvane::test
