// Shared helpers of the video encoder tests: small palettes with a plain nearest-colour
// mapping, generated true-colour content, and a block decoder (mveinfo's player, apart from
// the encoder's own code).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mveinfo/mve_player.h"
#include "palette/color_reducer.h"
#include "support/mve_reader.h"
#include "video/measures.h"

namespace korvane::test {

// A palette of up to 256 entries (R, G, B, 0) with a brute-force nearest-colour mapping
// (squared distance, lowest index on a tie).
struct TestPalette {
  uint8_t entries[1024] = {};
  int count = 0;

  void Add(int r, int g, int b) {
    entries[4 * count] = static_cast<uint8_t>(r);
    entries[4 * count + 1] = static_cast<uint8_t>(g);
    entries[4 * count + 2] = static_cast<uint8_t>(b);
    ++count;
  }
  int Nearest(int r, int g, int b) const {
    int best = 0;
    long bestD = -1;
    for (int i = 0; i < count; ++i) {
      long d0 = r - entries[4 * i], d1 = g - entries[4 * i + 1], d2 = b - entries[4 * i + 2];
      long d = d0 * d0 + d1 * d1 + d2 * d2;
      if (bestD < 0 || d < bestD) {
        bestD = d;
        best = i;
      }
    }
    return best;
  }
  static uint8_t Map(const void* ctx, uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<uint8_t>(static_cast<const TestPalette*>(ctx)->Nearest(r, g, b));
  }
  void Install(PaletteTables& tables) const { tables.Set(entries, &TestPalette::Map, this); }
};

// A grey ramp: entry i = (i, i, i) for i < n.
inline TestPalette GreyPalette(int n = 256) {
  TestPalette p;
  for (int i = 0; i < n; ++i) p.Add(i, i, i);
  return p;
}

// Frame f of a moving test picture: gradients, a few moving shapes with texture and noise.
// `shift` pixels of motion per frame. RGB, top row first.
inline std::vector<uint8_t> MakeFrame(int width, int height, int f, int shift = 3,
                                      unsigned seed = 1) {
  std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
  std::mt19937 rng(seed * 7919u + static_cast<unsigned>(f));
  std::uniform_int_distribution<int> noise(-12, 12);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int sx = x + f * shift, sy = y + f * shift / 2;
      int r = (sx * 255) / (width + 1);
      int g = (sy * 255) / (height + 1);
      int b = 128 + static_cast<int>(90 * std::sin(0.05 * sx + 0.03 * sy));
      // A textured disc drifting the other way.
      const int cx = width / 2 - f * shift, cy = height / 2;
      const int dx = x - cx, dy = y - cy;
      if (dx * dx + dy * dy < (height / 4) * (height / 4)) {
        const bool check = ((x / 4) + (y / 4)) & 1;
        r = check ? 230 : 40;
        g = check ? 60 : 200;
        b = check ? 30 : 90;
      }
      // Stripes on the right third.
      if (x > 2 * width / 3) g = ((sx / 3) & 1) ? 250 : g / 3;
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

// A texture of twelve colours, RGB, top row first, moved `shift` pixels to the left, or
// (`period` > 0) repeating every `period` pixels across; no two 8-pixel rows alike.
inline std::vector<uint8_t> Texture(int w, int h, int shift, int period) {
  std::vector<uint8_t> rgb(3 * static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const unsigned u = static_cast<unsigned>(period ? x % period : x + shift);
      const unsigned v = (u * 2654435761u) ^ (static_cast<unsigned>(y) * 40503u);
      const unsigned k = (v >> 7) % 12;
      uint8_t* p = &rgb[3 * (static_cast<size_t>(y) * w + x)];
      p[0] = static_cast<uint8_t>(20 * k);
      p[1] = static_cast<uint8_t>(255 - 17 * k);
      p[2] = static_cast<uint8_t>((k * 97) & 255);
    }
  return rgb;
}

// Frame f of a picture whose every 8x4 half block has two colours (of twelve) in a pattern of
// its own. RGB, top row first.
inline std::vector<uint8_t> TwoColourHalves(int w, int h, int f) {
  std::vector<uint8_t> rgb(3 * static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const unsigned half = static_cast<unsigned>((y / 4) * w + x / 8 + 977 * f);
      const unsigned bit = ((static_cast<unsigned>(x + 8 * y + 64 * f) * 2654435761u) >> 13) & 1;
      const unsigned k = ((half * 40503u) >> 5) % 6 + 6 * bit;
      uint8_t* p = &rgb[3 * (static_cast<size_t>(y) * w + x)];
      p[0] = static_cast<uint8_t>(20 * k);
      p[1] = static_cast<uint8_t>(255 - 17 * k);
      p[2] = static_cast<uint8_t>((k * 97) & 255);
    }
  return rgb;
}

// A reducer whose palette is built by median cut from the given frames.
inline std::unique_ptr<ColorReducer> ReducerFor(const std::vector<std::vector<uint8_t>>& frames,
                                                int width, int height, int colors = 256,
                                                bool classic = true) {
  auto reducer = ColorReducer::Create(colors, classic);
  for (const auto& f : frames) reducer->AddPixelsRGB(f.data(), width, height);
  reducer->BuildPalette();
  return reducer;
}

// Decodes one block from its opcode and data bytes with mveinfo's player, into 64 contiguous
// pixels. `previous` and `twoBack` are frames of `width` x `height` pixels, `offset` the
// block's top-left pixel. False (with a reason) for a variant the encoder never writes, a wrong
// data length, or a copy from outside the frame.
// `drawing`, when given, is the frame being decoded: the blocks drawn so far over the frame
// two back, which copies within the frame read (without it they read `twoBack`).
inline bool DecodeBlockRef(uint8_t op, const uint8_t* d, int size, const uint8_t* previous,
                           const uint8_t* twoBack, int width, int height, int offset,
                           uint8_t out[64], std::string* why, const uint8_t* drawing = nullptr) {
  if (!EncoderWritesBlock(op, d, static_cast<size_t>(size), why)) return false;
  // Opcode 1 leaves the block as the buffer holds it: the frame two back.
  for (int y = 0; y < 8; ++y) std::memcpy(out + 8 * y, twoBack + offset + y * width, 8);
  const MveBlockFrames frames{drawing ? drawing : twoBack, previous, width, height};
  bool outside = false;
  const int used = DecodeMveBlock(op, d, static_cast<size_t>(size), frames, (offset % width) / 8,
                                  offset / width / 8, out, 8, &outside);
  if (used != size) {
    *why = "opcode " + std::to_string(op) + " with " + std::to_string(size) + " bytes, expected " +
           (used < 0 ? "more" : std::to_string(used));
    return false;
  }
  if (outside) {
    *why = "opcode " + std::to_string(op) + " copies from outside the frame";
    return false;
  }
  return true;
}

}  // namespace korvane::test
