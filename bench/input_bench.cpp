// Cost of reading a 640x480 movie frame by frame with MovieSource (single-threaded decoding)
// against the ffmpeg tool decoding the same frames to 24-bit BGR (single-threaded as well).
// Both include opening the movie; the ratio of the best runs is printed at the end.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON
//   cmake --build build-bench --target input_bench && build-bench/bench/input_bench
//   build-bench/bench/input_bench --movie=FILE    measures FILE instead of a generated movie
//
// Without --movie the program generates a 10-second 640x480 H.264 movie (a pan and zoom over a
// detailed picture with grain) in a temporary folder with the ffmpeg tool and removes it after.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

#include "input/movie_source.h"

namespace {

std::string moviePath;
double bestSourceSeconds = std::numeric_limits<double>::infinity();
double bestToolSeconds = std::numeric_limits<double>::infinity();
int movieFrames = 0;

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool GenerateMovie(const std::string& path) {
  const std::string command =
      "ffmpeg -v error -nostdin -y -f lavfi -i "
      "\"mandelbrot=size=1280x960:rate=25:maxiter=200,noise=alls=12:allf=t,"
      "zoompan=z='1.2+0.3*sin(on/60)':x='iw/2-(iw/zoom/2)+100*sin(on/40)':"
      "y='ih/2-(ih/zoom/2)+80*cos(on/50)':d=1:s=640x480:fps=25\" "
      "-t 10 -c:v libx264 -preset medium -crf 20 -pix_fmt yuv420p " +
      Quoted(path);
  return std::system(command.c_str()) == 0;
}

void BM_MovieSourceRead(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::ostringstream messages;
    korvane::MovieSource source(messages);
    korvane::MovieSourceOptions options;
    options.NoSound = true;
    options.DecoderThreads = 1;
    if (!source.OpenAvi(moviePath, moviePath, options)) {
      state.SkipWithError(("cannot open the movie: " + source.LastError).c_str());
      break;
    }
    for (int n = source.FirstFrame; n < source.FirstFrame + source.FrameCount; ++n) {
      const uint8_t* frame = source.GetAviFrame(n);
      if (!frame) {
        state.SkipWithError(("cannot read a frame: " + source.LastError).c_str());
        break;
      }
      benchmark::DoNotOptimize(frame);
    }
    movieFrames = source.FrameCount;
    source.CloseAvi();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bestSourceSeconds = std::min(bestSourceSeconds, seconds);
  }
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(movieFrames) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MovieSourceRead)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_FfmpegToolDecode(benchmark::State& state) {
  const std::string command = "ffmpeg -v error -nostdin -threads 1 -i " + Quoted(moviePath) +
                              " -an -filter_threads 1 -f rawvideo -pix_fmt bgr24 -y /dev/null";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("the ffmpeg tool failed");
      break;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bestToolSeconds = std::min(bestToolSeconds, seconds);
  }
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(movieFrames) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FfmpegToolDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::filesystem::path scratch;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--movie=", 8) == 0) moviePath = argv[i] + 8;
  if (moviePath.empty()) {
    char pattern[] = "/tmp/korvane-input-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
      std::perror("mkdtemp");
      return 1;
    }
    scratch = pattern;
    moviePath = (scratch / "movie640.mp4").string();
    std::printf("Generating %s\n", moviePath.c_str());
    std::fflush(stdout);
    if (!GenerateMovie(moviePath)) {
      std::fprintf(stderr, "could not generate the movie with the ffmpeg tool\n");
      std::filesystem::remove_all(scratch);
      return 1;
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (bestSourceSeconds < std::numeric_limits<double>::infinity() &&
      bestToolSeconds < std::numeric_limits<double>::infinity()) {
    std::printf("Best MovieSource read: %.1f ms, best ffmpeg tool decode: %.1f ms (%d frames)\n",
                1000 * bestSourceSeconds, 1000 * bestToolSeconds, movieFrames);
    std::printf("input_ratio %.2f\n", bestSourceSeconds / bestToolSeconds);
  }
  if (!scratch.empty()) std::filesystem::remove_all(scratch);
  return 0;
}
