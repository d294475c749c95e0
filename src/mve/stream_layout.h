// What goes into an MVE movie and in which order: the video set-up chunk, the audio set-up
// and audio-only chunks, and the frame chunks (timer, palette, decoding map, audio, video data,
// display). The records are written through an MveWriter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mve/frame_audio.h"
#include "mve/mve_record.h"
#include "mve/mve_writer.h"
#include "mve/palette_planes.h"

namespace korvane {

struct StreamConfig {
  int BlocksPerRow = 0;
  int BlocksPerColumn = 0;
  double FrameRate = 0;  // frames per second, for the timer
  // A palette in every frame chunk that ends a frame, instead of one in the set-up chunk.
  bool LocalPalettes = false;
  // The audio encoder; null for a movie without sound. Its opcodes are placed in the
  // audio-only chunks and in every frame chunk that ends a frame.
  FrameAudioSource* Audio = nullptr;
  // The palette the palette opcodes carry (read at every write; null: all black), and the
  // number of entries a per-frame palette opcode holds.
  const PalettePlanes* Planes = nullptr;
  int PaletteCount = 256;
};

// Fields of the audio set-up opcode.
struct AudioSetup {
  int Channels = 1;        // 1 or 2
  int BytesPerSample = 2;  // 1 or 2; 16-bit sound is written compressed
  uint32_t Rate = 22050;   // samples per second
  uint32_t BytesPerSecond = 44100;
};

class StreamLayout {
 public:
  explicit StreamLayout(const StreamConfig& config) : config_(config) {}

  StreamConfig& Config() { return config_; }
  const StreamConfig& Config() const { return config_; }
  bool HasSound() const { return config_.Audio != nullptr; }

  // Chunk type 2: video mode, video buffers, the palette (unless LocalPalettes), signature.
  bool WriteVideoSetupChunk(MveWriter& file);
  // Chunk type 0: the audio buffers opcode.
  bool WriteAudioSetupChunk(MveWriter& file, const AudioSetup& audio);
  // Chunk type 1: has the audio encoder build the next audio opcodes and places them.
  bool WriteAudioOnlyChunk(MveWriter& file);
  // Chunk type 3 for frame number `frameCounter` (or one piece of it): `map` is the decoding
  // map, `video` the coded block data; `first` when the piece begins the frame, `final` when it
  // ends it. The frame's audio opcodes must have been built before the final piece.
  bool WriteFrameChunk(MveWriter& file, int32_t frameCounter, const Bytes& map,
                       const uint8_t* video, size_t videoBytes, bool first, bool final);
  bool WriteFrameChunk(MveWriter& file, int32_t frameCounter, const Bytes& map, const Bytes& video,
                       bool first, bool final) {
    return WriteFrameChunk(file, frameCounter, map, video.data(), video.size(), first, final);
  }

  // The payload bytes WriteFrameChunk would give a chunk with this map and video data (the
  // frame's audio opcodes as built now).
  size_t FrameChunkPayload(size_t mapBytes, size_t videoBytes, bool final) const;

  // True until the first frame chunk is written.
  bool TimerPending() const { return timerPending_; }
  // The coded block data of every frame chunk so far (video headers not counted).
  int64_t VideoDataBytes() const { return videoDataBytes_; }

  // The create-timer opcode for a frame rate: rate x subdivision microseconds per frame.
  static MveRecord TimerOp(double frameRate);
  // True when the timer holds the frame time of `frameRate` within 1 %: false for rates such as
  // 2147483647 frames a second that a damaged header claims, and for a rate that is not a
  // number. Rates below 2 frames a second are played at 25 and pass.
  static bool TimerKeeps(double frameRate);

 private:
  MveRecord PaletteOp(int count) const;

  StreamConfig config_;
  bool timerPending_ = true;
  int64_t videoDataBytes_ = 0;
  MveRecord chunk_;   // reused between frame chunks
  MveRecord opcode_;  // reused between frame chunks
};

}  // namespace korvane
