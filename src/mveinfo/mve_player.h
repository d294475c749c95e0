// Plays an Interplay MVE movie the way game players do, opcode by opcode, for whoever wants to
// see or hear it:
// - two picture buffers, swapped only at a video-data opcode whose flag word has bit 0 set, so
//   every piece of a split frame draws into the same picture, which is shown once and whole at
//   the send-buffer opcode; block opcode 1 leaves the block as that buffer holds it (the frame
//   two back);
// - a palette opcode changes the palette at once, for the frame shown next;
// - DPCM sound adds each code's 16-bit step to its predictor, wrapping around as players do.
// It decodes the 8-bit video of the video-data opcode 0x11 with all sixteen block opcodes and
// every variant of them, and the sound of stream 0. Nothing in a file can make it crash or read
// outside its buffers; what it cannot follow it counts as a fault and goes on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

// Pictures whose decoding map could not fit an opcode (65535 bytes) are never decoded.
constexpr size_t kMaxMveBlocks = 2 * 65535;

// The frames one 8x8 block reads from. `current` is the picture being drawn (blocks not yet
// drawn still hold the frame two back), `previous` the frame shown last; both `width` x
// `height` pixels, rows one after the other.
struct MveBlockFrames {
  const uint8_t* current = nullptr;
  const uint8_t* previous = nullptr;
  int width = 0;
  int height = 0;
};

// Draws block (bx, by) of block opcode `code` from its `size` data bytes into `out` (8 rows of
// 8 pixels, `outStride` apart); normally `out` is the block's place in `frames.current`.
// Copies address the frames linearly, as players do; a copy whose source lies outside the
// picture leaves the block as it was and sets `*outside`. Opcode 1 and the unused opcode 6
// leave `out` as it is. Returns the data bytes used, or -1 when the data ends before the
// block does.
int DecodeMveBlock(uint8_t code, const uint8_t* data, size_t size, const MveBlockFrames& frames,
                   int bx, int by, uint8_t* out, int outStride, bool* outside = nullptr);

class MvePlayer {
 public:
  enum class Event {
    kNone,
    kFrameShown,  // a frame is on screen: Picture(), Palette(), FrameNumber()
    kSound,       // stream 0 sound was played: Sound()
  };

  // Plays one opcode; what it made happen.
  Event Play(uint8_t kind, uint8_t version, const uint8_t* payload, size_t size);

  // The picture being drawn, shown at kFrameShown: Width() x Height() palette indices.
  const std::vector<uint8_t>& Picture() const { return current_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // The palette in force, 256 entries of red, green, blue as the movie gives them (0 to 63).
  const std::array<uint8_t, 768>& Palette() const { return palette_; }
  // The palette in force with 8-bit components, (c << 2) | (c >> 4).
  std::array<uint8_t, 768> Palette8() const;
  // Frames shown so far (the one just shown is number FramesShown()).
  uint64_t FramesShown() const { return framesShown_; }
  // The frame number in the header of the last video-data opcode.
  uint16_t PieceFrameNumber() const { return pieceFrameNumber_; }
  // Microseconds per frame from the timer, 0 before one is set.
  uint64_t FrameMicros() const { return frameMicros_; }

  // Sound: the format of the first sound set-up, and the samples (interleaved, 16 bits) of the
  // last kSound event.
  bool SoundSet() const { return soundSet_; }
  int SoundRate() const { return soundRate_; }
  int SoundChannels() const { return soundChannels_; }
  const std::vector<int16_t>& Sound() const { return sound_; }

  // Everything it could not follow: how many, and the first few in words.
  uint64_t FaultCount() const { return faultCount_; }
  const std::vector<std::string>& Faults() const { return faults_; }
  static constexpr size_t kMaxFaults = 20;

 private:
  void Fault(std::string text);
  void SetVideoBuffers(int blocksWide, int blocksHigh, bool trueColor);
  void DecodePiece(const uint8_t* payload, size_t size);
  void SetPalette(const uint8_t* payload, size_t size);
  Event PlaySound(uint8_t kind, uint8_t version, const uint8_t* payload, size_t size);

  int blocksWide_ = 0, blocksHigh_ = 0, width_ = 0, height_ = 0;
  bool videoSet_ = false;  // buffers of a size this player decodes
  bool started_ = false;   // a first frame has begun
  std::vector<uint8_t> current_, previous_, map_;
  bool mapSet_ = false;
  std::array<uint8_t, 768> palette_{};
  uint64_t framesShown_ = 0;
  uint16_t pieceFrameNumber_ = 0;
  uint64_t frameMicros_ = 0;
  bool timerSet_ = false;

  bool soundSet_ = false, soundCompressed_ = false;
  int soundRate_ = 0, soundChannels_ = 0, soundBits_ = 0;
  std::vector<int16_t> sound_;

  uint64_t faultCount_ = 0;
  std::vector<std::string> faults_;
  bool toldUnsupportedVideo_ = false;
};

}  // namespace korvane
