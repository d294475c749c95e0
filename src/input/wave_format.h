// The WAVEFORMATEX-shaped description of a soundtrack, and how the program names it.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

constexpr uint16_t kWaveFormatPcm = 1;

struct WaveFormat {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

// Interleaved signed 16-bit PCM at `rate` with `channels`.
WaveFormat Pcm16Format(int rate, int channels);

// "PCM", "MS ADPCM", "mp3", "ac3", else "unknown codec (tag N)".
std::string audio_codec_name(uint16_t formatTag);

// "<codec>, <rate> Hz, <bits>-bit, mono|stereo|<n> channels".
std::string describe_audio_format(const WaveFormat& format);

// A value with exactly two decimals, as the information lines print them.
std::string TwoDecimals(double value);

}  // namespace korvane
