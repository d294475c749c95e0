// Damaged and unusual sources end to end: hand-patched AVIs, unevenly timed frames, pipes, and
// the messages the program gives for what it cannot read.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

// Runs korvane in `dir`; `prefix` goes before the program (a pipe or variables).
CommandResult Korvane(const std::string& dir, const std::string& args,
                      const std::string& prefix = "") {
  return RunCommand("cd " + ShellQuote(dir) + " && " + prefix + ShellQuote(KorvaneBinary()) + " " +
                    args);
}

// Frames our own decoder shows; -1 when the file cannot be read.
int MveFrames(const std::string& path) {
  MveFile file;
  DecodedMovie movie;
  std::string error;
  if (!ReadMveFile(path, &file, &error) || !DecodeMovie(file, &movie, &error)) {
    ADD_FAILURE() << path << ": " << error;
    return -1;
  }
  return static_cast<int>(movie.Frames.size());
}

// Seconds of sound FFmpeg decodes from an MVE file.
// Seconds of sound up to its last change: the silence that fills a movie's sound stream after
// the soundtrack ends (the last sample held) is not counted.
double MveSoundSeconds(const std::string& mve, int rate) {
  std::string raw = mve + ".s16";
  if (!Ffmpeg("-i " + ShellQuote(mve) + " -map 0:a -f s16le -ac 1 " + ShellQuote(raw))) return -1;
  const std::vector<uint8_t> bytes = ReadFileBytes(raw);
  size_t samples = bytes.size() / 2;
  while (samples > 1 && bytes[2 * samples - 2] == bytes[2 * samples - 4] &&
         bytes[2 * samples - 1] == bytes[2 * samples - 3])
    --samples;
  return double(samples) / rate;
}

// Runs a shell command line and gives the largest resident set, in kilobytes, that it or any
// of its processes reached; -1 when it did not end with status 0.
long PeakKilobytes(const std::string& commandLine) {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", commandLine.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

size_t Find(const std::vector<uint8_t>& bytes, const char* tag, size_t from = 0) {
  for (size_t i = from; i + 4 <= bytes.size(); ++i)
    if (std::memcmp(&bytes[i], tag, 4) == 0) return i;
  return std::string::npos;
}

void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}

// A 2-second 64x48 MJPEG AVI at 15 fps (30 frames) with 8000 Hz mono PCM, made once.
class DamagedInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(ScratchDir("damaged-input"));
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=15:duration=2 -f lavfi -i "
               "sine=frequency=440:sample_rate=8000:duration=2 -c:v mjpeg -q:v 3 -c:a pcm_s16le "
               "-ac 1 " +
               ShellQuote(*dir_ + "/movie.avi")));
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string Dir() { return *dir_; }
  static std::string Movie() { return *dir_ + "/movie.avi"; }
  static std::vector<uint8_t> MovieBytes() { return ReadFileBytes(Movie()); }
  static std::string* dir_;
};
std::string* DamagedInputTest::dir_ = nullptr;

TEST_F(DamagedInputTest, MoviesWithoutAnExactIndexConvertEveryFramePresent) {
  using Patch = std::function<std::vector<uint8_t>(std::vector<uint8_t>)>;
  struct Case {
    std::string name;
    Patch patch;
    int frames;          // -1: as many as FFmpeg decodes from the patched file
    double sound = 2.0;  // seconds; -1: as much as FFmpeg decodes from the patched file
  } cases[] = {
      {"intact", [](std::vector<uint8_t> b) { return b; }, 30},
      {"index renamed",
       [](std::vector<uint8_t> b) {
         std::memcpy(&b[Find(b, "idx1")], "JUNK", 4);
         return b;
       },
       30},
      {"index pointing outside the file",
       [](std::vector<uint8_t> b) {
         size_t idx = Find(b, "idx1");
         for (size_t e = idx + 8 + 16 * 5; e + 16 <= b.size(); e += 16)
           PutLe32(b, e + 8, 0x7FFF0000);
         return b;
       },
       30},
      {"cut in the middle",
       [](std::vector<uint8_t> b) {
         b.resize(Find(b, "idx1") * 2 / 3);
         return b;
       },
       -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = ScratchDir("index-" + std::to_string(&c - cases));
    WriteBytes(dir + "/in.avi", c.patch(MovieBytes()));
    int expected = c.frames;
    if (expected < 0) {
      CommandResult probe = RunCommand(
          "ffprobe -v error -count_frames -select_streams v "
          "-show_entries stream=nb_read_frames -of csv=p=0 " +
          ShellQuote(dir + "/in.avi"));
      expected = std::atoi(probe.out.c_str());
      EXPECT_GT(expected, 5);
      EXPECT_LT(expected, 30);
    }
    CommandResult r = Korvane(dir, "in.avi out.mve");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("   " + std::to_string(expected) + " frames"), std::string::npos) << r.out;
    EXPECT_EQ(MveFrames(dir + "/out.mve"), expected);
    // The sound is read in full too (as far as the file holds it): one second ahead of the
    // pictures, up to the last frame.
    double sound = c.sound >= 0 ? c.sound : MveSoundSeconds(dir + "/in.avi", 8000);
    EXPECT_NEAR(MveSoundSeconds(dir + "/out.mve", 8000), std::min(sound, 1.0 + expected / 15.0),
                0.1);
  }
}

TEST_F(DamagedInputTest, AFrameThatCannotBeDecodedStopsTheRun) {
  std::string dir = ScratchDir("undecodable");
  std::vector<uint8_t> bytes = MovieBytes();
  // The eleventh frame's JPEG data becomes noise with no picture in it.
  size_t at = Find(bytes, "movi");
  for (int i = 0; i <= 10; ++i) at = Find(bytes, "00dc", at + 4);
  uint32_t size = Le32(&bytes[at + 4]);
  std::memset(&bytes[at + 8], 0xAB, size);
  WriteBytes(dir + "/bad.avi", bytes);

  ASSERT_EQ(Korvane(dir, ShellQuote(Movie()) + " good.mve").status, 0);
  struct Case {
    std::string args;
    bool passTwo;  // the stop comes in pass 2, after the movie was begun
  } cases[] = {{"bad.avi one.mve", false}, {"bad.avi two.mve -p good.pal", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandResult r = Korvane(dir, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\nError: Cannot decompress data\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Done."), c.passTwo ? r.out.find("Done.") : std::string::npos);
    EXPECT_EQ(r.err, "") << "FFmpeg's own log lines reach the terminal";
    if (c.passTwo) {
      // What was written before the bad frame is on disk: the header, the set-up chunks, the
      // sound lead and the first ten frames.
      std::vector<uint8_t> mve = ReadFileBytes(dir + "/two.mve");
      ASSERT_GT(mve.size(), 26u);
      EXPECT_EQ(std::memcmp(mve.data(), "Interplay MVE File\x1A", 20), 0);
      std::vector<uint8_t> good = ReadFileBytes(dir + "/good.mve");
      EXPECT_GT(mve.size(), good.size() / 4);
    } else {
      EXPECT_FALSE(FileExists(dir + "/one.mve"));
    }
  }
}

TEST_F(DamagedInputTest, AFrameRateTheTimerCannotKeepStopsBeforeTheOutput) {
  struct Case {
    uint32_t scale, rate;
    std::string args;
    int status;
    std::string line;
  } cases[] = {
      {1, 2147483647, "", 1,
       "Error: The movie's frame rate of 2147483647.00 fps cannot be kept by the MVE timer; use "
       "-fps to convert at another rate\n"},
      {1, 300000, "", 1, "Error: The movie's frame rate of 300000.00 fps cannot be kept"},
      // With -fps the frames of an absurd header are shown one after another.
      {1, 2147483647, "-fps 15", 0, "    converted at: 15.00 fps   30 frames\n"},
      {1, 15, "", 0, "    framerate: 15.00 fps"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " " + c.args);
    std::string dir = ScratchDir("rate-" + std::to_string(&c - cases));
    std::vector<uint8_t> bytes = MovieBytes();
    size_t strh = Find(bytes, "strh");
    PutLe32(bytes, strh + 8 + 20, c.scale);
    PutLe32(bytes, strh + 8 + 24, c.rate);
    WriteBytes(dir + "/in.avi", bytes);
    CommandResult r = Korvane(dir, "in.avi out.mve " + c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    EXPECT_EQ(FileExists(dir + "/out.mve"), c.status == 0);
    if (c.status == 0) {
      EXPECT_EQ(MveFrames(dir + "/out.mve"), 30);
    }
  }
}

TEST_F(DamagedInputTest, OtherFrameRateOnUnevenlyTimedFramesCoversTheWholeMovie) {
  std::string dir = ScratchDir("uneven");
  // 20 frames of a 25 fps source kept at uneven times over 10 seconds, with 10 seconds of sound.
  ASSERT_TRUE(Ffmpeg(
      "-f lavfi -i testsrc=size=64x48:rate=25:duration=10 -f lavfi -i "
      "sine=sample_rate=8000:duration=10 -vf \"select='eq(n,0)+eq(n,1)+eq(n,3)+eq(n,10)+eq(n,20)+"
      "eq(n,30)+eq(n,31)+eq(n,50)+eq(n,60)+eq(n,90)+eq(n,100)+eq(n,120)+eq(n,150)+eq(n,151)+"
      "eq(n,180)+eq(n,200)+eq(n,210)+eq(n,220)+eq(n,240)+eq(n,245)'\" -fps_mode passthrough "
      "-c:v mjpeg -c:a pcm_s16le " +
      ShellQuote(dir + "/vfr.mkv")));
  CommandResult r = Korvane(dir, "vfr.mkv out.mve -fps 10");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("    converted at: 10.00 fps   100 frames\n"), std::string::npos) << r.out;
  EXPECT_EQ(MveFrames(dir + "/out.mve"), 100);
  EXPECT_NEAR(MveSoundSeconds(dir + "/out.mve", 8000), 10.0, 0.1);
}

TEST_F(DamagedInputTest, MoviesFromPipesConvertAsFromTheFile) {
  std::string dir = ScratchDir("pipes");
  std::string tmp = dir + "/tmp";
  fs::create_directory(tmp);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(Korvane(dir, ShellQuote(Movie()) + " file.mve").status, 0);
  std::vector<uint8_t> fromFile = ReadFileBytes(dir + "/file.mve");
  std::string feed = "cat " + ShellQuote(Movie());
  struct Case {
    std::string prefix, args, output;
  } cases[] = {
      {feed + " | ", "-", "stdin.mve"},
      {feed + " | ", "/dev/stdin piped.mve", "piped.mve"},
      {"(" + feed + " > fifo &) && ", "fifo fifo.mve", "fifo.mve"},
      {feed + " | ", ShellQuote(Movie()) + " sound.mve -w -", "sound.mve"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandResult r = Korvane(dir, c.args, c.prefix + "TMPDIR=" + ShellQuote(tmp) + " ");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFileBytes(dir + "/" + c.output), fromFile);
    EXPECT_TRUE(fs::is_empty(tmp)) << "the copy of the input is left behind";
  }
  // An error after the copy removes it too.
  CommandResult r = Korvane(dir, "- out.mve", "echo not a movie | TMPDIR=" + ShellQuote(tmp) + " ");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Error: Error opening video stream: "), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(tmp));
}

TEST_F(DamagedInputTest, SoundHeadersWithAbsurdRatesStayInBoundedMemory) {
  std::string dir = ScratchDir("absurd-sound");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=sample_rate=8000:duration=3 -c:a pcm_s16le " +
                     ShellQuote(dir + "/sound.wav")));
  struct Case {
    std::string name;
    uint32_t rate, bytesPerSecond;
    std::string args;
  } cases[] = {
      // 1 sample a second: each second of resampled sound comes from 1 sample.
      {"tiny rate resampled", 1, 2, "-ar 65535"},
      {"tiny rate resampled by the generic reader", 1, 2, "-ar 65535 -da"},
      // A byte rate of 4 GB a second, read a second at a time.
      {"huge byte rate", 8000, 0xFFFFFFF0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> wav = ReadFileBytes(dir + "/sound.wav");
    size_t fmt = Find(wav, "fmt ");
    PutLe32(wav, fmt + 12, c.rate);
    PutLe32(wav, fmt + 16, c.bytesPerSecond);
    WriteBytes(dir + "/patched.wav", wav);
    long peak = PeakKilobytes("cd " + ShellQuote(dir) + " && " + ShellQuote(KorvaneBinary()) + " " +
                              ShellQuote(Movie()) + " out.mve -w patched.wav -len 10 " + c.args +
                              " >/dev/null");
    EXPECT_GT(peak, 0);
    // A few megabytes of work buffers; buffers sized from these headers took gigabytes.
    EXPECT_LT(peak, 400 * 1024);
    EXPECT_EQ(MveFrames(dir + "/out.mve"), 10);
  }
}

// Mean absolute difference per colour component between the frames shown by an MVE file and
// the frames from `first` on of a source decoded by FFmpeg; negative when they cannot be had.
double MeanDifference(const std::string& mve, const std::string& source, int first) {
  MveFile file;
  DecodedMovie movie;
  std::string error;
  if (!ReadMveFile(mve, &file, &error) || !DecodeMovie(file, &movie, &error)) return -1;
  std::string raw = mve + ".rgb";
  if (!Ffmpeg("-i " + ShellQuote(source) + " -f rawvideo -pix_fmt rgb24 " + ShellQuote(raw)))
    return -1;
  std::vector<uint8_t> want = ReadFileBytes(raw);
  size_t pixels = size_t(movie.Width) * movie.Height;
  double sum = 0;
  size_t count = 0;
  for (size_t f = 0; f < movie.Frames.size(); ++f) {
    size_t at = (first + f) * pixels * 3;
    if (at + pixels * 3 > want.size()) return -1;
    for (size_t i = 0; i < pixels; ++i)
      for (int c = 0; c < 3; ++c) {
        int v = movie.Palettes[f][3 * movie.Frames[f][i] + c];
        sum += std::abs(((v << 2) | (v >> 4)) - want[at + 3 * i + c]);
        ++count;
      }
  }
  return count ? sum / double(count) : -1;
}

TEST_F(DamagedInputTest, PalettedMoviesKeepEachFramesColourTable) {
  std::string dir = ScratchDir("colour-tables");
  // Two still scenes of 5 frames whose colour table changes once, at frame 5.
  ASSERT_TRUE(Ffmpeg(
      "-filter_complex \"testsrc=s=48x32:r=5:d=1,hue=h=90,trim=end_frame=1,loop=4:1:0[a];"
      "testsrc=s=48x32:r=5:d=1,hue=h=200,trim=end_frame=1,loop=4:1:0[b];[a][b]concat,split[x][y];"
      "[x]palettegen=stats_mode=single:max_colors=16[p];[y][p]paletteuse=new=1\" -c:v rawvideo "
      "-pix_fmt pal8 " +
      ShellQuote(dir + "/scenes.avi")));
  struct Case {
    std::string args;
    int first;
  } cases[] = {{"", 0}, {"-old", 0}, {"-start 7", 7}, {"-start 3 -len 4", 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandResult r = Korvane(dir, "scenes.avi out.mve " + c.args);
    ASSERT_EQ(r.status, 0) << r.out;
    // 32 colours at most in the source: the movie shows them nearly exactly.
    double difference = MeanDifference(dir + "/out.mve", dir + "/scenes.avi", c.first);
    EXPECT_GE(difference, 0);
    EXPECT_LT(difference, 3.0);
  }
}

TEST_F(DamagedInputTest, MessagesInPlainWords) {
  std::string dir = ScratchDir("messages");
  fs::create_directory(dir + "/folder.avi");
  fs::create_directory(dir + "/folder.pal");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=sample_rate=8000:duration=0.5 -c:a pcm_s16le " +
                     ShellQuote(dir + "/sound.wav")));
  // A WAVE header claiming 255 channels, which no decoder opens.
  std::vector<uint8_t> wav = ReadFileBytes(dir + "/sound.wav");
  size_t fmt = Find(wav, "fmt ");
  wav[fmt + 10] = 255;
  wav[fmt + 11] = 0;
  PutLe32(wav, fmt + 16, 8000 * 510);
  wav[fmt + 20] = 510 & 0xFF;
  wav[fmt + 21] = 510 >> 8;
  WriteBytes(dir + "/wide.wav", wav);

  struct Case {
    std::string args;
    int status;
    std::string text;  // the output must hold it
  } cases[] = {
      {"folder.avi", 1, "\nError: Input movie doesn't exist: `folder.avi'\n"},
      {ShellQuote(Movie()) + " -p folder.pal", 1,
       "\nError: Input palette doesn't exist: `folder.pal'\n"},
      {"sound.wav", 1, "\nError: Error opening video stream: ADABAC08 (Stream not found)\n"},
      {ShellQuote(Movie()) + " -test -w wide.wav", 0,
       "\n    PCM, 8000 Hz, 16-bit, 255 channels\nCannot open decompressor: -22 (Invalid "
       "argument)\n"
       "Trying DirectShow for audio input.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandResult r = Korvane(dir, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

}  // namespace
}  // namespace korvane::test
