#include "audio/dpcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace korvane {
namespace {

std::vector<uint8_t> Pack(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    const auto u = static_cast<uint16_t>(s);
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

int16_t ReadSample(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// A decoder written from the format alone: the first sample of each channel as it stands, then
// each code's step taken as a signed 16-bit number and added to the channel's predictor,
// wrapping modulo 65536.
std::vector<int16_t> DecodeWrapping(const uint8_t* data, size_t size, int channels) {
  std::vector<int16_t> out;
  int16_t pred[2] = {0, 0};
  for (int c = 0; c < channels; ++c) {
    pred[c] = ReadSample(data + 2 * c);
    out.push_back(pred[c]);
  }
  int c = 0;
  for (size_t i = 2 * channels; i < size; ++i) {
    const auto step16 = static_cast<int16_t>(static_cast<uint16_t>(Steps[data[i]] & 0xFFFF));
    pred[c] = static_cast<int16_t>(static_cast<uint16_t>(pred[c] + step16));
    out.push_back(pred[c]);
    c = channels == 2 ? 1 - c : 0;
  }
  return out;
}

// A decoder that clamps its predictor to the 16-bit range instead of wrapping (as FFmpeg does).
std::vector<int16_t> DecodeClamping(const uint8_t* data, size_t size, int channels) {
  std::vector<int16_t> out;
  int32_t pred[2] = {0, 0};
  for (int c = 0; c < channels; ++c) {
    pred[c] = ReadSample(data + 2 * c);
    out.push_back(static_cast<int16_t>(pred[c]));
  }
  int c = 0;
  for (size_t i = 2 * channels; i < size; ++i) {
    const auto step16 = static_cast<int16_t>(static_cast<uint16_t>(Steps[data[i]] & 0xFFFF));
    pred[c] = std::clamp<int32_t>(pred[c] + step16, -32768, 32767);
    out.push_back(static_cast<int16_t>(pred[c]));
    c = channels == 2 ? 1 - c : 0;
  }
  return out;
}

struct Compressed {
  std::vector<uint8_t> bytes;
  int signLossReports = 0;
};

Compressed Compress(const std::vector<int16_t>& samples, int channels, bool classic = true) {
  std::vector<uint8_t> buffer = Pack(samples);
  DpcmCompressor compressor(classic);
  const int32_t n =
      compressor.CompressDPCM(buffer.data(), static_cast<int32_t>(buffer.size()), channels);
  buffer.resize(static_cast<size_t>(n));
  EXPECT_EQ(compressor.TakeSignLosses().size(), static_cast<size_t>(compressor.SignLossReports()));
  return {buffer, compressor.SignLossReports()};
}

TEST(DpcmTables, StepsAreTheDecodersStepsAndMirrorAroundZero) {
  EXPECT_EQ(Steps[0], 0);
  EXPECT_EQ(Steps[43], 43);
  EXPECT_EQ(Steps[44], 47);
  EXPECT_EQ(Steps[53], 102);
  EXPECT_EQ(Steps[118], 29864);
  EXPECT_EQ(Steps[119], 32589);
  EXPECT_EQ(Steps[127], 65535);
  EXPECT_EQ(Steps[128], 1);
  for (int k = 1; k < 128; ++k) EXPECT_EQ(Steps[256 - k], -Steps[k]) << k;
  for (int k = 1; k < 128; ++k) EXPECT_GT(Steps[k], Steps[k - 1]) << k;
  // As 16-bit numbers the largest steps wrap: 35563 is -29973, 65535 is -1, -65535 is 1.
  auto as16 = [](int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF)); };
  EXPECT_EQ(as16(Steps[120]), -29973);
  EXPECT_EQ(as16(Steps[127]), -1);
  EXPECT_EQ(as16(Steps[129]), 1);
}

// Every difference is coded with one of the two steps around it, and the step below the chosen
// one never passes the difference, so the range correction never overshoots the sample.
TEST(DpcmTables, ChosenStepBracketsEveryDifference) {
  const StepIndexTable& index = BuildDpcmTables();
  for (int32_t d = 0; d < 65536; ++d) {
    const int32_t* hiIt = std::lower_bound(Steps.data(), Steps.data() + 128, d);
    ASSERT_NE(hiIt, Steps.data() + 128);
    const int32_t hi = *hiIt;
    const int32_t lo = (hi == d) ? d : *(hiIt - 1);
    const int32_t chosen = Steps[index[d]];
    ASSERT_TRUE(chosen == lo || chosen == hi) << "d=" << d << " chosen=" << chosen;
    if (index[d] > 0) {
      ASSERT_LE(Steps[index[d] - 1], d) << d;
    }
  }
}

TEST(CompressDpcm, MonoExampleGivesTheSevenKnownBytes) {
  const Compressed c = Compress({0, 100, -100, 32767, -32768, 0}, 1);
  EXPECT_EQ(c.bytes, (std::vector<uint8_t>{0x00, 0x00, 0x35, 0xC3, 0x77, 0x82, 0x75}));
  EXPECT_EQ(c.signLossReports, 0);
  // The portable coder cannot jump a whole range in one step, and never wraps.
  EXPECT_EQ(Compress({0, 100, -100, 32767, -32768, 0}, 1, /*classic=*/false).bytes,
            (std::vector<uint8_t>{0x00, 0x00, 0x35, 0xC3, 0x77, 0x89, 0x35}));
}

// Stereo keeps the first left and right samples, then alternates left and right codes, each
// channel coded exactly as it would be alone.
TEST(CompressDpcm, StereoInterleavesTwoIndependentChannels) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> dist(-32768, 32767);
  std::vector<int16_t> left, right, both;
  for (int i = 0; i < 500; ++i) {
    left.push_back(static_cast<int16_t>(dist(rng) / (i % 3 + 1)));
    right.push_back(static_cast<int16_t>(std::lround(20000 * std::sin(i * 0.05))));
    both.push_back(left.back());
    both.push_back(right.back());
  }
  const Compressed l = Compress(left, 1), r = Compress(right, 1), s = Compress(both, 2);
  ASSERT_EQ(s.bytes.size(), 4u + 2 * 499);
  EXPECT_EQ(std::vector<uint8_t>(s.bytes.begin(), s.bytes.begin() + 2),
            std::vector<uint8_t>(l.bytes.begin(), l.bytes.begin() + 2));
  EXPECT_EQ(std::vector<uint8_t>(s.bytes.begin() + 2, s.bytes.begin() + 4),
            std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 2));
  for (size_t i = 0; i < 499; ++i) {
    ASSERT_EQ(s.bytes[4 + 2 * i], l.bytes[2 + i]) << i;
    ASSERT_EQ(s.bytes[5 + 2 * i], r.bytes[2 + i]) << i;
  }
}

TEST(CompressDpcm, CompressedSizes) {
  struct Case {
    int32_t byteCount;
    int channels;
    int32_t expected;
  };
  const Case cases[] = {
      {16, 1, 9},      {16, 2, 10}, {2, 1, 2}, {4, 2, 4},  {2942, 1, 1472},
      {5888, 2, 2946}, {0, 1, 0},   {2, 2, 2}, {17, 1, 9},  // incomplete trailing byte is ignored
  };
  for (const Case& c : cases) {
    for (bool classic : {true, false}) {
      std::vector<uint8_t> buffer(static_cast<size_t>(c.byteCount) + 1, 0x11);
      DpcmCompressor compressor(classic);
      EXPECT_EQ(compressor.CompressDPCM(buffer.data(), c.byteCount, c.channels), c.expected)
          << c.byteCount << " bytes, " << c.channels << " channels, classic " << classic;
    }
  }
}

// Decodes the compressed signal with the wrapping decoder and checks every sample: the decoded
// step is one of the two table steps around the difference to the source sample, so the error
// never exceeds the gap between those steps.
void ExpectFaithfulRoundTrip(const std::vector<int16_t>& samples, int channels, const char* what) {
  SCOPED_TRACE(what);
  const Compressed c = Compress(samples, channels);
  EXPECT_EQ(c.signLossReports, 0);
  ASSERT_EQ(c.bytes.size(), samples.size() + channels);
  const std::vector<int16_t> decoded = DecodeWrapping(c.bytes.data(), c.bytes.size(), channels);
  ASSERT_EQ(decoded.size(), samples.size());
  for (int ch = 0; ch < channels; ++ch) EXPECT_EQ(decoded[ch], samples[ch]);
  int32_t pred[2] = {samples[0], channels == 2 ? samples[1] : 0};
  int worst = 0;
  for (size_t i = channels; i < samples.size(); ++i) {
    const int ch = channels == 2 ? static_cast<int>(i % 2) : 0;
    const int32_t s = samples[i];
    const int32_t d = s - pred[ch];
    const int32_t ad = std::abs(d);
    const int32_t* hiIt = std::lower_bound(Steps.data(), Steps.data() + 128, ad);
    const int32_t hi = *hiIt;
    const int32_t lo = hi == ad ? ad : *(hiIt - 1);
    const int32_t step = decoded[i] - pred[ch];  // the step actually taken, without wrapping
    const int32_t err = std::abs(decoded[i] - s);
    ASSERT_TRUE(step == 0 || (step > 0) == (d > 0))
        << "sample " << i << " moved away from the source";
    ASSERT_TRUE(std::abs(step) == lo || std::abs(step) == hi)
        << "sample " << i << ": d=" << d << " step=" << step;
    ASSERT_LE(err, hi - lo) << "sample " << i;
    worst = std::max(worst, err);
    pred[ch] = decoded[i];
  }
  ::testing::Test::RecordProperty(std::string(what) + "_worst_error", worst);
}

TEST(CompressDpcm, RandomSignalsRoundTripThroughAWrappingDecoder) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> full(-32768, 32767);
  std::normal_distribution<double> small(0.0, 300.0);

  std::vector<int16_t> noise;  // white noise over the whole range: every code, corrections
  for (int i = 0; i < 200000; ++i) noise.push_back(static_cast<int16_t>(full(rng)));
  ExpectFaithfulRoundTrip(noise, 1, "mono noise");
  ExpectFaithfulRoundTrip(noise, 2, "stereo noise");

  std::vector<int16_t> walk;  // a wandering signal with small and occasional huge steps
  double v = 0;
  for (int i = 0; i < 200000; ++i) {
    v += small(rng);
    if (i % 997 == 0) v = full(rng);
    v = std::clamp(v, -32768.0, 32767.0);
    walk.push_back(static_cast<int16_t>(v));
  }
  ExpectFaithfulRoundTrip(walk, 1, "mono walk");
  ExpectFaithfulRoundTrip(walk, 2, "stereo walk");
}

TEST(CompressDpcm, LoudClippedSignalsRoundTripThroughAWrappingDecoder) {
  std::vector<int16_t> square, alternating, extremes, clippedSine;
  for (int i = 0; i < 20000; ++i) {
    square.push_back((i / 25) % 2 ? 32767 : -32768);
    alternating.push_back(i % 2 ? 32767 : -32767);
    extremes.push_back(i % 3 == 0 ? -32768 : (i % 3 == 1 ? 32767 : 0));
    const double s = 3.0 * 32767.0 * std::sin(i * 0.3);
    clippedSine.push_back(static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0)));
  }
  ExpectFaithfulRoundTrip(square, 1, "square");
  ExpectFaithfulRoundTrip(square, 2, "stereo square");
  ExpectFaithfulRoundTrip(alternating, 1, "alternating");
  ExpectFaithfulRoundTrip(alternating, 2, "stereo alternating");
  ExpectFaithfulRoundTrip(extremes, 1, "extremes");
  ExpectFaithfulRoundTrip(clippedSine, 1, "clipped sine");
}

// Codes whose step players disagree on: beyond +-32767 the steps wrap as 16-bit numbers
// (120..127 and 129..136), and two players' tables differ at 237 and 238.
bool Unportable(uint8_t code) {
  return (code >= 120 && code <= 136 && code != 128) || code == 237 || code == 238;
}

TEST(PortableDpcm, CodeTableAvoidsTheUnportableCodesAndOtherwiseKeepsTheClassicChoice) {
  const PortableCodeTable& codes = BuildPortableCodes();
  const StepIndexTable& index = BuildDpcmTables();
  for (int32_t d = -32767; d <= 32767; ++d) {
    const uint8_t code = codes[static_cast<size_t>(d + 32767)];
    ASSERT_FALSE(Unportable(code)) << d;
    const uint8_t classic = d >= 0 ? index[d] : static_cast<uint8_t>(256 - index[-d]);
    if (d == -18) {
      EXPECT_EQ(Steps[code], -17);
    } else if (d == -19) {
      EXPECT_EQ(Steps[code], -20);
    } else {
      ASSERT_EQ(code, classic) << d;
    }
  }
}

// Every sound the portable coder writes decodes to the same samples with a wrapping and a
// clamping decoder, uses no unportable code, and stays as close to the source as the steps
// allow: within the gap between the two table steps around each difference (2 where -18 and -19
// take a neighbour), or, across more than +-32767, one largest step towards the sample.
void ExpectPortableRoundTrip(const std::vector<int16_t>& samples, int channels, const char* what) {
  SCOPED_TRACE(what);
  const Compressed c = Compress(samples, channels, /*classic=*/false);
  EXPECT_EQ(c.signLossReports, 0);
  ASSERT_EQ(c.bytes.size(), samples.size() + channels);
  for (size_t i = 2 * channels; i < c.bytes.size(); ++i)
    ASSERT_FALSE(Unportable(c.bytes[i])) << "code " << int(c.bytes[i]) << " at byte " << i;
  const std::vector<int16_t> decoded = DecodeWrapping(c.bytes.data(), c.bytes.size(), channels);
  ASSERT_TRUE(decoded == DecodeClamping(c.bytes.data(), c.bytes.size(), channels))
      << "a clamping decoder gives other samples";
  int32_t pred[2] = {samples[0], channels == 2 ? samples[1] : 0};
  for (size_t i = channels; i < samples.size(); ++i) {
    const int ch = channels == 2 ? static_cast<int>(i % 2) : 0;
    const int32_t d = samples[i] - pred[ch];
    const int32_t step = decoded[i] - pred[ch];
    const int32_t err = std::abs(decoded[i] - samples[i]);
    ASSERT_TRUE(step == 0 || (step > 0) == (d > 0)) << "sample " << i << " moved away";
    if (std::abs(d) > 32767) {
      ASSERT_EQ(std::abs(step), 32589) << "sample " << i;
    } else {
      const int32_t ad = std::abs(d);
      const int32_t* hiIt = std::lower_bound(Steps.data(), Steps.data() + 128, ad);
      const int32_t lo = *hiIt == ad ? ad : *(hiIt - 1);
      ASSERT_LE(err, std::max(*hiIt - lo, 2)) << "sample " << i << ": d=" << d;
    }
    pred[ch] = decoded[i];
  }
}

TEST(PortableDpcm, WrappingAndClampingDecodersAgreeOnEverySignal) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> full(-32768, 32767);
  std::normal_distribution<double> small(0.0, 300.0);
  std::vector<int16_t> noise, walk, square, alternating, extremes, clippedSine, quiet;
  double v = 0;
  for (int i = 0; i < 100000; ++i) {
    noise.push_back(static_cast<int16_t>(full(rng)));
    v = std::clamp(v + small(rng), -32768.0, 32767.0);
    if (i % 997 == 0) v = full(rng);
    walk.push_back(static_cast<int16_t>(v));
    square.push_back((i / 25) % 2 ? 32767 : -32768);
    alternating.push_back(i % 2 ? 32767 : -32768);
    extremes.push_back(i % 3 == 0 ? -32768 : (i % 3 == 1 ? 32767 : 0));
    const double s = 3.0 * 32767.0 * std::sin(i * 0.3);
    clippedSine.push_back(static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0)));
    // Small differences around -18 and -19 near the bottom of the range.
    quiet.push_back(static_cast<int16_t>(-32768 + (i * 37) % 60));
  }
  for (int channels : {1, 2}) {
    ExpectPortableRoundTrip(noise, channels, "noise");
    ExpectPortableRoundTrip(walk, channels, "walk");
    ExpectPortableRoundTrip(square, channels, "square");
    ExpectPortableRoundTrip(alternating, channels, "alternating");
    ExpectPortableRoundTrip(extremes, channels, "extremes");
    ExpectPortableRoundTrip(clippedSine, channels, "clipped sine");
    ExpectPortableRoundTrip(quiet, channels, "quiet at the bottom");
  }
}

// The classic coder's full-scale jumps rely on wrapping: a clamping decoder plays them wrong.
TEST(PortableDpcm, ClassicFullScaleJumpsDecodeDifferentlyWhenClamped) {
  std::vector<int16_t> square;
  for (int i = 0; i < 1000; ++i) square.push_back((i / 25) % 2 ? 32767 : -32768);
  const Compressed c = Compress(square, 1, /*classic=*/true);
  EXPECT_FALSE(DecodeWrapping(c.bytes.data(), c.bytes.size(), 1) ==
               DecodeClamping(c.bytes.data(), c.bytes.size(), 1));
}

}  // namespace
}  // namespace korvane
