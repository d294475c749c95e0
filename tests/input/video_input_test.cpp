// Video of the movie input: geometry, pixels against FFmpeg's own decoding, the stream facts
// and their lines, access order, palettes, and bad files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "input/movie_source.h"
#include "input/video_decoder.h"
#include "input_media.h"
#include "support/fixtures.h"

namespace korvane::test {
namespace {

// Checks that `frame` holds the top-down `picture` (B, G, R) bottom-up at the source's
// offsets, margins black. `tolerance` 0 means exact.
void ExpectPlaced(const MovieSource& s, const uint8_t* frame, const uint8_t* picture,
                  int tolerance) {
  int mismatches = 0;
  for (int y = 0; y < s.FrameHeight; ++y) {
    // Displayed row y is stored at row FrameHeight - 1 - y.
    const uint8_t* row = frame + static_cast<size_t>(s.FrameHeight - 1 - y) * s.FrameWidth * 3;
    int py = y - s.PictureOffsetY;
    for (int x = 0; x < s.FrameWidth; ++x) {
      int px = x - s.PictureOffsetX;
      bool inside = py >= 0 && py < s.PictureHeight && px >= 0 && px < s.PictureWidth;
      for (int c = 0; c < 3; ++c) {
        int got = row[x * 3 + c];
        int want = inside ? picture[(static_cast<size_t>(py) * s.PictureWidth + px) * 3 + c] : 0;
        if (std::abs(got - want) > tolerance && ++mismatches <= 5)
          ADD_FAILURE() << "pixel (" << x << "," << y << ") channel " << c << ": " << got
                        << " instead of " << want;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

struct GeometryCase {
  int width, height;
  const char* container;
  int frameWidth, frameHeight, offsetX, offsetY;
};

class Geometry : public testing::TestWithParam<GeometryCase> {};

// Lossless sources: the frame buffer must hold exactly what FFmpeg decodes, in every frame.
TEST_P(Geometry, PlacesEveryFrameExactlyInBlackMargins) {
  const GeometryCase& g = GetParam();
  std::string movie =
      MakeMedia(std::string("m.") + g.container,
                "-f lavfi -i testsrc=size=" + std::to_string(g.width) + "x" +
                    std::to_string(g.height) + ":rate=10:duration=0.4 -c:v ffv1 -pix_fmt bgr0");
  OpenedMovie m;
  ASSERT_TRUE(m.Open(movie)) << m.source.LastError;
  MovieSource& s = m.source;
  EXPECT_EQ(s.PictureWidth, g.width);
  EXPECT_EQ(s.PictureHeight, g.height);
  EXPECT_EQ(s.FrameWidth, g.frameWidth);
  EXPECT_EQ(s.FrameHeight, g.frameHeight);
  EXPECT_EQ(s.PictureOffsetX, g.offsetX);
  EXPECT_EQ(s.PictureOffsetY, g.offsetY);
  EXPECT_EQ(s.FirstFrame, 0);
  ASSERT_EQ(s.FrameCount, 4);

  std::vector<uint8_t> expected = DecodeWithTool(movie);
  size_t pictureBytes = static_cast<size_t>(g.width) * g.height * 3;
  ASSERT_EQ(expected.size(), pictureBytes * 4);
  const uint8_t* first = nullptr;
  for (int n = 0; n < 4; ++n) {
    const uint8_t* frame = s.GetAviFrame(n);
    ASSERT_NE(frame, nullptr) << s.LastError;
    if (!first) first = frame;
    EXPECT_EQ(frame, first) << "the frame buffer keeps its address";
    ExpectPlaced(s, frame, expected.data() + n * pictureBytes, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Geometry,
    testing::Values(GeometryCase{320, 240, "avi", 320, 240, 0, 0},
                    GeometryCase{100, 50, "mkv", 112, 56, 6, 3},
                    // An odd margin puts the extra column right and the extra row at the bottom.
                    GeometryCase{99, 49, "avi", 112, 56, 6, 3},
                    GeometryCase{1, 10, "mkv", 16, 16, 7, 3}),
    [](const testing::TestParamInfo<GeometryCase>& info) {
      return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
             info.param.container;
    });

TEST(VideoInput, InfoLinesOfAnAviMovie) {
  std::string movie = MakeMedia(
      "m.avi", "-f lavfi -i testsrc=size=100x50:rate=25:duration=0.4 -c:v rawvideo -pix_fmt bgr24");
  OpenedMovie m;
  ASSERT_TRUE(m.Open(movie, "", MovieSourceOptions{.NoSound = true})) << m.source.LastError;
  EXPECT_EQ(m.Text(),
            "Input video stream info:\n"
            "    first frame: 0   10 frames  (0.40 seconds)\n"
            "    width: 100   height: 50\n"
            "    framerate: 25.00 fps    picture format: rawv    bits per pixel: 24\n"
            "Ignoring soundtrack.\n");
  EXPECT_DOUBLE_EQ(m.source.FrameRate, 25.0);
  EXPECT_EQ(m.source.FramesPerSecond, 25);
  EXPECT_EQ(m.source.BitsPerPixel, 24);
}

TEST(VideoInput, FactsOfLossyMoviesWithCountedFrames) {
  // Frame counts of MP4 and MKV are counted at open; 29.97 fps rounds to 30.
  struct Case {
    const char* file;
    const char* codec;
    const char* format;
  } cases[] = {{"m.mp4", "libx264 -bf 2 -g 8", "avc1"},
               {"m.mkv", "libx264 -bf 2 -g 8", "h264"},
               {"m.avi", "mpeg4 -bf 2 -g 8", "FMP4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string movie =
        MakeMedia(c.file,
                  "-f lavfi -i testsrc=size=64x48:rate=30000/1001:duration=1 -frames:v 23 "
                  "-pix_fmt yuv420p -c:v " +
                      std::string(c.codec));
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, "", MovieSourceOptions{.NoSound = true})) << m.source.LastError;
    EXPECT_EQ(m.source.FrameCount, 23);
    EXPECT_NEAR(m.source.FrameRate, 29.97, 0.01);
    EXPECT_EQ(m.source.FramesPerSecond, 30);
    EXPECT_NE(m.Text().find("    framerate: 29.97 fps    picture format: " + std::string(c.format) +
                            "    bits per pixel: "),
              std::string::npos)
        << m.Text();
    EXPECT_NE(m.Text().find("    first frame: 0   23 frames  (0.77 seconds)\n"), std::string::npos)
        << m.Text();
    // Every frame decodes, and the last one is the tool's last one.
    std::vector<uint8_t> expected = DecodeWithTool(movie);
    size_t pictureBytes = 64 * 48 * 3;
    ASSERT_EQ(expected.size(), pictureBytes * 23);
    for (int n = 0; n < 23; ++n) {
      const uint8_t* frame = m.source.GetAviFrame(n);
      ASSERT_NE(frame, nullptr) << n;
      if (n == 0 || n == 22) ExpectPlaced(m.source, frame, expected.data() + n * pictureBytes, 3);
    }
  }
}

TEST(VideoInput, RandomAccessGivesTheSameFramesAsAWalk) {
  for (const char* file : {"m.mp4", "m.avi", "m.mkv"}) {
    SCOPED_TRACE(file);
    std::string codec = std::string(file) == "m.avi" ? "mpeg4" : "libx264";
    std::string movie = MakeMedia(file,
                                  "-f lavfi -i testsrc=size=48x32:rate=25:duration=1.6 "
                                  "-pix_fmt yuv420p -bf 2 -g 10 -c:v " +
                                      codec);
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, "", MovieSourceOptions{.NoSound = true})) << m.source.LastError;
    ASSERT_EQ(m.source.FrameCount, 40);
    std::vector<uint8_t> expected = DecodeWithTool(movie);
    size_t frameBytes = static_cast<size_t>(m.source.FrameWidth) * m.source.FrameHeight * 3;
    size_t pictureBytes = 48 * 32 * 3;
    std::vector<std::vector<uint8_t>> walk;
    for (int n = 0; n < 40; ++n) {
      const uint8_t* frame = m.source.GetAviFrame(n);
      ASSERT_NE(frame, nullptr);
      walk.emplace_back(frame, frame + frameBytes);
      ExpectPlaced(m.source, frame, expected.data() + n * pictureBytes, 3);
    }
    for (int n : {35, 3, 17, 17, 0, 39, 12, 13, 31, 30, 1}) {
      const uint8_t* frame = m.source.GetAviFrame(n);
      ASSERT_NE(frame, nullptr) << n;
      EXPECT_EQ(std::vector<uint8_t>(frame, frame + frameBytes), walk[n]) << "frame " << n;
    }
  }
}

TEST(VideoInput, BackwardRequestSeeksToTheKeyFrameBeforeIt) {
  std::string movie = MakeMedia("m.mkv",
                                "-f lavfi -i testsrc=size=48x32:rate=25:duration=4 "
                                "-pix_fmt yuv420p -c:v libx264 -bf 2 -g 10");
  VideoDecoder decoder;
  ASSERT_EQ(decoder.Open(movie), 0);
  ASSERT_TRUE(decoder.OpenDecoder());
  std::vector<uint8_t> picture(48 * 32 * 3);
  ASSERT_TRUE(decoder.DecodeFrame(90, picture.data(), 48 * 3, 48, 32));
  ASSERT_TRUE(decoder.DecodeFrame(75, picture.data(), 48 * 3, 48, 32));
  // From the key frame 70, not from the start; B-frame reordering needs a few packets more.
  EXPECT_LE(decoder.DecodedSinceSeek(), 10);
}

TEST(VideoInput, OtherFrameRateShowsTheFrameOnScreenAtEachTime) {
  for (const char* file : {"r.mp4", "r.avi"}) {
    SCOPED_TRACE(file);
    std::string codec = std::string(file) == "r.avi" ? "mpeg4" : "libx264";
    std::string movie = MakeMedia(file,
                                  "-f lavfi -i testsrc=size=48x32:rate=25:duration=1.6 "
                                  "-pix_fmt yuv420p -bf 2 -g 10 -c:v " +
                                      codec);
    std::vector<uint8_t> expected = DecodeWithTool(movie);
    const size_t pictureBytes = 48 * 32 * 3;
    const struct {
      double rate;
      int frames, perSecond;
    } rates[] = {{12.5, 20, 12}, {10, 16, 10}, {50, 80, 50}};
    for (const auto& r : rates) {
      SCOPED_TRACE(r.rate);
      OpenedMovie m;
      ASSERT_TRUE(m.Open(movie, "", {.NoSound = true, .OutputFrameRate = r.rate}));
      EXPECT_EQ(m.source.FrameCount, r.frames);
      EXPECT_EQ(m.source.FrameRate, r.rate);
      EXPECT_EQ(m.source.FramesPerSecond, r.perSecond);  // ties to even
      // The stream's own facts, then the conversion's.
      EXPECT_NE(m.Text().find("   40 frames  (1.60 seconds)\n"), std::string::npos) << m.Text();
      char line[64];
      std::snprintf(line, sizeof line, "\n    converted at: %.2f fps   %d frames\n", r.rate,
                    r.frames);
      EXPECT_NE(m.Text().find(line), std::string::npos) << m.Text();
      for (int n = 0; n < r.frames; ++n) {
        const uint8_t* frame = m.source.GetAviFrame(n);
        ASSERT_NE(frame, nullptr) << n;
        int source = static_cast<int>(std::floor(n * 25 / r.rate + 1e-9));
        ExpectPlaced(m.source, frame, expected.data() + source * pictureBytes, 3);
      }
      EXPECT_EQ(m.source.GetAviFrame(r.frames), nullptr);
    }

    // Walking the output frames decodes the source once.
    VideoDecoder decoder;
    ASSERT_EQ(decoder.Open(movie), 0);
    ASSERT_TRUE(decoder.OpenDecoder(1));
    EXPECT_DOUBLE_EQ(decoder.DurationSeconds(), 1.6);
    std::vector<uint8_t> picture(pictureBytes);
    for (int n = 0; n < 20; ++n)
      ASSERT_TRUE(
          decoder.DecodeFrame(decoder.FrameAtSeconds(n / 12.5), picture.data(), 48 * 3, 48, 32));
    EXPECT_LE(decoder.DecodedSinceSeek(), 40);
  }
}

TEST(VideoInput, FitScalesDownKeepingTheShownAspectRatio) {
  const struct {
    const char* file;
    const char* args;
    int width, height;
  } cases[] = {
      {"f1.mkv", "testsrc=size=1280x720:rate=25 -vf setsar=1", 640, 360},
      {"f2.mkv", "testsrc=size=720x576:rate=25 -vf setsar=64/45", 640, 360},
      {"f3.mkv", "testsrc=size=704x480:rate=25 -vf setsar=10/11", 640, 480},
      {"f4.mkv", "testsrc=size=700x1400:rate=25 -vf setsar=1", 240, 480},
      {"f5.mkv", "testsrc=size=4000x16:rate=25 -vf setsar=1", 640, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string movie =
        MakeMedia(c.file, std::string("-f lavfi -i ") + c.args + " -frames:v 1 -c:v ffv1");
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, "", {.NoSound = true, .FitToLimit = true})) << m.source.LastError;
    EXPECT_EQ(m.source.PictureWidth, c.width);
    EXPECT_EQ(m.source.PictureHeight, c.height);
    EXPECT_LE(m.source.FrameWidth, 640);
    EXPECT_LE(m.source.FrameHeight, 480);
    EXPECT_NE(m.Text().find("\n    scaled to: " + std::to_string(c.width) + " x " +
                            std::to_string(c.height) + "\n    framerate: "),
              std::string::npos)
        << m.Text();
    // The scaled picture is what FFmpeg's own scaler makes of it, within the filters' difference.
    std::vector<uint8_t> expected =
        DecodeWithTool(movie, "-vf scale=" + std::to_string(c.width) + ":" +
                                  std::to_string(c.height) + ":flags=lanczos+accurate_rnd");
    ASSERT_EQ(expected.size(), size_t(c.width) * c.height * 3);
    const uint8_t* frame = m.source.GetAviFrame(0);
    ASSERT_NE(frame, nullptr);
    double error = 0;
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width * 3; ++x) {
        const uint8_t* row = frame +
                             size_t(m.source.FrameHeight - 1 - m.source.PictureOffsetY - y) *
                                 m.source.FrameWidth * 3 +
                             m.source.PictureOffsetX * 3;
        error += std::abs(row[x] - expected[(size_t(y) * c.width) * 3 + x]);
      }
    EXPECT_LT(error / (double(c.width) * c.height * 3), 4.0);
  }
  // Pictures within the limit are left as they are.
  std::string small = MakeMedia("small.mkv",
                                "-f lavfi -i testsrc=size=720x400:rate=25 -vf "
                                "setsar=64/45,crop=640:400 -frames:v 1 -c:v ffv1");
  OpenedMovie m;
  ASSERT_TRUE(m.Open(small, "", {.NoSound = true, .FitToLimit = true}));
  EXPECT_EQ(m.source.PictureWidth, 640);
  EXPECT_EQ(m.Text().find("scaled to"), std::string::npos);
}

TEST(VideoInput, SingleThreadedDecodingGivesTheSameFrames) {
  std::string movie = MakeMedia("threads.mp4",
                                "-f lavfi -i testsrc=size=64x48:rate=25:duration=0.8 "
                                "-pix_fmt yuv420p -bf 2 -g 8 -c:v libx264");
  std::vector<std::vector<uint8_t>> frames[2];
  for (int threads : {0, 1}) {
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, "", {.NoSound = true, .DecoderThreads = threads}));
    size_t bytes = static_cast<size_t>(m.source.FrameWidth) * m.source.FrameHeight * 3;
    for (int n = 0; n < m.source.FrameCount; ++n) {
      const uint8_t* frame = m.source.GetAviFrame(n);
      ASSERT_NE(frame, nullptr);
      frames[threads].emplace_back(frame, frame + bytes);
    }
  }
  ASSERT_EQ(frames[0].size(), 20u);
  EXPECT_TRUE(frames[0] == frames[1]);
}

TEST(VideoInput, PalettedFramesUseTheirOwnPalette) {
  // A GIF with a local palette per frame: each frame's colours must come out exactly.
  std::string movie =
      MakeMedia("m.gif",
                "-f lavfi -i testsrc=size=40x30:rate=5:duration=1 -vf "
                "\"hue=h=t*300,split[a][b];[a]palettegen=stats_mode=single:max_colors=16[p];"
                "[b][p]paletteuse=new=1\"");
  std::string pal8 =
      MakeMedia("pal.avi", "-i " + ShellQuote(movie) + " -c:v rawvideo -pix_fmt pal8");
  // Two still scenes of 5 frames: the colour table changes once, at frame 5, so a frame after a
  // seek gets no table of its own from the file.
  std::string scenes = MakeMedia(
      "scenes.avi",
      "-filter_complex \"testsrc=s=40x30:r=5:d=1,hue=h=90,trim=end_frame=1,loop=4:1:0[a];"
      "testsrc=s=40x30:r=5:d=1,hue=h=200,trim=end_frame=1,loop=4:1:0[b];[a][b]concat,split[x][y];"
      "[x]palettegen=stats_mode=single:max_colors=16[p];[y][p]paletteuse=new=1\" -c:v rawvideo "
      "-pix_fmt pal8");
  struct Case {
    std::string path;
    int frames;
    std::vector<int> requests;
  } cases[] = {
      // Two passes over the movie, then requests behind the decoder.
      {movie, 5, {0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 3, 4, 1, 2, 0}},
      {pal8, 5, {0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 3, 4, 1, 2, 0}},
      {scenes, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 7, 8, 2, 9, 0, 6}},
      // A run that starts later.
      {scenes, 10, {7, 8, 9}},
      {pal8, 5, {3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OpenedMovie m;
    ASSERT_TRUE(m.Open(c.path, "", MovieSourceOptions{.NoSound = true})) << m.source.LastError;
    std::vector<uint8_t> expected = DecodeWithTool(c.path);
    size_t pictureBytes = 40 * 30 * 3;
    ASSERT_EQ(m.source.FrameCount, c.frames);
    ASSERT_EQ(expected.size(), pictureBytes * m.source.FrameCount);
    EXPECT_NE(
        std::memcmp(expected.data(), expected.data() + (c.frames - 1) * pictureBytes, pictureBytes),
        0);
    for (int n : c.requests) {
      SCOPED_TRACE(n);
      const uint8_t* frame = m.source.GetAviFrame(n);
      ASSERT_NE(frame, nullptr);
      ExpectPlaced(m.source, frame, expected.data() + n * pictureBytes, 0);
    }
  }
}

TEST(VideoInput, PreviewHookSeesEveryFetchedFrame) {
  std::string movie = MakeMedia("m.mkv",
                                "-f lavfi -i testsrc=size=100x50:rate=10:duration=0.3 "
                                "-c:v ffv1");
  OpenedMovie m;
  int calls = 0;
  m.source.SetPreviewHook(
      [&](const uint8_t* frame, int fw, int fh, int px, int py, int pw, int ph) {
        ++calls;
        EXPECT_NE(frame, nullptr);
        EXPECT_EQ(fw, 112);
        EXPECT_EQ(fh, 56);
        EXPECT_EQ(px, 6);
        EXPECT_EQ(py, 3);
        EXPECT_EQ(pw, 100);
        EXPECT_EQ(ph, 50);
      });
  ASSERT_TRUE(m.Open(movie, "", MovieSourceOptions{.NoSound = true}));
  for (int n : {0, 1, 2, 0}) ASSERT_NE(m.source.GetAviFrame(n), nullptr);
  EXPECT_EQ(calls, 4);
}

TEST(VideoInput, BadFilesAndRequestsFailWithTheirMessages) {
  std::string dir = TestDir();
  std::string garbage = dir + "/garbage.avi";
  std::string text = dir + "/notes.txt";
  std::string empty = dir + "/empty.mp4";
  {
    ASSERT_EQ(
        RunCommand("printf 'RIFF\\020\\000\\000\\000AVI LIST' > " + ShellQuote(garbage)).status, 0);
    ASSERT_EQ(RunCommand("echo 'just some words' > " + ShellQuote(text)).status, 0);
    ASSERT_EQ(RunCommand(": > " + ShellQuote(empty)).status, 0);
  }
  std::string audioOnly = MakeMedia("sound.wav", "-f lavfi -i sine=duration=0.2");
  struct Case {
    std::string path, error;
  } cases[] = {
      {dir + "/missing.avi", "Error opening video stream: FFFFFFFE (No such file or directory)"},
      {garbage, "Error opening video stream: "},
      {text, "Error opening video stream: "},
      {empty, "Error opening video stream: "},
      {audioOnly, "Error opening video stream: ADABAC08 (Stream not found)"},  // no video stream
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OpenedMovie m;
    EXPECT_FALSE(m.Open(c.path));
    EXPECT_EQ(m.source.LastError.rfind(c.error, 0), 0u) << m.source.LastError;
    // FFmpeg's code in hex, then its reason in words.
    const std::string& e = m.source.LastError;
    const size_t hex = std::string("Error opening video stream: ").size();
    ASSERT_GT(e.size(), hex + 12) << e;
    EXPECT_EQ(e.find_first_not_of("0123456789ABCDEF", hex), hex + 8) << e;
    EXPECT_EQ(e.substr(hex + 8, 2), " (") << e;
    EXPECT_EQ(e.back(), ')') << e;
    EXPECT_EQ(m.source.GetAviFrame(0), nullptr);
    EXPECT_EQ(m.Text(), "get_avi_frame: pgf not initialized\n");
  }

  std::string movie = MakeMedia("m.avi", "-f lavfi -i testsrc=size=32x16:rate=10:duration=0.3");
  OpenedMovie m;
  ASSERT_TRUE(m.Open(movie, "", MovieSourceOptions{.NoSound = true}));
  for (int n : {3, -1, 1000000}) {
    m.source.LastError.clear();
    EXPECT_EQ(m.source.GetAviFrame(n), nullptr) << n;
    EXPECT_EQ(m.source.LastError, "Cannot decompress data");
  }
  EXPECT_NE(m.source.GetAviFrame(2), nullptr) << "a failed request leaves the movie usable";
  m.source.CloseAvi();
  m.source.CloseAvi();
}

TEST(VideoInput, TruncatedMoviesOpenWithWhatTheyHoldOrFailClearly) {
  std::string whole = MakeMedia("whole.mkv",
                                "-f lavfi -i testsrc=size=64x48:rate=25:duration=2 "
                                "-c:v libx264 -g 10");
  std::vector<uint8_t> bytes = ReadFileBytes(whole);
  for (const char* ext : {"mkv", "avi"}) {
    std::string source = whole;
    if (std::string(ext) == "avi") {
      source = MakeMedia("whole.avi", "-i " + ShellQuote(whole) + " -c:v mpeg4");
      bytes = ReadFileBytes(source);
    }
    std::string cut = TestDir() + "/cut." + ext;
    {
      FILE* f = std::fopen(cut.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fwrite(bytes.data(), 1, bytes.size() / 2, f);
      std::fclose(f);
    }
    OpenedMovie m;
    if (!m.Open(cut, "", MovieSourceOptions{.NoSound = true})) {
      EXPECT_FALSE(m.source.LastError.empty());
      continue;
    }
    EXPECT_GT(m.source.FrameCount, 0);
    EXPECT_LT(m.source.FrameCount, 50) << ext;
    for (int n = 0; n < m.source.FrameCount; ++n)
      if (!m.source.GetAviFrame(n)) {
        EXPECT_EQ(m.source.LastError, "Cannot decompress data");
      }
  }
}

}  // namespace
}  // namespace korvane::test

namespace korvane::test {
namespace {

// Damaged files: whatever opens is read to its end without a crash; what does not open says why.
TEST(MovieInput, DamagedFilesNeverCrash) {
  std::string avi = MakeMedia("m.avi",
                              "-f lavfi -i testsrc=size=64x48:rate=25:duration=0.8 -f lavfi -i "
                              "sine=duration=0.8 -c:v mpeg4 -g 5 -c:a libmp3lame");
  std::string mkv = MakeMedia("m.mkv",
                              "-f lavfi -i testsrc=size=64x48:rate=25:duration=0.8 -f lavfi -i "
                              "sine=duration=0.8 -c:v libx264 -g 5 -c:a libvorbis");
  int opened = 0;
  for (const std::string& path : {avi, mkv}) {
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 1000u);
    uint32_t seed = 12345;
    for (int variant = 0; variant < 12; ++variant) {
      std::vector<uint8_t> damaged = bytes;
      for (int k = 0; k < 3 + variant * 4; ++k) {
        seed = seed * 1103515245u + 12345u;
        size_t at = (seed >> 8) % damaged.size();
        for (size_t i = at; i < std::min(damaged.size(), at + 1 + variant % 5); ++i)
          damaged[i] = static_cast<uint8_t>(seed >> (i % 24));
      }
      if (variant % 4 == 3) damaged.resize(damaged.size() * (variant + 1) / 16);
      std::string name =
          TestDir() + "/damaged" + std::to_string(variant) + path.substr(path.size() - 4);
      FILE* f = std::fopen(name.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fwrite(damaged.data(), 1, damaged.size(), f);
      std::fclose(f);
      SCOPED_TRACE(name);
      OpenedMovie m;
      if (!m.Open(name)) {
        EXPECT_FALSE(m.source.LastError.empty());
        continue;
      }
      ++opened;
      for (int n = 0; n < std::min(m.source.FrameCount, 100); ++n) {
        if (!m.source.GetAviFrame(n)) {
          EXPECT_EQ(m.source.LastError, "Cannot decompress data");
        }
      }
      m.source.GetAviFrame(0);
      if (m.source.AudioPresent &&
          std::max(m.source.AudioChunkBytes, m.source.AudioLeadChunkBytes) <= 65535)
        ReadAllAudio(m.source, m.source.AudioChunkBytes, 1 << 20);
    }
  }
  EXPECT_GT(opened, 0);
}

}  // namespace
}  // namespace korvane::test
