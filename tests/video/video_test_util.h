// Shared helpers of the video encoder tests: small palettes with a plain nearest-colour
// mapping, generated true-colour content, and a block decoder written from the MVE block
// format, apart from the encoder's own code.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "palette/color_reducer.h"
#include "video/measures.h"

namespace korvane::test {

inline uint16_t VLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t VLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

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

// A reducer whose palette is built by median cut from the given frames.
inline std::unique_ptr<ColorReducer> ReducerFor(const std::vector<std::vector<uint8_t>>& frames,
                                                int width, int height, int colors = 256) {
  auto reducer = ColorReducer::Create(colors);
  for (const auto& f : frames) reducer->AddPixelsRGB(f.data(), width, height);
  reducer->BuildPalette();
  return reducer;
}

// Decodes one block from its opcode and data bytes the way an MVE player does, into 64
// contiguous pixels. `previous` and `twoBack` are frames of `width` pixels per row, `offset`
// the block's top-left pixel. False (with a reason) for a variant the encoder never writes or
// a wrong data length.
inline bool DecodeBlockRef(uint8_t op, const uint8_t* d, int size, const uint8_t* previous,
                           const uint8_t* twoBack, int width, int offset, uint8_t out[64],
                           std::string* why) {
  auto need = [&](int n) {
    if (size != n)
      *why = "opcode " + std::to_string(op) + " with " + std::to_string(size) +
             " bytes, expected " + std::to_string(n);
    return size == n;
  };
  auto copy = [&](const uint8_t* src) {
    for (int y = 0; y < 8; ++y) std::memcpy(out + 8 * y, src + y * width, 8);
  };
  switch (op) {
    case 0:
      if (!need(0)) return false;
      copy(previous + offset);
      return true;
    case 1:
      if (!need(0)) return false;
      copy(twoBack + offset);
      return true;
    case 4: {
      if (!need(1)) return false;
      const int dx = (d[0] & 15) - 8, dy = (d[0] >> 4) - 8;
      copy(previous + offset + dy * width + dx);
      return true;
    }
    case 7:
      if (d[0] <= d[1]) {
        if (!need(10)) return false;
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) out[8 * y + x] = d[(d[2 + y] >> x) & 1];
      } else {
        if (!need(4)) return false;
        unsigned flags = VLe16(d + 2);
        for (int y = 0; y < 8; y += 2)
          for (int x = 0; x < 8; x += 2, flags >>= 1) {
            const uint8_t c = d[flags & 1];
            out[8 * y + x] = out[8 * y + x + 1] = out[8 * y + 8 + x] = out[8 * y + 9 + x] = c;
          }
      }
      return true;
    case 8: {
      if (d[0] > d[1]) {
        *why = "opcode 8 half variants are never written";
        return false;
      }
      if (!need(16)) return false;
      // Quadrants top-left, bottom-left, top-right, bottom-right.
      const int qx[4] = {0, 0, 4, 4}, qy[4] = {0, 4, 0, 4};
      for (int q = 0; q < 4; ++q) {
        const uint8_t* s = d + 4 * q;
        unsigned flags = VLe16(s + 2);
        for (int y = 0; y < 4; ++y)
          for (int x = 0; x < 4; ++x, flags >>= 1) out[8 * (qy[q] + y) + qx[q] + x] = s[flags & 1];
      }
      return true;
    }
    case 9:
      if (d[0] > d[1]) {
        *why = "opcode 9 with P0 > P1 is never written";
        return false;
      }
      if (d[2] <= d[3]) {
        if (!need(20)) return false;
        for (int y = 0; y < 8; ++y) {
          unsigned flags = VLe16(d + 4 + 2 * y);
          for (int x = 0; x < 8; ++x, flags >>= 2) out[8 * y + x] = d[flags & 3];
        }
      } else {
        if (!need(8)) return false;
        uint32_t flags = VLe32(d + 4);
        for (int y = 0; y < 8; y += 2)
          for (int x = 0; x < 8; x += 2, flags >>= 2) {
            const uint8_t c = d[flags & 3];
            out[8 * y + x] = out[8 * y + x + 1] = out[8 * y + 8 + x] = out[8 * y + 9 + x] = c;
          }
      }
      return true;
    case 10: {
      if (d[0] > d[1]) {
        *why = "opcode 10 half variants are never written";
        return false;
      }
      if (!need(32)) return false;
      const int qx[4] = {0, 0, 4, 4}, qy[4] = {0, 4, 0, 4};
      for (int q = 0; q < 4; ++q) {
        const uint8_t* s = d + 8 * q;
        uint32_t flags = VLe32(s + 4);
        for (int y = 0; y < 4; ++y)
          for (int x = 0; x < 4; ++x, flags >>= 2) out[8 * (qy[q] + y) + qx[q] + x] = s[flags & 3];
      }
      return true;
    }
    case 11:
      if (!need(64)) return false;
      std::memcpy(out, d, 64);
      return true;
    case 12:
      if (!need(16)) return false;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) out[8 * y + x] = d[4 * (y / 2) + x / 2];
      return true;
    case 13:
      if (!need(4)) return false;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) out[8 * y + x] = d[2 * (y / 4) + x / 4];
      return true;
    case 14:
      if (!need(1)) return false;
      std::memset(out, d[0], 64);
      return true;
    case 15:
      if (!need(2)) return false;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) out[8 * y + x] = d[(x + y) & 1];
      return true;
    default:
      *why = "opcode " + std::to_string(op) + " is never written";
      return false;
  }
}

}  // namespace korvane::test
