// The default palette's colour counts: every cell's pixel count and component sums equal the
// plain 64-bit sums, whatever the byte order of the pixels and however often a cell fills.
#include "palette/color_statistics.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace korvane {
namespace {

struct Reference {
  std::vector<ColorStatistics::Cell> cells =
      std::vector<ColorStatistics::Cell>(ColorStatistics::kCells);
  void Add(const std::vector<uint8_t>& pixels, bool bgr) {
    for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
      const int r = pixels[i + (bgr ? 2 : 0)], g = pixels[i + 1], b = pixels[i + (bgr ? 0 : 2)];
      ColorStatistics::Cell& c = cells[ColorStatistics::CellOf(r, g, b)];
      ++c.Count;
      c.Red += r;
      c.Green += g;
      c.Blue += b;
    }
  }
};

void ExpectSame(const ColorStatistics& s, const Reference& ref, const char* what) {
  const ColorStatistics::Cell* cells = s.Cells();
  int wrong = 0;
  for (int i = 0; i < ColorStatistics::kCells; ++i) {
    const ColorStatistics::Cell &a = cells[i], &b = ref.cells[i];
    if (a.Count != b.Count || a.Red != b.Red || a.Green != b.Green || a.Blue != b.Blue) {
      if (++wrong <= 3)
        ADD_FAILURE() << what << ": cell " << i << " has " << a.Count << " " << a.Red << " "
                      << a.Green << " " << a.Blue << ", expected " << b.Count << " " << b.Red << " "
                      << b.Green << " " << b.Blue;
    }
  }
  EXPECT_EQ(wrong, 0) << what;
}

// Random pixels over few cells (so that cells fill many times), one colour for a whole frame
// (one cell filling at every 64th pixel), frames of both byte orders in turn, an odd pixel
// count, counts read halfway and counting going on, and counts cleared.
TEST(ColorStatistics, CountsEqualPlainSums) {
  std::mt19937 rng(3);
  auto frame = [&](int pixels, int spread) {
    std::vector<uint8_t> f(3 * static_cast<size_t>(pixels));
    for (uint8_t& v : f) v = static_cast<uint8_t>(128 + static_cast<int>(rng() % spread));
    return f;
  };
  const std::vector<uint8_t> flat(3 * 1001, 203);
  std::unique_ptr<ColorStatistics> s = ColorStatistics::Create();
  ASSERT_NE(s, nullptr);
  Reference ref;
  const std::vector<std::pair<std::vector<uint8_t>, bool>> frames = {
      {frame(5000, 6), true},   {frame(777, 6), false}, {flat, true},
      {frame(4096, 256), true}, {flat, false},          {frame(3, 128), false}};
  for (size_t i = 0; i < frames.size(); ++i) {
    const auto& [pixels, bgr] = frames[i];
    const int n = static_cast<int>(pixels.size() / 3);
    if (bgr)
      s->AddBGR(pixels.data(), n, 1);
    else
      s->AddRGB(pixels.data(), 1, n);
    ref.Add(pixels, bgr);
    if (i == 2) ExpectSame(*s, ref, "halfway");
  }
  ExpectSame(*s, ref, "all frames");
  s->Clear();
  ExpectSame(*s, Reference{}, "cleared");
  s->AddBGR(flat.data(), 1001, 1);
  Reference again;
  again.Add(flat, true);
  ExpectSame(*s, again, "after clearing");
}

}  // namespace
}  // namespace korvane
