#include "audio/audio_encoder.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace korvane {

namespace {

constexpr uint8_t kAudioFrameOpcode = Number(Opcode::AudioFrame);
constexpr uint8_t kSilenceFrameOpcode = Number(Opcode::SilenceFrame);

// Stream masks: the sound goes to stream 0, silence to the others, or (classic) to all streams
// once the track is over.
constexpr uint8_t kSoundStreamMask[2] = {0x01, 0x00};
constexpr uint8_t kOtherStreamsMask[2] = {0xFE, 0xFF};
constexpr uint8_t kAllStreamsMask[2] = {0xFF, 0xFF};

// Empties an opcode record for reuse, keeping its storage.
void ResetRecord(MveRecord& block, uint8_t kind) {
  block.Kind = kind;
  block.Version = 0;
  block.Data.clear();
  block.Len = 0;
}

int32_t FrameBytes(int32_t channels, int32_t bytesPerSample) {
  return std::max(channels, 1) * std::max(bytesPerSample, 1);
}

// The facts as the encoder uses them: a frame rate below 0.5 rounds to 0 frames per second, and
// such a movie groups its sound as if it had one frame per second.
AudioFacts Normalised(AudioFacts facts) {
  if (facts.FramesPerSecond < 1) facts.FramesPerSecond = 1;
  facts.AudioChunkBytes = std::max<int32_t>(facts.AudioChunkBytes, 0);
  facts.AudioLeadChunkBytes = std::max<int32_t>(facts.AudioLeadChunkBytes, 0);
  return facts;
}

// The size of a piece of `sourceBytes` reader bytes in the written format.
int64_t OutputBytes(const AudioFacts& facts, const AudioOutputFormat& format, int64_t sourceBytes) {
  return sourceBytes / FrameBytes(facts.AudioChannels, facts.AudioBytesPerSample) *
         FrameBytes(format.Channels, format.BytesPerSample);
}

// How a piece of `bytes` bytes (written format) is cut into audio frames: as evenly as whole
// sample frames allow, none longer than a player can count. Classic: always one.
int PartCount(const AudioFacts& facts, const AudioOutputFormat& format, int64_t bytes) {
  if (facts.Classic) return 1;
  const int64_t frameBytes = FrameBytes(format.Channels, format.BytesPerSample);
  const int64_t maxFrames = AudioEncoder::kMaxOpcodeSoundBytes / frameBytes;
  const int64_t frames = bytes / frameBytes;
  return static_cast<int>(std::max<int64_t>(1, (frames + maxFrames - 1) / maxFrames));
}

// Byte offset where part `i` of `parts` of a piece of `bytes` bytes begins.
int64_t PartStart(const AudioOutputFormat& format, int64_t bytes, int i, int parts) {
  if (i >= parts) return bytes;
  const int64_t frameBytes = FrameBytes(format.Channels, format.BytesPerSample);
  const int64_t frames = bytes / frameBytes;
  return frames * i / parts * frameBytes;
}

// Bytes of audio-frame data for `bytes` bytes of sound in the written format.
int64_t DataBytes(const AudioOutputFormat& format, int64_t bytes) {
  if (format.BytesPerSample != 2) return bytes;
  const int64_t samples = bytes / 2;
  return samples < format.Channels ? samples * 2 : samples + format.Channels;
}

}  // namespace

AudioEncoder::AudioEncoder(const AudioFacts& facts, PcmReader reader)
    : facts_(Normalised(facts)),
      format_(OutputFormat(facts_)),
      reader_(std::move(reader)),
      compressor_(facts_.Classic) {
  if (facts_.AudioPresent) {
    const int32_t largest = std::max(facts_.AudioChunkBytes, facts_.AudioLeadChunkBytes);
    readBuffer_.resize(static_cast<size_t>(largest));
    const int64_t output = OutputBytes(facts_, format_, largest);
    if (output != largest) pcm_.resize(static_cast<size_t>(output));
  }
  emptyOp_ = NewRecord(kAudioFrameOpcode, 0);
  silenceOps_.push_back(NewRecord(kSilenceFrameOpcode, 0));
}

AudioOutputFormat AudioEncoder::OutputFormat(const AudioFacts& facts) {
  AudioOutputFormat format;
  format.Channels = facts.AudioChannels == 2 || facts.ForceStereo ? 2 : 1;
  format.BytesPerSample = facts.AudioBytesPerSample == 2 || facts.WidenTo16Bit ? 2 : 1;
  return format;
}

int AudioEncoder::LeadPieces(int32_t framesPerSecond) {
  // One second of sound goes ahead of the pictures. Players queue every piece until the frame
  // it belongs to is shown, and take one piece off the queue per frame, in order: above
  // kMaxQueuedPieces frames per second the lead is cut short rather than carried in fewer,
  // larger pieces, which would put the queue's n-th piece out of step with the n-th frame.
  return std::clamp<int32_t>(framesPerSecond, 1, kMaxQueuedPieces);
}

uint32_t AudioEncoder::DeclaredBufferBytes(int64_t bytesPerSecond) const {
  int64_t declared = OutputBytes(facts_, format_, std::max<int64_t>(bytesPerSecond, 0));
  const int64_t chunk = OutputBytes(facts_, format_, facts_.AudioChunkBytes);
  const int64_t lead = OutputBytes(facts_, format_, facts_.AudioLeadChunkBytes);
  int64_t leadBytes = 0;
  for (int i = 0; i < LeadPieces(facts_.FramesPerSecond); ++i)
    leadBytes += i % facts_.FramesPerSecond == 0 ? lead : chunk;
  const int64_t needed = leadBytes + 2 * std::max(chunk, lead);
  // Players make their ring 1.5 times the declared length, rounded down to whole dwords.
  auto ring = [](int64_t length) { return (length + length / 2) & ~int64_t{3}; };
  declared = std::max(declared, needed * 2 / 3);
  while (ring(declared) < needed) ++declared;
  return static_cast<uint32_t>(std::min<int64_t>(declared, std::numeric_limits<uint32_t>::max()));
}

int64_t AudioEncoder::MaxChunkAudioBytes(const AudioFacts& raw) {
  if (!raw.AudioPresent) return 0;
  const AudioFacts facts = Normalised(raw);
  const AudioOutputFormat format = OutputFormat(facts);
  int64_t most = 0;
  for (int32_t source : {facts.AudioChunkBytes, facts.AudioLeadChunkBytes}) {
    const int64_t bytes = OutputBytes(facts, format, source);
    const int parts = PartCount(facts, format, bytes);
    int64_t total = 0;
    for (int i = 0; i < parts; ++i) {
      const int64_t part =
          PartStart(format, bytes, i + 1, parts) - PartStart(format, bytes, i, parts);
      const int64_t data = 6 + DataBytes(format, part);
      // The length field and the opcode's own length are 16 bits.
      if (part > 65535 || data > 65535) return -1;
      total += 4 + data + 4 + 6;
    }
    most = std::max(most, total);
  }
  return most;
}

int32_t AudioEncoder::NextPieceBytes() const {
  return audioFrameIndex_ % facts_.FramesPerSecond == 0 ? facts_.AudioLeadChunkBytes
                                                        : facts_.AudioChunkBytes;
}

int32_t AudioEncoder::ConvertPiece(int32_t count) {
  if (pcm_.empty()) return count;  // written as the reader serves it
  const int inChannels = facts_.AudioChannels == 2 ? 2 : 1;
  const bool widen = facts_.AudioBytesPerSample != 2 && format_.BytesPerSample == 2;
  const int inBytes = facts_.AudioBytesPerSample == 2 ? 2 : 1;
  const int32_t frames = count / (inChannels * inBytes);
  const uint8_t* in = readBuffer_.data();
  uint8_t* out = pcm_.data();
  for (int32_t f = 0; f < frames; ++f) {
    for (int c = 0; c < format_.Channels; ++c) {
      const uint8_t* sample = in + (f * inChannels + std::min(c, inChannels - 1)) * inBytes;
      if (widen) {
        // Unsigned 8-bit to signed 16-bit, exactly: 0x80 is 0, one step is 256.
        *out++ = 0;
        *out++ = static_cast<uint8_t>(sample[0] ^ 0x80);
      } else {
        for (int b = 0; b < inBytes; ++b) *out++ = sample[b];
      }
    }
  }
  return static_cast<int32_t>(out - pcm_.data());
}

MveRecord& AudioEncoder::NextDataOp() {
  if (static_cast<size_t>(dataOpCount_) == dataOps_.size())
    dataOps_.push_back(NewRecord(kAudioFrameOpcode, 0));
  MveRecord& op = dataOps_[static_cast<size_t>(dataOpCount_++)];
  ResetRecord(op, kAudioFrameOpcode);
  return op;
}

MveRecord& AudioEncoder::NextSilenceOp() {
  if (static_cast<size_t>(silenceOpCount_) == silenceOps_.size())
    silenceOps_.push_back(NewRecord(kSilenceFrameOpcode, 0));
  MveRecord& op = silenceOps_[static_cast<size_t>(silenceOpCount_++)];
  ResetRecord(op, kSilenceFrameOpcode);
  return op;
}

void AudioEncoder::BuildFrameAudio() {
  if (!facts_.AudioPresent) return;
  const int32_t sourceLen = NextPieceBytes();
  const int32_t len = static_cast<int32_t>(OutputBytes(facts_, format_, sourceLen));
  const Bytes sequence = Word16(static_cast<uint32_t>(audioFrameIndex_));
  dataOpCount_ = silenceOpCount_ = 0;

  int32_t n = reader_ && sourceLen > 0 ? reader_(readBuffer_.data(), sourceLen) : 0;
  n = std::clamp<int32_t>(n, 0, sourceLen);
  uint8_t* pcm = pcm_.empty() ? readBuffer_.data() : pcm_.data();

  if (facts_.Classic) {
    MveRecord& silence = NextSilenceOp();
    AppendBytes(silence, sequence);
    if (n > 0) {
      n = ConvertPiece(n);
      MveRecord& data = NextDataOp();
      AppendBytes(data, sequence);
      AppendBytes(data, kSoundStreamMask, 2);
      if (format_.BytesPerSample == 2) n = compressor_.CompressDPCM(pcm, n, format_.Channels);
      AppendBytes(data, Word16(static_cast<uint32_t>(len)));
      AppendBytes(data, pcm, static_cast<size_t>(n));
      AppendBytes(silence, kOtherStreamsMask, 2);
    } else {
      AppendBytes(silence, kAllStreamsMask, 2);
    }
    AppendBytes(silence, Word16(static_cast<uint32_t>(len)));
    return;
  }

  // Stream 0 always gets sound: once the track is over (or where it falls short) the piece is
  // silence, written as sound that does not move, never as a silence frame.
  const uint8_t silent = facts_.AudioBytesPerSample == 2 ? 0x00 : 0x80;
  std::fill(readBuffer_.begin() + n, readBuffer_.begin() + sourceLen, silent);
  ConvertPiece(sourceLen);
  const int parts = PartCount(facts_, format_, len);
  for (int i = 0; i < parts; ++i) {
    const int64_t start = PartStart(format_, len, i, parts);
    const int32_t partLen = static_cast<int32_t>(PartStart(format_, len, i + 1, parts) - start);
    uint8_t* part = pcm + start;
    int32_t dataLen = partLen;
    if (format_.BytesPerSample == 2)
      dataLen = compressor_.CompressDPCM(part, partLen, format_.Channels);
    MveRecord& data = NextDataOp();
    AppendBytes(data, sequence);
    AppendBytes(data, kSoundStreamMask, 2);
    AppendBytes(data, Word16(static_cast<uint32_t>(partLen)));
    AppendBytes(data, part, static_cast<size_t>(dataLen));
    MveRecord& silence = NextSilenceOp();
    AppendBytes(silence, sequence);
    AppendBytes(silence, kOtherStreamsMask, 2);
    AppendBytes(silence, Word16(static_cast<uint32_t>(partLen)));
  }
}

void AudioEncoder::AppendFrameAudio(MveRecord& chunk) {
  if (!facts_.AudioPresent) return;
  for (int i = 0; i < dataOpCount_; ++i) AppendRecord(chunk, dataOps_[static_cast<size_t>(i)]);
  for (int i = 0; i < silenceOpCount_; ++i)
    AppendRecord(chunk, silenceOps_[static_cast<size_t>(i)]);
  ++audioFrameIndex_;
}

int AudioEncoder::AudioOverhead() const {
  if (!facts_.AudioPresent) return 0;
  int overhead = 0;
  for (int i = 0; i < dataOpCount_; ++i)
    overhead += static_cast<int>(dataOps_[static_cast<size_t>(i)].Data.size()) + 4;
  for (int i = 0; i < silenceOpCount_; ++i)
    overhead += static_cast<int>(silenceOps_[static_cast<size_t>(i)].Data.size()) + 4;
  return overhead;
}

}  // namespace korvane
