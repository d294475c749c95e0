#include "mve/stream_layout.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "mve/frame_audio.h"
#include "mve/mve_writer.h"
#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane {
namespace {

using test::Le16;
using test::Le32;
using test::MveChunk;
using test::MveFile;

// Stands in for the audio encoder: an audio frame of 3 bytes of sound and a silence frame,
// both carrying the sequence number.
class FakeAudio : public FrameAudioSource {
 public:
  void BuildFrameAudio() override {
    ++built;
    data = NewRecord(0x08, 0);
    AppendBytes(data, Word16(sequence));
    AppendBytes(data, Bytes{0x01, 0x00, 0x03, 0x00, 0xA0, 0xA1, 0xA2});
    silence = NewRecord(0x09, 0);
    AppendBytes(silence, Word16(sequence));
    AppendBytes(silence, Bytes{0xFE, 0xFF, 0x03, 0x00});
  }
  void AppendFrameAudio(MveRecord& chunk) override {
    AppendRecord(chunk, data);
    AppendRecord(chunk, silence);
    ++sequence;
  }
  int AudioOverhead() const override { return data.Len + 4 + silence.Len + 4; }

  int built = 0;
  int sequence = 0;
  MveRecord data, silence;
};

PalettePlanes TestPlanes() {
  PalettePlanes planes;
  for (int i = 0; i < 256; ++i) {
    planes.Red[i] = uint8_t(i % 64);
    planes.Green[i] = uint8_t((i / 4) % 64);
    planes.Blue[i] = uint8_t(63 - i % 64);
  }
  return planes;
}

// Writes a movie through `body` (after the file header) and parses it back.
MveFile WriteMovie(const std::string& name, StreamLayout& layout,
                   const std::function<void(MveWriter&, StreamLayout&)>& body) {
  const std::string path = test::ScratchDir("layout_" + name) + "/movie.mve";
  MveWriter file;
  EXPECT_TRUE(file.Open(path));
  EXPECT_TRUE(file.WriteFileHeader());
  body(file, layout);
  EXPECT_TRUE(file.WriteShutdownChunk());
  EXPECT_TRUE(file.WriteEndChunk());
  const int64_t written = file.BytesWritten();
  EXPECT_TRUE(file.Close()) << file.LastError();
  MveFile parsed;
  std::string error;
  EXPECT_TRUE(test::ReadMveFile(path, &parsed, &error)) << error;
  EXPECT_EQ(int64_t(parsed.Size), written);
  return parsed;
}

size_t ChunkBytes(const MveChunk& chunk) {
  return 4 + size_t(chunk.Length);
}

TEST(StreamLayout, VideoSetupChunkWithAndWithoutPalette) {
  const PalettePlanes planes = TestPlanes();
  for (bool local : {false, true}) {
    SCOPED_TRACE(local);
    StreamConfig config;
    config.BlocksPerRow = 40;
    config.BlocksPerColumn = 30;
    config.LocalPalettes = local;
    config.Planes = &planes;
    StreamLayout layout(config);
    const MveFile movie = WriteMovie("setup", layout, [](MveWriter& f, StreamLayout& l) {
      ASSERT_TRUE(l.WriteVideoSetupChunk(f));
    });
    ASSERT_EQ(movie.Chunks.size(), 3u);
    const MveChunk& setup = movie.Chunks[0];
    EXPECT_EQ(setup.Type, Number(ChunkType::VideoSetup));
    EXPECT_EQ(ChunkBytes(setup), local ? 67u : 843u);
    EXPECT_EQ(setup.Kinds(), local ? (std::vector<int>{0x0A, 0x05, 0x15, 0x01})
                                   : (std::vector<int>{0x0A, 0x05, 0x0C, 0x15, 0x01}));
    const test::MveOpcode* buffers = setup.Find(0x05);
    ASSERT_NE(buffers, nullptr);
    EXPECT_EQ(buffers->Version, 2);
    EXPECT_EQ(buffers->Payload, (std::vector<uint8_t>{40, 0, 30, 0, 1, 0, 0, 0}));
    EXPECT_EQ(setup.Find(0x15)->Payload, SignatureOp.Data);
    if (!local) {
      const std::vector<uint8_t>& p = setup.Find(0x0C)->Payload;
      ASSERT_EQ(p.size(), 4u + 768);
      EXPECT_EQ(Le16(&p[0]), 0);
      EXPECT_EQ(Le16(&p[2]), 256);
      for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(p[4 + 3 * i], planes.Red[i]);
        EXPECT_EQ(p[5 + 3 * i], planes.Green[i]);
        EXPECT_EQ(p[6 + 3 * i], planes.Blue[i]);
      }
    }
  }
}

TEST(StreamLayout, AudioSetupAndAudioOnlyChunks) {
  struct Case {
    int channels, bytesPerSample;
    uint16_t flags;
  };
  const Case cases[] = {{1, 1, 0}, {2, 1, 1}, {1, 2, 6}, {2, 2, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    FakeAudio audio;
    StreamConfig config;
    config.Audio = &audio;
    StreamLayout layout(config);
    AudioSetup setup;
    setup.Channels = c.channels;
    setup.BytesPerSample = c.bytesPerSample;
    setup.Rate = 22050;
    setup.BytesPerSecond = 88200;
    const MveFile movie = WriteMovie("audio", layout, [&](MveWriter& f, StreamLayout& l) {
      ASSERT_TRUE(l.WriteAudioSetupChunk(f, setup));
      ASSERT_TRUE(l.WriteAudioOnlyChunk(f));
      ASSERT_TRUE(l.WriteAudioOnlyChunk(f));
    });
    ASSERT_EQ(movie.Chunks.size(), 5u);
    EXPECT_EQ(movie.Chunks[0].Type, Number(ChunkType::AudioSetup));
    EXPECT_EQ(movie.Chunks[0].Kinds(), (std::vector<int>{0x03, 0x01}));
    const test::MveOpcode& op = movie.Chunks[0].Opcodes[0];
    EXPECT_EQ(op.Version, 1);
    EXPECT_EQ(op.Payload, (std::vector<uint8_t>{0x54, 0xE9, uint8_t(c.flags), 0, 0x22, 0x56, 0x88,
                                                0x58, 0x01, 0x00}));
    for (int k = 1; k <= 2; ++k) {
      EXPECT_EQ(movie.Chunks[k].Type, Number(ChunkType::AudioOnly));
      EXPECT_EQ(movie.Chunks[k].Kinds(), (std::vector<int>{0x08, 0x09, 0x01}));
      EXPECT_EQ(Le16(movie.Chunks[k].Opcodes[0].Payload.data()), k - 1);
    }
    EXPECT_EQ(audio.built, 2);
  }
}

TEST(StreamLayout, FrameChunkOpcodeOrder) {
  struct Case {
    bool sound, local;
    std::vector<int> first, later;
  };
  const std::vector<Case> cases = {
      {false, false, {0x02, 0x0F, 0x11, 0x04, 0x07, 0x01}, {0x0F, 0x11, 0x04, 0x07, 0x01}},
      {true,
       false,
       {0x02, 0x0F, 0x08, 0x09, 0x11, 0x04, 0x07, 0x01},
       {0x0F, 0x08, 0x09, 0x11, 0x04, 0x07, 0x01}},
      {false,
       true,
       {0x02, 0x0C, 0x0F, 0x11, 0x04, 0x07, 0x01},
       {0x0C, 0x0F, 0x11, 0x04, 0x07, 0x01}},
      {true,
       true,
       {0x02, 0x0C, 0x0F, 0x08, 0x09, 0x11, 0x04, 0x07, 0x01},
       {0x0C, 0x0F, 0x08, 0x09, 0x11, 0x04, 0x07, 0x01}},
  };
  const PalettePlanes planes = TestPlanes();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sound) + " " + std::to_string(c.local));
    FakeAudio audio;
    StreamConfig config;
    config.BlocksPerRow = 2;
    config.BlocksPerColumn = 1;
    config.FrameRate = 15;
    config.LocalPalettes = c.local;
    config.Planes = &planes;
    config.PaletteCount = 5;
    config.Audio = c.sound ? &audio : nullptr;
    StreamLayout layout(config);
    EXPECT_TRUE(layout.TimerPending());
    const Bytes map = {0xBB};
    const Bytes video(128, 3);
    std::vector<size_t> predicted;
    const MveFile movie = WriteMovie("order", layout, [&](MveWriter& f, StreamLayout& l) {
      for (int32_t frame = 1; frame <= 3; ++frame) {
        if (c.sound) audio.BuildFrameAudio();
        predicted.push_back(l.FrameChunkPayload(map.size(), video.size(), true));
        ASSERT_TRUE(l.WriteFrameChunk(f, frame, map, video, true, true));
        EXPECT_FALSE(l.TimerPending());
      }
    });
    ASSERT_EQ(movie.Chunks.size(), 5u);
    EXPECT_EQ(movie.Chunks[0].Kinds(), c.first);
    EXPECT_EQ(movie.Chunks[1].Kinds(), c.later);
    EXPECT_EQ(movie.Chunks[2].Kinds(), c.later);
    EXPECT_EQ(layout.VideoDataBytes(), 3 * 128);
    for (int k = 0; k < 3; ++k) {
      const MveChunk& chunk = movie.Chunks[k];
      EXPECT_EQ(chunk.Type, Number(ChunkType::Frame));
      EXPECT_EQ(chunk.Length, predicted.at(k));
      EXPECT_EQ(chunk.Find(0x0F)->Payload, map);
      // The full palette range is shown with the first frame and with every per-frame palette.
      const bool fullRange = k == 0 || c.local;
      EXPECT_EQ(chunk.Find(0x07)->Payload, fullRange ? ShowFramePaletteOp.Data : ShowFrameOp.Data);
      if (c.local) {
        const std::vector<uint8_t>& p = chunk.Find(0x0C)->Payload;
        ASSERT_EQ(p.size(), 4u + 15);
        EXPECT_EQ(Le16(&p[2]), 5);
        EXPECT_EQ(p[4 + 3 * 4], planes.Red[4]);
        EXPECT_EQ(p[6 + 3 * 4], planes.Blue[4]);
      }
      if (c.sound) {
        EXPECT_EQ(Le16(chunk.Find(0x08)->Payload.data()), k);
      }
    }
  }
}

TEST(StreamLayout, TimerFromFrameRate) {
  struct Case {
    double rate;
    uint32_t timer;
  };
  const Case cases[] = {{15, 8333}, {25, 5000}, {29.97, 4171}, {1, 5000},  {1.99, 5000},
                        {2, 62500}, {24, 5208}, {30, 4167},    {50, 2500}, {0, 5000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    const MveRecord timer = StreamLayout::TimerOp(c.rate);
    EXPECT_EQ(timer.Kind, 0x02);
    EXPECT_EQ(timer.Version, 0);
    ASSERT_EQ(timer.Len, 6);
    EXPECT_EQ(Le32(timer.Data.data()), c.timer);
    EXPECT_EQ(Le16(timer.Data.data() + 4), 8);
  }
  EXPECT_EQ(StreamLayout::TimerOp(1).Data, (Bytes{0x88, 0x13, 0x00, 0x00, 0x08, 0x00}));
  // Ties go to the even neighbour: 125000 / 80 = 1562.5.
  EXPECT_EQ(Le32(StreamLayout::TimerOp(80).Data.data()), 1562u);
}

TEST(StreamLayout, VideoHeaderAndPieces) {
  FakeAudio audio;
  StreamConfig config;
  config.BlocksPerRow = 4;
  config.BlocksPerColumn = 3;
  config.FrameRate = 25;
  config.Audio = &audio;
  StreamLayout layout(config);
  const Bytes map(6, 0x11);
  const MveFile movie = WriteMovie("pieces", layout, [&](MveWriter& f, StreamLayout& l) {
    audio.BuildFrameAudio();
    ASSERT_TRUE(l.WriteFrameChunk(f, 1, map, Bytes{1, 2}, true, false));
    ASSERT_TRUE(l.WriteFrameChunk(f, 1, map, Bytes{3}, false, false));
    ASSERT_TRUE(l.WriteFrameChunk(f, 1, map, Bytes{}, false, true));
    audio.BuildFrameAudio();
    ASSERT_TRUE(l.WriteFrameChunk(f, 0x10002, map, Bytes{9}, true, true));
  });
  ASSERT_EQ(movie.Chunks.size(), 6u);
  // Only the first piece of the first frame holds the timer; only the last shows the frame
  // and carries the sound.
  EXPECT_EQ(movie.Chunks[0].Kinds(), (std::vector<int>{0x02, 0x0F, 0x11, 0x01}));
  EXPECT_EQ(movie.Chunks[1].Kinds(), (std::vector<int>{0x0F, 0x11, 0x01}));
  EXPECT_EQ(movie.Chunks[2].Kinds(), (std::vector<int>{0x0F, 0x08, 0x09, 0x11, 0x04, 0x07, 0x01}));
  EXPECT_EQ(movie.Chunks[2].Find(0x07)->Payload, ShowFramePaletteOp.Data);
  EXPECT_EQ(movie.Chunks[0].Find(0x11)->Payload,
            (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 3, 0, 1, 0, 1, 2}));
  EXPECT_EQ(movie.Chunks[1].Find(0x11)->Payload,
            (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 3, 0, 0, 0, 3}));
  EXPECT_EQ(movie.Chunks[2].Find(0x11)->Payload,
            (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 3, 0, 0, 0}));
  EXPECT_EQ(movie.Chunks[2].Find(0x11)->Version, 3);
  // Frame numbers keep their low 16 bits.
  EXPECT_EQ(movie.Chunks[3].Find(0x11)->Payload,
            (std::vector<uint8_t>{2, 0, 1, 0, 0, 0, 0, 0, 4, 0, 3, 0, 1, 0, 9}));
  EXPECT_EQ(movie.Chunks[3].Find(0x07)->Payload, ShowFrameOp.Data);
  EXPECT_EQ(layout.VideoDataBytes(), 4);
  EXPECT_EQ(audio.sequence, 2);
}

TEST(StreamLayout, OversizedFrameIsRefused) {
  StreamConfig config;
  config.BlocksPerRow = 80;
  config.BlocksPerColumn = 60;
  config.FrameRate = 15;
  StreamLayout layout(config);
  const std::string path = test::ScratchDir("layout_oversize") + "/movie.mve";
  MveWriter file;
  ASSERT_TRUE(file.Open(path));
  ASSERT_TRUE(file.WriteFileHeader());
  const Bytes map(2400, 0xBB);
  // Besides the video data a first frame chunk holds the timer (10 bytes), the map (2404), the
  // video opcode header and video header (18), start audio (4), display (10) and end (4).
  ASSERT_TRUE(layout.WriteFrameChunk(file, 1, map, Bytes(65535 - 2450, 0), true, true));
  EXPECT_EQ(file.BytesWritten(), 26 + 4 + 65535);
  // Later chunks have no timer: one byte more than fits.
  EXPECT_FALSE(layout.WriteFrameChunk(file, 2, map, Bytes(65535 - 2440 + 1, 0), true, true));
  EXPECT_NE(file.LastError().find("65535"), std::string::npos);
  EXPECT_FALSE(file.Close());
}

TEST(PalettePlanes, FillShiftsComponents) {
  uint8_t palette[1024] = {};
  for (int i = 0; i < 256; ++i) {
    palette[4 * i] = uint8_t(i);
    palette[4 * i + 1] = uint8_t(255 - i);
    palette[4 * i + 2] = uint8_t(i ^ 0x5A);
    palette[4 * i + 3] = 0xFF;
  }
  PalettePlanes planes;
  planes.Fill(palette);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(planes.Red[i], i >> 2);
    EXPECT_EQ(planes.Green[i], (255 - i) >> 2);
    EXPECT_EQ(planes.Blue[i], (i ^ 0x5A) >> 2);
  }
}

}  // namespace
}  // namespace korvane
