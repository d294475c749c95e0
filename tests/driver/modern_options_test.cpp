// Options beyond the usage text, end to end: "-fit" on large and anamorphic movies, "-fps" and
// "-ar" keeping picture and sound in step, and the live status line, which only a terminal on
// standard error ever receives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "driver/status_line.h"
#include "support/fixtures.h"

namespace korvane::test {
namespace {

CommandResult Korvane(const std::string& dir, const std::string& args) {
  return RunCommand("cd " + ShellQuote(dir) + " && " + ShellQuote(KorvaneBinary()) + " " + args);
}

bool HasEncoder(const std::string& name) {
  return RunCommand("ffmpeg -hide_banner -encoders").out.find(" " + name + " ") !=
         std::string::npos;
}

// Width, height (video) or sample rate (audio) of the first stream of that kind, by ffprobe.
std::string Probe(const std::string& file, const std::string& stream, const std::string& entries) {
  CommandResult r =
      RunCommand("ffprobe -v error -select_streams " + stream +
                 ":0 -show_entries stream=" + entries + " -of csv=p=0 " + ShellQuote(file));
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r.out;
}

// The frames FFmpeg decodes from a file as gray bytes of width x height; empty when FFmpeg
// reports any error.
std::vector<std::vector<uint8_t>> GrayFrames(const std::string& file, int width, int height) {
  std::vector<std::vector<uint8_t>> frames;
  CommandResult r =
      RunCommand("ffmpeg -v error -y -i " + ShellQuote(file) +
                 " -fps_mode passthrough -f rawvideo -pix_fmt gray " + ShellQuote(file + ".gray"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "FFmpeg reports errors decoding " << file;
  if (r.status != 0 || !r.err.empty()) return frames;
  std::vector<uint8_t> bytes = ReadFileBytes(file + ".gray");
  size_t size = size_t(width) * height;
  for (size_t at = 0; at + size <= bytes.size(); at += size)
    frames.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
  return frames;
}

// The soundtrack FFmpeg decodes, as mono 16-bit samples at its own rate.
std::vector<int16_t> Samples(const std::string& file) {
  std::vector<int16_t> samples;
  CommandResult r = RunCommand("ffmpeg -v error -y -i " + ShellQuote(file) +
                               " -vn -ac 1 -f s16le " + ShellQuote(file + ".pcm"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<uint8_t> bytes = ReadFileBytes(file + ".pcm");
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    samples.push_back(int16_t(bytes[i] | (bytes[i + 1] << 8)));
  return samples;
}

class ModernOptions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = new std::string(ScratchDir("modern_options")); }
  static void TearDownTestSuite() { delete dir_; }
  static const std::string& Dir() { return *dir_; }
  static std::string* dir_;
};
std::string* ModernOptions::dir_ = nullptr;

TEST_F(ModernOptions, FitScalesLargePicturesIntoTheLimitKeepingTheirShape) {
  const std::string codec = HasEncoder("libx264") ? "-c:v libx264 -pix_fmt yuv420p" : "-c:v mpeg4";
  const struct {
    const char* name;
    const char* source;  // lavfi video source
    const char* filter;  // applied to the source
    const char* codec;   // empty: the H.264 (or MPEG-4) codec above
    int width, height;   // of the scaled picture
  } cases[] = {
      {"hd1080.mp4", "testsrc2=size=1920x1080:rate=30", "null", "", 640, 360},
      {"hd720.mp4", "testsrc2=size=1280x720:rate=30", "null", "", 640, 360},
      // 720x576 shown at 16:9: 1024x576 on screen.
      {"wide.avi", "testsrc2=size=720x576:rate=25", "setsar=64/45", "-c:v mpeg4 -q:v 3", 640, 360},
      // 720x576 with pixels 16:15 wide: 768x576 on screen, 4:3.
      {"pal.avi", "testsrc2=size=720x576:rate=25", "setsar=16/15", "-c:v mpeg4 -q:v 3", 640, 480},
      // Taller than wide: margins left and right (617 wide in a 624-pixel frame).
      {"tall.avi", "color=c=white:size=900x700:rate=25", "null", "-c:v mpeg4 -q:v 2", 617, 480},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string movie = Dir() + "/" + c.name;
    ASSERT_TRUE(Ffmpeg("-f lavfi -i " + std::string(c.source) + " -frames:v 3 -vf " + c.filter +
                       " " + (*c.codec ? std::string(c.codec) : codec) + " " + ShellQuote(movie)));

    // Without -fit the movie is refused, with a hint.
    CommandResult refused = Korvane(Dir(), ShellQuote(c.name) + " -ns");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("\nYour movie is too large. The limit is 640x480 pixels.\n"
                               "Use -fit to scale it down.\n"),
              std::string::npos)
        << refused.out;

    CommandResult run = Korvane(Dir(), ShellQuote(c.name) + " -ns -FIT");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    // The source size, then the scaled one on a line of its own.
    std::string scaled =
        "\n    scaled to: " + std::to_string(c.width) + " x " + std::to_string(c.height) + "\n";
    size_t sizeLine = run.out.find("\n    width: ");
    ASSERT_NE(sizeLine, std::string::npos) << run.out;
    EXPECT_EQ(run.out.compare(run.out.find('\n', sizeLine + 1), scaled.size(), scaled), 0)
        << run.out;

    const int frameWidth = (c.width + 15) / 16 * 16, frameHeight = (c.height + 7) / 8 * 8;
    std::string mve = movie.substr(0, movie.rfind('.')) + ".mve";
    EXPECT_EQ(Probe(mve, "v", "width,height"),
              std::to_string(frameWidth) + "," + std::to_string(frameHeight));
    auto frames = GrayFrames(mve, frameWidth, frameHeight);
    ASSERT_EQ(frames.size(), 3u);

    // The picture is centred: black margins (the odd column on the right), bright picture
    // edges; the test pattern's own content is checked in the white movie's full rows.
    const int left = (frameWidth - c.width) / 2, top = (frameHeight - c.height) / 2;
    const std::vector<uint8_t>& f = frames[2];
    auto at = [&](int x, int y) { return f[size_t(y) * frameWidth + x]; };
    for (int y = 0; y < frameHeight; ++y) {
      for (int x = 0; x < left; ++x) ASSERT_LT(at(x, y), 16) << x << "," << y;
      for (int x = left + c.width; x < frameWidth; ++x) ASSERT_LT(at(x, y), 16) << x << "," << y;
    }
    for (int x = 0; x < frameWidth; ++x) {
      for (int y = 0; y < top; ++y) ASSERT_LT(at(x, y), 16) << x << "," << y;
      for (int y = top + c.height; y < frameHeight; ++y) ASSERT_LT(at(x, y), 16) << x << "," << y;
    }
    if (std::string(c.source).rfind("color=c=white", 0) == 0) {
      for (int y = top; y < top + c.height; ++y) {
        ASSERT_GT(at(left, y), 200) << y;
        ASSERT_GT(at(left + c.width - 1, y), 200) << y;
      }
    } else {
      // testsrc2 has no black rows or columns at its edges.
      double sum = 0;
      for (int y = top; y < top + c.height; ++y) sum += at(left, y) + at(left + c.width - 1, y);
      EXPECT_GT(sum / (2.0 * c.height), 16.0);
    }
  }
}

// A 30 fps movie of black frames that flash white, and silence that clicks, at the same moments
// (each flash lasts three source frames so that a slower sampling sees it).
class SyncMovie : public ModernOptions {
 protected:
  static constexpr double kFlashes[] = {34 / 30.0, 54 / 30.0};

  static void MakeSyncMovie(const std::string& path, int audioRate) {
    std::string when;
    for (double t : kFlashes) {
      char text[128];
      std::snprintf(text, sizeof text, "%sbetween(t,%.6f,%.6f)", when.empty() ? "" : "+", t,
                    t + 0.01);
      when += text;
    }
    ASSERT_TRUE(Ffmpeg(
        "-f lavfi -i color=c=black:size=160x120:rate=30:duration=2 -f lavfi -i \"aevalsrc='if(" +
        when + ",0.8*sin(2*PI*1000*t),0)':s=" + std::to_string(audioRate) +
        ":d=2\" -vf \"drawbox=c=white:t=fill:enable='between(n,34,36)+between(n,54,56)'\" -c:v "
        "mpeg4 -q:v 2 -c:a pcm_s16le " +
        ShellQuote(path)));
  }
};
constexpr double SyncMovie::kFlashes[];

TEST_F(SyncMovie, FrameRateAndSoundRateOptionsKeepPictureAndSoundInStep) {
  MakeSyncMovie(Dir() + "/sync.avi", 48000);
  const struct {
    const char* args;
    int frames;
    double fps;
    int rate;
  } cases[] = {
      {"", 60, 30, 48000},
      {"-fps 15", 30, 15, 48000},
      {"-fps 15 -ar 22050", 30, 15, 22050},
      {"-ar 22050", 60, 30, 22050},
      {"-fps 12,5", 25, 12.5, 48000},
  };
  int run = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    std::string out = "sync" + std::to_string(run++) + ".mve";
    CommandResult r = Korvane(Dir(), "sync.avi " + out + " " + c.args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    if (c.rate != 48000) {
      EXPECT_NE(r.out.find(" -> PCM, " + std::to_string(c.rate) + " Hz, 16-bit, mono -> MVE\n"),
                std::string::npos)
          << r.out;
    }
    std::string mve = Dir() + "/" + out;
    EXPECT_EQ(Probe(mve, "a", "sample_rate"), std::to_string(c.rate));

    auto frames = GrayFrames(mve, 160, 120);
    ASSERT_EQ(int(frames.size()), c.frames);
    std::vector<int> flashFrames;
    for (int i = 0; i < int(frames.size()); ++i)
      if (frames[i][60 * 160 + 80] > 128 && (i == 0 || frames[i - 1][60 * 160 + 80] <= 128))
        flashFrames.push_back(i);

    std::vector<int16_t> pcm = Samples(mve);
    ASSERT_GE(pcm.size(), size_t(c.rate * 19 / 10));
    std::vector<size_t> clicks;
    for (size_t i = 0; i < pcm.size(); ++i)
      if (std::abs(pcm[i]) > 8000 && (clicks.empty() || i > clicks.back() + size_t(c.rate / 10)))
        clicks.push_back(i);

    ASSERT_EQ(flashFrames.size(), 2u);
    ASSERT_EQ(clicks.size(), 2u);
    for (int k = 0; k < 2; ++k) {
      double flash = flashFrames[k] / c.fps, click = double(clicks[k]) / c.rate;
      EXPECT_NEAR(flash, kFlashes[k], 1.0 / c.fps + 1e-6) << "flash " << k;
      EXPECT_NEAR(click, kFlashes[k], 0.002) << "click " << k;
      EXPECT_NEAR(flash, click, 1.0 / c.fps + 1e-6) << "flash and click " << k;
    }
  }
}

// The status line drawn with a clock the test moves.
TEST(StatusLine, RedrawsAtMostTenTimesASecondAndErasesItself) {
  std::ostringstream text;
  double now = 100.0;
  {
    StatusLine line(text, true, [&now] { return now; });
    line.Begin(2, 100);
    line.Update(1, 300000);  // the first frame is drawn
    for (int f = 2; f <= 99; ++f) {
      now += 0.01;
      line.Update(f, 300000);
    }
    now += 0.01;
    line.Update(100, 300000);  // the last frame is drawn
    std::string shown = text.str();
    size_t draws = 0;
    for (size_t at = shown.find("\rPass 2: frame "); at != std::string::npos;
         at = shown.find("\rPass 2: frame ", at + 1))
      ++draws;
    // 0.99 s of updates: the first, one per tenth of a second, and the last.
    EXPECT_GE(draws, 10u);
    EXPECT_LE(draws, 12u);
    EXPECT_NE(shown.find("\rPass 2: frame 100 of 100  101.0 fps  0:00 left  300000 bytes/s"),
              std::string::npos)
        << shown;
    text.str("");
  }
  // Erased when it goes: back to the line start, blanks, back again.
  std::string erased = text.str();
  ASSERT_GE(erased.size(), 3u);
  EXPECT_EQ(erased.front(), '\r');
  EXPECT_EQ(erased.back(), '\r');
  EXPECT_EQ(erased.find_first_not_of(' ', 1), erased.size() - 1);

  EXPECT_EQ(StatusLine::Format(1, 50, 250, 10.0, -1),
            "Pass 1: frame 50 of 250  5.0 fps  0:40 left");
  EXPECT_EQ(StatusLine::Format(2, 0, 9000, 0.0, -1), "Pass 2: frame 0 of 9000");
  EXPECT_EQ(StatusLine::Format(2, 1, 9000, 1.0, 7),
            "Pass 2: frame 1 of 9000  1.0 fps  2:29:59 left  7 bytes/s");

  // Nothing at all when not enabled, or when the descriptor is a pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  for (bool byDescriptor : {false, true}) {
    std::ostringstream quiet;
    {
      StatusLine line = byDescriptor ? StatusLine(quiet, fds[1]) : StatusLine(quiet, false);
      line.Begin(1, 10);
      for (int f = 1; f <= 10; ++f) line.Update(f);
      line.Clear();
    }
    EXPECT_EQ(quiet.str(), "");
  }
  close(fds[0]);
  close(fds[1]);
  // A terminal enables it.
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  std::ostringstream shown;
  EXPECT_TRUE(StatusLine(shown, slave).Enabled());
  close(master);
  close(slave);
}

// Runs korvane with standard error (or standard output) on a pseudo-terminal and the other
// stream in a file; returns what the terminal showed.
std::string RunOnTerminal(const std::string& dir, const std::vector<std::string>& args,
                          bool errorOnTerminal, const std::string& file, int* status) {
  int master = -1;
  std::string binary = KorvaneBinary();
  std::vector<std::string> argv{binary};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (std::string& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  std::fflush(nullptr);
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return "";
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, errorOnTerminal ? STDOUT_FILENO : STDERR_FILENO) < 0) _exit(125);
    close(fd);
    alarm(120);
    execv(binary.c_str(), cargs.data());
    _exit(127);
  }
  std::string shown;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 120000) <= 0) break;
    char buffer[65536];
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program has ended
    shown.append(buffer, size_t(n));
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  close(master);
  return shown;
}

TEST_F(ModernOptions, StatusLineOnlyOnATerminalOnStandardError) {
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc2=size=96x64:rate=15:duration=1 -c:v mpeg4 -q:v 3 " +
                     ShellQuote(Dir() + "/small.avi")));
  CommandResult plain = Korvane(Dir(), "small.avi plain.mve -ns");
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.out.find("Pass 1:"), std::string::npos);

  // Standard error on the terminal, standard output in a file.
  int status = -1;
  std::string terminal =
      RunOnTerminal(Dir(), {"small.avi", "tty.mve", "-ns"}, true, Dir() + "/stdout.txt", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(terminal.find("\rPass 1: frame 15 of 15"), std::string::npos) << terminal;
  size_t last = terminal.rfind("\rPass 2: frame 15 of 15");
  ASSERT_NE(last, std::string::npos) << terminal;
  EXPECT_NE(terminal.find(" bytes/s", last), std::string::npos);
  // Erased at the end: nothing but blanks and returns after the last drawing.
  size_t end = terminal.find('\r', last + 1);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(terminal.find_first_not_of(" \r", end), std::string::npos) << terminal.substr(end);
  std::vector<uint8_t> outBytes = ReadFileBytes(Dir() + "/stdout.txt");
  std::string out(outBytes.begin(), outBytes.end());
  EXPECT_EQ(out.find("Pass 1:"), std::string::npos);
  EXPECT_EQ(out.find("Pass 2:"), std::string::npos);
  EXPECT_NE(out.find("Pass 2. Making MVE.\n"), std::string::npos);
  // The same movie as without the terminal.
  EXPECT_EQ(ReadFileBytes(Dir() + "/tty.mve"), ReadFileBytes(Dir() + "/plain.mve"));

  // Standard output on the terminal, standard error in a file: no status anywhere.
  terminal =
      RunOnTerminal(Dir(), {"small.avi", "tty2.mve", "-ns"}, false, Dir() + "/stderr.txt", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(terminal.find("Pass 2. Making MVE."), std::string::npos);
  EXPECT_EQ(terminal.find("Pass 2:"), std::string::npos);
  EXPECT_TRUE(ReadFileBytes(Dir() + "/stderr.txt").empty());
}

}  // namespace
}  // namespace korvane::test
