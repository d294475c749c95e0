// Palette files: HSI Pal text and Adobe ACT.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "palette/color_reducer.h"
#include "palette_test_util.h"
#include "support/fixtures.h"

namespace korvane {
namespace {

using test::PaletteOf;
using test::ReducerWithPalette;
using test::Rgb;

// 200 colours whose brightness rises strictly, with one-, two- and three-digit values.
std::vector<Rgb> TwoHundredColours() {
  std::vector<Rgb> colors;
  for (int i = 0; i < 200; ++i) colors.push_back({i + 1, i / 2, 255 - i / 4});
  return colors;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, text.size()) << "text after the last line end";
  return lines;
}

TEST(PaletteFile, Extensions) {
  EXPECT_STREQ(PaletteExtensions[kPaletteFormatPal], ".pal");
  EXPECT_STREQ(PaletteExtensions[kPaletteFormatAct], ".act");
}

TEST(PaletteFile, TextRoundTrip) {
  const std::string dir = test::ScratchDir("palette_text_round_trip");
  const std::string path = dir + "/movie.pal";
  auto reducer = ReducerWithPalette(TwoHundredColours());
  std::string error;
  ASSERT_TRUE(SavePalette(*reducer, path, kPaletteFormatPal, &error)) << error;

  const std::string text = ReadText(path);
  std::vector<std::string> lines = SplitCrLf(text);
  ASSERT_EQ(lines.size(), 202u);
  EXPECT_EQ(lines[0], "PAL");
  EXPECT_EQ(lines[1], "200");
  EXPECT_EQ(lines[2], "  1   0 255");
  EXPECT_EQ(lines[11], " 10   4 253");
  EXPECT_EQ(lines[201], "200  99 206");
  for (size_t i = 2; i < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 11u) << i;

  auto loaded = ColorReducer::Create(256);
  ASSERT_EQ(LoadPalette(*loaded, path, kPaletteFormatPal, &error), PaletteLoadResult::Loaded);
  EXPECT_EQ(PaletteOf(*loaded), TwoHundredColours());
  ASSERT_TRUE(SavePalette(*loaded, path, kPaletteFormatPal, &error)) << error;
  EXPECT_EQ(ReadText(path), text);
}

TEST(PaletteFile, ActRoundTrip) {
  const std::string dir = test::ScratchDir("palette_act_round_trip");
  const std::string path = dir + "/movie.act";
  auto reducer = ReducerWithPalette(TwoHundredColours());
  std::string error;
  ASSERT_TRUE(SavePalette(*reducer, path, kPaletteFormatAct, &error)) << error;

  std::vector<uint8_t> bytes = test::ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 768u);
  const std::vector<Rgb> colors = TwoHundredColours();
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(bytes[3 * i], colors[i].r);
    EXPECT_EQ(bytes[3 * i + 1], colors[i].g);
    EXPECT_EQ(bytes[3 * i + 2], colors[i].b);
  }
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 600, bytes.end()), std::vector<uint8_t>(168, 0));

  // Loaded back: all 256 entries count, the 56 black ones sort first.
  auto loaded = ColorReducer::Create(256);
  ASSERT_EQ(LoadPalette(*loaded, path, kPaletteFormatAct, &error), PaletteLoadResult::Loaded);
  std::vector<Rgb> expected(56, Rgb{0, 0, 0});
  expected.insert(expected.end(), colors.begin(), colors.end());
  EXPECT_EQ(PaletteOf(*loaded), expected);
}

// The 772-byte ACT form: the colours, then a big-endian colour count and a transparency index.
TEST(PaletteFile, ActWithColourCount) {
  // Entry i is (i, 255 - i, 7): a colour count that cuts the table keeps the entries before it.
  std::string colours;
  for (int i = 0; i < 256; ++i) colours += {char(i), char(255 - i), '\x07'};
  auto firstN = [](int n) {
    std::vector<Rgb> palette;
    for (int i = 0; i < n; ++i) palette.push_back({i, 255 - i, 7});
    return palette;
  };
  struct Case {
    const char* name;
    std::string tail;  // count high, count low, transparency index high, low
    std::vector<Rgb> expected;
  };
  const Case cases[] = {
      {"16 colours, index 0 transparent", {'\0', '\x10', '\0', '\0'}, firstN(16)},
      {"one colour, no transparency", {'\0', '\x01', '\xFF', '\xFF'}, firstN(1)},
      {"200 colours, transparency beyond them", {'\0', '\xC8', '\x01', '\x2C'}, firstN(200)},
      {"256 colours", {'\x01', '\0', '\0', '\x05'}, firstN(256)},
      {"more than 256 declared: all of them", {'\x01', '\x01', '\xFF', '\xFF'}, firstN(256)},
  };
  const std::string dir = test::ScratchDir("palette_act_count");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/in.act";
    WriteFile(path, colours + c.tail);
    auto reducer = ColorReducer::Create(256);
    std::string error;
    ASSERT_EQ(LoadPalette(*reducer, path, kPaletteFormatAct, &error), PaletteLoadResult::Loaded);
    // Every entry here has the same brightness sum, so sorting keeps the file's order.
    EXPECT_EQ(PaletteOf(*reducer), c.expected);
  }
}

TEST(PaletteFile, TextLoading) {
  std::string threeHundred = "PAL\r\n300\r\n";
  for (int i = 0; i < 300; ++i) threeHundred += std::to_string(i % 256) + " 0 0\r\n";
  std::vector<Rgb> first256;
  for (int i = 0; i < 256; ++i) first256.push_back({i, 0, 0});

  struct Case {
    const char* name;
    std::string text;
    std::vector<Rgb> expected;  // sorted palette after loading
  };
  const Case cases[] = {
      {"300 declared, 256 loaded", threeHundred, first256},
      {"low 8 bits of each value",
       "PAL\r\n3\r\n300 -1 256\r\n  1   2   3\r\n 10  10  10\r\n",
       {{1, 2, 3}, {10, 10, 10}, {44, 255, 0}}},
      {"loaded palette is sorted",
       "PAL\r\n3\r\n255 255 255\r\n  0   0   0\r\n 50  60  70\r\n",
       {{0, 0, 0}, {50, 60, 70}, {255, 255, 255}}},
      {"line ends of LF alone", "PAL\n2\n9 9 9\n1 1 1\n", {{1, 1, 1}, {9, 9, 9}}},
      {"blanks, extra numbers and text after the count ignored",
       "PAL\r\n  2   colours\r\n\t5 6 7 8 9\r\n1 2 3 # note\r\n",
       {{1, 2, 3}, {5, 6, 7}}},
      {"no line end at the end", "PAL\r\n1\r\n4 5 6", {{4, 5, 6}}},
  };
  const std::string dir = test::ScratchDir("palette_text_loading");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/in.pal";
    WriteFile(path, c.text);
    auto reducer = ColorReducer::Create(256);
    std::string error;
    ASSERT_EQ(LoadPalette(*reducer, path, kPaletteFormatPal, &error), PaletteLoadResult::Loaded);
    EXPECT_EQ(PaletteOf(*reducer), c.expected);
  }
}

TEST(PaletteFile, InvalidFilesLeaveThePaletteAlone) {
  struct Case {
    const char* name;
    int format;
    std::string bytes;
  };
  const Case cases[] = {
      {"lower case", kPaletteFormatPal, "pal\r\n1\r\n1 2 3\r\n"},
      {"blank after PAL", kPaletteFormatPal, "PAL \r\n1\r\n1 2 3\r\n"},
      {"blank before PAL", kPaletteFormatPal, " PAL\r\n1\r\n1 2 3\r\n"},
      {"empty file", kPaletteFormatPal, ""},
      {"no count", kPaletteFormatPal, "PAL\r\n"},
      {"count not a number", kPaletteFormatPal, "PAL\r\nabc\r\n1 2 3\r\n"},
      {"count with junk", kPaletteFormatPal, "PAL\r\n2x\r\n1 2 3\r\n4 5 6\r\n"},
      {"negative count", kPaletteFormatPal, "PAL\r\n-1\r\n1 2 3\r\n"},
      {"zero colours", kPaletteFormatPal, "PAL\r\n0\r\n"},
      {"fewer lines than declared", kPaletteFormatPal, "PAL\r\n3\r\n1 2 3\r\n4 5 6\r\n"},
      {"line cut short", kPaletteFormatPal, "PAL\r\n2\r\n1 2 3\r\n4 5\r\n"},
      {"colour not a number", kPaletteFormatPal, "PAL\r\n1\r\n1 x 3\r\n"},
      {"value too large", kPaletteFormatPal, "PAL\r\n1\r\n1 99999999999 3\r\n"},
      {"ACT too short", kPaletteFormatAct, std::string(767, '\x10')},
      {"ACT of 769 bytes", kPaletteFormatAct, std::string(769, '\x10')},
      {"ACT of 773 bytes", kPaletteFormatAct, std::string(773, '\x10')},
      {"ACT declaring no colours", kPaletteFormatAct,
       std::string(768, '\x10') + '\0' + '\0' + '\xFF' + '\xFF'},
      {"ACT empty", kPaletteFormatAct, ""},
  };
  const std::string dir = test::ScratchDir("palette_invalid");
  const std::vector<Rgb> before = {{1, 1, 1}, {7, 8, 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/in.pal";
    WriteFile(path, c.bytes);
    auto reducer = ReducerWithPalette(before);
    EXPECT_EQ(reducer->MapColor(8, 8, 8), 1);  // fills part of the inverse map
    std::string error;
    EXPECT_EQ(LoadPalette(*reducer, path, c.format, &error), PaletteLoadResult::Invalid);
    EXPECT_EQ(PaletteOf(*reducer), before);
    EXPECT_EQ(reducer->MapColor(8, 8, 8), 1);
  }
}

TEST(PaletteFile, LoadingReplacesTheInverseColourMap) {
  const std::string dir = test::ScratchDir("palette_reload");
  const std::string path = dir + "/in.pal";
  WriteFile(path, "PAL\r\n2\r\n250 250 250\r\n  0 200   0\r\n");
  auto reducer = ReducerWithPalette({{0, 0, 0}, {255, 255, 255}});
  EXPECT_EQ(reducer->MapColor(10, 190, 10), 0);  // black is nearer than white
  std::string error;
  ASSERT_EQ(LoadPalette(*reducer, path, kPaletteFormatPal, &error), PaletteLoadResult::Loaded);
  EXPECT_EQ(reducer->MapColor(10, 190, 10), 0);  // now (0, 200, 0), entry 0 after sorting
  EXPECT_EQ(reducer->MapColor(240, 240, 240), 1);
}

TEST(PaletteFile, ErrorsCarryTheSystemReason) {
  auto reducer = ReducerWithPalette({{1, 2, 3}});
  const std::string dir = test::ScratchDir("palette_errors");
  std::string error;
  for (int format : {kPaletteFormatPal, kPaletteFormatAct}) {
    SCOPED_TRACE(format);
    error.clear();
    EXPECT_FALSE(SavePalette(*reducer, dir + "/missing/out.pal", format, &error));
    EXPECT_EQ(error, "No such file or directory");
    // A device that takes nothing: the failure shows when the data are flushed.
    error.clear();
    EXPECT_FALSE(SavePalette(*reducer, "/dev/full", format, &error));
    EXPECT_EQ(error, "No space left on device");
    error.clear();
    EXPECT_EQ(LoadPalette(*reducer, dir + "/nothing.pal", format, &error),
              PaletteLoadResult::ReadError);
    EXPECT_EQ(error, "No such file or directory");
    error.clear();
    EXPECT_EQ(LoadPalette(*reducer, dir, format, &error), PaletteLoadResult::ReadError);
    EXPECT_EQ(error, "Is a directory");
  }
  EXPECT_EQ(PaletteOf(*reducer), (std::vector<Rgb>{{1, 2, 3}}));
}

}  // namespace
}  // namespace korvane
