#include "mve/stream_layout.h"

#include <cmath>

namespace korvane {

namespace {

void AppendDword(MveRecord& block, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  AppendBytes(block, bytes, 4);
}

void AppendWord(MveRecord& block, uint32_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  AppendBytes(block, bytes, 2);
}

// Empties a record kept for reuse, keeping its storage.
void Reset(MveRecord& block, uint8_t kind, uint8_t version) {
  block.Kind = kind;
  block.Version = version;
  block.Len = 0;
  block.Data.clear();
  block.Oversized = false;
}

}  // namespace

bool StreamLayout::TimerKeeps(double frameRate) {
  if (!std::isfinite(frameRate)) return false;
  if (frameRate < 2.0) return true;
  const double rate = std::nearbyint(125000.0 / frameRate);
  return rate >= 1 && std::fabs(rate * frameRate / 125000.0 - 1.0) <= 0.01;
}

MveRecord StreamLayout::TimerOp(double frameRate) {
  MveRecord timer = NewRecord(Number(Opcode::CreateTimer), 0);
  // Slow movies (and nonsense rates) get 40 ms per frame.
  const uint32_t rate =
      frameRate >= 2.0 ? static_cast<uint32_t>(std::nearbyint(125000.0 / frameRate)) : 5000;
  AppendDword(timer, rate);
  AppendWord(timer, 8);
  return timer;
}

MveRecord StreamLayout::PaletteOp(int count) const {
  static const PalettePlanes kBlack;
  const PalettePlanes& planes = config_.Planes ? *config_.Planes : kBlack;
  if (count < 0) count = 0;
  if (count > 256) count = 256;
  MveRecord palette = NewRecord(Number(Opcode::SetPalette), 0);
  palette.Data.reserve(4 + 3 * count);
  AppendWord(palette, 0);
  AppendWord(palette, static_cast<uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    const uint8_t entry[3] = {planes.Red[i], planes.Green[i], planes.Blue[i]};
    AppendBytes(palette, entry, 3);
  }
  return palette;
}

bool StreamLayout::WriteVideoSetupChunk(MveWriter& file) {
  MveRecord chunk = NewRecord(Number(ChunkType::VideoSetup), 0);
  AppendRecord(chunk, VideoModeOp);
  MveRecord buffers = NewRecord(Number(Opcode::InitVideoBuffers), 2);
  AppendWord(buffers, static_cast<uint32_t>(config_.BlocksPerRow));
  AppendWord(buffers, static_cast<uint32_t>(config_.BlocksPerColumn));
  AppendWord(buffers, 1);
  AppendWord(buffers, 0);  // not true colour
  AppendRecord(chunk, buffers);
  if (!config_.LocalPalettes) AppendRecord(chunk, PaletteOp(256));
  AppendRecord(chunk, SignatureOp);
  AppendRecord(chunk, EndOfChunkOp);
  return file.WriteChunk(chunk);
}

bool StreamLayout::WriteAudioSetupChunk(MveWriter& file, const AudioSetup& audio) {
  MveRecord chunk = NewRecord(Number(ChunkType::AudioSetup), 0);
  MveRecord buffers = NewRecord(Number(Opcode::InitAudioBuffers), 1);
  AppendBytes(buffers, Bytes{0x54, 0xE9});
  uint32_t flags = 0;
  if (audio.Channels == 2) flags += 1;
  if (audio.BytesPerSample == 2) flags += 6;  // 16-bit, compressed
  AppendWord(buffers, flags);
  AppendWord(buffers, audio.Rate);
  AppendDword(buffers, audio.BytesPerSecond);
  AppendRecord(chunk, buffers);
  AppendRecord(chunk, EndOfChunkOp);
  return file.WriteChunk(chunk);
}

bool StreamLayout::WriteAudioOnlyChunk(MveWriter& file) {
  MveRecord chunk = NewRecord(Number(ChunkType::AudioOnly), 0);
  if (config_.Audio) {
    config_.Audio->BuildFrameAudio();
    config_.Audio->AppendFrameAudio(chunk);
  }
  AppendRecord(chunk, EndOfChunkOp);
  return file.WriteChunk(chunk);
}

size_t StreamLayout::FrameChunkPayload(size_t mapBytes, size_t videoBytes, bool final) const {
  size_t bytes = (4 + mapBytes) + (4 + 14 + videoBytes) + 4;  // map, video data, end of chunk
  if (timerPending_) bytes += 4 + 6;
  if (final) {
    if (config_.LocalPalettes) {
      const int count = config_.PaletteCount < 0     ? 0
                        : config_.PaletteCount > 256 ? 256
                                                     : config_.PaletteCount;
      bytes += 4 + 4 + 3 * size_t(count);
    }
    if (config_.Audio) bytes += size_t(config_.Audio->AudioOverhead());
    bytes += 4 + (4 + 6);  // start audio, display
  }
  return bytes;
}

bool StreamLayout::WriteFrameChunk(MveWriter& file, int32_t frameCounter, const Bytes& map,
                                   const uint8_t* video, size_t videoBytes, bool first,
                                   bool final) {
  videoDataBytes_ += static_cast<int64_t>(videoBytes);

  Reset(chunk_, Number(ChunkType::Frame), 0);
  if (timerPending_) AppendRecord(chunk_, TimerOp(config_.FrameRate));
  if (final && config_.LocalPalettes) AppendRecord(chunk_, PaletteOp(config_.PaletteCount));

  Reset(opcode_, Number(Opcode::SetDecodingMap), 0);
  AppendBytes(opcode_, map);
  AppendRecord(chunk_, opcode_);

  if (final && config_.Audio) config_.Audio->AppendFrameAudio(chunk_);

  Reset(opcode_, Number(Opcode::VideoData), 3);
  opcode_.Data.reserve(14 + videoBytes);
  AppendWord(opcode_, static_cast<uint32_t>(frameCounter));
  AppendWord(opcode_, static_cast<uint32_t>(frameCounter - 1));
  AppendDword(opcode_, 0);
  AppendWord(opcode_, static_cast<uint32_t>(config_.BlocksPerRow));
  AppendWord(opcode_, static_cast<uint32_t>(config_.BlocksPerColumn));
  AppendWord(opcode_, first ? 1 : 0);
  AppendBytes(opcode_, video, videoBytes);
  AppendRecord(chunk_, opcode_);

  if (final) {
    AppendRecord(chunk_, StartAudioOp);
    AppendRecord(chunk_,
                 frameCounter == 1 || config_.LocalPalettes ? ShowFramePaletteOp : ShowFrameOp);
  }
  AppendRecord(chunk_, EndOfChunkOp);
  timerPending_ = false;
  return file.WriteChunk(chunk_);
}

}  // namespace korvane
