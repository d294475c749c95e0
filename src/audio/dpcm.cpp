#include "audio/dpcm.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace korvane {

namespace {

// The positive steps, codes 0..127.
constexpr std::array<int32_t, 128> kPositiveSteps = {
    0,     1,     2,     3,     4,     5,     6,     7,     8,     9,     10,    11,    12,
    13,    14,    15,    16,    17,    18,    19,    20,    21,    22,    23,    24,    25,
    26,    27,    28,    29,    30,    31,    32,    33,    34,    35,    36,    37,    38,
    39,    40,    41,    42,    43,    47,    51,    56,    61,    66,    72,    79,    86,
    94,    102,   112,   122,   133,   145,   158,   173,   189,   206,   225,   245,   267,
    292,   318,   348,   379,   414,   452,   493,   538,   587,   640,   699,   763,   832,
    908,   991,   1081,  1180,  1288,  1405,  1534,  1673,  1826,  1993,  2175,  2373,  2590,
    2826,  3084,  3365,  3672,  4008,  4373,  4772,  5208,  5683,  6202,  6767,  7385,  8059,
    8794,  9597,  10472, 11428, 12471, 13609, 14851, 16206, 17685, 19298, 21060, 22981, 25078,
    27367, 29864, 32589, 35563, 38808, 42350, 46214, 50431, 55033, 60055, 65535};

constexpr std::array<int32_t, 256> MakeSteps() {
  std::array<int32_t, 256> steps{};
  for (int k = 0; k < 128; ++k) steps[k] = kPositiveSteps[k];
  steps[128] = 1;
  for (int k = 1; k < 128; ++k) steps[256 - k] = -kPositiveSteps[k];
  return steps;
}

StepIndexTable MakeStepIndex() {
  StepIndexTable table{};
  for (int32_t i = 0; i < 44; ++i) table[i] = static_cast<uint8_t>(i);
  for (int32_t i = 44; i < 65536; ++i) {
    table[i] = static_cast<uint8_t>(std::trunc(std::log(static_cast<double>(i)) * 11.5131));
  }
  return table;
}

// Codes that players decode differently: 237 and 238 (steps -19 and -18 in one step table,
// other values in another).
constexpr bool PlayersDisagree(uint8_t code) {
  return code == 237 || code == 238;
}

PortableCodeTable MakePortableCodes(const StepIndexTable& index) {
  PortableCodeTable table{};
  for (int32_t d = -32767; d <= 32767; ++d) {
    const int32_t ad = d < 0 ? -d : d;
    uint8_t code = d >= 0 ? index[ad] : static_cast<uint8_t>(256 - index[ad]);
    if (PlayersDisagree(code)) {
      // The nearest of the neighbouring steps -20 (code 236) and -17 (code 239).
      code = std::abs(d - Steps[236]) <= std::abs(d - Steps[239]) ? 236 : 239;
    }
    table[static_cast<size_t>(d + 32767)] = code;
  }
  return table;
}

// The next code towards step 0 from `code`, skipping the codes players disagree on.
uint8_t SmallerStep(uint8_t code) {
  if (Steps[code] > 0) return static_cast<uint8_t>(code - 1);
  code = static_cast<uint8_t>(code + 1);
  if (PlayersDisagree(code)) code = 239;
  return code;
}

bool InRange(int32_t value) {
  return value >= -32768 && value <= 32767;
}

}  // namespace

constinit const std::array<int32_t, 256> Steps = MakeSteps();

const StepIndexTable& BuildDpcmTables() {
  static const StepIndexTable table = MakeStepIndex();
  return table;
}

const PortableCodeTable& BuildPortableCodes() {
  static const PortableCodeTable table = MakePortableCodes(BuildDpcmTables());
  return table;
}

DpcmCompressor::DpcmCompressor(bool classic)
    : classic_(classic), stepIndex_(BuildDpcmTables()), portableCodes_(BuildPortableCodes()) {}

std::vector<int32_t> DpcmCompressor::TakeSignLosses() {
  std::vector<int32_t> losses;
  losses.swap(signLosses_);
  return losses;
}

int32_t DpcmCompressor::CompressDPCM(uint8_t* buffer, int32_t byteCount, int channels) {
  if (channels != 2) channels = 1;
  const int32_t sampleCount = byteCount > 0 ? byteCount / 2 : 0;
  // Too little sound for the first samples: hand back what there is, unchanged.
  if (sampleCount < channels) return sampleCount * 2;
  return classic_ ? CompressClassic(buffer, sampleCount, channels)
                  : CompressPortable(buffer, sampleCount, channels);
}

namespace {

int32_t SampleAt(const uint8_t* buffer, int32_t index) {
  return static_cast<int16_t>(static_cast<uint16_t>(buffer[2 * index]) |
                              static_cast<uint16_t>(buffer[2 * index + 1]) << 8);
}

}  // namespace

// One code byte is written for every two bytes read, so the write position never passes a
// sample that has not been read yet.
int32_t DpcmCompressor::CompressClassic(uint8_t* buffer, int32_t sampleCount, int channels) {
  int32_t pred[2] = {SampleAt(buffer, 0), channels == 2 ? SampleAt(buffer, 1) : 0};
  int32_t result = 2 * channels;
  int k = 0;
  for (int32_t i = channels; i < sampleCount; ++i) {
    const int32_t s = SampleAt(buffer, i);
    const int32_t d = s - pred[k];
    uint8_t code = d >= 0 ? stepIndex_[d] : static_cast<uint8_t>(256 - stepIndex_[-d]);
    int32_t e = Steps[code] + pred[k];
    if (e < -32768 || e > 32767) {
      // The step would leave the 16-bit range: take the next smaller step towards the sample.
      if (s > 0 && e > 32767) {
        code = static_cast<uint8_t>(code - 1);
      } else if (s <= 0 && e < -32768) {
        code = static_cast<uint8_t>(code + 1);
      }
      e = Steps[code] + pred[k];
    }
    const int32_t e16 = static_cast<int16_t>(static_cast<uint16_t>(e & 0xFFFF));
    if (e16 - s > 32767 || e16 - s < -32767) {
      signLosses_.push_back(e16 - s);
      ++signLossReports_;
    }
    buffer[result] = code;
    pred[k] = e16;
    ++result;
    k = channels - 1 - k;
  }
  return result;
}

int32_t DpcmCompressor::CompressPortable(uint8_t* buffer, int32_t sampleCount, int channels) {
  int32_t pred[2] = {SampleAt(buffer, 0), channels == 2 ? SampleAt(buffer, 1) : 0};
  int32_t result = 2 * channels;
  int k = 0;
  const uint8_t* codes = portableCodes_.data() + 32767;
  for (int32_t i = channels; i < sampleCount; ++i) {
    const int32_t s = SampleAt(buffer, i);
    // A difference beyond +-32767 (only between samples of opposite signs) takes the largest
    // step that is the same in 16 bits.
    const int32_t d = std::clamp(s - pred[k], -32767, 32767);
    uint8_t code = codes[d];
    int32_t e = pred[k] + Steps[code];
    if (!InRange(e)) {
      // The step passes the sample and the range's end: the next smaller steps lie between the
      // predictor and the sample, so the first one inside the range is the nearest.
      do {
        code = SmallerStep(code);
        e = pred[k] + Steps[code];
      } while (!InRange(e));
    }
    buffer[result] = code;
    pred[k] = e;
    ++result;
    k = channels - 1 - k;
  }
  return result;
}

}  // namespace korvane
