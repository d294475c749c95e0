// Speed of the palette unit on 640 x 480 frames: counting, building, filling the inverse colour
// map, and the three mappings; each for the default reducer (argument 0) and the classic one
// (argument 1).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "palette/color_reducer.h"

namespace {

using korvane::ColorReducer;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// A frame with smooth gradients, a little noise and flat areas, like decoded video.
std::vector<uint8_t> MakeFrame(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> frame(kWidth * kHeight * 3);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &frame[(y * kWidth + x) * 3];
      int noise = static_cast<int>(rng() % 9) - 4;
      bool flat = ((x / 80) + (y / 60)) % 4 == 0;
      int r = flat ? 30 : (x * 255 / kWidth + noise);
      int g = flat ? 90 : (y * 255 / kHeight + noise);
      int b = flat ? 160 : ((x + y) * 255 / (kWidth + kHeight) + 2 * noise);
      p[0] = static_cast<uint8_t>(std::clamp(r, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(b, 0, 255));
    }
  return frame;
}

std::unique_ptr<ColorReducer> BuiltReducer(const std::vector<uint8_t>& frame, bool classic) {
  auto reducer = ColorReducer::Create(256, classic);
  reducer->AddPixelsRGB(frame.data(), kWidth, kHeight);
  reducer->BuildPalette();
  return reducer;
}

void BM_CountFrame(benchmark::State& state) {
  const auto frame = MakeFrame(1);
  auto reducer = ColorReducer::Create(256, state.range(0) != 0);
  for (auto _ : state) {
    reducer->AddPixelsBGR(frame.data(), kWidth, kHeight);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountFrame)->Arg(0)->Arg(1);

void BM_BuildPalette(benchmark::State& state) {
  const auto frame = MakeFrame(2);
  auto reducer = ColorReducer::Create(256, state.range(0) != 0);
  for (auto _ : state) {
    reducer->ClearCounts();
    reducer->AddPixelsRGB(frame.data(), kWidth, kHeight);
    reducer->BuildPalette();
  }
}
BENCHMARK(BM_BuildPalette)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Setting a palette sorts it and builds its whole inverse colour map.
void BM_ColdInverseMap(benchmark::State& state) {
  const auto frame = MakeFrame(3);
  auto reducer = BuiltReducer(frame, state.range(0) != 0);
  uint8_t palette[korvane::kPaletteBytes];
  const int count = reducer->GetPalette(palette);
  for (auto _ : state) reducer->SetPalette(palette, count);
}
BENCHMARK(BM_ColdInverseMap)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MapFrameWarm(benchmark::State& state) {
  const auto frame = MakeFrame(4);
  auto reducer = BuiltReducer(frame, state.range(0) != 0);
  std::vector<uint8_t> out(kWidth * kHeight);
  for (auto _ : state) {
    reducer->MapPixels(frame.data(), out.data(), kWidth, kHeight);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapFrameWarm)->Arg(0)->Arg(1);

void BM_MapFrameHalfRes(benchmark::State& state) {
  const auto frame = MakeFrame(5);
  auto reducer = BuiltReducer(frame, state.range(0) != 0);
  std::vector<uint8_t> out(kWidth * kHeight);
  for (auto _ : state) {
    reducer->MapPixelsHalfRes(frame.data(), out.data(), kWidth, kHeight);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapFrameHalfRes)->Arg(0)->Arg(1);

void BM_MapFrameDithered(benchmark::State& state) {
  const auto frame = MakeFrame(6);
  auto reducer = BuiltReducer(frame, state.range(0) != 0);
  std::vector<uint8_t> out(kWidth * kHeight);
  for (auto _ : state) {
    reducer->MapPixelsDithered(frame.data(), out.data(), kWidth, kHeight);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MapFrameDithered)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
