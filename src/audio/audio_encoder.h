// The audio opcodes of every chunk that carries sound: the next piece of the soundtrack as an
// audio frame (opcode 08, 16-bit sound compressed with Interplay DPCM, 8-bit sound raw) for
// stream 0 and a silence frame (opcode 09) for the other streams.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <vector>

#include "audio/dpcm.h"
#include "mve/frame_audio.h"
#include "mve/opcodes.h"
#include "mve/tblock.h"

namespace korvane {

// Fills `count` bytes of PCM at `dest` and returns the bytes delivered: `count` (padded with
// silence where the track ends) or 0 once the track is over.
using PcmReader = std::function<int32_t(uint8_t* dest, int32_t count)>;

// What the encoder needs to know about the soundtrack and the movie.
struct AudioFacts {
  bool AudioPresent = false;
  int32_t AudioChannels = 0;        // 1 or 2
  int32_t AudioBytesPerSample = 0;  // 1 or 2
  int32_t AudioChunkBytes = 0;      // bytes of a regular piece
  int32_t AudioLeadChunkBytes = 0;  // bytes of the first piece of every group
  int32_t FramesPerSecond = 0;      // pieces per group; 0 counts as 1
};

class AudioEncoder : public FrameAudioSource {
 public:
  // Messages of the compressor go to `out`; it reads its one line of confirmation from `in`.
  AudioEncoder(const AudioFacts& facts, PcmReader reader, std::ostream& out, std::istream& in);

  // Builds the audio-frame and silence-frame opcodes of the next chunk; nothing without sound.
  void BuildFrameAudio() override;
  // With sound: appends the audio frame (when it carries sound) and the silence frame to the
  // chunk and advances the sequence number.
  void AppendFrameAudio(TBlock& chunk) override;
  // Bytes the built opcodes take in a chunk, headers included; 0 without sound.
  int AudioOverhead() const override;

  // The sequence number the next appended opcodes carry.
  int32_t AudioFrameIndex() const { return audioFrameIndex_; }
  const TBlock& AudioDataOp() const { return audioDataOp_; }
  const TBlock& AudioSilenceOp() const { return audioSilenceOp_; }
  // Bytes of PCM the piece of the next chunk holds.
  int32_t NextPieceBytes() const;

 private:
  AudioFacts facts_;
  PcmReader reader_;
  DpcmCompressor compressor_;
  std::vector<uint8_t> chunkBuffer_;  // room for the larger of the two piece sizes
  int32_t audioFrameIndex_ = 0;
  TBlock audioDataOp_;
  TBlock audioSilenceOp_;
};

}  // namespace korvane
