#include "input/wave_format.h"

#include <cstdio>

namespace korvane {

WaveFormat Pcm16Format(int rate, int channels) {
  WaveFormat f;
  f.FormatTag = kWaveFormatPcm;
  f.Channels = static_cast<uint16_t>(channels);
  f.SamplesPerSec = static_cast<uint32_t>(rate);
  f.BlockAlign = static_cast<uint16_t>(channels * 2);
  f.AvgBytesPerSec = f.SamplesPerSec * f.BlockAlign;
  f.BitsPerSample = 16;
  return f;
}

std::string AudioCodecName(uint16_t formatTag) {
  switch (formatTag) {
    case 1:
      return "PCM";
    case 2:
      return "MS ADPCM";
    case 0x55:
      return "mp3";
    case 0x2000:
      return "ac3";
    default:
      return "unknown codec (tag " + std::to_string(formatTag) + ")";
  }
}

std::string DescribeAudioFormat(const WaveFormat& format) {
  std::string text = AudioCodecName(format.FormatTag) + ", " +
                     std::to_string(format.SamplesPerSec) + " Hz, " +
                     std::to_string(format.BitsPerSample) + "-bit, ";
  if (format.Channels == 1)
    text += "mono";
  else if (format.Channels == 2)
    text += "stereo";
  else
    text += std::to_string(format.Channels) + " channels";
  return text;
}

std::string TwoDecimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace korvane
