// The audio opcodes of every chunk that carries sound: the next piece of the soundtrack as audio
// frames (opcode 08, 16-bit sound compressed with Interplay DPCM, 8-bit sound raw) for stream 0
// and silence frames (opcode 09) for the other streams.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "audio/dpcm.h"
#include "mve/frame_audio.h"
#include "mve/mve_record.h"
#include "mve/opcodes.h"

namespace korvane {

// Fills `count` bytes of PCM at `dest` and returns the bytes delivered: `count` (padded with
// silence where the track ends) or 0 once the track is over.
using PcmReader = std::function<int32_t(uint8_t* dest, int32_t count)>;

// What the encoder needs to know about the soundtrack and the movie, and how to write it.
struct AudioFacts {
  bool AudioPresent = false;
  int32_t AudioChannels = 0;        // 1 or 2, as the reader serves it
  int32_t AudioBytesPerSample = 0;  // 1 or 2, as the reader serves it
  int32_t AudioChunkBytes = 0;      // bytes the reader serves for a regular piece
  int32_t AudioLeadChunkBytes = 0;  // bytes the reader serves for the first piece of every group
  int32_t FramesPerSecond = 0;      // pieces per group; 0 counts as 1
  // The original layout and coder: one audio frame per piece however long, silence frames for
  // every stream once the track is over, and the classic DPCM coder.
  bool Classic = false;
  bool WidenTo16Bit = false;  // 8-bit sound is written as 16-bit DPCM
  bool ForceStereo = false;   // mono sound is written as two identical channels
};

// The sound as the movie carries it.
struct AudioOutputFormat {
  int32_t Channels = 1;
  int32_t BytesPerSample = 2;  // 16-bit sound is written compressed
};

class AudioEncoder : public FrameAudioSource {
 public:
  // Players keep at most this many pieces of sound that are received but not yet due.
  static constexpr int kMaxQueuedPieces = 59;
  // Players count the bytes an audio frame decodes to in a signed 16-bit number.
  static constexpr int32_t kMaxOpcodeSoundBytes = 32767;

  AudioEncoder(const AudioFacts& facts, PcmReader reader);

  // The format the movie's sound is written in.
  static AudioOutputFormat OutputFormat(const AudioFacts& facts);
  AudioOutputFormat OutputFormat() const { return OutputFormat(facts_); }

  // Chunks that carry sound before the first frame is shown (the first frame chunk included):
  // one second of pieces, but never more than a player can queue.
  static int LeadPieces(int32_t framesPerSecond);
  // Audio-only chunks to write before the first frame chunk.
  int AudioOnlyChunks() const { return LeadPieces(facts_.FramesPerSecond) - 1; }
  // The buffer length for the audio set-up opcode: `bytesPerSecond` (one second of the sound as
  // the reader serves it) in the written format, raised where needed so that a ring of 1.5
  // times it holds the lead and the two largest pieces that follow it.
  uint32_t DeclaredBufferBytes(int64_t bytesPerSecond) const;
  // The most bytes the audio opcodes of one chunk take (headers included), or -1 when a piece
  // cannot be written (its length does not fit the opcode's 16-bit length field).
  static int64_t MaxChunkAudioBytes(const AudioFacts& facts);

  // Builds the audio-frame and silence-frame opcodes of the next chunk; nothing without sound.
  void BuildFrameAudio() override;
  // With sound: appends the audio frames (when they carry sound) and the silence frames to the
  // chunk and advances the sequence number.
  void AppendFrameAudio(MveRecord& chunk) override;
  // Bytes the built opcodes take in a chunk, headers included; 0 without sound.
  int AudioOverhead() const override;

  // The sequence number the next appended opcodes carry.
  int32_t AudioFrameIndex() const { return audioFrameIndex_; }
  // The built opcodes: the audio frames (none once a classic track is over) and the silence
  // frames, in the order they are placed.
  int DataOpCount() const { return dataOpCount_; }
  const MveRecord& DataOp(int i) const { return dataOps_[static_cast<size_t>(i)]; }
  int SilenceOpCount() const { return silenceOpCount_; }
  const MveRecord& SilenceOp(int i) const { return silenceOps_[static_cast<size_t>(i)]; }
  // The first of each (an empty audio frame when none is placed).
  const MveRecord& AudioDataOp() const { return dataOpCount_ ? dataOps_[0] : emptyOp_; }
  const MveRecord& AudioSilenceOp() const { return silenceOps_[0]; }
  // Bytes of PCM the reader serves for the piece of the next chunk.
  int32_t NextPieceBytes() const;

  // Deviations of the classic coder's sign losses since the last call; the record is emptied.
  std::vector<int32_t> TakeSignLosses() { return compressor_.TakeSignLosses(); }

 private:
  // Converts `count` bytes of the reader's PCM in `readBuffer_` to the written format in
  // `pcm_` and returns the bytes written there.
  int32_t ConvertPiece(int32_t count);
  MveRecord& NextDataOp();
  MveRecord& NextSilenceOp();

  AudioFacts facts_;
  AudioOutputFormat format_;
  PcmReader reader_;
  DpcmCompressor compressor_;
  std::vector<uint8_t> readBuffer_;  // room for the larger of the two piece sizes
  std::vector<uint8_t> pcm_;         // the same piece in the written format
  int32_t audioFrameIndex_ = 0;
  std::vector<MveRecord> dataOps_;
  std::vector<MveRecord> silenceOps_;
  int dataOpCount_ = 0;
  int silenceOpCount_ = 0;
  MveRecord emptyOp_;
};

}  // namespace korvane
