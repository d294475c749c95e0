// Cost of the soundtrack in a conversion: DPCM compression of 16-bit stereo sound, and the whole
// sound path of pass 2 (reading the movie's soundtrack piece by piece, compressing it and
// building the audio opcodes of every chunk) for a 10-second 44100 Hz stereo track, read by
// the classic reader (PCM in AVI) and by the generic reader (AAC in MP4).
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON
//   cmake --build build-bench --target audio_bench && build-bench/bench/audio_bench
//
// The movies are generated in a temporary folder with the ffmpeg tool and removed after. The
// figure to set against a conversion is "ms_per_movie_second" of BM_SoundPath.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio/audio_encoder.h"
#include "audio/dpcm.h"
#include "input/movie_source.h"
#include "mve/mve_record.h"

namespace {

std::filesystem::path scratch;

// A chord with a slow vibrato, a beat and some hiss: varied enough that every step size is used.
const char* kSound =
    "aevalsrc='0.25*sin(2*PI*220*t)+0.2*sin(2*PI*331*t*(1+0.002*sin(3*t)))"
    "+0.15*sin(2*PI*1760*t)*lt(mod(t\\,0.5)\\,0.1)+0.05*(random(0)-0.5)|"
    "0.25*sin(2*PI*277*t)+0.2*sin(2*PI*440*t)+0.05*(random(1)-0.5)':s=44100:d=10";

std::string MoviePath(const char* name) {
  return (scratch / name).string();
}

bool Generate(const std::string& audioCodec, const char* name) {
  const std::string command =
      "ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=10 "
      "-f lavfi -i \"" +
      std::string(kSound) + "\" -c:v mjpeg -q:v 5 -c:a " + audioCodec + " -ac 2 -shortest '" +
      MoviePath(name) + "'";
  return std::system(command.c_str()) == 0;
}

// Arguments: channels.
void BM_CompressDPCM(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  const int samples = 44100 * channels;  // one second
  std::vector<int16_t> sound(samples);
  std::mt19937 rng(7);
  std::normal_distribution<double> hiss(0, 300);
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i / channels) / 44100.0;
    sound[i] = static_cast<int16_t>(std::lround(
        8000 * std::sin(2 * M_PI * (220 + 57 * (i % channels)) * t) +
        6000 * std::sin(2 * M_PI * 331 * t) + 3000 * std::sin(2 * M_PI * 1760 * t) + hiss(rng)));
  }
  const int32_t bytes = samples * 2;
  std::vector<uint8_t> buffer(bytes);
  korvane::DpcmCompressor compressor(/*classic=*/state.range(1) != 0);
  for (auto _ : state) {
    std::memcpy(buffer.data(), sound.data(), bytes);
    benchmark::DoNotOptimize(compressor.CompressDPCM(buffer.data(), bytes, channels));
  }
  state.counters["sound_seconds_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
// Arguments: channels, and 1 for the classic coder (0: the portable one).
BENCHMARK(BM_CompressDPCM)
    ->ArgNames({"channels", "classic"})
    ->ArgsProduct({{1, 2}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// Argument: 0 for the PCM-in-AVI movie (classic reader), 1 for the AAC-in-MP4 movie (generic).
void BM_SoundPath(benchmark::State& state) {
  const std::string movie = MoviePath(state.range(0) == 0 ? "pcm.avi" : "aac.mp4");
  double movieSeconds = 0, spent = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::ostringstream out;
    korvane::MovieSource source(out);
    if (!source.OpenAvi(movie, movie, korvane::MovieSourceOptions{}) || !source.AudioPresent) {
      state.SkipWithError(("no soundtrack: " + source.LastError).c_str());
      break;
    }
    korvane::AudioFacts facts;
    facts.AudioPresent = true;
    facts.AudioChannels = source.AudioChannels;
    facts.AudioBytesPerSample = source.AudioBytesPerSample;
    facts.AudioChunkBytes = source.AudioChunkBytes;
    facts.AudioLeadChunkBytes = source.AudioLeadChunkBytes;
    facts.FramesPerSecond = source.FramesPerSecond;
    korvane::AudioEncoder encoder(facts, [&source](uint8_t* dest, int32_t count) {
      return source.ReadAviAudio(dest, count);
    });
    const int chunks = encoder.AudioOnlyChunks() + source.FrameCount;
    movieSeconds = source.FrameCount / source.FrameRate;
    korvane::MveRecord chunk;
    const auto start = std::chrono::steady_clock::now();
    state.ResumeTiming();
    // As in pass 2: the audio-only chunks of the first second, then one piece per frame.
    for (int c = 0; c < chunks; ++c) {
      encoder.BuildFrameAudio();
      chunk.Data.clear();
      chunk.Len = 0;
      encoder.AppendFrameAudio(chunk);
      benchmark::DoNotOptimize(chunk.Data.data());
    }
    spent += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    source.CloseAvi();
    state.ResumeTiming();
  }
  if (movieSeconds > 0) {
    // Time of one pass over the track divided by the track's length.
    state.counters["ms_per_movie_second"] =
        benchmark::Counter(1000.0 * spent / static_cast<double>(state.iterations()) / movieSeconds);
  }
}
BENCHMARK(BM_SoundPath)
    ->ArgName("aac")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  char pattern[] = "/tmp/korvane-audio-bench-XXXXXX";
  if (!mkdtemp(pattern)) {
    std::perror("mkdtemp");
    return 1;
  }
  scratch = pattern;
  if (!Generate("pcm_s16le", "pcm.avi") || !Generate("aac -b:a 160k", "aac.mp4")) {
    std::fprintf(stderr, "could not generate the movies with the ffmpeg tool\n");
    std::filesystem::remove_all(scratch);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(scratch);
  return 0;
}
