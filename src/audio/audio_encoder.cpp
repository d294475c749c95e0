#include "audio/audio_encoder.h"

#include <algorithm>
#include <utility>

namespace korvane {

namespace {

// Stream masks: the sound goes to stream 0, silence to the others, or to all streams once the
// track is over.
constexpr uint8_t kSoundStreamMask[2] = {0x01, 0x00};
constexpr uint8_t kOtherStreamsMask[2] = {0xFE, 0xFF};
constexpr uint8_t kAllStreamsMask[2] = {0xFF, 0xFF};

// Empties an opcode record for reuse, keeping its storage.
void ResetBlock(TBlock& block, uint8_t kind) {
  block.Kind = kind;
  block.Version = 0;
  block.Data.clear();
  block.Len = 0;
}

}  // namespace

AudioEncoder::AudioEncoder(const AudioFacts& facts, PcmReader reader, std::ostream& out,
                           std::istream& in)
    : facts_(facts), reader_(std::move(reader)), compressor_(out, in) {
  // A frame rate below 0.5 rounds to 0 frames per second; such a movie groups its sound as if
  // it had one frame per second.
  if (facts_.FramesPerSecond < 1) facts_.FramesPerSecond = 1;
  facts_.AudioChunkBytes = std::max<int32_t>(facts_.AudioChunkBytes, 0);
  facts_.AudioLeadChunkBytes = std::max<int32_t>(facts_.AudioLeadChunkBytes, 0);
  if (facts_.AudioPresent) {
    chunkBuffer_.resize(std::max(facts_.AudioChunkBytes, facts_.AudioLeadChunkBytes));
  }
  audioDataOp_ = NewBlock(Number(Opcode::AudioFrame), 0);
  audioSilenceOp_ = NewBlock(Number(Opcode::SilenceFrame), 0);
}

int32_t AudioEncoder::NextPieceBytes() const {
  return audioFrameIndex_ % facts_.FramesPerSecond == 0 ? facts_.AudioLeadChunkBytes
                                                        : facts_.AudioChunkBytes;
}

void AudioEncoder::BuildFrameAudio() {
  if (!facts_.AudioPresent) return;
  const int32_t len = NextPieceBytes();
  ResetBlock(audioDataOp_, Number(Opcode::AudioFrame));
  ResetBlock(audioSilenceOp_, Number(Opcode::SilenceFrame));
  AppendBytes(audioSilenceOp_, Word16(static_cast<uint32_t>(audioFrameIndex_)));

  int32_t n = reader_ && len > 0 ? reader_(chunkBuffer_.data(), len) : 0;
  n = std::clamp<int32_t>(n, 0, len);
  if (n > 0) {
    AppendBytes(audioDataOp_, Word16(static_cast<uint32_t>(audioFrameIndex_)));
    AppendBytes(audioDataOp_, kSoundStreamMask, 2);
    if (facts_.AudioBytesPerSample == 2) {
      n = compressor_.CompressDPCM(chunkBuffer_.data(), n, facts_.AudioChannels);
    }
    AppendBytes(audioDataOp_, Word16(static_cast<uint32_t>(len)));
    AppendBytes(audioDataOp_, chunkBuffer_.data(), static_cast<size_t>(n));
    AppendBytes(audioSilenceOp_, kOtherStreamsMask, 2);
  } else {
    AppendBytes(audioSilenceOp_, kAllStreamsMask, 2);
  }
  AppendBytes(audioSilenceOp_, Word16(static_cast<uint32_t>(len)));
}

void AudioEncoder::AppendFrameAudio(TBlock& chunk) {
  if (!facts_.AudioPresent) return;
  if (!audioDataOp_.Data.empty()) AppendBlock(chunk, audioDataOp_);
  AppendBlock(chunk, audioSilenceOp_);
  ++audioFrameIndex_;
}

int AudioEncoder::AudioOverhead() const {
  if (!facts_.AudioPresent) return 0;
  int overhead = static_cast<int>(audioSilenceOp_.Data.size()) + 4;
  if (!audioDataOp_.Data.empty()) overhead += static_cast<int>(audioDataOp_.Data.size()) + 4;
  return overhead;
}

}  // namespace korvane
