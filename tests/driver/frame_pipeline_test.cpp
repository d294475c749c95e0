#include "driver/frame_pipeline.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../video/video_test_util.h"
#include "mve/frame_audio.h"
#include "mve/mve_writer.h"
#include "mve/stream_layout.h"
#include "palette/color_reducer.h"
#include "support/fixtures.h"
#include "support/mve_reader.h"
#include "video/exact_encoder.h"
#include "video/frame_encoder.h"
#include "video/modes.h"

namespace korvane {
namespace {

using Picture = std::vector<uint8_t>;  // palette indices, top row first
using Block = std::array<uint8_t, 64>;

// A small deterministic generator for test pictures.
struct Lcg {
  uint32_t state;
  explicit Lcg(uint32_t seed) : state(seed) {}
  uint8_t Next() {
    state = state * 1664525u + 1013904223u;
    return uint8_t(state >> 24);
  }
};

Picture BottomUp(const Picture& picture, int width, int height) {
  Picture out(picture.size());
  for (int y = 0; y < height; ++y)
    std::copy_n(&picture[size_t(y) * width], width, &out[size_t(height - 1 - y) * width]);
  return out;
}

PalettePlanes RandomPlanes(uint32_t seed) {
  Lcg rng(seed);
  PalettePlanes planes;
  for (int i = 0; i < 256; ++i) {
    planes.Red[i] = rng.Next() % 64;
    planes.Green[i] = rng.Next() % 64;
    planes.Blue[i] = rng.Next() % 64;
  }
  return planes;
}

// The codes of every block in every decoding map of the movie, per frame chunk.
std::vector<std::vector<int>> MapCodes(const test::MveFile& movie) {
  std::vector<std::vector<int>> maps;
  for (const test::MveChunk& chunk : movie.Chunks) {
    const test::MveOpcode* map = chunk.Find(0x0F);
    if (!map) continue;
    std::vector<int> codes;
    for (uint8_t byte : map->Payload) {
      codes.push_back(byte & 0x0F);
      codes.push_back(byte >> 4);
    }
    maps.push_back(codes);
  }
  return maps;
}

struct MoviePlan {
  int width = 0, height = 0;
  double frameRate = 15;
  std::vector<Picture> frames;
  std::vector<PalettePlanes> palettes;  // one for the movie, or one per frame with local
  bool local = false;
  int32_t firstFrame = 0;
  FrameAudioSource* audio = nullptr;
};

struct WrittenMovie {
  std::string path;
  test::MveFile parsed;
  int32_t splitFrames = 0;
  std::string progress;
};

// Writes an old-method movie without sound through the pipeline, as the encoding pass does.
WrittenMovie WriteOldMovie(const std::string& name, const MoviePlan& plan) {
  WrittenMovie result;
  result.path = test::ScratchDir("pipeline_" + name) + "/movie.mve";
  PalettePlanes planes = plan.palettes.at(0);
  MveWriter file;
  EXPECT_TRUE(file.Open(result.path));
  EXPECT_TRUE(file.WriteFileHeader());
  StreamConfig stream;
  stream.BlocksPerRow = plan.width / 8;
  stream.BlocksPerColumn = plan.height / 8;
  stream.FrameRate = plan.frameRate;
  stream.LocalPalettes = plan.local;
  stream.Planes = &planes;
  stream.PaletteCount = 256;
  stream.Audio = plan.audio;
  StreamLayout layout(stream);
  EXPECT_TRUE(layout.WriteVideoSetupChunk(file));
  PipelineConfig config;
  config.FrameWidth = plan.width;
  config.FrameHeight = plan.height;
  config.OldMethod = true;
  config.FirstFrame = plan.firstFrame;
  config.LastFrame = plan.firstFrame + int32_t(plan.frames.size()) - 1;
  config.FramesPerSecond = int(plan.frameRate + 0.5);
  std::ostringstream progress;
  FramePipeline pipeline(config, file, layout, progress);
  ExactEncoder coder(plan.width, plan.height, nullptr, false, plan.local);
  pipeline.SetFrameCoder(&coder);
  for (size_t f = 0; f < plan.frames.size(); ++f) {
    if (plan.local) planes = plan.palettes.at(f);
    const Picture index = BottomUp(plan.frames[f], plan.width, plan.height);
    if (plan.audio) plan.audio->BuildFrameAudio();
    EXPECT_EQ(pipeline.BeginFrame(), 0);
    FrameStats stats;
    coder.EncodeMappedFrame(index.data(), stats);
    EXPECT_TRUE(pipeline.WriteCodedFrame(stats)) << pipeline.LastError();
  }
  EXPECT_EQ(pipeline.FrameCounter(), int32_t(plan.frames.size()));
  EXPECT_TRUE(file.WriteShutdownChunk());
  EXPECT_TRUE(file.WriteEndChunk());
  EXPECT_TRUE(file.Close()) << file.LastError();
  std::string error;
  EXPECT_TRUE(test::ReadMveFile(result.path, &result.parsed, &error)) << error;
  result.splitFrames = pipeline.SplitFrames();
  result.progress = progress.str();
  return result;
}

// Our decoder reproduces every frame, index for index, with its palette.
void ExpectOwnDecodeMatches(const WrittenMovie& movie, const MoviePlan& plan) {
  test::DecodedMovie decoded;
  std::string error;
  ASSERT_TRUE(test::DecodeMovie(movie.parsed, &decoded, &error)) << error;
  ASSERT_EQ(decoded.Frames.size(), plan.frames.size());
  for (size_t f = 0; f < plan.frames.size(); ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    EXPECT_EQ(decoded.FrameNumbers[f], f + 1);
    ASSERT_TRUE(decoded.Frames[f] == plan.frames[f]);
    const PalettePlanes& planes = plan.palettes[plan.local ? f : 0];
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(decoded.Palettes[f][3 * i], planes.Red[i]);
      ASSERT_EQ(decoded.Palettes[f][3 * i + 1], planes.Green[i]);
      ASSERT_EQ(decoded.Palettes[f][3 * i + 2], planes.Blue[i]);
    }
  }
}

// FFmpeg decodes the movie without one error line; returns its frames as R, G, B.
std::vector<Picture> FfmpegDecode(const std::string& path, int width, int height) {
  const std::string out = path + ".rgb";
  std::remove(out.c_str());
  const test::CommandResult run = test::RunCommand(
      "ffmpeg -nostdin -v error -i " + test::ShellQuote(path) +
      " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 " + test::ShellQuote(out));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const std::vector<uint8_t> bytes = test::ReadFileBytes(out);
  const size_t frameBytes = size_t(width) * height * 3;
  EXPECT_EQ(bytes.size() % frameBytes, 0u);
  std::vector<Picture> frames;
  for (size_t at = 0; at + frameBytes <= bytes.size(); at += frameBytes)
    frames.emplace_back(bytes.begin() + at, bytes.begin() + at + frameBytes);
  return frames;
}

// The presentation times FFmpeg gives the video packets, in its stream time base.
std::vector<long> FfmpegPacketTimes(const std::string& path) {
  const test::CommandResult run =
      test::RunCommand("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " +
                       test::ShellQuote(path));
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<long> times;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) times.push_back(std::stol(line));
  return times;
}

uint8_t Expand6(uint8_t v) {
  return uint8_t((v << 2) | (v >> 4));
}

// FFmpeg shows exactly our frames (each palette component widened from 6 bits), and spaces
// them by the timer.
void ExpectFfmpegMatches(const WrittenMovie& movie, const MoviePlan& plan, uint32_t timerRate) {
  const std::vector<Picture> frames = FfmpegDecode(movie.path, plan.width, plan.height);
  ASSERT_EQ(frames.size(), plan.frames.size());
  for (size_t f = 0; f < frames.size(); ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const PalettePlanes& planes = plan.palettes[plan.local ? f : 0];
    const Picture& picture = plan.frames[f];
    for (size_t p = 0; p < picture.size(); ++p) {
      const uint8_t i = picture[p];
      const uint8_t expected[3] = {Expand6(planes.Red[i]), Expand6(planes.Green[i]),
                                   Expand6(planes.Blue[i])};
      ASSERT_TRUE(frames[f][3 * p] == expected[0] && frames[f][3 * p + 1] == expected[1] &&
                  frames[f][3 * p + 2] == expected[2])
          << "pixel " << p;
    }
  }
  const std::vector<long> times = FfmpegPacketTimes(movie.path);
  ASSERT_EQ(times.size(), plan.frames.size());
  for (size_t f = 1; f < times.size(); ++f) EXPECT_EQ(times[f] - times[f - 1], long(timerRate) * 8);
}

// Blocks of every shape the old method recognises.
Block ShapeBlock(int shape, Lcg& rng) {
  Block b{};
  const uint8_t base = rng.Next();
  const uint8_t c[4] = {base, uint8_t(base + 61), uint8_t(base + 122), uint8_t(base + 183)};
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      uint8_t& p = b[8 * y + x];
      switch (shape) {
        case 0:
          p = c[0];
          break;  // solid
        case 1:
          p = c[(y / 4) * 2 + x / 4];
          break;  // quadrants
        case 2:
          p = uint8_t(c[0] + (y / 2) * 4 + x / 2);
          break;  // 2x2 cells
        case 3:
          p = (x + y) % 2 ? c[0] : uint8_t(c[0] + 1);
          break;  // checkerboard
        case 4:
          p = c[(x * 3 + y * 5) % 4];
          break;  // up to four colours
        case 5:
          p = c[(x * y) % 3];
          break;  // up to three colours
        case 6:
          p = (x * x + y) % 5 == 0 ? c[0] : uint8_t(c[0] ^ 0x80);
          break;  // two colours
        default:
          p = rng.Next();
          break;  // raw
      }
    }
  }
  return b;
}

void PutBlock(Picture& picture, int width, int bx, int by, const Block& b) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) picture[size_t(8 * by + y) * width + 8 * bx + x] = b[8 * y + x];
}

TEST(FramePipeline, PixelConversions) {
  // 2 x 2 pixels, bottom row first, B G R.
  const uint8_t source[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  uint8_t flipped[12], reversed[12];
  FramePipeline::FlipAndReverse(source, flipped, 2, 2);
  EXPECT_EQ(std::vector<uint8_t>(flipped, flipped + 12),
            (std::vector<uint8_t>{9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}));
  FramePipeline::ReverseComponents(source, reversed, 4);
  EXPECT_EQ(std::vector<uint8_t>(reversed, reversed + 12),
            (std::vector<uint8_t>{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

TEST(FramePipeline, PackCode) {
  Bytes map;
  uint8_t accumulator = 0;
  const uint8_t codes[6] = {11, 4, 0, 15, 1, 14};
  for (int column = 0; column < 6; ++column)
    FramePipeline::PackCode(accumulator, column, codes[column], map);
  EXPECT_EQ(map, (Bytes{0x4B, 0xF0, 0xE1}));
  EXPECT_EQ(accumulator, 0);
}

// Every shape of the old method: the expected code, and our decoder draws from its bytes the
// same 64 indices.
TEST(ExactEncoder, BlockCodesRoundTrip) {
  struct Case {
    int shape;
    uint8_t code;
    size_t bytes;
  };
  const Case cases[] = {{0, 14, 1}, {1, 13, 4}, {2, 12, 16}, {3, 15, 2},
                        {4, 9, 20}, {5, 9, 20}, {6, 7, 10},  {7, 11, 64}};
  const int width = 32, height = 16;
  // A palette per frame: nothing is copied from the frames before, so every block is coded by
  // its shape.
  ExactEncoder coder(width, height, nullptr, false, true);
  Lcg rng(7);
  for (const Case& c : cases) {
    for (int trial = 0; trial < 20; ++trial) {
      SCOPED_TRACE("shape " + std::to_string(c.shape) + " trial " + std::to_string(trial));
      Picture picture(width * height);
      for (auto& p : picture) p = rng.Next();
      Block block = ShapeBlock(c.shape, rng);
      PutBlock(picture, width, 2, 1, block);
      coder.RotateFrames(BottomUp(picture, width, height).data());
      Bytes data;
      const uint8_t code = coder.CodeBlock(2, 1, data);
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(data.size(), c.bytes);
      Picture drawn(width * height, 0);
      std::string error;
      const int used = test::DecodeBlock(code, data.data(), data.size(), width, height, 2, 1,
                                         drawn.data(), nullptr, &error);
      ASSERT_EQ(used, int(data.size())) << error;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          ASSERT_EQ(drawn[size_t(8 + y) * width + 16 + x], block[8 * y + x]) << x << "," << y;
    }
  }
}

// A movie with copies from the previous frame and the one before, motion, every shape, and
// the same movie with a palette per frame, which must never copy.
TEST(FramePipeline, OldMethodCopiesAndLocalPalettes) {
  const int width = 64, height = 32;
  Lcg rng(11);
  Picture a(width * height), b(width * height);
  for (int by = 0; by < 4; ++by)
    for (int bx = 0; bx < 8; ++bx) PutBlock(a, width, bx, by, ShapeBlock((bx + by) % 8, rng));
  // b: a moved right by 3 and down by 2 (a textured ramp fills the gap), a block or two new.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      b[y * width + x] = (x >= 3 && y >= 2) ? a[(y - 2) * width + x - 3] : uint8_t(x * 3 + y * 7);
  PutBlock(b, width, 7, 3, ShapeBlock(7, rng));
  MoviePlan plan;
  plan.width = width;
  plan.height = height;
  plan.frames = {a, a, b, a, b, b};
  plan.palettes = {RandomPlanes(1)};
  const WrittenMovie movie = WriteOldMovie("copies", plan);
  ExpectOwnDecodeMatches(movie, plan);
  std::set<int> codes;
  for (const auto& map : MapCodes(movie.parsed)) codes.insert(map.begin(), map.end());
  for (int code : {0, 1, 4, 7, 9, 11, 12, 13, 14, 15}) EXPECT_TRUE(codes.count(code)) << code;
  const std::vector<std::vector<int>> maps = MapCodes(movie.parsed);
  ASSERT_EQ(maps.size(), 6u);
  EXPECT_EQ(maps[1], std::vector<int>(32, 0));  // frame 2 repeats frame 1
  EXPECT_EQ(maps[3], std::vector<int>(32, 1));  // frame 4 repeats frame 2 back
  EXPECT_EQ(maps[5], std::vector<int>(32, 0));  // frame 6 repeats frame 5 (and not two back)

  MoviePlan local = plan;
  local.local = true;
  local.palettes.clear();
  for (size_t f = 0; f < plan.frames.size(); ++f) local.palettes.push_back(RandomPlanes(100 + f));
  const WrittenMovie localMovie = WriteOldMovie("copies_local", local);
  ExpectOwnDecodeMatches(localMovie, local);
  for (const auto& map : MapCodes(localMovie.parsed))
    for (int code : map) EXPECT_TRUE(code != 0 && code != 1 && code != 4) << code;
  EXPECT_TRUE(localMovie.parsed.Chunks[0].Find(0x0C) == nullptr);
}

// Two plain frames, then three noise frames of 1536 blocks each. In the noise frames solid
// blocks sit at 0 and 689 so that the first cut falls after a block in an even column and the
// second after one in an odd column.
TEST(FramePipeline, LongFramesAreSplit) {
  const int width = 384, height = 256, bpr = 48, blocks = 1536;
  Lcg rng(5);
  MoviePlan plan;
  plan.width = width;
  plan.height = height;
  plan.palettes = {RandomPlanes(2)};
  plan.frames = {Picture(width * height, 200), Picture(width * height, 201)};
  for (int f = 2; f < 5; ++f) {
    Picture picture(width * height);
    for (auto& p : picture) p = rng.Next();
    // Solid blocks (one byte each) of colours no other frame has there; every other block is
    // raw (64 bytes).
    for (int block : {0, 689}) {
      Block solid;
      solid.fill(uint8_t(10 + 3 * f + (block ? 1 : 0)));
      PutBlock(picture, width, block % bpr, block / bpr, solid);
    }
    plan.frames.push_back(picture);
  }
  const WrittenMovie movie = WriteOldMovie("split", plan);
  EXPECT_EQ(movie.splitFrames, 3);
  ExpectOwnDecodeMatches(movie, plan);

  // Blocks 0-688 (44033 bytes), 689-1377 (44033 bytes), 1378-1535.
  const int lastOfPiece[3] = {688, 1377, blocks - 1};
  const std::vector<std::vector<int>> maps = MapCodes(movie.parsed);
  ASSERT_EQ(maps.size(), 2u + 9);
  const std::vector<test::MveChunk>& chunks = movie.parsed.Chunks;
  for (int f = 2; f < 5; ++f) {
    for (int piece = 0; piece < 3; ++piece) {
      SCOPED_TRACE("frame " + std::to_string(f) + " piece " + std::to_string(piece));
      const int index = 2 + 3 * (f - 2) + piece;
      const test::MveChunk& chunk = chunks[1 + index];
      const bool final = piece == 2;
      const std::vector<uint8_t>& video = chunk.Find(0x11)->Payload;
      EXPECT_EQ(test::Le16(&video[0]), f + 1);
      EXPECT_EQ(test::Le16(&video[12]), piece == 0 ? 1 : 0);
      EXPECT_EQ(chunk.Find(0x07) != nullptr, final);
      EXPECT_EQ(chunk.Find(0x04) != nullptr, final);
      const std::vector<int>& map = maps[index];
      ASSERT_EQ(map.size(), size_t(blocks));
      const int begin = piece == 0 ? 0 : lastOfPiece[piece - 1] + 1;
      for (int block = 0; block < blocks; ++block) {
        const bool inPiece = block >= begin && block <= lastOfPiece[piece];
        const int expected = !inPiece ? 1 : (block == 0 || block == 689) ? 14 : 11;
        ASSERT_EQ(map[block], expected) << "block " << block;
      }
      EXPECT_EQ(video.size(), 14u + (piece == 2 ? 158 * 64 : 1 + 688 * 64));
    }
  }

  // FFmpeg draws every piece as a picture of its own and shows those that end a frame; it
  // cannot show a split frame as players do, but reads the movie without an error.
  const std::vector<Picture> frames = FfmpegDecode(movie.path, width, height);
  EXPECT_EQ(frames.size(), plan.frames.size());
}

// Movies split from their first frames: FFmpeg, which draws every piece as a picture of its
// own, reads them without one error, and players still show every frame exactly. A first frame
// in pieces gets one lead piece (solid colour 0 everywhere, never shown) before it; a second
// frame in pieces copies the previous picture where its first piece leaves blocks to later ones.
TEST(FramePipeline, SplitFromTheStartDecodesInFfmpeg) {
  const int width = 320, height = 240, blocks = 1200;
  struct Case {
    const char* name;
    int firstNoiseFrame;
    bool lead;
  };
  for (const Case& c : {Case{"first frame split", 0, true}, Case{"second frame split", 1, false}}) {
    SCOPED_TRACE(c.name);
    Lcg rng(21);
    MoviePlan plan;
    plan.width = width;
    plan.height = height;
    plan.palettes = {RandomPlanes(6)};
    for (int f = 0; f < 4; ++f) {
      Picture picture(width * height, 77);
      if (f >= c.firstNoiseFrame)
        for (auto& p : picture) p = rng.Next();
      plan.frames.push_back(picture);
    }
    const WrittenMovie movie = WriteOldMovie(c.lead ? "split_first" : "split_second", plan);
    EXPECT_EQ(movie.splitFrames, 4 - c.firstNoiseFrame);
    ExpectOwnDecodeMatches(movie, plan);
    const std::vector<test::MveChunk>& chunks = movie.parsed.Chunks;
    const test::MveChunk& firstFrameChunk = chunks[1];
    const std::vector<uint8_t>& map = firstFrameChunk.Find(0x0F)->Payload;
    const bool lead = std::all_of(map.begin(), map.end(), [](uint8_t b) { return b == 0xEE; }) &&
                      firstFrameChunk.Find(0x07) == nullptr;
    EXPECT_EQ(lead, c.lead);
    if (lead) {
      EXPECT_EQ(firstFrameChunk.Find(0x11)->Payload.size(), 14u + blocks);
    }
    const std::vector<Picture> frames = FfmpegDecode(movie.path, width, height);
    EXPECT_EQ(frames.size(), plan.frames.size());
  }
}

// Sound pieces of 35000 bytes: a noise frame of 1200 blocks is cut after 688 blocks, and the
// 512 blocks left (32768 bytes) cannot share a chunk with the sound, so they go in a piece of
// their own and the piece that ends the frame holds no video data.
class BigAudio : public FrameAudioSource {
 public:
  void BuildFrameAudio() override {
    data_ = NewRecord(0x08, 0);
    AppendBytes(data_, Bytes(35000, 0));
    silence_ = NewRecord(0x09, 0);
    AppendBytes(silence_, Bytes(6, 0));
  }
  void AppendFrameAudio(MveRecord& chunk) override {
    AppendRecord(chunk, data_);
    AppendRecord(chunk, silence_);
  }
  int AudioOverhead() const override { return data_.Len + 4 + silence_.Len + 4; }

 private:
  MveRecord data_, silence_;
};

TEST(FramePipeline, SoundDoesNotPushTheLastPieceOverTheLimit) {
  const int width = 320, height = 240, blocks = 1200;
  BigAudio audio;
  Lcg rng(8);
  MoviePlan plan;
  plan.width = width;
  plan.height = height;
  plan.palettes = {RandomPlanes(4)};
  plan.audio = &audio;
  for (int f = 0; f < 2; ++f) {
    Picture picture(width * height);
    for (auto& p : picture) p = rng.Next();
    plan.frames.push_back(picture);
  }
  const WrittenMovie movie = WriteOldMovie("big_audio", plan);
  EXPECT_EQ(movie.splitFrames, 2);
  ExpectOwnDecodeMatches(movie, plan);
  const std::vector<test::MveChunk>& chunks = movie.parsed.Chunks;
  // The set-up chunk, the lead piece, three pieces per frame, the closing chunks.
  ASSERT_EQ(chunks.size(), 1u + 1 + 6 + 2);
  const std::vector<std::vector<int>> maps = MapCodes(movie.parsed);
  for (int piece = 0; piece < 3; ++piece) {
    SCOPED_TRACE(piece);
    const test::MveChunk& chunk = chunks[5 + piece];
    const std::vector<uint8_t>& video = chunk.Find(0x11)->Payload;
    EXPECT_EQ(test::Le16(&video[12]), piece == 0 ? 1 : 0);
    EXPECT_EQ(video.size(), 14u + (piece == 0 ? 688 * 64 : piece == 1 ? 512 * 64 : 0));
    EXPECT_EQ(chunk.Find(0x08) != nullptr, piece == 2);
    EXPECT_EQ(chunk.Find(0x07) != nullptr, piece == 2);
    const std::vector<int>& map = maps[4 + piece];
    for (int block = 0; block < blocks; ++block) {
      const bool inPiece = piece == 0 ? block < 688 : piece == 1 && block >= 688;
      ASSERT_EQ(map[block], inPiece ? 11 : 1) << block;
    }
  }
}

TEST(FramePipeline, OldMethodProgress) {
  MoviePlan plan;
  plan.width = 16;
  plan.height = 8;
  plan.palettes = {RandomPlanes(3)};
  plan.frames.assign(62, Picture(16 * 8, 5));
  plan.firstFrame = 40;
  const WrittenMovie movie = WriteOldMovie("progress", plan);
  EXPECT_EQ(movie.progress, "50 100 ");
}

// FFmpeg as the oracle for the old method: every frame, its palette, the frame spacing.
TEST(FramePipeline, FfmpegDecodesOldMethodMovies) {
  struct Case {
    std::string name;
    int width, height;
    double rate;
    uint32_t timer;
    bool local;
    std::function<Picture(int f, int w, int h)> frame;
  };
  Lcg texture(99);
  Picture scene(400 * 300);
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 400; ++x)
      scene[y * 400 + x] =
          ((x / 16 + y / 16) % 3 == 0) ? uint8_t((x / 16) * 7 + (y / 16) * 3) : texture.Next();
  auto crop = [&scene](int ox, int oy, int w, int h) {
    Picture p(w * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) p[y * w + x] = scene[(oy + y) * 400 + ox + x];
    return p;
  };
  Lcg noise(4);
  std::vector<Case> cases = {
      {"still", 128, 64, 15, 8333, false,
       [&](int, int w, int h) {
         Lcg rng(1);
         Picture p(w * h);
         for (int by = 0; by < h / 8; ++by)
           for (int bx = 0; bx < w / 8; ++bx)
             PutBlock(p, w, bx, by, ShapeBlock((bx * 5 + by) % 8, rng));
         return p;
       }},
      {"panning", 192, 96, 25, 5000, false,
       [&](int f, int w, int h) { return crop(40 + 3 * f, 30 + 2 * f, w, h); }},
      {"noise", 160, 96, 29.97, 4171, false,
       [&](int, int w, int h) {
         Picture p(w * h);
         for (auto& v : p) v = noise.Next();
         return p;
       }},
      {"local", 128, 64, 1, 5000, true, [&](int f, int w, int h) { return crop(f * 5, f, w, h); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MoviePlan plan;
    plan.width = c.width;
    plan.height = c.height;
    plan.frameRate = c.rate;
    plan.local = c.local;
    for (int f = 0; f < 8; ++f) {
      plan.frames.push_back(c.frame(f, c.width, c.height));
      if (c.local || f == 0) plan.palettes.push_back(RandomPlanes(50 + f));
    }
    const WrittenMovie movie = WriteOldMovie("ffmpeg_" + c.name, plan);
    EXPECT_EQ(movie.splitFrames, 0);
    ExpectOwnDecodeMatches(movie, plan);
    ExpectFfmpegMatches(movie, plan, c.timer);
    if (c.name == "panning") {
      std::set<int> codes;
      for (const auto& map : MapCodes(movie.parsed)) codes.insert(map.begin(), map.end());
      EXPECT_TRUE(codes.count(4));
    }
  }
}

// A stand-in for the audio encoder with fixed opcode sizes.
class FixedAudio : public FrameAudioSource {
 public:
  explicit FixedAudio(int overhead) : overhead_(overhead) {}
  void BuildFrameAudio() override {}
  void AppendFrameAudio(MveRecord&) override {}
  int AudioOverhead() const override { return overhead_; }

 private:
  int overhead_;
};

struct BudgetRig {
  std::string path;
  MveWriter file;
  StreamLayout layout;
  std::ostringstream progress;
  FramePipeline pipeline;

  BudgetRig(const std::string& name, const PipelineConfig& config, FrameAudioSource* audio)
      : path(test::ScratchDir("budget_" + name) + "/movie.mve"),
        layout(MakeStream(config, audio)),
        pipeline(config, file, layout, progress) {
    EXPECT_TRUE(file.Open(path));
    EXPECT_TRUE(file.WriteFileHeader());
  }
  static StreamConfig MakeStream(const PipelineConfig& config, FrameAudioSource* audio) {
    StreamConfig stream;
    stream.BlocksPerRow = config.FrameWidth / 8;
    stream.BlocksPerColumn = config.FrameHeight / 8;
    stream.FrameRate = config.FramesPerSecond;
    stream.Audio = audio;
    return stream;
  }
  // A frame chunk with `videoBytes` of data (the map left empty: only sizes matter here).
  void WriteFrame(size_t videoBytes) {
    ASSERT_TRUE(layout.WriteFrameChunk(file, 1, Bytes{}, Bytes(videoBytes, 0), true, true));
  }
};

PipelineConfig BudgetConfig(int fps) {
  PipelineConfig config;
  config.FrameWidth = 320;
  config.FrameHeight = 240;  // 1200 blocks: 600 bytes of map
  config.FramesPerSecond = fps;
  config.FirstFrame = 0;
  config.LastFrame = 99;
  return config;
}

TEST(FrameBudget, BitRateWindow) {
  PipelineConfig config = BudgetConfig(15);
  FixedAudio audio(100);
  BudgetRig rig("bitrate", config, &audio);
  EXPECT_EQ(rig.pipeline.AudioOverhead(), 100);
  // b0 = 307200 / 15 = 20480, the window holds 307200, b = 20480.
  EXPECT_EQ(rig.pipeline.FrameBudget(), 20480 - 44 - 600 - 100);
  EXPECT_EQ(rig.pipeline.PassStartBytes(), 26);
  rig.WriteFrame(30000);
  const int64_t chunk = rig.file.BytesWritten() - 26;
  // The window now holds 14 x 20480 + the first chunk.
  const double b = (5.0 * 307200 / 15 + 307200 - (14 * 20480 + chunk)) * 0.2;
  EXPECT_EQ(rig.pipeline.FrameBudget(), int32_t(std::nearbyint(b)) - 44 - 600 - 100);
  // Overspending drives later budgets to 0, never below.
  rig.WriteFrame(65000);
  rig.WriteFrame(65000);
  rig.pipeline.FrameBudget();
  EXPECT_EQ(rig.pipeline.FrameBudget(), 0);
}

TEST(FrameBudget, FirstFrameTiesAndLimits) {
  struct Case {
    std::string name;
    int fps;
    int32_t bitRate;
    bool sizeLimited;
    int32_t sizeLimit;
    int32_t first, later;  // budgets of the first and of the second frame (second chunk empty)
  };
  const int32_t cap = 65500 - 44 - 600;
  const std::vector<Case> cases = {
      // b0 = 20000.5 goes to 20000 (even); b = (50002.5 + 40001 - 40000) * 0.2 = 20000.7.
      {"tie to even", 2, 40001, false, 0, 20001 - 644, -1},
      {"cap", 15, 100000000, false, 0, cap, cap},
      {"frame rate 0 counts as 1", 0, 30000, false, 0, 30000 - 644, -1},
      {"low rate raises the first frame to the block count", 15, 15000, false, 0, 1200, -1},
      // Already over the size limit: the first frame still gets BlockCount, later ones 0.
      {"size exceeded", 15, 0, true, 20, 1200, 0},
      {"size cap", 15, 0, true, 2000000000, cap, cap},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PipelineConfig config = BudgetConfig(c.fps);
    config.BitRate = c.bitRate;
    config.SizeLimited = c.sizeLimited;
    config.SizeLimit = c.sizeLimit;
    BudgetRig rig("limits", config, nullptr);
    EXPECT_EQ(rig.pipeline.FrameBudget(), c.first);
    if (c.later >= 0) {
      rig.WriteFrame(0);
      EXPECT_EQ(rig.pipeline.FrameBudget(), c.later);
    }
  }
}

TEST(FrameBudget, SizeLimitSharesWhatIsLeft) {
  PipelineConfig config = BudgetConfig(15);
  config.SizeLimited = true;
  config.SizeLimit = 500026 + 16;
  config.LastFrame = 9;
  BudgetRig rig("size", config, nullptr);
  // 500000 bytes left over the 10 frames + 1 still to count (FrameCounter is 0 here).
  EXPECT_EQ(rig.pipeline.FrameBudget(), int32_t(std::nearbyint(500000.0 / 11)) - 644);
  rig.WriteFrame(50000);
  const double left = 500026.0 - rig.file.BytesWritten();
  EXPECT_EQ(rig.pipeline.FrameBudget(), int32_t(std::nearbyint(left / 11)) - 644);
}

// The default method through the frame encoder: every block's code and bytes reach the file
// in order, our decoder shows what the encoder reconstructed, and the progress counts by 25.
TEST(FramePipeline, DefaultMethodFrames) {
  const int width = 64, height = 32, frames = 17;
  auto reducer = ColorReducer::Create(256);
  ASSERT_TRUE(reducer);
  uint8_t entries[4 * 64];
  for (int i = 0; i < 64; ++i) {
    entries[4 * i] = uint8_t(i * 4);
    entries[4 * i + 1] = uint8_t(255 - i * 4);
    entries[4 * i + 2] = uint8_t((i * 37) % 256);
    entries[4 * i + 3] = 0;
  }
  reducer->SetPalette(entries, 64);
  FrameEncoder encoder;
  encoder.SetupFrameGeometry(width, height, reducer.get(), false, 1);

  const std::string path = test::ScratchDir("pipeline_default") + "/movie.mve";
  MveWriter file;
  ASSERT_TRUE(file.Open(path));
  ASSERT_TRUE(file.WriteFileHeader());
  StreamConfig stream;
  stream.BlocksPerRow = width / 8;
  stream.BlocksPerColumn = height / 8;
  stream.FrameRate = 25;
  StreamLayout layout(stream);
  ASSERT_TRUE(layout.WriteVideoSetupChunk(file));
  PipelineConfig config;
  config.FrameWidth = width;
  config.FrameHeight = height;
  config.FramesPerSecond = 25;
  config.FirstFrame = 10;
  config.LastFrame = 10 + frames - 1;
  std::ostringstream progress;
  FramePipeline pipeline(config, file, layout, progress);
  pipeline.SetFrameCoder(&encoder);
  std::vector<Picture> reconstructed;
  Lcg rng(3);
  std::vector<uint8_t> bgr(size_t(width) * height * 3), rgb(bgr.size());
  for (int f = 0; f < frames; ++f) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        uint8_t* p = &bgr[3 * (size_t(y) * width + x)];
        p[0] = uint8_t(x * 4 + f * 8);
        p[1] = uint8_t(y * 8);
        p[2] = (x / 8 + y / 8 + f) % 3 ? uint8_t(128) : rng.Next();
      }
    FramePipeline::FlipAndReverse(bgr.data(), rgb.data(), width, height);
    ASSERT_TRUE(pipeline.EncodeAndWriteFrame(rgb.data())) << pipeline.LastError();
    reconstructed.emplace_back(encoder.CurrentFrame(), encoder.CurrentFrame() + width * height);
  }
  EXPECT_EQ(progress.str(), "25 ");
  EXPECT_EQ(pipeline.PassStartBytes(), 26 + 843);
  ASSERT_TRUE(file.WriteShutdownChunk() && file.WriteEndChunk() && file.Close());

  test::MveFile parsed;
  std::string error;
  ASSERT_TRUE(test::ReadMveFile(path, &parsed, &error)) << error;
  test::DecodedMovie decoded;
  ASSERT_TRUE(test::DecodeMovie(parsed, &decoded, &error)) << error;
  ASSERT_EQ(decoded.Frames.size(), size_t(frames));
  for (int f = 0; f < frames; ++f) EXPECT_TRUE(decoded.Frames[f] == reconstructed[f]) << f;
  int64_t videoData = 0;
  for (const test::MveChunk& chunk : parsed.Chunks)
    if (const test::MveOpcode* video = chunk.Find(0x11)) videoData += video->Payload.size() - 14;
  EXPECT_EQ(layout.VideoDataBytes(), videoData);
}

// A coder that hands back fixed facts and one solid block.
class FactsCoder : public FrameCoder {
 public:
  explicit FactsCoder(FrameStats stats) : stats_(stats) {}
  RowOrder InputRows() const override { return RowOrder::TopDown; }
  bool EncodeFrame(const uint8_t*, int32_t limit, FrameStats& stats) override {
    stats = stats_;
    stats.Limit = limit;
    return stats_.Failure == nullptr;
  }
  uint8_t GetBlockCode(int, uint8_t* data, int* size) const override {
    data[0] = 7;
    *size = 1;
    return 14;
  }
  int BlockCount() const override { return 2; }

 private:
  FrameStats stats_;
};

// The pipeline turns a frame's facts into the user's lines, sums them for the report, and
// stops on a coder's failure with its reason.
TEST(FramePipeline, ReportsWhatTheCoderFound) {
  PipelineConfig config = BudgetConfig(15);
  config.FrameWidth = 16;
  config.FrameHeight = 8;
  BudgetRig rig("facts", config, nullptr);
  FrameStats facts;
  facts.LimitMet = false;
  facts.Bytes = 2;
  facts.CellShapeFaults = 2;
  facts.Error = 5;
  facts.Energy = 50;
  facts.ChainBytes = 40;
  FactsCoder coder(facts);
  rig.pipeline.SetFrameCoder(&coder);
  const uint8_t frame[16 * 8 * 3] = {};
  ASSERT_TRUE(rig.pipeline.EncodeAndWriteFrame(frame)) << rig.pipeline.LastError();
  ASSERT_TRUE(rig.pipeline.EncodeAndWriteFrame(frame)) << rig.pipeline.LastError();
  const std::string line = "Error: 2x2 approximation does not look like 2x2\n";
  const std::string warning =
      "Warning: Limit condition could not be met. Requested: " + std::to_string(20480 - 44 - 1) +
      " bytes Got: 2 bytes\n";
  EXPECT_EQ(rig.progress.str().substr(0, 2 * line.size() + warning.size()), line + line + warning);
  EXPECT_EQ(rig.pipeline.TotalError(), 10);
  EXPECT_EQ(rig.pipeline.TotalEnergy(), 100);
  EXPECT_EQ(rig.pipeline.PeakChainBytes(), 40);

  facts.Failure = "could not alloc mem";
  FactsCoder failing(facts);
  rig.pipeline.SetFrameCoder(&failing);
  EXPECT_FALSE(rig.pipeline.EncodeAndWriteFrame(frame));
  EXPECT_EQ(rig.pipeline.LastError(), "could not alloc mem");
}

// --- Half blocks, pixel pairs and copies within the frame ---

// Each coding beyond the classic ones forced on a small movie (the only one offered but raw;
// raw alone for the copies within the frame that replace codings after pruning) and written
// through the pipeline: FFmpeg and our decoder show every frame as the encoder reconstructed it.
TEST(FramePipeline, FfmpegShowsEveryExtraCoding) {
  struct Case {
    const char* name;
    int offer, expect;
    int scroll, period;  // texture movies (see test::Texture); both 0: the moving test
                         // picture, or two-colour halves for those
  };
  const Case cases[] = {
      {"halves2", kHalfTwoColorMode, kHalfTwoColorMode, 0, 0},
      {"halves4", kHalfFourColorMode, kHalfFourColorMode, 0, 0},
      {"pairs", kPairFourColorMode, kPairFourColorMode, 0, 0},
      {"twoback", kFarCopyTwoBackMode, kFarCopyTwoBackMode, 5, 0},
      {"within", kRawMode, kNearCopyMode, 0, 8},
  };
  const int width = 64, height = 48, frames = 6;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<uint8_t>> rgb;
    for (int f = 0; f < frames; ++f)
      rgb.push_back(c.scroll || c.period ? test::Texture(width, height, f * c.scroll, c.period)
                    : c.offer == kHalfTwoColorMode ? test::TwoColourHalves(width, height, f)
                                                   : test::MakeFrame(width, height, f));
    auto reducer = test::ReducerFor(rgb, width, height, 256, false);
    FrameEncoder encoder;
    encoder.SetupFrameGeometry(width, height, reducer.get(), false, 2);
    encoder.OfferOnly(c.offer);
    uint8_t entries[kPaletteBytes];
    reducer->GetPalette(entries);
    PalettePlanes planes;
    planes.Fill(entries);

    const std::string path =
        test::ScratchDir(std::string("pipeline_extra_") + c.name) + "/movie.mve";
    MveWriter file;
    ASSERT_TRUE(file.Open(path));
    ASSERT_TRUE(file.WriteFileHeader());
    StreamConfig stream;
    stream.BlocksPerRow = width / 8;
    stream.BlocksPerColumn = height / 8;
    stream.FrameRate = 15;
    stream.Planes = &planes;
    stream.PaletteCount = 256;
    StreamLayout layout(stream);
    ASSERT_TRUE(layout.WriteVideoSetupChunk(file));
    PipelineConfig config;
    config.FrameWidth = width;
    config.FrameHeight = height;
    config.FramesPerSecond = 15;
    config.BitRate = 15 * 1500;  // half of what raw blocks take: the fits must serve
    config.FirstFrame = 0;
    config.LastFrame = frames - 1;
    std::ostringstream progress;
    FramePipeline pipeline(config, file, layout, progress);
    pipeline.SetFrameCoder(&encoder);
    std::vector<Picture> reconstructed;
    int used = 0;
    std::vector<uint8_t> in(rgb[0].size());
    for (int f = 0; f < frames; ++f) {
      FramePipeline::FlipAndReverse(rgb[f].data(), in.data(), width, height);
      ASSERT_TRUE(pipeline.EncodeAndWriteFrame(in.data())) << pipeline.LastError();
      reconstructed.emplace_back(encoder.CurrentFrame(), encoder.CurrentFrame() + width * height);
      for (int b = 0; b < encoder.BlockCount(); ++b)
        used += encoder.ChosenRecord(b)->Kind == c.expect;
    }
    EXPECT_GT(used, 20);
    ASSERT_TRUE(file.WriteShutdownChunk() && file.WriteEndChunk() && file.Close());

    test::MveFile parsed;
    std::string error;
    ASSERT_TRUE(test::ReadMveFile(path, &parsed, &error)) << error;
    test::DecodedMovie decoded;
    ASSERT_TRUE(test::DecodeMovie(parsed, &decoded, &error)) << error;
    ASSERT_EQ(decoded.Frames.size(), size_t(frames));
    const std::vector<Picture> shown = FfmpegDecode(path, width, height);
    ASSERT_EQ(shown.size(), size_t(frames));
    for (int f = 0; f < frames; ++f) {
      ASSERT_TRUE(decoded.Frames[f] == reconstructed[f]) << "frame " << f;
      for (size_t p = 0; p < reconstructed[f].size(); ++p) {
        const uint8_t i = reconstructed[f][p];
        ASSERT_TRUE(shown[f][3 * p] == Expand6(planes.Red[i]) &&
                    shown[f][3 * p + 1] == Expand6(planes.Green[i]) &&
                    shown[f][3 * p + 2] == Expand6(planes.Blue[i]))
            << "frame " << f << " pixel " << p;
      }
    }
  }
}

}  // namespace
}  // namespace korvane
