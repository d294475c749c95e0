// Every compiled version of the kernels against the plain one, on random and edge inputs:
// extreme values, every bound, windows at every alignment and at the ends of their buffers.
#include "video/dsp/dsp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace korvane::dsp {
namespace {

// Every version the processor runs, except the plain one (the reference).
std::vector<const Kernels*> FastVersions() {
  std::vector<const Kernels*> v;
  for (const Kernels* k : Available())
    if (k != &PlainKernels()) v.push_back(k);
  return v;
}

TEST(DspKernels, ThePlainVersionComesFirstAndTheFastestIsSelected) {
  ASSERT_FALSE(Available().empty());
  EXPECT_EQ(Available().front(), &PlainKernels());
  EXPECT_EQ(&Selected(), Available().back());
  EXPECT_EQ(&Selected(), &Selected());
#if defined(__x86_64__)
  // SSE2 is part of every x86-64 processor.
  EXPECT_NE(FastVersions().size(), 0u);
#endif
}

// Bytes drawn from a few values (many equal pixels and blocks), from the extremes, or at random.
void Fill(std::vector<uint8_t>& buffer, std::mt19937& rng, int kind) {
  for (auto& b : buffer) {
    const uint32_t r = rng();
    switch (kind) {
      case 0:
        b = static_cast<uint8_t>(r % 3);
        break;
      case 1:
        b = (r & 1) ? 255 : 0;
        break;
      default:
        b = static_cast<uint8_t>(r);
        break;
    }
  }
}

TEST(DspKernels, RowBoundedErrorEqualsThePlainVersion) {
  std::mt19937 rng(7);
  const int32_t maxError = 8 * 24 * 255 * 255;
  for (const Kernels* fast : FastVersions()) {
    SCOPED_TRACE(fast->Name);
    for (int round = 0; round < 3000; ++round) {
      const int stride = 24 + static_cast<int>(rng() % 40);
      // The block ends where the buffer ends, and starts at every alignment.
      const size_t misalign = rng() % 16;
      std::vector<uint8_t> t(misalign + 7 * stride + 24), r(t.size());
      Fill(t, rng, round % 3);
      Fill(r, rng, (round / 3) % 3);
      if (round % 17 == 0) r = t;
      if (round % 19 == 0) {
        std::fill(t.begin(), t.end(), 255);
        std::fill(r.begin(), r.end(), 0);
      }
      const int32_t bounds[] = {0,
                                1,
                                INT32_MAX,
                                maxError,
                                maxError + 1,
                                static_cast<int32_t>(rng() % (maxError + 1)),
                                static_cast<int32_t>(rng() % 20000)};
      for (int32_t bound : bounds)
        ASSERT_EQ(
            fast->RowBoundedError(t.data() + misalign, r.data() + misalign, stride, bound),
            PlainKernels().RowBoundedError(t.data() + misalign, r.data() + misalign, stride, bound))
            << "round " << round << " bound " << bound;
    }
  }
}

TEST(DspKernels, RowBoundedErrorSums) {
  // Checked on the plain version, the reference: 8 rows of 24 bytes at full difference; the
  // bound is checked after each row only.
  std::vector<uint8_t> t(8 * 30, 255), r(8 * 30, 0);
  const int32_t row = 24 * 255 * 255;
  for (const Kernels* k : Available()) {
    SCOPED_TRACE(k->Name);
    EXPECT_EQ(k->RowBoundedError(t.data(), r.data(), 30, INT32_MAX), 8 * row);
    EXPECT_EQ(k->RowBoundedError(t.data(), r.data(), 30, 1), row);
    EXPECT_EQ(k->RowBoundedError(t.data(), r.data(), 30, row + 1), 2 * row);
    EXPECT_EQ(k->RowBoundedError(t.data(), t.data(), 30, 0), 0);
  }
}

TEST(DspKernels, MotionSearchEqualsThePlainVersion) {
  std::mt19937 rng(11);
  const struct { int width, height; } sizes[] = {{8, 8}, {16, 8}, {24, 24}, {40, 32}, {64, 48}};
  for (const Kernels* fast : FastVersions()) {
    SCOPED_TRACE(fast->Name);
    for (const auto& size : sizes) {
      const int w = size.width, h = size.height;
      const int32_t lastBlockOffset = (h - 8) * w + (w - 8);
      for (int kind = 0; kind < 3; ++kind) {
        std::vector<uint8_t> previous(3 * w * h), target(3 * w * h);
        Fill(previous, rng, kind);
        Fill(target, rng, kind);
        for (int by = 0; by < h / 8; ++by)
          for (int bx = 0; bx < w / 8; ++bx) {
            const int32_t offset = 8 * by * w + 8 * bx;
            const uint8_t* block = target.data() + 3 * offset;
            for (int32_t bound : {INT32_MAX, 0, 1, 50000, static_cast<int32_t>(rng() % 400000)}) {
              MotionMatch a{-1, 99, 99}, b{-1, 99, 99};
              const int32_t ea =
                  fast->MotionSearch(bound, block, previous.data(), w, offset, lastBlockOffset, &a);
              const int32_t eb = PlainKernels().MotionSearch(bound, block, previous.data(), w,
                                                             offset, lastBlockOffset, &b);
              ASSERT_EQ(ea, eb) << w << "x" << h << " block " << bx << "," << by;
              ASSERT_EQ(a.SourceOffset, b.SourceOffset);
              ASSERT_EQ(a.Dx, b.Dx);
              ASSERT_EQ(a.Dy, b.Dy);
            }
          }
      }
    }
  }
}

TEST(DspKernels, MotionSearchFindsTheMovedBlockAndStaysInside) {
  // A block of the previous frame moved by (3, -2): found exactly, with error 0; sources that
  // cross an edge or leave the frame are never taken.
  const int w = 40, h = 32;
  std::vector<uint8_t> previous(3 * w * h), target(3 * w * h, 0);
  for (size_t i = 0; i < previous.size(); ++i)
    previous[i] = static_cast<uint8_t>((uint32_t(i) * 2654435761u) >> 24);
  const int32_t offset = 16 * w + 16;
  for (int y = 0; y < 8; ++y)
    std::memcpy(&target[3 * (offset + y * w)], &previous[3 * (offset + (y - 2) * w + 3)], 24);
  for (const Kernels* k : Available()) {
    SCOPED_TRACE(k->Name);
    MotionMatch m;
    EXPECT_EQ(k->MotionSearch(INT32_MAX, &target[3 * offset], previous.data(), w, offset,
                              (h - 8) * w + w - 8, &m),
              0);
    EXPECT_EQ(m.Dx, 3);
    EXPECT_EQ(m.Dy, -2);
    EXPECT_EQ(m.SourceOffset, offset - 2 * w + 3);
    // Nothing beats a bound of 0.
    MotionMatch untouched{-1, 99, 99};
    EXPECT_EQ(k->MotionSearch(0, &target[3 * offset], previous.data(), w, offset,
                              (h - 8) * w + w - 8, &untouched),
              0);
    EXPECT_EQ(untouched.SourceOffset, -1);
  }
}

TEST(DspKernels, FindCopyInteriorEqualsThePlainVersion) {
  std::mt19937 rng(5);
  for (const Kernels* fast : FastVersions()) {
    SCOPED_TRACE(fast->Name);
    for (int round = 0; round < 4000; ++round) {
      const int windowStride = 23 + static_cast<int>(rng() % 30);
      const int blockStride = 8 + static_cast<int>(rng() % 30);
      // Window rows -8 ... 14 readable from column 0 to 22, ending where the buffer ends.
      const size_t misalign = rng() % 16;
      std::vector<uint8_t> window(misalign + 22 * windowStride + 23), block(7 * blockStride + 8);
      const int kind = round % 3;
      Fill(window, rng, kind);
      Fill(block, rng, kind == 1 ? 1 : 0);
      const uint8_t* origin = window.data() + misalign + 8 * windowStride;
      // Often the block is taken from the window, so that there is a match to find.
      if (round % 2 == 0) {
        const int dy = static_cast<int>(rng() % 16) - 8, i = static_cast<int>(rng() % 16);
        for (int r = 0; r < 8; ++r)
          std::memcpy(&block[r * blockStride], origin + (dy + r) * windowStride + i, 8);
      }
      const int dyFirst = -8 + static_cast<int>(rng() % 4);
      const int dyLast = 7 - static_cast<int>(rng() % 4);
      const uint32_t masks[] = {0xFFFFu, 0u, 0x0001u, 0x8000u,
                                static_cast<uint32_t>(rng() & 0xFFFFu)};
      for (uint32_t columns : masks)
        ASSERT_EQ(fast->FindCopyInterior(block.data(), blockStride, origin, windowStride, dyFirst,
                                         dyLast, columns),
                  PlainKernels().FindCopyInterior(block.data(), blockStride, origin, windowStride,
                                                  dyFirst, dyLast, columns))
            << "round " << round << " columns " << columns;
    }
  }
}

TEST(DspKernels, FindCopyInteriorScanOrder) {
  // All equal: the first allowed position of the first allowed row.
  std::vector<uint8_t> window(23 * 32, 4), block(64, 4);
  const uint8_t* origin = window.data() + 8 * 32;
  for (const Kernels* k : Available()) {
    SCOPED_TRACE(k->Name);
    EXPECT_EQ(k->FindCopyInterior(block.data(), 8, origin, 32, -8, 7, 0xFFFF), 0);
    EXPECT_EQ(k->FindCopyInterior(block.data(), 8, origin, 32, -3, 7, 0xFFF0), 5 * 16 + 4);
    EXPECT_EQ(k->FindCopyInterior(block.data(), 8, origin, 32, -8, 7, 0), -1);
    EXPECT_EQ(k->FindCopyInterior(block.data(), 8, origin, 32, 1, 0, 0xFFFF), -1);
  }
}

TEST(DspKernels, FirstRowMatchesEqualsThePlainVersion) {
  std::mt19937 rng(8);
  for (const Kernels* fast : FastVersions()) {
    SCOPED_TRACE(fast->Name);
    for (int round = 0; round < 3000; ++round) {
      // The window ends where its buffer ends, 38 bytes on.
      const size_t misalign = rng() % 16;
      std::vector<uint8_t> window(misalign + 39), row(8);
      Fill(window, rng, round % 3);
      Fill(row, rng, round % 3 == 1 ? 1 : 0);
      if (round % 2 == 0) std::memcpy(row.data(), &window[misalign + rng() % 32], 8);
      for (int positions : {1, 7, 15, 16, 17, 29, 31, 32, static_cast<int>(1 + rng() % 32)})
        ASSERT_EQ(fast->FirstRowMatches(row.data(), window.data() + misalign, positions),
                  PlainKernels().FirstRowMatches(row.data(), window.data() + misalign, positions))
            << "round " << round << " positions " << positions;
    }
  }
  // Every position of an even window, and none past those asked for.
  const std::vector<uint8_t> even(39, 7);
  for (const Kernels* k : Available()) {
    EXPECT_EQ(k->FirstRowMatches(even.data(), even.data(), 32), 0xFFFFFFFFu) << k->Name;
    EXPECT_EQ(k->FirstRowMatches(even.data(), even.data(), 20), 0xFFFFFu) << k->Name;
  }
}

// Units of single pixels and of 2x2 cells, drawn from few values (many equal costs, where the
// first colour must win) or from the extremes; the plain version is checked against the costs
// written out.
TEST(DspKernels, NearestOfColorsEqualsThePlainVersion) {
  std::mt19937 rng(11);
  for (int round = 0; round < 4000; ++round) {
    const bool cells = round & 1;
    const int units = cells ? 16 : 64;
    const int32_t weight = cells ? 4 : 1;
    const int k = 1 + static_cast<int>(rng() % 4);
    const int kind = static_cast<int>(rng() % 3);
    auto component = [&]() -> int32_t {
      const uint32_t r = rng();
      return kind == 0   ? static_cast<int32_t>(r % 3) * 120
             : kind == 1 ? ((r & 1) ? 255 : 0)
                         : r & 255;
    };
    alignas(16) int32_t t[3][64], tsq[64];
    for (int i = 0; i < units; ++i) {
      tsq[i] = 0;
      for (int c = 0; c < 3; ++c) {
        int32_t sum = 0;
        for (int w = 0; w < weight; ++w) {
          const int32_t v = component();
          sum += v;
          tsq[i] += v * v;
        }
        t[c][i] = sum;
      }
    }
    int32_t colors[4][4];
    for (int j = 0; j < k; ++j) {
      const int32_t r[3] = {component(), component(), component()};
      for (int c = 0; c < 3; ++c) colors[j][c] = 2 * r[c];
      colors[j][3] = weight * (r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    }
    SCOPED_TRACE(::testing::Message() << "round " << round);
    int32_t expected[64];
    const int32_t total =
        PlainKernels().NearestOfColors(t[0], t[1], t[2], tsq, units, colors, k, expected);
    int32_t sum = 0;
    for (int i = 0; i < units; ++i) {
      int32_t cost[4];
      for (int j = 0; j < k; ++j)
        cost[j] = tsq[i] - colors[j][0] * t[0][i] - colors[j][1] * t[1][i] -
                  colors[j][2] * t[2][i] + colors[j][3];
      const int32_t g = expected[i];
      ASSERT_TRUE(g >= 0 && g < k);
      for (int j = 0; j < k; ++j) ASSERT_TRUE(cost[j] > cost[g] || (cost[j] == cost[g] && j >= g));
      sum += cost[g];
    }
    ASSERT_EQ(total, sum);
    for (const Kernels* fast : FastVersions()) {
      int32_t group[64];
      ASSERT_EQ(fast->NearestOfColors(t[0], t[1], t[2], tsq, units, colors, k, group), total)
          << fast->Name;
      ASSERT_TRUE(std::equal(group, group + units, expected)) << fast->Name;
    }
  }
}

}  // namespace
}  // namespace korvane::dsp
