// Speed of the default method: EncodeFrame on generated moving content at 320x240 and 640x480
// with one and two workers, with and without the motion search, and the palette mappings the
// encoder runs on every frame.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON
//   cmake --build build-bench --target video_bench && build-bench/bench/video_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "palette/color_reducer.h"
#include "video/frame_encoder.h"

namespace {

using korvane::ColorReducer;
using korvane::FrameEncoder;

constexpr int kFrames = 8;

// Frame f of a panning scene: smooth gradients, a textured disc moving the other way, fine
// stripes, and sensor-like noise. RGB, top row first.
std::vector<uint8_t> MakeFrame(int width, int height, int f) {
  std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
  std::mt19937 rng(1234u + static_cast<unsigned>(f));
  std::uniform_int_distribution<int> noise(-10, 10);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int sx = x + 3 * f, sy = y + f;
      int r = 40 + (sx * 180) / width;
      int g = 30 + (sy * 200) / height;
      int b = 128 + static_cast<int>(80 * std::sin(0.031 * sx) * std::cos(0.023 * sy));
      const int dx = x - (width / 2 - 4 * f), dy = y - height / 2;
      if (dx * dx + dy * dy < height * height / 16) {
        const bool check = ((x / 5) + (y / 5)) & 1;
        r = check ? 220 : 70;
        g = check ? 90 : 180;
        b = check ? 40 : 120;
      }
      if (x > 3 * width / 4) g = ((sx / 2) & 1) ? 240 : g / 2;
      r += noise(rng);
      g += noise(rng);
      b += noise(rng);
      uint8_t* p = &rgb[3 * (static_cast<size_t>(y) * width + x)];
      p[0] = static_cast<uint8_t>(std::clamp(r, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(b, 0, 255));
    }
  return rgb;
}

struct Scene {
  int width, height;
  std::vector<std::vector<uint8_t>> frames;
  std::unique_ptr<ColorReducer> reducer;
};

Scene& GetScene(int width, int height) {
  static std::vector<std::unique_ptr<Scene>> scenes;
  for (auto& s : scenes)
    if (s->width == width && s->height == height) return *s;
  auto s = std::make_unique<Scene>();
  s->width = width;
  s->height = height;
  s->reducer = ColorReducer::Create(256);
  for (int f = 0; f < kFrames; ++f) {
    s->frames.push_back(MakeFrame(width, height, f));
    s->reducer->AddPixelsRGB(s->frames.back().data(), width, height);
  }
  s->reducer->BuildPalette();
  scenes.push_back(std::move(s));
  return *scenes.back();
}

// Arguments: width, height, threads, motion (0/1), dither (0/1).
void BM_EncodeFrame(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const int threads = static_cast<int>(state.range(2));
  const bool motion = state.range(3) != 0, dither = state.range(4) != 0;
  Scene& scene = GetScene(width, height);
  FrameEncoder enc;
  enc.SetupFrameGeometry(width, height, scene.reducer.get(), dither, threads);
  enc.SetMotionSearch(motion);
  // About 300 kilobytes per second at 15 frames per second.
  const int32_t limit = 20480 - 44 - enc.BlockCount() / 2;
  int f = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    korvane::FrameStats stats;
    enc.EncodeFrame(scene.frames[f].data(), limit, stats);
    bytes += stats.Bytes;
    f = (f + 1) % kFrames;
  }
  state.counters["frame_bytes"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeFrame)
    ->ArgNames({"w", "h", "threads", "motion", "dither"})
    ->Args({320, 240, 1, 0, 0})
    ->Args({320, 240, 2, 0, 0})
    ->Args({320, 240, 2, 1, 0})
    ->Args({640, 480, 1, 0, 0})
    ->Args({640, 480, 2, 0, 0})
    ->Args({640, 480, 1, 1, 0})
    ->Args({640, 480, 2, 1, 0})
    ->Args({640, 480, 2, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arguments: width, height, mapping (0 plain, 1 half resolution, 2 dithered).
void BM_MapFrame(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  Scene& scene = GetScene(width, height);
  std::vector<uint8_t> out(static_cast<size_t>(width) * height);
  int f = 0;
  for (auto _ : state) {
    const uint8_t* in = scene.frames[f].data();
    switch (state.range(2)) {
      case 0:
        scene.reducer->MapPixels(in, out.data(), width, height);
        break;
      case 1:
        scene.reducer->MapPixelsHalfRes(in, out.data(), width, height);
        break;
      default:
        scene.reducer->MapPixelsDithered(in, out.data(), width, height);
        break;
    }
    benchmark::DoNotOptimize(out.data());
    f = (f + 1) % kFrames;
  }
}
BENCHMARK(BM_MapFrame)
    ->ArgNames({"w", "h", "mapping"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({640, 480, 2})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
