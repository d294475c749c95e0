#include "audio/audio_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio/dpcm.h"
#include "support/fixtures.h"

namespace korvane {
namespace {

// A soundtrack held in memory, served the way the audio input serves it: full pieces padded
// with silence where the track ends, then nothing.
class FakeTrack {
 public:
  FakeTrack(std::vector<uint8_t> pcm, uint8_t silence) : pcm_(std::move(pcm)), silence_(silence) {}

  PcmReader Reader() {
    return [this](uint8_t* dest, int32_t count) -> int32_t {
      requests.push_back(count);
      if (position_ >= pcm_.size()) return 0;
      for (int32_t i = 0; i < count; ++i) {
        dest[i] = position_ < pcm_.size() ? pcm_[position_] : silence_;
        ++position_;
      }
      return count;
    };
  }

  std::vector<int32_t> requests;

 private:
  std::vector<uint8_t> pcm_;
  uint8_t silence_;
  size_t position_ = 0;
};

std::vector<uint8_t> Sine16(int sampleFrames, int channels, double amplitude, double step) {
  std::vector<uint8_t> pcm;
  for (int i = 0; i < sampleFrames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(i * step + c)));
      pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF));
      pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
  }
  return pcm;
}

AudioFacts Facts(int channels, int bytesPerSample, int chunkBytes, int leadBytes, int fps,
                 bool classic = false) {
  AudioFacts f;
  f.Classic = classic;
  f.AudioPresent = true;
  f.AudioChannels = channels;
  f.AudioBytesPerSample = bytesPerSample;
  f.AudioChunkBytes = chunkBytes;
  f.AudioLeadChunkBytes = leadBytes;
  f.FramesPerSecond = fps;
  return f;
}

uint16_t Word(const Bytes& data, size_t at) {
  return static_cast<uint16_t>(data[at] | (data[at + 1] << 8));
}

TEST(AudioEncoder, PiecesFollowTheGroupsOfOneSecond) {
  struct Case {
    const char* name;
    int channels, bytesPerSample, chunkBytes, leadBytes, fps, bytesPerSecond;
  };
  // 15 fps 22050 Hz mono 16-bit, 25 fps 22050 Hz mono 16-bit, 29.97 fps 22050 Hz stereo 16-bit,
  // 15 fps 11025 Hz mono 8-bit.
  const Case cases[] = {{"15fps", 1, 2, 2942, 2912, 15, 44100},
                        {"25fps", 1, 2, 1766, 1716, 25, 44100},
                        {"29.97fps", 2, 2, 2944, 2912, 30, 88288},
                        {"8-bit", 1, 1, 736, 721, 15, 11025}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTrack track(std::vector<uint8_t>(1 << 20, 0x80), 0x80);
    AudioEncoder encoder(Facts(c.channels, c.bytesPerSample, c.chunkBytes, c.leadBytes, c.fps),
                         track.Reader());
    for (int i = 0; i < 3 * c.fps; ++i) {
      MveRecord chunk = NewRecord(1, 0);
      encoder.BuildFrameAudio();
      encoder.AppendFrameAudio(chunk);
    }
    ASSERT_EQ(track.requests.size(), 3u * c.fps);
    for (int group = 0; group < 3; ++group) {
      int sum = 0;
      for (int i = 0; i < c.fps; ++i) {
        const int32_t req = track.requests[group * c.fps + i];
        EXPECT_EQ(req, i == 0 ? c.leadBytes : c.chunkBytes) << "piece " << group * c.fps + i;
        sum += req;
      }
      EXPECT_EQ(sum, c.bytesPerSecond) << "group " << group;
    }
  }
}

TEST(AudioEncoder, SixteenBitPieceBecomesCompressedAudioFrameAndSilenceFrame) {
  for (int variant = 0; variant < 4; ++variant) {
    const int channels = 1 + variant % 2;
    const bool classic = variant >= 2;
    SCOPED_TRACE(std::to_string(channels) + (classic ? " channels, classic" : " channels"));
    const int chunk = 1471 * 2 * channels, lead = 1456 * 2 * channels;
    const std::vector<uint8_t> pcm = Sine16(22050, channels, 12000, 0.03);
    FakeTrack track(pcm, 0);
    AudioEncoder encoder(Facts(channels, 2, chunk, lead, 15, classic), track.Reader());

    size_t consumed = 0;
    for (int piece = 0; piece < 3; ++piece) {
      const int32_t len = piece == 0 ? lead : chunk;
      EXPECT_EQ(encoder.NextPieceBytes(), len);
      encoder.BuildFrameAudio();
      const MveRecord& data = encoder.AudioDataOp();
      const MveRecord& silence = encoder.AudioSilenceOp();

      std::vector<uint8_t> expected(pcm.begin() + consumed, pcm.begin() + consumed + len);
      consumed += len;
      DpcmCompressor reference(classic);
      expected.resize(reference.CompressDPCM(expected.data(), len, channels));
      ASSERT_EQ(expected.size(), static_cast<size_t>(len / 2 + channels));

      EXPECT_EQ(data.Kind, 0x08);
      EXPECT_EQ(data.Version, 0);
      ASSERT_EQ(data.Data.size(), 6 + expected.size());
      EXPECT_EQ(data.Len, data.Data.size());
      EXPECT_EQ(Word(data.Data, 0), piece);
      EXPECT_EQ(Word(data.Data, 2), 0x0001);
      EXPECT_EQ(Word(data.Data, 4), len);
      EXPECT_EQ(Bytes(data.Data.begin() + 6, data.Data.end()), expected);

      EXPECT_EQ(silence.Kind, 0x09);
      EXPECT_EQ(silence.Version, 0);
      EXPECT_EQ(silence.Data,
                (Bytes{static_cast<uint8_t>(piece), 0, 0xFE, 0xFF, static_cast<uint8_t>(len & 0xFF),
                       static_cast<uint8_t>(len >> 8)}));

      EXPECT_EQ(encoder.AudioOverhead(), static_cast<int>(6 + expected.size() + 4 + 6 + 4));

      MveRecord chunkBlock = NewRecord(3, 0);
      AppendBytes(chunkBlock, Bytes{0xAA});
      encoder.AppendFrameAudio(chunkBlock);
      Bytes expectedChunk{0xAA};
      for (const MveRecord* op : {&data, &silence}) {
        const Bytes s = SerializeRecord(*op);
        expectedChunk.insert(expectedChunk.end(), s.begin(), s.end());
      }
      EXPECT_EQ(chunkBlock.Data, expectedChunk);
      EXPECT_EQ(encoder.AudioFrameIndex(), piece + 1);
    }
  }
}

TEST(AudioEncoder, EightBitSoundIsCopiedUncompressed) {
  std::vector<uint8_t> pcm(3000);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
  FakeTrack track(pcm, 0x80);
  AudioEncoder encoder(Facts(2, 1, 100, 90, 10), track.Reader());
  encoder.BuildFrameAudio();
  const Bytes& data = encoder.AudioDataOp().Data;
  ASSERT_EQ(data.size(), 6u + 90);
  EXPECT_EQ(Word(data, 4), 90);
  EXPECT_EQ(Bytes(data.begin() + 6, data.end()), Bytes(pcm.begin(), pcm.begin() + 90));
  EXPECT_EQ(encoder.AudioOverhead(), 6 + 90 + 4 + 10);
}

TEST(AudioEncoder, ClassicAfterTheTrackOnlySilenceFramesForAllStreams) {
  FakeTrack track(Sine16(100, 1, 1000, 0.1), 0);  // 200 bytes: two pieces, the second padded
  AudioEncoder encoder(Facts(1, 2, 150, 150, 2, /*classic=*/true), track.Reader());
  std::vector<Bytes> chunks;
  for (int piece = 0; piece < 5; ++piece) {
    encoder.BuildFrameAudio();
    MveRecord chunk = NewRecord(1, 0);
    encoder.AppendFrameAudio(chunk);
    chunks.push_back(chunk.Data);
    if (piece >= 2) {
      EXPECT_TRUE(encoder.AudioDataOp().Data.empty());
      EXPECT_EQ(encoder.AudioOverhead(), 10);
      // Only the silence frame: header 06 00 09 00, sequence, mask FF FF, length 150.
      EXPECT_EQ(chunk.Data, (Bytes{0x06, 0x00, 0x09, 0x00, static_cast<uint8_t>(piece), 0x00, 0xFF,
                                   0xFF, 150, 0}));
    } else {
      EXPECT_EQ(chunk.Data.size(), 4u + 6 + 76 + 10);
    }
  }
  EXPECT_EQ(encoder.AudioFrameIndex(), 5);
}

// Stream 0 is never silenced with a silence frame: where the track is over, its pieces are
// sound that does not move (DPCM of zero steps, or 8-bit PCM at its midpoint), and the silence
// frames go to the other streams only.
TEST(AudioEncoder, AfterTheTrackStreamZeroGetsSoundThatDoesNotMove) {
  for (int bytesPerSample : {2, 1}) {
    SCOPED_TRACE(bytesPerSample);
    const std::vector<uint8_t> pcm =
        bytesPerSample == 2 ? Sine16(100, 1, 1000, 0.1) : std::vector<uint8_t>(200, 0x90);
    FakeTrack track(pcm, bytesPerSample == 2 ? 0 : 0x80);
    AudioEncoder encoder(Facts(1, bytesPerSample, 150, 150, 2), track.Reader());
    for (int piece = 0; piece < 4; ++piece) {
      encoder.BuildFrameAudio();
      ASSERT_EQ(encoder.DataOpCount(), 1);
      ASSERT_EQ(encoder.SilenceOpCount(), 1);
      const Bytes& data = encoder.DataOp(0).Data;
      EXPECT_EQ(Word(data, 0), piece);
      EXPECT_EQ(Word(data, 2), 0x0001);
      EXPECT_EQ(Word(data, 4), 150);
      EXPECT_EQ(encoder.SilenceOp(0).Data,
                (Bytes{static_cast<uint8_t>(piece), 0, 0xFE, 0xFF, 150, 0}));
      if (piece >= 2) {
        const Bytes expected(bytesPerSample == 2 ? 76 : 150, bytesPerSample == 2 ? 0x00 : 0x80);
        EXPECT_EQ(Bytes(data.begin() + 6, data.end()), expected) << "piece " << piece;
      }
      MveRecord chunk = NewRecord(1, 0);
      encoder.AppendFrameAudio(chunk);
    }
  }
}

// A piece that would decode to more than 32767 bytes becomes several audio frames in the chunk,
// each a complete DPCM block of whole sample frames, together the whole piece in order.
TEST(AudioEncoder, LongPiecesAreCutIntoAudioFramesOfAtMost32767Bytes) {
  struct Case {
    const char* name;
    int channels, bytesPerSample, pieceBytes, parts;
  };
  const Case cases[] = {{"44100 Hz stereo at 2 fps", 2, 2, 88204, 3},
                        {"44100 Hz mono at 2 fps", 1, 2, 44102, 2},
                        {"22050 Hz mono at 2 fps", 1, 2, 22052, 1},
                        {"exactly 32767 bytes of 8-bit mono", 1, 1, 32767, 1},
                        {"8-bit stereo, 65534 bytes", 2, 1, 65534, 3}};
  for (const Case& c : cases) {
    for (bool classic : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (classic ? ", classic" : ""));
      const AudioFacts facts =
          Facts(c.channels, c.bytesPerSample, c.pieceBytes, c.pieceBytes, 2, classic);
      const int64_t most = AudioEncoder::MaxChunkAudioBytes(facts);
      // The classic layout refuses what its length field cannot state.
      if (classic && c.pieceBytes > 65535 - 6) {
        EXPECT_EQ(most, -1);
        continue;
      }
      std::vector<uint8_t> pcm;
      if (c.bytesPerSample == 2) {
        pcm = Sine16(c.pieceBytes / 2 / c.channels * 3, c.channels, 20000, 0.01);
      } else {
        for (int i = 0; i < c.pieceBytes * 3; ++i) pcm.push_back(static_cast<uint8_t>(i * 13));
      }
      FakeTrack track(pcm, 0);
      AudioEncoder encoder(facts, track.Reader());
      encoder.BuildFrameAudio();
      const int parts = classic ? 1 : c.parts;
      ASSERT_EQ(encoder.DataOpCount(), parts);
      ASSERT_EQ(encoder.SilenceOpCount(), parts);
      const int frameBytes = c.channels * c.bytesPerSample;
      size_t offset = 0;
      DpcmCompressor reference(classic);
      for (int i = 0; i < parts; ++i) {
        const Bytes& data = encoder.DataOp(i).Data;
        const int len = Word(data, 4);
        if (!classic) {
          EXPECT_LE(len, 32767);
          EXPECT_EQ(len % frameBytes, 0);
        }
        EXPECT_EQ(Word(encoder.SilenceOp(i).Data, 4), len);
        std::vector<uint8_t> expected(pcm.begin() + offset, pcm.begin() + offset + len);
        if (c.bytesPerSample == 2)
          expected.resize(reference.CompressDPCM(expected.data(), len, c.channels));
        EXPECT_TRUE(Bytes(data.begin() + 6, data.end()) == expected)
            << "part " << i << " of " << len << " bytes: " << data.size() - 6 << " against "
            << expected.size();
        offset += static_cast<size_t>(len);
      }
      if (!classic) {
        EXPECT_EQ(offset, static_cast<size_t>(c.pieceBytes));
      }
      MveRecord chunk = NewRecord(3, 0);
      encoder.AppendFrameAudio(chunk);
      EXPECT_EQ(chunk.Data.size(), static_cast<size_t>(encoder.AudioOverhead()));
      EXPECT_LE(static_cast<int64_t>(chunk.Data.size()), most);
    }
  }
  // The classic layout cannot state a piece of more than 65535 bytes; cut, it always fits.
  EXPECT_EQ(AudioEncoder::MaxChunkAudioBytes(Facts(2, 2, 176404, 176404, 1, true)), -1);
  EXPECT_GT(AudioEncoder::MaxChunkAudioBytes(Facts(2, 2, 176404, 176404, 1, false)), 88000);
  EXPECT_LT(AudioEncoder::MaxChunkAudioBytes(Facts(2, 2, 88204, 88204, 2, false)), 44200);
}

// One second of sound goes ahead, but never more pieces than a player queues; the declared
// buffer keeps today's second of sound unless a ring of 1.5 times it cannot hold the lead and
// the two largest pieces that follow.
TEST(AudioEncoder, LeadAndDeclaredBufferFitThePlayers) {
  struct Case {
    int fps, rate, channels;
    int leadPieces;
    bool keepsOneSecond;  // the declared length stays one second of sound
  };
  const Case cases[] = {
      {2, 44100, 2, 2, false},  {3, 22050, 1, 3, false},   {4, 44100, 2, 4, false},
      {5, 44100, 2, 5, true},   {25, 22050, 1, 25, true},  {59, 44100, 2, 59, true},
      {60, 44100, 2, 59, true}, {100, 22050, 2, 59, true}, {1000, 44100, 1, 59, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.fps) + " fps");
    const int frameBytes = 2 * c.channels;
    const int chunk = (c.rate / c.fps + 1) * frameBytes;
    const int perSecond = c.rate * frameBytes;
    const int lead = perSecond - chunk * (c.fps - 1);
    FakeTrack track({}, 0);
    AudioEncoder encoder(Facts(c.channels, 2, chunk, lead, c.fps), track.Reader());
    EXPECT_EQ(AudioEncoder::LeadPieces(c.fps), c.leadPieces);
    EXPECT_EQ(encoder.AudioOnlyChunks(), c.leadPieces - 1);
    const int64_t declared = encoder.DeclaredBufferBytes(perSecond);
    int64_t leadBytes = 0;
    for (int i = 0; i < c.leadPieces; ++i) leadBytes += i % c.fps == 0 ? lead : chunk;
    const int64_t ring = (declared + declared / 2) & ~int64_t{3};
    EXPECT_GE(ring, leadBytes + 2 * std::max(chunk, lead));
    EXPECT_EQ(declared == perSecond, c.keepsOneSecond) << declared;
    EXPECT_GE(declared, perSecond);
  }
}

// "-dpcm" widens 8-bit sound to 16 bits exactly before coding it; "-stereo" writes a mono
// track as two identical channels. The pieces keep their length in sample frames.
TEST(AudioEncoder, WideningAndStereoWriteTheSameSamplesInTheWrittenFormat) {
  struct Case {
    const char* name;
    int channels, bytesPerSample;
    bool widen, stereo;
    int outChannels, outBytes;
  };
  const Case cases[] = {{"8-bit mono, -dpcm", 1, 1, true, false, 1, 2},
                        {"8-bit mono, -dpcm -stereo", 1, 1, true, true, 2, 2},
                        {"8-bit mono, -stereo", 1, 1, false, true, 2, 1},
                        {"16-bit mono, -stereo", 1, 2, false, true, 2, 2},
                        {"16-bit stereo, both", 2, 2, true, true, 2, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int frames = 1000;
    std::vector<uint8_t> pcm;
    std::vector<int32_t> source;  // the samples as 16-bit values, one per frame and channel
    for (int i = 0; i < frames; ++i) {
      for (int ch = 0; ch < c.channels; ++ch) {
        const double v = 20000 * std::sin(i * 0.05 + ch);
        if (c.bytesPerSample == 1) {
          const auto u = static_cast<uint8_t>(128 + std::lround(v / 256));
          pcm.push_back(u);
          source.push_back((u - 128) * 256);
        } else {
          const auto s = static_cast<int16_t>(std::lround(v));
          pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) & 0xFF));
          pcm.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
          source.push_back(s);
        }
      }
    }
    AudioFacts facts = Facts(c.channels, c.bytesPerSample, frames * c.channels * c.bytesPerSample,
                             frames * c.channels * c.bytesPerSample, 1);
    facts.WidenTo16Bit = c.widen;
    facts.ForceStereo = c.stereo;
    FakeTrack track(pcm, 0);
    AudioEncoder encoder(facts, track.Reader());
    EXPECT_EQ(encoder.OutputFormat().Channels, c.outChannels);
    EXPECT_EQ(encoder.OutputFormat().BytesPerSample, c.outBytes);
    // One piece per second: a ring of 1.5 times two seconds holds the lead and two pieces.
    EXPECT_EQ(encoder.DeclaredBufferBytes(frames * c.channels * c.bytesPerSample),
              static_cast<uint32_t>(2 * frames * c.outChannels * c.outBytes));
    encoder.BuildFrameAudio();
    ASSERT_EQ(encoder.DataOpCount(), 1);
    const Bytes& data = encoder.DataOp(0).Data;
    EXPECT_EQ(Word(data, 4), frames * c.outChannels * c.outBytes);
    // Decode what was written and compare it with the source, sample frame by sample frame.
    std::vector<int32_t> decoded;
    const uint8_t* p = data.data() + 6;
    if (c.outBytes == 1) {
      for (size_t i = 6; i < data.size(); ++i) decoded.push_back((data[i] - 128) * 256);
    } else {
      int32_t pred[2] = {0, 0};
      for (int ch = 0; ch < c.outChannels; ++ch) {
        pred[ch] = static_cast<int16_t>(p[2 * ch] | (p[2 * ch + 1] << 8));
        decoded.push_back(pred[ch]);
      }
      int ch = 0;
      for (size_t i = 6 + 2 * c.outChannels; i < data.size(); ++i) {
        pred[ch] = static_cast<int16_t>(static_cast<uint16_t>(pred[ch] + Steps[data[i]]));
        decoded.push_back(pred[ch]);
        ch = c.outChannels == 2 ? 1 - ch : 0;
      }
    }
    ASSERT_EQ(decoded.size(), static_cast<size_t>(frames * c.outChannels));
    for (int i = 0; i < frames; ++i) {
      for (int ch = 0; ch < c.outChannels; ++ch) {
        const int32_t want =
            source[static_cast<size_t>(i * c.channels + std::min(ch, c.channels - 1))];
        const int32_t got = decoded[static_cast<size_t>(i * c.outChannels + ch)];
        // DPCM's error on this tone stays within a few steps of its table.
        ASSERT_LE(std::abs(got - want),
                  c.outBytes == 2 && !(c.bytesPerSample == 1 && !c.widen) ? 700 : 0)
            << "frame " << i << " channel " << ch;
      }
      if (c.outChannels == 2 && c.channels == 1) {
        ASSERT_EQ(decoded[2 * i], decoded[2 * i + 1]) << "frame " << i;
      }
    }
  }
}

TEST(AudioEncoder, WithoutSoundNothingIsReadOrPlaced) {
  FakeTrack track(std::vector<uint8_t>(1000, 1), 0);
  AudioFacts facts = Facts(1, 2, 100, 100, 15);
  facts.AudioPresent = false;
  AudioEncoder encoder(facts, track.Reader());
  MveRecord chunk = NewRecord(3, 0);
  encoder.BuildFrameAudio();
  encoder.AppendFrameAudio(chunk);
  EXPECT_TRUE(track.requests.empty());
  EXPECT_TRUE(chunk.Data.empty());
  EXPECT_EQ(encoder.AudioOverhead(), 0);
  EXPECT_EQ(encoder.AudioFrameIndex(), 0);
}

TEST(AudioEncoder, ZeroFramesPerSecondGroupsAsOne) {
  FakeTrack track(std::vector<uint8_t>(100000, 0), 0);
  AudioEncoder encoder(Facts(1, 2, 3000, 2000, 0), track.Reader());
  for (int i = 0; i < 3; ++i) {
    encoder.BuildFrameAudio();
    MveRecord chunk = NewRecord(3, 0);
    encoder.AppendFrameAudio(chunk);
  }
  EXPECT_EQ(track.requests, (std::vector<int32_t>{2000, 2000, 2000}));
}

TEST(AudioEncoder, SequenceNumbersCountEveryChunkWithSound) {
  FakeTrack track(std::vector<uint8_t>(4 * 70000, 0), 0);
  AudioEncoder encoder(Facts(1, 2, 4, 4, 3), track.Reader());
  for (int i = 0; i < 65538; ++i) {
    encoder.BuildFrameAudio();
    if (i == 7 || i == 65535 || i == 65537) {
      EXPECT_EQ(Word(encoder.AudioSilenceOp().Data, 0), i & 0xFFFF);
      EXPECT_EQ(Word(encoder.AudioDataOp().Data, 0), i & 0xFFFF);
    }
    MveRecord chunk = NewRecord(3, 0);
    encoder.AppendFrameAudio(chunk);
  }
  EXPECT_EQ(encoder.AudioFrameIndex(), 65538);
}

// ---------------------------------------------------------------------------------------------
// FFmpeg as a real-world decoder: a minimal movie (video set-up, audio set-up, audio-only chunks
// and frame chunks holding the encoder's opcodes) decoded by FFmpeg's Interplay demuxer and
// DPCM decoder.

void PutWord(Bytes& b, uint32_t v) {
  const Bytes w = Word16(v);
  b.insert(b.end(), w.begin(), w.end());
}

MveRecord Opcode(uint8_t kind, uint8_t version, const Bytes& payload) {
  MveRecord op = NewRecord(kind, version);
  AppendBytes(op, payload);
  return op;
}

void WriteChunkTo(Bytes& file, const MveRecord& chunk) {
  const Bytes s = SerializeRecord(chunk);
  file.insert(file.end(), s.begin(), s.end());
}

// Writes a movie of `frames` frame chunks (16x16 pixels, every block copied) with the sound of
// the encoder, and returns the PCM a wrapping decoder gets from the audio frames.
Bytes WriteMovie(const std::string& path, AudioEncoder& encoder, int rate, int frames) {
  const std::string text = "Interplay MVE File\x1A";
  Bytes file(text.begin(), text.end());
  file.push_back(0);
  for (uint32_t w : {0x001Au, 0x0100u, 0x1133u}) PutWord(file, w);

  const MveRecord endOfChunk = NewRecord(0x01, 0);
  MveRecord video = NewRecord(0x02, 0);
  AppendRecord(video, Opcode(0x0A, 0, Bytes{0x80, 0x02, 0xE0, 0x01, 0x01, 0x01}));
  AppendRecord(video, Opcode(0x05, 2, Bytes{2, 0, 2, 0, 1, 0, 0, 0}));
  AppendRecord(video, endOfChunk);
  WriteChunkTo(file, video);

  MveRecord setup = NewRecord(0x00, 0);
  Bytes init{0x54, 0xE9};
  const AudioOutputFormat format = encoder.OutputFormat();
  PutWord(init, (format.Channels == 2 ? 1 : 0) + (format.BytesPerSample == 2 ? 6 : 0));
  PutWord(init, static_cast<uint32_t>(rate));
  PutWord(init, 0x10000);  // buffer length, low word
  PutWord(init, 0x0001);   // high word
  AppendRecord(setup, Opcode(0x03, 1, init));
  AppendRecord(setup, endOfChunk);
  WriteChunkTo(file, setup);

  Bytes decoded;
  auto collect = [&]() {
    for (int op = 0; op < encoder.DataOpCount(); ++op) {
      const Bytes& data = encoder.DataOp(op).Data;
      const uint8_t* payload = data.data() + 6;
      const size_t size = data.size() - 6;
      if (format.BytesPerSample == 1) {
        decoded.insert(decoded.end(), payload, payload + size);
        continue;
      }
      int16_t pred[2] = {0, 0};
      const int ch = format.Channels;
      for (int c = 0; c < ch; ++c) {
        pred[c] = static_cast<int16_t>(payload[2 * c] | (payload[2 * c + 1] << 8));
        decoded.push_back(payload[2 * c]);
        decoded.push_back(payload[2 * c + 1]);
      }
      int c = 0;
      for (size_t i = 2 * ch; i < size; ++i) {
        pred[c] = static_cast<int16_t>(static_cast<uint16_t>(pred[c] + Steps[payload[i]]));
        decoded.push_back(static_cast<uint8_t>(static_cast<uint16_t>(pred[c]) & 0xFF));
        decoded.push_back(static_cast<uint8_t>(static_cast<uint16_t>(pred[c]) >> 8));
        c = ch == 2 ? 1 - c : 0;
      }
    }
  };

  for (int i = 0; i < encoder.AudioOnlyChunks(); ++i) {
    MveRecord chunk = NewRecord(0x01, 0);
    encoder.BuildFrameAudio();
    collect();
    encoder.AppendFrameAudio(chunk);
    AppendRecord(chunk, endOfChunk);
    WriteChunkTo(file, chunk);
  }
  for (int f = 1; f <= frames; ++f) {
    MveRecord chunk = NewRecord(0x03, 0);
    if (f == 1) AppendRecord(chunk, Opcode(0x02, 0, Bytes{0x8D, 0x20, 0, 0, 8, 0}));
    AppendRecord(chunk, Opcode(0x0F, 0, Bytes{0, 0}));
    encoder.BuildFrameAudio();
    collect();
    encoder.AppendFrameAudio(chunk);
    Bytes videoData;
    PutWord(videoData, static_cast<uint32_t>(f));
    PutWord(videoData, static_cast<uint32_t>(f - 1));
    videoData.insert(videoData.end(), {0, 0, 0, 0});
    for (uint32_t w : {2u, 2u, 1u}) PutWord(videoData, w);
    AppendRecord(chunk, Opcode(0x11, 3, videoData));
    AppendRecord(chunk, NewRecord(0x04, 0));
    const uint8_t paletteCount = f == 1 ? 1 : 0;  // 256 colours on the first frame
    AppendRecord(chunk, Opcode(0x07, 1, Bytes{0, 0, 0, paletteCount, 0, 0}));
    AppendRecord(chunk, endOfChunk);
    WriteChunkTo(file, chunk);
  }
  file.insert(file.end(), {0x08, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 5, 0});
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return decoded;
}

enum class Signal { TonesAndNoise, FullScaleSquare, FullScaleNoise };

// PCM of `sampleFrames` frames: loud tones with noise whose sample-to-sample jumps stay within
// the 16-bit range of a step, or full-scale square waves (a different period per channel), or
// full-scale white noise.
std::vector<uint8_t> MakeSignal(Signal signal, int sampleFrames, int channels, int bytesPerSample) {
  std::mt19937 rng(99);
  std::normal_distribution<double> noise(0.0, 2000.0);
  std::uniform_int_distribution<int> full(-32768, 32767);
  std::vector<uint8_t> pcm;
  for (int i = 0; i < sampleFrames; ++i) {
    for (int ch = 0; ch < channels; ++ch) {
      double v = 0;
      switch (signal) {
        case Signal::TonesAndNoise:
          v = 24000.0 * std::sin(i * (0.02 + 0.00001 * i) + ch) + noise(rng);
          break;
        case Signal::FullScaleSquare:
          v = (i / (20 + 7 * ch)) % 2 ? 32767.0 : -32768.0;
          break;
        case Signal::FullScaleNoise:
          v = full(rng);
          break;
      }
      v = std::clamp(v, -32768.0, 32767.0);
      if (bytesPerSample == 2) {
        const auto s = static_cast<uint16_t>(static_cast<int16_t>(v));
        pcm.push_back(static_cast<uint8_t>(s & 0xFF));
        pcm.push_back(static_cast<uint8_t>(s >> 8));
      } else {
        pcm.push_back(static_cast<uint8_t>(128 + static_cast<int>(std::floor(v / 256))));
      }
    }
  }
  return pcm;
}

// FFmpeg clamps its predictor where the format wraps it: both must give the same samples for
// every sound the portable coder writes, the loudest included. The classic coder relies on
// wrapping, so FFmpeg plays its full-scale square waves differently.
TEST(AudioEncoderFfmpeg, FfmpegDecodesTheSoundAsAWrappingDecoderDoes) {
  struct Case {
    const char* name;
    int channels, bytesPerSample;
    Signal signal;
    bool classic;
    bool ffmpegAgrees;
  };
  const Case cases[] = {
      {"mono16", 1, 2, Signal::TonesAndNoise, false, true},
      {"stereo16", 2, 2, Signal::TonesAndNoise, false, true},
      {"mono8", 1, 1, Signal::TonesAndNoise, false, true},
      {"stereo8", 2, 1, Signal::TonesAndNoise, false, true},
      {"classic_stereo16", 2, 2, Signal::TonesAndNoise, true, true},
      {"square_mono", 1, 2, Signal::FullScaleSquare, false, true},
      {"square_stereo", 2, 2, Signal::FullScaleSquare, false, true},
      {"noise_mono", 1, 2, Signal::FullScaleNoise, false, true},
      {"noise_stereo", 2, 2, Signal::FullScaleNoise, false, true},
      {"classic_square", 1, 2, Signal::FullScaleSquare, true, false},
  };
  const std::string dir = test::ScratchDir("audio_encoder_ffmpeg");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // 22050 Hz at 15 frames per second.
    const int frameBytes = c.channels * c.bytesPerSample;
    const AudioFacts facts =
        Facts(c.channels, c.bytesPerSample, 1471 * frameBytes, 1456 * frameBytes, 15, c.classic);
    const int sampleFrames = 22050 * 2 + 500;  // two seconds and a bit: the last piece is padded
    const std::vector<uint8_t> pcm =
        MakeSignal(c.signal, sampleFrames, c.channels, c.bytesPerSample);
    FakeTrack track(pcm, c.bytesPerSample == 2 ? 0 : 0x80);
    AudioEncoder encoder(facts, track.Reader());
    const std::string movie = dir + "/" + c.name + ".mve";
    const std::string raw = dir + "/" + c.name + ".raw";
    const Bytes expected = WriteMovie(movie, encoder, 22050, 45);
    ASSERT_FALSE(expected.empty());
    const std::string format = c.bytesPerSample == 2 ? "s16le" : "u8";
    ASSERT_TRUE(test::Ffmpeg("-i " + test::ShellQuote(movie) + " -map 0:a -f " + format +
                             " -c:a pcm_" + format + " " + test::ShellQuote(raw)));
    const std::vector<uint8_t> got = test::ReadFileBytes(raw);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(got == expected, c.ffmpegAgrees)
        << "FFmpeg's samples and the wrapping decoder's should "
        << (c.ffmpegAgrees ? "agree" : "differ");
    // Everything the track holds came out, then silence padding up to the end of the movie.
    ASSERT_GE(got.size(), pcm.size());
    if (c.bytesPerSample == 1) {
      EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), got.begin()));
    }
  }
}

}  // namespace
}  // namespace korvane
