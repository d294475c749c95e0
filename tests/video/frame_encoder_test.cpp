// The default method end to end: candidate offering, chains, pruning to the limit, the codes
// and bytes of every block decoded independently, the run totals, and the same output for any
// number of threads and with every frame mapped ahead.
#include "video/frame_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "video/bfos.h"
#include "video/block_coder.h"
#include "video/encoder_frames.h"
#include "video/modes.h"
#include "video_test_util.h"

namespace korvane {
namespace {

struct CodedFrame {
  std::vector<uint8_t> codes;              // opcode per block
  std::vector<std::vector<uint8_t>> data;  // data bytes per block
  std::vector<uint8_t> reconstruction;     // CurrentFrame after EncodeFrame
  int32_t frameBytes = 0;
  double frameError = 0;
  bool limitMet = true;
  int32_t cellShapeFaults = 0;
  bool operator==(const CodedFrame&) const = default;
};

struct EncodedRun {
  std::vector<CodedFrame> frames;
  double totalError = 0, totalEnergy = 0;
  int32_t peak = 0;
  bool operator==(const EncodedRun&) const = default;
};

struct Movie {
  int width, height;
  std::vector<std::vector<uint8_t>> frames;
  std::unique_ptr<ColorReducer> reducer;
  Movie(int w, int h, int n, int shift = 3, unsigned seed = 1, bool classic = true)
      : width(w), height(h) {
    for (int f = 0; f < n; ++f) frames.push_back(test::MakeFrame(w, h, f, shift, seed));
    reducer = test::ReducerFor(frames, w, h, 256, classic);
  }
  // Given frames (RGB, top row first).
  Movie(int w, int h, std::vector<std::vector<uint8_t>> rgb, bool classic)
      : width(w), height(h), frames(std::move(rgb)) {
    reducer = test::ReducerFor(frames, w, h, 256, classic);
  }
  std::vector<uint8_t> Palette() {
    std::vector<uint8_t> p(kPaletteBytes);
    reducer->GetPalette(p.data());
    return p;
  }
};

// `ahead`: every frame is prepared on a thread of its own while the frame before it is coded,
// as the conversion's frame reader does.
EncodedRun Encode(Movie& movie, int threads, const std::vector<int32_t>& limits, bool motion,
                  bool dither, int onlyKind = -1, std::vector<std::vector<int>>* kinds = nullptr,
                  bool ahead = false) {
  EncodedRun run;
  FrameEncoder enc;
  enc.SetupFrameGeometry(movie.width, movie.height, movie.reducer.get(), dither, threads);
  enc.SetMotionSearch(motion);
  enc.OfferOnly(onlyKind);
  EXPECT_EQ(enc.Threads(), threads);
  std::vector<uint8_t> prepared[2];
  for (auto& p : prepared) p.assign(enc.PreparedBytes(), 0xAB);
  if (ahead) enc.PrepareFrame(movie.frames[0].data(), prepared[0].data());
  for (size_t f = 0; f < movie.frames.size(); ++f) {
    const int32_t limit = limits[f % limits.size()];
    FrameStats stats;
    if (ahead) {
      std::thread next;
      if (f + 1 < movie.frames.size())
        next = std::thread(
            [&, f] { enc.PrepareFrame(movie.frames[f + 1].data(), prepared[(f + 1) % 2].data()); });
      EXPECT_TRUE(
          enc.EncodePreparedFrame(movie.frames[f].data(), prepared[f % 2].data(), limit, stats));
      if (next.joinable()) next.join();
    } else {
      EXPECT_TRUE(enc.EncodeFrame(movie.frames[f].data(), limit, stats));
    }
    EXPECT_EQ(stats.Limit, limit);
    CodedFrame c;
    for (int b = 0; b < enc.BlockCount(); ++b) {
      uint8_t data[64];
      int size = -1;
      c.codes.push_back(enc.GetBlockCode(b, data, &size));
      c.data.emplace_back(data, data + size);
    }
    if (kinds) {
      kinds->emplace_back();
      for (int b = 0; b < enc.BlockCount(); ++b) kinds->back().push_back(enc.ChosenRecord(b)->Kind);
    }
    c.reconstruction.assign(enc.CurrentFrame(), enc.CurrentFrame() + movie.width * movie.height);
    c.frameBytes = stats.Bytes;
    c.frameError = stats.Error;
    c.limitMet = stats.LimitMet;
    c.cellShapeFaults = stats.CellShapeFaults;
    run.frames.push_back(std::move(c));
    // The run's totals, summed in frame order as the pipeline sums them.
    run.totalError += stats.Error;
    run.totalEnergy += stats.Energy;
    run.peak = std::max(run.peak, stats.ChainBytes);
  }
  return run;
}

double SquaredError(const uint8_t* target, const uint8_t* indices, const uint8_t* palette, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      const int d = target[3 * i + k] - palette[4 * indices[i] + k];
      sum += d * d;
    }
  return sum;
}

// Decodes every frame of a run from its codes and data alone, as a player would, and checks
// it against the encoder's reconstruction, the byte count and the error.
void CheckDecodes(Movie& movie, const EncodedRun& run, bool firstFrameHasNoCopies = true) {
  const int w = movie.width, h = movie.height;
  const int bpr = w / 8;
  std::vector<uint8_t> previous(w * h, 0), twoBack(w * h, 0), current(w * h, 0);
  std::vector<uint8_t> drawing;
  const std::vector<uint8_t> palette = movie.Palette();
  double totalError = 0, energy = 0;
  for (size_t f = 0; f < run.frames.size(); ++f) {
    const CodedFrame& c = run.frames[f];
    int32_t bytes = 0;
    // A player draws the frame over the frame two back.
    drawing = twoBack;
    for (size_t b = 0; b < c.codes.size(); ++b) {
      const int offset = static_cast<int>(b % bpr) * 8 + static_cast<int>(b / bpr) * 8 * w;
      uint8_t block[64];
      std::string why;
      ASSERT_TRUE(test::DecodeBlockRef(c.codes[b], c.data[b].data(),
                                       static_cast<int>(c.data[b].size()), previous.data(),
                                       twoBack.data(), w, h, offset, block, &why, drawing.data()))
          << "frame " << f << " block " << b << ": " << why;
      if (f == 0 && firstFrameHasNoCopies) {
        ASSERT_NE(c.codes[b], 0);
        ASSERT_NE(c.codes[b], 1);
        ASSERT_NE(c.codes[b], 4);
        ASSERT_NE(c.codes[b], 5);
      }
      if (c.codes[b] == 1 || c.codes[b] == 2) {
        ASSERT_GE(f, 2u);
      }
      if (c.codes[b] == 0 || c.codes[b] == 4 || c.codes[b] == 5) {
        ASSERT_GE(f, 1u);
      }
      for (int y = 0; y < 8; ++y) {
        std::memcpy(&current[offset + y * w], block + 8 * y, 8);
        std::memcpy(&drawing[offset + y * w], block + 8 * y, 8);
      }
      bytes += static_cast<int32_t>(c.data[b].size());
    }
    ASSERT_EQ(current, c.reconstruction) << "frame " << f;
    // The frame's bytes after pruning are the data sizes of the chosen codings.
    ASSERT_EQ(bytes, c.frameBytes) << "frame " << f;
    const double error =
        SquaredError(movie.frames[f].data(), current.data(), palette.data(), w * h);
    ASSERT_EQ(error, c.frameError) << "frame " << f;
    totalError += error;
    for (uint8_t v : movie.frames[f]) energy += v * v;
    twoBack = previous;
    previous = current;
  }
  EXPECT_EQ(run.totalError, totalError);
  EXPECT_EQ(run.totalEnergy, energy);
}

TEST(FrameEncoderTest, EveryBlockDecodesToTheReconstruction) {
  struct Case {
    const char* name;
    bool motion, dither;
    std::vector<int32_t> limits;
  };
  const std::vector<Case> cases = {
      {"generous limit", false, false, {1 << 20}},
      {"tight limits", false, false, {600, 300, 1200}},
      {"motion", true, false, {900, 500}},
      {"dither and motion", true, true, {800}},
  };
  // The classic palette and fit, and the exact ones.
  for (bool classic : {true, false})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (classic ? ", classic" : ", exact"));
      Movie movie(64, 48, 5, 3, 1, classic);
      const EncodedRun run = Encode(movie, 2, c.limits, c.motion, c.dither);
      CheckDecodes(movie, run);
      for (size_t f = 0; f < run.frames.size(); ++f) {
        const int32_t limit = c.limits[f % c.limits.size()];
        EXPECT_EQ(run.frames[f].limitMet, run.frames[f].frameBytes <= limit) << f;
        EXPECT_EQ(run.frames[f].cellShapeFaults, 0) << f;
      }
    }
}

// --- Half blocks, pixel pairs and copies within the frame ---

// Every coding beyond the classic ones, forced on the blocks where it can be had (the only one
// offered but raw, or raw alone for the copies within the frame that replace codings after
// pruning): every frame decodes from its bytes to the reconstruction, the coding is in use,
// and the output is the same for 1, 2 and 4 workers.
TEST(FrameEncoderTest, EveryExtraCodingDecodesToTheReconstruction) {
  struct Case {
    const char* name;
    int offer;   // the kind offered besides raw
    int expect;  // the kind that must show up
    int scroll;  // texture movie scrolled by this many pixels a frame; 0: the test movie
                 // (two-colour halves for those)
    int period;  // texture repeating every `period` pixels across
  };
  const Case cases[] = {
      {"halves of two colours", kHalfTwoColorMode, kHalfTwoColorMode, 0, 0},
      {"halves of four colours", kHalfFourColorMode, kHalfFourColorMode, 0, 0},
      {"pixel pairs", kPairFourColorMode, kPairFourColorMode, 0, 0},
      {"copy from two back", kFarCopyTwoBackMode, kFarCopyTwoBackMode, 5, 0},
      {"copy within the frame", kRawMode, kNearCopyMode, 0, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int w = 64, h = 48;
    std::vector<std::vector<uint8_t>> frames;
    for (int f = 0; f < 5; ++f)
      frames.push_back(c.scroll || c.period           ? test::Texture(w, h, f * c.scroll, c.period)
                       : c.offer == kHalfTwoColorMode ? test::TwoColourHalves(w, h, f)
                                                      : test::MakeFrame(w, h, f));
    Movie movie(w, h, frames, false);
    std::vector<std::vector<int>> kinds;
    const EncodedRun run = Encode(movie, 1, {1 << 20, 2000}, false, false, c.offer, &kinds);
    CheckDecodes(movie, run);
    int used = 0;
    for (size_t f = 0; f < kinds.size(); ++f)
      for (int kind : kinds[f]) {
        ASSERT_TRUE(kind == c.offer || kind == c.expect || kind == kRawMode ||
                    kind == kNearCopyMode || kind == kFarCopyTwoBackMode)
            << "frame " << f << " kind " << kind;
        used += kind == c.expect;
      }
    EXPECT_GT(used, 20);
    for (int threads : {2, 4})
      EXPECT_TRUE(Encode(movie, threads, {1 << 20, 2000}, false, false, c.offer) == run) << threads;
  }
}

TEST(FrameEncoderTest, MotionIsUsedOnMovingContent) {
  Movie movie(64, 48, 4, 2);
  const EncodedRun run = Encode(movie, 1, {400}, true, false);
  CheckDecodes(movie, run);
  int motionBlocks = 0;
  for (size_t f = 1; f < run.frames.size(); ++f)
    motionBlocks +=
        static_cast<int>(std::count(run.frames[f].codes.begin(), run.frames[f].codes.end(), 4));
  EXPECT_GT(motionBlocks, 0);
  // Without the motion flag, no motion vectors.
  const EncodedRun still = Encode(movie, 1, {600}, false, false);
  for (const CodedFrame& f : still.frames)
    EXPECT_EQ(std::count(f.codes.begin(), f.codes.end(), 4), 0);
}

// A scene panned 11 pixels right and 9 down a frame, beyond what one motion byte reaches.
std::vector<std::vector<uint8_t>> FastPan(int width, int height, int frames) {
  const int sw = width + 11 * frames, sh = height + 9 * frames;
  std::mt19937 rng(21);
  std::vector<uint8_t> cells(3 * 64 * 64);
  for (auto& c : cells) c = static_cast<uint8_t>(rng());
  std::vector<uint8_t> scene(3 * static_cast<size_t>(sw) * sh);
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x)
      for (int k = 0; k < 3; ++k)
        scene[3 * (static_cast<size_t>(y) * sw + x) + k] = static_cast<uint8_t>(
            cells[3 * (((y / 6) % 64) * 64 + (x / 6) % 64) + k] / 2 + (rng() % 48));
  std::vector<std::vector<uint8_t>> out;
  for (int f = 0; f < frames; ++f) {
    std::vector<uint8_t> p(3 * static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
      std::memcpy(&p[3 * static_cast<size_t>(y) * width],
                  &scene[3 * (static_cast<size_t>(y + 9 * f) * sw + 11 * f)], 3 * width);
    out.push_back(std::move(p));
  }
  return out;
}

int CountCode(const EncodedRun& run, uint8_t code) {
  int n = 0;
  for (const CodedFrame& f : run.frames)
    n += static_cast<int>(std::count(f.codes.begin(), f.codes.end(), code));
  return n;
}

// Without the classic fit, motion is searched from seeds whether or not the full search is
// asked for: a fast pan is coded with two-byte vectors, every block decodes to the
// reconstruction, and the output is the same for any number of threads. The classic fit keeps
// motion to the full search's one-byte vectors.
TEST(FrameEncoderTest, FastPanIsCodedWithFarVectors) {
  const std::vector<int32_t> limits = {1 << 20, 400, 300, 350, 450, 300};
  for (bool classic : {false, true}) {
    Movie movie(128, 64, FastPan(128, 64, 6), classic);
    for (bool full : {false, true}) {
      SCOPED_TRACE(std::string(classic ? "classic" : "exact") + (full ? ", full search" : ""));
      const EncodedRun one = Encode(movie, 1, limits, full, false);
      CheckDecodes(movie, one);
      EXPECT_TRUE(one == Encode(movie, 2, limits, full, false));
      EXPECT_TRUE(one == Encode(movie, 4, limits, full, false));
      if (classic) {
        EXPECT_EQ(CountCode(one, 5), 0);
        if (!full) {
          EXPECT_EQ(CountCode(one, 4), 0);
        }
      } else {
        // Many blocks of every frame after the first follow the pan (those the pan brings in
        // cannot).
        for (size_t f = 1; f < one.frames.size(); ++f) {
          const auto& codes = one.frames[f].codes;
          EXPECT_GT(std::count(codes.begin(), codes.end(), 5), 48) << "frame " << f;
        }
      }
    }
  }
}

TEST(FrameEncoderTest, LimitAboveTheStartKeepsTheLowestErrorCodings) {
  Movie movie(32, 16, 1);
  FrameEncoder enc;
  enc.SetupFrameGeometry(32, 16, movie.reducer.get(), false, 1);
  FrameStats stats;
  enc.EncodeFrame(movie.frames[0].data(), 1 << 20, stats);
  EXPECT_EQ(stats.PruneSteps, 0);
  EXPECT_TRUE(stats.LimitMet);
  // Each chosen record is the first of its chain: the lowest error offered for the block.
  for (int b = 0; b < enc.BlockCount(); ++b) {
    const ModeCandidate* r = enc.ChosenRecord(b);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Bytes, DataSize(*r));
  }
  double error = 0;
  for (int b = 0; b < enc.BlockCount(); ++b) error += enc.ChosenRecord(b)->Error;
  EXPECT_EQ(stats.Error, error);
}

TEST(FrameEncoderTest, UnreachableLimitWarnsAndCodesTheCheapestChain) {
  Movie movie(64, 48, 2);
  const EncodedRun run = Encode(movie, 1, {0}, false, false);
  CheckDecodes(movie, run);
  // The first frame has no copies: every block ends at its solid colour, one byte each.
  EXPECT_EQ(run.frames[0].frameBytes, 48);
  EXPECT_EQ(std::count(run.frames[0].codes.begin(), run.frames[0].codes.end(), 14), 48);
  // The second frame reaches 0 bytes with copies of the first.
  EXPECT_EQ(run.frames[1].frameBytes, 0);
  EXPECT_FALSE(run.frames[0].limitMet);
  EXPECT_TRUE(run.frames[1].limitMet);
}

// A rate planner sees the frame's rate curve before the pruning and sets where it stops: at a
// slope the frame has the curve's bytes at that rung, and a limit below them still holds.
TEST(FrameEncoderTest, PlannerChoosesTheSlopeAndLimit) {
  struct Fixed : RatePlanner {
    PruneGoal goal;
    RateCurve seen;
    PruneGoal Plan(const RateCurve& curve) override {
      seen = curve;
      return goal;
    }
  };
  Movie movie(64, 48, 3, 3, 4, false);
  for (int rung : {0, 60, 90, 120, RateCurve::kSteps - 1}) {
    FrameEncoder enc;
    enc.SetupFrameGeometry(64, 48, movie.reducer.get(), false, 2);
    Fixed planner;
    enc.SetRatePlanner(&planner);
    for (const auto& frame : movie.frames) {
      planner.goal = PruneGoal{RateCurve::SlopeAt(rung), 1 << 20};
      FrameStats stats;
      ASSERT_TRUE(enc.EncodeFrame(frame.data(), 0, stats));  // the planner's limit counts
      EXPECT_TRUE(stats.LimitMet);
      EXPECT_EQ(stats.Limit, 1 << 20);
      EXPECT_EQ(stats.Bytes, planner.seen.Bytes[rung]) << "rung " << rung;
      // Bytes fall along the ladder.
      for (int k = 1; k < RateCurve::kSteps; ++k)
        ASSERT_LE(planner.seen.Bytes[k], planner.seen.Bytes[k - 1]);
    }
    // A limit below the slope's bytes: pruned on to it.
    const int32_t limit = static_cast<int32_t>(planner.seen.Bytes[rung] / 2) + 1;
    planner.goal = PruneGoal{RateCurve::SlopeAt(rung), limit};
    FrameStats stats;
    ASSERT_TRUE(enc.EncodeFrame(movie.frames[0].data(), 0, stats));
    EXPECT_LE(stats.Bytes, limit);
  }
}

TEST(FrameEncoderTest, SameOutputForAnyNumberOfThreads) {
  const std::vector<int32_t> limits = {100, 1500, 800, 5000, 300, 2500};
  for (bool classic : {true, false}) {
    Movie movie(128, 64, 6, 3, 9, classic);
    for (bool dither : {false, true}) {
      const EncodedRun one = Encode(movie, 1, limits, true, dither);
      const EncodedRun two = Encode(movie, 2, limits, true, dither);
      const EncodedRun four = Encode(movie, 4, limits, true, dither);
      const EncodedRun ahead = Encode(movie, 2, limits, true, dither, -1, nullptr, true);
      EXPECT_TRUE(one == two) << "dither " << dither << " classic " << classic;
      EXPECT_TRUE(one == four) << "dither " << dither << " classic " << classic;
      EXPECT_TRUE(one == ahead) << "dither " << dither << " classic " << classic;
      // Either way gives the same frames; mapping ahead is asked for only where it takes work
      // off the workers' path (dithering runs on one thread; the classic fit has no loop over
      // the frame's rows of its own).
      FrameEncoder enc;
      enc.SetupFrameGeometry(movie.width, movie.height, movie.reducer.get(), dither, 2);
      EXPECT_EQ(enc.PrepareAhead(), classic || dither) << "dither " << dither;
      EXPECT_FALSE(one.frames[0].limitMet);  // the first frame cannot fit 100 bytes
      CheckDecodes(movie, one);
    }
  }
}

TEST(FrameEncoderTest, ChainStorageFigures) {
  Movie movie(64, 48, 3);
  FrameEncoder enc;
  EXPECT_EQ(enc.CandidateSpace(), 1020);
  enc.SetupFrameGeometry(64, 48, movie.reducer.get(), false, 2);
  enc.SetMotionSearch(true);
  EXPECT_EQ(enc.BlockCount(), 48);
  int32_t peak = 0;
  for (const auto& f : movie.frames) {
    FrameStats stats;
    enc.EncodeFrame(f.data(), 1000, stats);
    peak = std::max(peak, stats.ChainBytes);
  }
  // At least one 20-byte record per block, never more than the reserved storage.
  EXPECT_GE(peak, 48 * 20);
  EXPECT_LE(peak, 48 * 1020);
}

// A block coder on a hand-made palette and frame, without a reducer.
struct CoderFixture {
  test::TestPalette palette;
  PaletteTables tables;
  FrameGeometry geometry;
  EncoderFrames frames;
  std::vector<uint8_t> target;
  std::unique_ptr<BlockCoder> coder;

  CoderFixture(int w, int h) {
    for (int i = 0; i < 64; ++i) palette.Add(4 * i, 4 * i, 4 * i);
    palette.Install(tables);
    geometry.Setup(w, h);
    frames.Setup(geometry);
    target.assign(3 * w * h, 0);
    coder = std::make_unique<BlockCoder>(tables, geometry);
  }
  void SetPixel(int x, int y, int index) {
    for (int k = 0; k < 3; ++k)
      target[3 * (y * geometry.FrameWidth + x) + k] = palette.entries[4 * index + k];
  }
  // Starts a frame: the current frame is the target mapped exactly, the half-resolution frame
  // the given picture (or the mapped target's cell top-left pixels).
  void StartFrame(bool motion) {
    frames.Rotate(motion, tables.RgbTable());
    const int n = geometry.PixelCount;
    for (int i = 0; i < n; ++i)
      frames.Current()[i] = static_cast<uint8_t>(
          palette.Nearest(target[3 * i], target[3 * i + 1], target[3 * i + 2]));
    const int w = geometry.FrameWidth;
    for (int i = 0; i < n; ++i)
      frames.HalfRes()[i] = frames.Current()[(i / w) / 2 * 2 * w + (i % w) / 2 * 2];
  }
  std::vector<std::pair<int, int>> Offered(int block, bool motion) {
    const int n = coder->OfferCandidates(target.data(), frames, block, motion);
    std::vector<std::pair<int, int>> v;  // (opcode, bytes)
    for (int i = 0; i < n; ++i)
      v.push_back({ModeOpcode(*coder->Candidates()[i]), coder->Candidates()[i]->Bytes});
    return v;
  }
};

TEST(OfferCandidates, OrderAndAvailability) {
  CoderFixture fx(16, 8);
  // Block 0: four colours in vertical stripes of two pixels; block 1: a checkerboard.
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      fx.SetPixel(x, y, 10 + x / 2);
      fx.SetPixel(8 + x, y, (x + y) & 1 ? 40 : 3);
    }
  fx.StartFrame(false);
  using V = std::vector<std::pair<int, int>>;
  // First frame: raw, solid, four-colour, half resolution, cell two- and four-colour, quadrant
  // solid, quadrant two- and four-colour; no copies.
  // Block 0 merges 10 11 12 13 into the two-colour fit 10 | 12; every quadrant has two colours,
  // so no quadrant four-colour coding.
  EXPECT_EQ(fx.Offered(0, true),
            (V{{11, 64}, {14, 1}, {7, 10}, {9, 20}, {12, 16}, {7, 4}, {9, 8}, {13, 4}, {8, 16}}));
  // The checkerboard replaces the full two-colour coding; its half-resolution picture is solid.
  EXPECT_EQ(fx.Offered(1, true), (V{{11, 64}, {14, 1}, {15, 2}, {12, 16}, {13, 4}, {8, 16}}));
  for (int i = 0; i < fx.coder->CellShapeFaults(); ++i) ADD_FAILURE() << "cell shape fault";

  // Second frame: the copy of the previous frame, then the motion search when asked for.
  fx.StartFrame(true);
  V second = fx.Offered(0, true);
  ASSERT_GE(second.size(), 3u);
  EXPECT_EQ(second[1], (std::pair<int, int>{0, 0}));
  // The frame did not move: the plain copy is perfect, so no motion coding is offered.
  EXPECT_NE(second[2].first, 4);
  // Third frame: the copy two back is offered only when strictly better.
  fx.StartFrame(false);
  EXPECT_EQ(fx.Offered(0, false)[1], (std::pair<int, int>{0, 0}));
}

TEST(OfferCandidates, CellFitThatIsNotMadeOfCellsIsReported) {
  CoderFixture fx(8, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) fx.SetPixel(x, y, x < 3 ? 5 : 30);
  fx.StartFrame(false);
  // A half-resolution picture whose cells are not uniform (the mapping never makes one).
  for (int i = 0; i < 64; ++i) fx.frames.HalfRes()[i] = fx.frames.Current()[i];
  const auto offered = fx.Offered(0, false);
  EXPECT_EQ(fx.coder->CellShapeFaults(), 1);
  // The record is offered anyway.
  EXPECT_NE(std::find(offered.begin(), offered.end(), std::pair<int, int>{7, 4}), offered.end());
}

// With a slope floor, codings that could only be chosen below it are left out: at the floor and
// at every steeper slope, the cheapest coding of every block (error + slope x bytes) costs what
// it costs with every coding fitted. Blocks range from still to new, so that many are left
// with fewer codings.
TEST(OfferCandidates, SlopeFloorKeepsEveryChoiceAtOrAboveIt) {
  CoderFixture fx(64, 32);
  fx.coder = std::make_unique<BlockCoder>(fx.tables, fx.geometry, false);
  std::mt19937 rng(21);
  const int w = fx.geometry.FrameWidth, h = fx.geometry.FrameHeight;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) fx.SetPixel(x, y, (x * 3 + y * 5) / 4 % 64);
  fx.StartFrame(true);
  // The next frame: each block changed by noise of its own strength, some moved a pixel.
  const std::vector<uint8_t> before = fx.target;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int block = (y / 8) * (w / 8) + x / 8, strength = block % 5 * 12;
      const int sx = block % 3 == 0 ? std::min(x + 1, w - 1) : x;
      for (int k = 0; k < 3; ++k) {
        const int v = before[3 * (y * w + sx) + k] +
                      (strength ? static_cast<int>(rng() % (2 * strength + 1)) - strength : 0);
        fx.target[3 * (y * w + x) + k] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
    }
  fx.StartFrame(true);
  auto costs = [&](int block, int32_t floor) {
    fx.coder->SetSlopeFloor(floor);
    const int n = fx.coder->OfferCandidates(fx.target.data(), fx.frames, block, false);
    std::vector<std::pair<int64_t, int64_t>> v;  // (error, bytes)
    for (int i = 0; i < n; ++i)
      v.push_back({fx.coder->Candidates()[i]->Error, fx.coder->Candidates()[i]->Bytes});
    return v;
  };
  auto cheapest = [](const std::vector<std::pair<int64_t, int64_t>>& v, int64_t slope) {
    int64_t best = INT64_MAX;
    for (const auto& [e, b] : v) best = std::min(best, e + slope * b);
    return best;
  };
  int fewer = 0;
  for (int block = 0; block < fx.geometry.BlockCount; ++block) {
    const auto all = costs(block, 0);
    for (int32_t floor : {10, 300, 3000, 30000}) {
      const auto kept = costs(block, floor);
      ASSERT_LE(kept.size(), all.size());
      fewer += kept.size() < all.size();
      for (int64_t slope : {int64_t{floor}, int64_t{floor} * 3, int64_t{floor} * 40})
        ASSERT_EQ(cheapest(kept, slope), cheapest(all, slope))
            << "block " << block << " floor " << floor << " slope " << slope;
    }
  }
  EXPECT_GT(fewer, fx.geometry.BlockCount);
}

}  // namespace
}  // namespace korvane
