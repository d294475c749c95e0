#include "driver/report.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace korvane {
namespace {

TEST(RunReport, DefaultMethodLines) {
  RunReport r;
  r.BytesWritten = 520000 + 16 + 1000;
  r.VideoDataBytes = 500000;
  r.FrameCounter = 100;
  r.FrameWidth = 320;
  r.FrameHeight = 240;
  r.FrameRate = 25;
  r.PassStartBytes = 1000;
  r.CandidateSpace = 300;
  r.BlockCount = 1200;
  r.PeakChainBytes = 123456;
  r.Pass2Seconds = 12.4;
  r.TotalError = 1;
  r.TotalEnergy = 10000;
  std::ostringstream out;
  PrintRunReport(out, r);
  EXPECT_EQ(out.str(),
            "MVE file size: 521016 bytes.\n"
            "Avg. frame len: 5000.00 bytes (6.51% of original)\n"
            " 130000 bytes/sec.\n"
            "Compressor buffer size: 360000\n"
            "     peak buffer usage: 123456\n"
            "Pass 2 time: 12 seconds\n"
            "Relative error: 1.00%\n");
}

TEST(RunReport, OldMethodOnlyShowsSplitLineWhenSplit) {
  RunReport r;
  r.OldMethod = true;
  r.BytesWritten = 42 + 100;
  r.VideoDataBytes = 100;
  r.FrameCounter = 1;
  r.FrameWidth = 16;
  r.FrameHeight = 16;
  r.FrameRate = 1;
  std::ostringstream plain;
  PrintRunReport(plain, r);
  EXPECT_EQ(plain.str(),
            "MVE file size: 142 bytes.\n"
            "Avg. frame len: 100.00 bytes (39.06% of original)\n"
            " 126 bytes/sec.\n"
            "Pass 2 time: 0 seconds\n");
  r.SplitFrames = 3;
  std::ostringstream split;
  PrintRunReport(split, r);
  EXPECT_NE(
      split.str().find("\n3 frames did not fit in limit of 44000 bytes and were split\nPass 2"),
      std::string::npos);
}

TEST(RunReport, NoFramesShowsZeros) {
  RunReport r;
  r.BytesWritten = 42;
  std::ostringstream out;
  PrintRunReport(out, r);
  EXPECT_NE(out.str().find("Avg. frame len: 0.00 bytes (0.00% of original)\n 0 bytes/sec.\n"),
            std::string::npos);
  EXPECT_NE(out.str().find("Relative error: 0.00%\n"), std::string::npos);
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Each sign loss of the classic audio coder: the report, then one line of input awaited.
TEST(SignLossReport, PrintsEachLossAndWaitsForOneLineAfterEach) {
  struct Case {
    std::vector<int32_t> deviations;
    std::string input;
    std::string remaining;  // what is left unread afterwards
  };
  const std::string report =
      "\nCRITICAL ERROR! Sign loss left unfixed in audio stream. Deviation=-40000\n"
      "Please report to Kaso. Press <ENTER> key ";
  const Case cases[] = {{{-40000}, "\nnext\n", "next\n"},
                        {{-40000}, "", ""},
                        {{-40000}, "typed text\nmore", "more"},
                        {{-40000, -40000}, "a\nb\nc\n", "c\n"},
                        {{}, "untouched\n", "untouched\n"}};
  for (const Case& c : cases) {
    std::ostringstream out;
    std::istringstream in(c.input);
    ReportSignLosses(out, in, c.deviations);
    std::string expected;
    for (size_t i = 0; i < c.deviations.size(); ++i) expected += report;
    EXPECT_EQ(out.str(), expected);
    std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rest, c.remaining);
  }
}

}  // namespace
}  // namespace korvane
