// The stream header and format of the first soundtrack of an AVI or WAV file, read straight
// from the RIFF structure: the facts the movie-file reader prints.
#pragma once

#include <cstdint>
#include <string>

#include "input/wave_format.h"

namespace korvane {

struct RiffAudioInfo {
  uint32_t Start = 0;
  uint32_t Length = 0;
  uint32_t Scale = 0;
  uint32_t Rate = 0;
  uint32_t SuggestedBufferSize = 0;
  uint32_t InitialFrames = 0;
  WaveFormat format;
};

// False when the file is not a RIFF AVI or WAVE file with a readable soundtrack header.
// For WAVE files the facts are those of a stream of blocks: scale = block align, rate = bytes
// per second, length = data bytes / block align, suggested buffer = data bytes.
bool ReadRiffAudioInfo(const std::string& path, RiffAudioInfo& info);

}  // namespace korvane
