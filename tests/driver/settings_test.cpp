#include "driver/settings.h"

#include <gtest/gtest.h>

#include <sstream>

#include "driver/korvane.h"

namespace korvane {
namespace {

std::vector<std::string> Args(std::initializer_list<const char*> list) {
  std::vector<std::string> args{"korvane"};
  for (const char* a : list) args.emplace_back(a);
  return args;
}

TEST(ParseCommandLine, FileNamesAndSoundFile) {
  Settings s;
  ASSERT_TRUE(ParseCommandLine(Args({"Movie.AVI"}), s));
  EXPECT_EQ(s.InputFile, "Movie.AVI");
  EXPECT_EQ(s.AudioFile, "Movie.AVI");
  EXPECT_EQ(s.OutputFile, "");

  for (auto args :
       {Args({"-w", "Sound.wav", "movie.avi"}), Args({"movie.avi", "-W", "Sound.wav"})}) {
    Settings t;
    ASSERT_TRUE(ParseCommandLine(args, t));
    EXPECT_EQ(t.InputFile, "movie.avi");
    EXPECT_EQ(t.AudioFile, "Sound.wav");
  }

  Settings three;
  ASSERT_TRUE(ParseCommandLine(Args({"a.avi", "b.mve", "c.mve"}), three));
  EXPECT_EQ(three.InputFile, "a.avi");
  EXPECT_EQ(three.OutputFile, "c.mve");
}

TEST(ParseCommandLine, DefaultsAndFlags) {
  Settings s;
  ASSERT_TRUE(ParseCommandLine(Args({"m.avi", "-LOC", "-ns", "-play", "-test", "-da", "-old", "-hq",
                                     "-act", "-wait", "-Dither", "-p", "Pal.PAL", "-threads", "3"}),
                               s));
  EXPECT_TRUE(s.LocalPalettes && s.NoSound && s.PlayFrames && s.TestOnly && s.ForceDirectShow &&
              s.OldMethod && s.HighQuality && s.ActPalette && s.WaitAtEnd && s.Dither);
  EXPECT_EQ(s.PaletteFile, "Pal.PAL");
  EXPECT_EQ(s.Threads, 3);

  Settings d;
  ASSERT_TRUE(ParseCommandLine(Args({"m.avi"}), d));
  EXPECT_EQ(d.BitRate, 307200);
  EXPECT_EQ(d.SizeLimit, 0);
  EXPECT_FALSE(d.SizeLimited);
  EXPECT_EQ(d.StartFrame, -1);
  EXPECT_EQ(d.EndFrame, -1);
  EXPECT_EQ(d.LenFrames, -1);
  EXPECT_EQ(d.Threads, 0);
}

TEST(ParseCommandLine, NumericValues) {
  struct Case {
    std::vector<std::string> args;
    int32_t bitRate, sizeLimit;
    bool sizeLimited;
    int32_t start, end, len;
  };
  const Case cases[] = {
      {Args({"m", "-RATE", "100"}), 102400, 0, false, -1, -1, -1},
      {Args({"m", "-rate", "150.5"}), 154112, 0, false, -1, -1, -1},
      {Args({"m", "-lb", "150,5"}), 154112, 0, false, -1, -1, -1},
      // 0.0009765625 * 1024 = 1 exactly; 0.00146484375 * 1024 = 1.5 rounds to even 2.
      {Args({"m", "-rate", "0.00146484375"}), 2, 0, false, -1, -1, -1},
      {Args({"m", "-size", "10"}), 307200, 10485760, true, -1, -1, -1},
      {Args({"m", "-size", "10", "-rate", "200"}), 204800, 10485760, false, -1, -1, -1},
      {Args({"m", "-rate", "200", "-lf", "1"}), 204800, 1048576, true, -1, -1, -1},
      {Args({"m", "-end", "100", "-len", "20"}), 307200, 0, false, -1, -1, 20},
      {Args({"m", "-len", "20", "-end", "100", "-start", "-7"}), 307200, 0, false, -7, 100, -1},
  };
  for (const Case& c : cases) {
    Settings s;
    ASSERT_TRUE(ParseCommandLine(c.args, s)) << c.args[1] << " " << c.args[2];
    EXPECT_EQ(s.BitRate, c.bitRate) << c.args[2];
    EXPECT_EQ(s.SizeLimit, c.sizeLimit) << c.args[2];
    EXPECT_EQ(s.SizeLimited, c.sizeLimited) << c.args[2];
    EXPECT_EQ(s.StartFrame, c.start);
    EXPECT_EQ(s.EndFrame, c.end);
    EXPECT_EQ(s.LenFrames, c.len);
  }
}

TEST(ParseCommandLine, Failures) {
  const std::vector<std::string> cases[] = {
      {"korvane"},
      Args({"m.avi", "-rate"}),
      Args({"m.avi", "-rate", "fast"}),
      Args({"m.avi", "-rate", "inf"}),
      Args({"m.avi", "-rate", "nan"}),
      Args({"m.avi", "-start", "x"}),
      Args({"m.avi", "-start", "1.5"}),
      Args({"m.avi", "-start", "99999999999"}),
      Args({"m.avi", "-p"}),
      Args({"m.avi", "-w"}),
      Args({"m.avi", "-size", "2048"}),
      // A limit that rounds to 0 bytes or less.
      Args({"m.avi", "-rate", "0"}),
      Args({"m.avi", "-rate", "-300"}),
      Args({"m.avi", "-rate", "0.00048828125"}),
      Args({"m.avi", "-lb", "0,0"}),
      Args({"m.avi", "-size", "0"}),
      Args({"m.avi", "-size", "-1"}),
      Args({"m.avi", "-lf", "0.0000001"}),
      Args({"m.avi", "-bogus"}),
      Args({"-file.avi"}),
      Args({"m.avi", "-threads", "0"}),
      Args({"m.avi", "-fps"}),
      Args({"m.avi", "-fps", "0"}),
      Args({"m.avi", "-fps", "1.99"}),
      Args({"m.avi", "-fps", "-15"}),
      Args({"m.avi", "-fps", "inf"}),
      Args({"m.avi", "-fps", "nan"}),
      Args({"m.avi", "-fps", "1e9"}),
      Args({"m.avi", "-fps", "fast"}),
      Args({"m.avi", "-ar"}),
      Args({"m.avi", "-ar", "0"}),
      Args({"m.avi", "-ar", "65536"}),
      Args({"m.avi", "-ar", "22050.5"}),
      Args({"m.avi", "-ar", "x"}),
  };
  for (const auto& args : cases) {
    Settings s;
    EXPECT_FALSE(ParseCommandLine(args, s)) << args.back();
  }
}

TEST(ParseCommandLine, OptionsBeyondTheUsageText) {
  Settings d;
  ASSERT_TRUE(ParseCommandLine(Args({"m.avi"}), d));
  EXPECT_FALSE(d.FitToLimit);
  EXPECT_EQ(d.OutputFrameRate, 0.0);
  EXPECT_EQ(d.OutputAudioRate, 0);
  EXPECT_FALSE(d.Classic);
  EXPECT_FALSE(d.WidenTo16Bit);
  EXPECT_FALSE(d.ForceStereo);
  {
    Settings s;
    ASSERT_TRUE(ParseCommandLine(Args({"m.avi", "-Classic", "-DPCM", "-stereo"}), s));
    EXPECT_TRUE(s.Classic);
    EXPECT_TRUE(s.WidenTo16Bit);
    EXPECT_TRUE(s.ForceStereo);
  }

  const struct {
    const char* fps;
    double rate;
  } rates[] = {{"15", 15.0},       {"12.5", 12.5}, {"12,5", 12.5},
               {" 29.97 ", 29.97}, {"2", 2.0},     {"1000", 1000.0}};
  for (const auto& c : rates) {
    Settings s;
    ASSERT_TRUE(ParseCommandLine(Args({"m.avi", "-FPS", c.fps, "-Fit", "-AR", "22050"}), s))
        << c.fps;
    EXPECT_DOUBLE_EQ(s.OutputFrameRate, c.rate) << c.fps;
    EXPECT_TRUE(s.FitToLimit);
    EXPECT_EQ(s.OutputAudioRate, 22050);
  }
  for (const char* rate : {"1", "65535"}) {
    Settings s;
    ASSERT_TRUE(ParseCommandLine(Args({"m.avi", "-ar", rate}), s)) << rate;
    EXPECT_EQ(s.OutputAudioRate, std::stoi(rate));
  }
  // The usage text does not mention them.
  for (const char* name : {"-fit", "-fps", "-ar", "-classic", "-dpcm", "-stereo"})
    EXPECT_EQ(UsageText().find(name), std::string::npos) << name;
}

TEST(ParseCommandLine, EmptyArgumentIsNotAnOption) {
  Settings s;
  ASSERT_TRUE(ParseCommandLine(Args({"", "m.avi"}), s));
  EXPECT_EQ(s.InputFile, "m.avi");
}

TEST(Usage, ThirtyOneLinesOnStandardError) {
  std::ostringstream out, err;
  std::istringstream in;
  Korvane program(out, err, in);
  EXPECT_EQ(program.Run({"korvane"}), kExitUsage);
  EXPECT_EQ(out.str(), "KORVANE beta (2004/09/19)\n");
  const std::string text = err.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 31);
  EXPECT_EQ(text.rfind("AVI to Interplay MVE converter, beta version\n\nUsage:\tkorvane.exe", 0),
            0u);
  EXPECT_NE(text.find("   -dither\t\tperform Floyd-Steinberg dithering\n\n-rate and -size"),
            std::string::npos);
}

// --help and --version are answered on standard output with status 0; anything else that is not
// a command line (the bare program, an unknown option, --help among other arguments) keeps the
// usage text on standard error with status 2.
TEST(Usage, HelpAndVersionOnStandardOutput) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // expected standard output (a prefix for --version), error
  };
  const std::string usage = UsageText() + "\n";
  const std::string banner = "KORVANE beta (2004/09/19)\n";
  const Case cases[] = {
      {{"korvane", "--help"}, kExitOk, usage, ""},
      {{"korvane", "--version"}, kExitOk, "korvane " KORVANE_VERSION "\nlibavformat ", ""},
      {{"korvane"}, kExitUsage, banner, usage},
      {{"korvane", "--bogus"}, kExitUsage, banner, usage},
      {{"korvane", "movie.avi", "--help"}, kExitUsage, banner, usage},
  };
  for (const Case& c : cases) {
    std::ostringstream out, err;
    std::istringstream in;
    Korvane program(out, err, in);
    const std::string what = c.args.back();
    EXPECT_EQ(program.Run(c.args), c.status) << what;
    if (what == "--version") {
      EXPECT_EQ(out.str().rfind(c.out, 0), 0u) << out.str();
      for (const char* library : {"libavcodec ", "libavutil ", "libswscale ", "libswresample "})
        EXPECT_NE(out.str().find(std::string("\n") + library), std::string::npos) << out.str();
    } else {
      EXPECT_EQ(out.str(), c.out) << what;
    }
    EXPECT_EQ(err.str(), c.err) << what;
  }
}

TEST(FrameRange, Rules) {
  struct Case {
    int32_t start, end, len, from, to;
  };
  // A movie of 100 frames from frame 0.
  const Case cases[] = {
      {-1, -1, -1, 0, 99},   {10, -1, 5, 10, 14},
      {10, 5, -1, 10, 99},   {-1, 5, -1, 0, 5},
      {500, -1, -1, 0, 99},  {-1, -1, 0, 0, 99},
      {10, 200, -1, 10, 99}, {-1, 0, -1, 0, 0},
      {90, -1, 50, 90, 99},  {2147483000, -1, 2147483000, 0, 99},
  };
  for (const Case& c : cases) {
    Settings s;
    s.StartFrame = c.start;
    s.EndFrame = c.end;
    s.LenFrames = c.len;
    FrameRange r = ComputeFrameRange(s, 0, 100);
    EXPECT_EQ(r.FromFrame, c.from) << c.start << " " << c.end << " " << c.len;
    EXPECT_EQ(r.ToFrame, c.to) << c.start << " " << c.end << " " << c.len;
  }
}

TEST(OutputName, DerivedInCurrentDirectory) {
  EXPECT_EQ(DeriveOutputName("clips/intro.avi"), "intro.mve");
  EXPECT_EQ(DeriveOutputName("/a/b/movie"), "movie.mve");
  EXPECT_EQ(DeriveOutputName("x.y.mp4"), "x.y.mve");
  EXPECT_EQ(ReplaceExtension("out/intro.mve", ".pal"), "out/intro.pal");
}

}  // namespace
}  // namespace korvane
