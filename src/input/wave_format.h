// The WAVEFORMATEX-shaped description of a soundtrack, and how the program names it.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

constexpr uint16_t kWaveFormatPcm = 1;

struct WaveFormat {
  uint16_t FormatTag = 0;
  uint16_t Channels = 0;
  uint32_t SamplesPerSec = 0;
  uint32_t AvgBytesPerSec = 0;
  uint16_t BlockAlign = 0;
  uint16_t BitsPerSample = 0;
  uint16_t cbSize = 0;
};

// Interleaved signed 16-bit PCM at `rate` with `channels`.
WaveFormat Pcm16Format(int rate, int channels);

// "PCM", "MS ADPCM", "mp3", "ac3", else "unknown codec (tag N)".
std::string AudioCodecName(uint16_t formatTag);

// "<codec>, <rate> Hz, <bits>-bit, mono|stereo|<n> channels".
std::string DescribeAudioFormat(const WaveFormat& format);

// A value with exactly two decimals, as the information lines print them.
std::string TwoDecimals(double value);

}  // namespace korvane
