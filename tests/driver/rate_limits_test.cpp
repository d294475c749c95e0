// The rate limits of the default method on movies of different kinds (calm then busy, a cut, a
// fade to black, constant noise), made with the ffmpeg tool and read back from the written
// file: the whole file within -rate over the movie's duration (or within -size), every run of
// frames lasting a second within 1.5 times the rate (the first frame with everything written
// before it), and calm frames' savings spent by busy ones. With a palette given (no pass 1) the
// limits hold too.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane::test {
namespace {

constexpr int kFps = 15;
constexpr int kFrames = 60;  // four seconds
constexpr const char* kSize = "160x120";

struct Movie {
  std::string name;
  std::string graph;  // an FFmpeg filter graph ending in [v]
  bool sound = false;
};

const std::vector<Movie>& Movies() {
  static const std::vector<Movie> movies = {
      {"calm_then_busy", std::string("smptebars=s=") + kSize +
                             ":r=15:d=4,format=rgb24,noise=alls=70:allf=t+u:enable='gte(t,2)'[v]"},
      {"cut",
       std::string("smptebars=s=") + kSize + ":r=15:d=2,format=rgb24[a];mandelbrot=s=" + kSize +
           ":r=15,trim=duration=2,format=rgb24[b];[a][b]concat=n=2:v=1:a=0[v]",
       true},
      {"fade_to_black", std::string("mandelbrot=s=") + kSize +
                            ":r=15,trim=duration=4,format=rgb24,fade=t=out:st=1:d=2[v]"},
      {"noise",
       std::string("color=c=gray:s=") + kSize + ":r=15:d=4,format=rgb24,noise=alls=80:allf=t+u[v]"},
  };
  return movies;
}

class RateLimits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(ScratchDir("rate-limits"));
    for (const Movie& m : Movies()) {
      std::string args = "-filter_complex " + ShellQuote(m.graph) + " -map [v] -frames:v " +
                         std::to_string(kFrames);
      if (m.sound)
        args = "-f lavfi -i sine=frequency=440:sample_rate=11025:duration=4 " + args +
               " -map 0:a -c:a pcm_s16le";
      ASSERT_TRUE(Ffmpeg(args + " -c:v ffv1 -pix_fmt bgr0 " + ShellQuote(Source(m.name))))
          << m.name;
    }
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string Source(const std::string& name) { return *dir_ + "/" + name + ".mkv"; }
  static std::string* dir_;
};
std::string* RateLimits::dir_ = nullptr;

struct Written {
  size_t size = 0;
  std::vector<int64_t> frames;  // bytes of every frame chunk, header included
  std::string out;
};

Written Convert(const std::string& source, const std::string& mve, const std::string& options) {
  Written w;
  const CommandResult r = RunCommand(ShellQuote(KorvaneBinary()) + " " + ShellQuote(source) + " " +
                                     ShellQuote(mve) + " " + options);
  EXPECT_EQ(r.status, 0) << r.out;
  w.out = r.out;
  MveFile file;
  std::string error;
  if (!ReadMveFile(mve, &file, &error)) {
    ADD_FAILURE() << error;
    return w;
  }
  DecodedMovie decoded;
  EXPECT_TRUE(DecodeMovie(file, &decoded, &error)) << error;
  EXPECT_EQ(decoded.Frames.size(), size_t(kFrames));
  w.size = file.Size;
  for (const MveChunk& chunk : file.Chunks) {
    if (chunk.Type != 3) continue;
    // The header and the chunks before the first frame are read with it.
    const int64_t lead = w.frames.empty() ? static_cast<int64_t>(chunk.Offset) : 0;
    w.frames.push_back(lead + 4 + int64_t{chunk.Length});
  }
  EXPECT_EQ(w.frames.size(), size_t(kFrames));
  return w;
}

// The largest run of a second's frames.
int64_t LargestSecond(const std::vector<int64_t>& frames) {
  int64_t largest = 0;
  for (size_t f = 0; f + kFps <= frames.size(); ++f) {
    int64_t sum = 0;
    for (size_t i = f; i < f + kFps; ++i) sum += frames[i];
    largest = std::max(largest, sum);
  }
  return largest;
}

TEST_F(RateLimits, AverageAndEverySecondStayWithinTheRate) {
  // KB/s of 1024 bytes: low, middle and high for 160x120 pictures.
  for (int rate : {30, 80, 200}) {
    for (const Movie& m : Movies()) {
      SCOPED_TRACE(m.name + " at " + std::to_string(rate) + " KB/s");
      const Written w = Convert(Source(m.name), *dir_ + "/" + m.name + ".mve",
                                "-rate " + std::to_string(rate) + (m.sound ? "" : " -ns"));
      const double bytesPerSecond = rate * 1024.0;
      EXPECT_LE(double(w.size), bytesPerSecond * kFrames / kFps);
      EXPECT_LE(double(LargestSecond(w.frames)), 1.5 * bytesPerSecond);
      EXPECT_EQ(w.out.find("Warning"), std::string::npos) << w.out;
      if (m.name == "noise") {
        // Noise takes every byte it is given.
        EXPECT_GT(double(w.size), 0.95 * bytesPerSecond * kFrames / kFps);
      }
      if (m.name == "calm_then_busy" && rate == 30) {
        // The busy half gets what the calm half saved: more than its two seconds' share.
        int64_t busy = 0;
        for (int f = kFrames / 2; f < kFrames; ++f) busy += w.frames[f];
        EXPECT_GT(double(busy), 1.25 * 2 * bytesPerSecond);
      }
    }
  }
}

// A size limit: the file within it, and a second of frames within 1.5 times the rate the size
// allows over the movie's duration. Without pass 1 (a palette given) the same limits hold.
TEST_F(RateLimits, SizeLimitAndAGivenPalette) {
  for (const Movie& m : Movies()) {
    SCOPED_TRACE(m.name);
    const std::string sound = m.sound ? "" : " -ns";
    const std::string mve = *dir_ + "/" + m.name + "-size.mve";
    const Written w = Convert(Source(m.name), mve, "-size 0.2" + sound);
    const double limit = 0.2 * 1024 * 1024;
    EXPECT_LE(double(w.size), limit);
    EXPECT_LE(double(LargestSecond(w.frames)), 1.5 * limit * kFps / kFrames);

    const std::string palette = *dir_ + "/" + m.name + "-size.pal";
    ASSERT_TRUE(FileExists(palette));
    const Written p = Convert(Source(m.name), *dir_ + "/" + m.name + "-pal.mve",
                              "-rate 50 -p " + ShellQuote(palette) + sound);
    EXPECT_NE(p.out.find("Pass 1 skipped"), std::string::npos);
    EXPECT_LE(double(p.size), 50 * 1024.0 * kFrames / kFps);
    EXPECT_LE(double(LargestSecond(p.frames)), 1.5 * 50 * 1024);
    EXPECT_EQ(p.out.find("Warning"), std::string::npos) << p.out;
  }
}

}  // namespace
}  // namespace korvane::test
