#include "input/wave_format.h"

#include <cstdio>

namespace korvane {

WaveFormat Pcm16Format(int rate, int channels) {
  WaveFormat f;
  f.wFormatTag = kWaveFormatPcm;
  f.nChannels = static_cast<uint16_t>(channels);
  f.nSamplesPerSec = static_cast<uint32_t>(rate);
  f.nBlockAlign = static_cast<uint16_t>(channels * 2);
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
  f.wBitsPerSample = 16;
  return f;
}

std::string audio_codec_name(uint16_t formatTag) {
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

std::string describe_audio_format(const WaveFormat& format) {
  std::string text = audio_codec_name(format.wFormatTag) + ", " +
                     std::to_string(format.nSamplesPerSec) + " Hz, " +
                     std::to_string(format.wBitsPerSample) + "-bit, ";
  if (format.nChannels == 1)
    text += "mono";
  else if (format.nChannels == 2)
    text += "stereo";
  else
    text += std::to_string(format.nChannels) + " channels";
  return text;
}

std::string TwoDecimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

}  // namespace korvane
