// The default method end to end: candidate offering, chains, pruning to the limit, the codes
// and bytes of every block decoded independently, the run totals, and the same output for any
// number of threads and with every frame mapped ahead.
#include "video/frame_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
  std::vector<uint8_t> Palette() {
    std::vector<uint8_t> p(kPaletteBytes);
    reducer->GetPalette(p.data());
    return p;
  }
};

// `ahead`: every frame is prepared on a thread of its own while the frame before it is coded,
// as the conversion's frame reader does.
EncodedRun Encode(Movie& movie, int threads, const std::vector<int32_t>& limits, bool motion,
                  bool dither, bool ahead = false) {
  EncodedRun run;
  FrameEncoder enc;
  enc.SetupFrameGeometry(movie.width, movie.height, movie.reducer.get(), dither, threads);
  enc.SetMotionSearch(motion);
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
  const std::vector<uint8_t> palette = movie.Palette();
  double totalError = 0, energy = 0;
  for (size_t f = 0; f < run.frames.size(); ++f) {
    const CodedFrame& c = run.frames[f];
    int32_t bytes = 0;
    for (size_t b = 0; b < c.codes.size(); ++b) {
      const int offset = static_cast<int>(b % bpr) * 8 + static_cast<int>(b / bpr) * 8 * w;
      uint8_t block[64];
      std::string why;
      ASSERT_TRUE(test::DecodeBlockRef(c.codes[b], c.data[b].data(),
                                       static_cast<int>(c.data[b].size()), previous.data(),
                                       twoBack.data(), w, h, offset, block, &why))
          << "frame " << f << " block " << b << ": " << why;
      if (f == 0 && firstFrameHasNoCopies) {
        ASSERT_NE(c.codes[b], 0);
        ASSERT_NE(c.codes[b], 1);
        ASSERT_NE(c.codes[b], 4);
      }
      if (c.codes[b] == 1) {
        ASSERT_GE(f, 2u);
      }
      if (c.codes[b] == 0 || c.codes[b] == 4) {
        ASSERT_GE(f, 1u);
      }
      for (int y = 0; y < 8; ++y) std::memcpy(&current[offset + y * w], block + 8 * y, 8);
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

TEST(FrameEncoderTest, SameOutputForAnyNumberOfThreads) {
  const std::vector<int32_t> limits = {100, 1500, 800, 5000, 300, 2500};
  for (bool classic : {true, false}) {
    Movie movie(128, 64, 6, 3, 9, classic);
    for (bool dither : {false, true}) {
      const EncodedRun one = Encode(movie, 1, limits, true, dither);
      const EncodedRun two = Encode(movie, 2, limits, true, dither);
      const EncodedRun four = Encode(movie, 4, limits, true, dither);
      const EncodedRun ahead = Encode(movie, 2, limits, true, dither, true);
      EXPECT_TRUE(one == two) << "dither " << dither << " classic " << classic;
      EXPECT_TRUE(one == four) << "dither " << dither << " classic " << classic;
      EXPECT_TRUE(one == ahead) << "dither " << dither << " classic " << classic;
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

}  // namespace
}  // namespace korvane
