// The numbers of MVE chunk types and opcodes, shared by everything that writes or reads them.
#pragma once

#include <cstdint>

namespace korvane {

enum class ChunkType : uint8_t {
  AudioSetup = 0,
  AudioOnly = 1,
  VideoSetup = 2,
  Frame = 3,
  Shutdown = 4,
  End = 5,
};

enum class Opcode : uint8_t {
  EndOfStream = 0x00,
  EndOfChunk = 0x01,
  CreateTimer = 0x02,
  InitAudioBuffers = 0x03,
  StartStopAudio = 0x04,
  InitVideoBuffers = 0x05,
  VideoData06 = 0x06,  // the video data of older movies, with its map inside
  SendBuffer = 0x07,   // show the frame drawn, with or without a new palette
  AudioFrame = 0x08,
  SilenceFrame = 0x09,
  InitVideoMode = 0x0A,
  CreateGradient = 0x0B,
  SetPalette = 0x0C,
  SetPaletteCompressed = 0x0D,
  SetDecodingMap = 0x0F,
  VideoData10 = 0x10,  // video data drawn through a skip map
  VideoData = 0x11,
  Signature = 0x15,
};

constexpr uint8_t Number(ChunkType type) {
  return static_cast<uint8_t>(type);
}
constexpr uint8_t Number(Opcode opcode) {
  return static_cast<uint8_t>(opcode);
}

}  // namespace korvane
