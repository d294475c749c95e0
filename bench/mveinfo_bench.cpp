// Speed of mveinfo's exports on a 640x480 movie: playing every frame as a game does (what
// --frames costs without the PNG encoding), --frames with the PNG encoding, and --sheet on a
// 10-minute movie (examining the file and playing it, as the program does).
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON
//   cmake --build build-bench --target mveinfo_bench korvane && build-bench/bench/mveinfo_bench
//   build-bench/bench/mveinfo_bench --mve=FILE    measures FILE (640x480) instead
//
// Without --mve the program generates a 10-second 640x480 movie at 25 fps (a pan and zoom over
// a detailed picture with grain, the movie of the other benchmarks) and converts it with
// korvane's default method. The 10-minute movie repeats the frame chunks of the 10-second one
// 60 times (15000 frames). Everything lives in a temporary folder, removed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "mveinfo/mve_examiner.h"
#include "mveinfo/mve_export.h"
#include "mveinfo/mve_player.h"
#include "mveinfo/mve_reader.h"

namespace {

std::filesystem::path scratch;
std::string moviePath, longMoviePath;

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool MakeMovie(const std::string& mve) {
  const std::string source = (scratch / "movie640.mp4").string();
  const std::string make =
      "ffmpeg -v error -nostdin -y -f lavfi -i "
      "\"mandelbrot=size=1280x960:rate=25:maxiter=200,noise=alls=12:allf=t,"
      "zoompan=z='1.2+0.3*sin(on/60)':x='iw/2-(iw/zoom/2)+100*sin(on/40)':"
      "y='ih/2-(ih/zoom/2)+80*cos(on/50)':d=1:s=640x480:fps=25\" "
      "-t 10 -c:v libx264 -preset medium -crf 20 -pix_fmt yuv420p " +
      Quoted(source);
  const std::string convert = std::string(Quoted(KORVANE_BINARY)) + " " + Quoted(source) + " " +
                              Quoted(mve) + " -ns >/dev/null";
  return std::system(make.c_str()) == 0 && std::system(convert.c_str()) == 0;
}

// The movie's frame chunks `times` over, between its set-up and its closing chunks.
bool RepeatMovie(const std::string& from, const std::string& to, int times) {
  std::ifstream in(from, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  size_t pos = korvane::kMveHeaderSize, firstFrame = 0, closing = 0;
  while (pos + 4 <= bytes.size()) {
    const uint16_t length = uint16_t(bytes[pos] | bytes[pos + 1] << 8);
    const uint16_t type = uint16_t(bytes[pos + 2] | bytes[pos + 3] << 8);
    if (type == 3 && !firstFrame) firstFrame = pos;
    if (type == 4 && !closing) closing = pos;
    pos += 4 + length;
  }
  if (!firstFrame || !closing) return false;
  std::ofstream out(to, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(firstFrame));
  for (int i = 0; i < times; ++i)
    out.write(reinterpret_cast<const char*>(bytes.data() + firstFrame),
              std::streamsize(closing - firstFrame));
  out.write(reinterpret_cast<const char*>(bytes.data() + closing),
            std::streamsize(bytes.size() - closing));
  return bool(out);
}

void BM_PlayFrames(benchmark::State& state) {
  uint64_t frames = 0;
  for (auto _ : state) {
    std::string error;
    std::unique_ptr<korvane::MveReader> reader = korvane::MveReader::Open(moviePath, &error);
    uint8_t header[korvane::kMveHeaderSize];
    if (!reader || reader->ReadHeader(header) != korvane::kMveHeaderSize) {
      state.SkipWithError("cannot read the movie");
      break;
    }
    korvane::MvePlayer player;
    korvane::MveChunkView chunk;
    while (reader->NextChunk(&chunk) && chunk.HeaderBytes == 4)
      korvane::ForEachMveOpcode(
          chunk.Payload, chunk.Available,
          [&](uint8_t kind, uint8_t version, const uint8_t* d, size_t n) {
            if (player.Play(kind, version, d, n) == korvane::MvePlayer::Event::kFrameShown) {
              // What --frames hands to the PNG encoder.
              benchmark::DoNotOptimize(player.Palette8());
              benchmark::DoNotOptimize(player.Picture().data());
              ++frames;
            }
          });
  }
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlayFrames)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_ExportFramesPng(benchmark::State& state) {
  uint64_t frames = 0;
  const std::string dir = (scratch / "frames").string();
  for (auto _ : state) {
    korvane::MveExaminer examiner;
    std::string error;
    std::unique_ptr<korvane::MveReader> reader = korvane::MveReader::Open(moviePath, &error);
    const korvane::MveInfo info = examiner.Inspect(*reader);
    korvane::MveExportOptions options;
    options.FramesDir = dir;
    korvane::MveExportResult result;
    if (!korvane::ExportMve(moviePath, info, options, &result, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    frames += result.FramesWritten;
  }
  std::filesystem::remove_all(dir);
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExportFramesPng)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

void BM_SheetTenMinutes(benchmark::State& state) {
  const std::string sheet = (scratch / "sheet.png").string();
  uint64_t frames = 0;
  for (auto _ : state) {
    korvane::MveExaminer examiner;
    std::string error;
    std::unique_ptr<korvane::MveReader> reader = korvane::MveReader::Open(longMoviePath, &error);
    const korvane::MveInfo info = examiner.Inspect(*reader);
    korvane::MveExportOptions options;
    options.SheetFile = sheet;
    korvane::MveExportResult result;
    if (!korvane::ExportMve(longMoviePath, info, options, &result, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    frames += result.FramesShown;
  }
  // The same counter as the other benchmarks: the CSV report wants one set for every run.
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SheetTenMinutes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  char pattern[] = "/tmp/korvane-mveinfo-bench-XXXXXX";
  if (!mkdtemp(pattern)) {
    std::perror("mkdtemp");
    return 1;
  }
  scratch = pattern;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--mve=", 6) == 0) moviePath = argv[i] + 6;
  if (moviePath.empty()) {
    moviePath = (scratch / "movie640.mve").string();
    std::printf("Generating %s\n", moviePath.c_str());
    std::fflush(stdout);
    if (!MakeMovie(moviePath)) {
      std::fprintf(stderr, "could not make the movie with ffmpeg and korvane\n");
      std::filesystem::remove_all(scratch);
      return 1;
    }
  }
  longMoviePath = (scratch / "long640.mve").string();
  if (!RepeatMovie(moviePath, longMoviePath, 60)) {
    std::fprintf(stderr, "could not make the 10-minute movie\n");
    std::filesystem::remove_all(scratch);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(scratch);
  return 0;
}
