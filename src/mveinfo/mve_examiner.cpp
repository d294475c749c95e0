#include "mveinfo/mve_examiner.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "mve/opcodes.h"
#include "mveinfo/mve_reader.h"

namespace korvane {
namespace {

constexpr char kSignature[] = "Interplay MVE File\x1A";  // followed by a zero byte
constexpr size_t kSignatureSize = 20;
constexpr uint16_t kHeaderWords[3] = {0x001A, 0x0100, 0x1133};
constexpr size_t kVideoHeaderSize = 14;

uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string OpcodeLabel(uint8_t kind) {
  std::string name = MveOpcodeName(kind);
  return Format("opcode 0x%02X (%s)", kind, name.empty() ? "unknown" : name.c_str());
}

std::string ChunkName(uint16_t type) {
  static const char* const names[] = {"audio set-up", "audio only", "video set-up",
                                      "frame",        "shutdown",   "end"};
  return type < 6 ? names[type] : "unknown";
}

}  // namespace

std::string MveOpcodeName(uint8_t kind) {
  static const char* const names[] = {
      "end of stream",      "end of chunk",         "create timer",
      "init audio buffers", "start/stop audio",     "init video buffers",
      "video data (old)",   "send buffer",          "audio frame",
      "silence frame",      "init video mode",      "create gradient",
      "set palette",        "set palette (packed)", "unknown 0x0E",
      "set decoding map",   "video data (0x10)",    "video data",
      "unknown 0x12",       "unknown 0x13",         "unknown 0x14",
      "signature"};
  return kind < sizeof names / sizeof names[0] ? names[kind] : "";
}

std::string MveBlockOpcodeName(uint8_t code) {
  static const char* const names[16] = {"copy from previous frame",
                                        "unchanged (two frames back)",
                                        "copy from this frame, below",
                                        "copy from this frame, around",
                                        "copy from previous, moved",
                                        "copy from previous, far",
                                        "skip",
                                        "two colours",
                                        "two colours per quadrant",
                                        "four colours",
                                        "four colours per quadrant",
                                        "raw pixels",
                                        "2x2 cells",
                                        "solid quadrants",
                                        "solid colour",
                                        "checkerboard"};
  return names[code & 15];
}

int MveBlockDataSize(uint8_t code, const uint8_t* d, size_t available) {
  switch (code & 15) {
    case 0:
    case 1:
    case 6:
      return 0;
    case 2:
    case 3:
    case 4:
    case 14:
      return 1;
    case 5:
    case 15:
      return 2;
    case 13:
      return 4;
    case 12:
      return 16;
    case 11:
      return 64;
    case 7:
      if (available < 2) return -1;
      return d[0] <= d[1] ? 10 : 4;
    case 8:
      if (available < 2) return -1;
      return d[0] <= d[1] ? 16 : 12;
    case 9:
      if (available < 4) return -1;
      if (d[0] <= d[1]) return d[2] <= d[3] ? 20 : 8;
      return 12;
    case 10:
      if (available < 2) return -1;
      return d[0] <= d[1] ? 32 : 24;
  }
  return -1;
}

void MveExaminer::Fault(uint64_t offset, std::string text) {
  ++info_.FaultCount;
  if (info_.Faults.size() < MveInfo::kMaxFaults) info_.Faults.push_back({offset, std::move(text)});
}

void MveExaminer::Fault(uint64_t offset, const char* format, ...) {
  ++info_.FaultCount;
  // Only the faults that are kept are worded: a hostile file may hold millions.
  if (info_.Faults.size() >= MveInfo::kMaxFaults) return;
  char buffer[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  info_.Faults.push_back({offset, buffer});
}

MveInfo MveExaminer::Inspect(const uint8_t* data, size_t size) {
  std::unique_ptr<MveReader> reader = MveReader::FromMemory(data, size);
  return Inspect(*reader);
}

MveInfo MveExaminer::Inspect(MveReader& reader) {
  *this = MveExaminer();
  uint8_t header[kMveHeaderSize];
  const size_t headerBytes = reader.ReadHeader(header);
  auto finish = [&] {
    info_.FileSize = std::max(reader.KnownSize(), reader.Position());
    return std::move(info_);
  };

  size_t signatureBytes = std::min(headerBytes, kSignatureSize);
  if (headerBytes == 0 || memcmp(header, kSignature, signatureBytes) != 0) {
    Fault(0, "not an MVE file: it does not begin with \"Interplay MVE File\"");
    return finish();
  }
  if (headerBytes < kMveHeaderSize) {
    Fault(headerBytes, "the file ends inside its %zu-byte header", kMveHeaderSize);
    return finish();
  }
  info_.HeaderValid = true;
  for (int i = 0; i < 3; ++i) {
    uint16_t word = Le16(header + kSignatureSize + 2 * i);
    if (word != kHeaderWords[i])
      Fault(kSignatureSize + 2 * i, "file header word is %04X, expected %04X", word,
            kHeaderWords[i]);
  }

  MveChunkView chunk;
  while (true) {
    const uint64_t pos = reader.Position();
    if (info_.EndSeen) {
      const uint64_t trailing = reader.SkipRest();
      if (trailing)
        Fault(pos, "%llu trailing bytes after the end chunk", (unsigned long long)trailing);
      break;
    }
    if (!reader.NextChunk(&chunk)) break;
    if (chunk.HeaderBytes < 4) {
      Fault(pos, "the file ends inside a chunk header (%zu bytes left)", chunk.HeaderBytes);
      break;
    }
    // A legitimate movie walks each decoding map about once; this bounds the video-data checks
    // of a hostile file that reuses one large map for many small pieces.
    walkLimit_ = 4 * reader.Position() + 1000000;
    if (chunk.Available < chunk.Length)
      Fault(pos, "%s chunk of %u bytes is cut short: the file ends after %zu of them",
            ChunkName(chunk.Type).c_str(), chunk.Length, chunk.Available);
    ++info_.Chunks;
    InspectChunk(pos, chunk.Type, chunk.Payload, chunk.Available, chunk.Length);
  }
  if (reader.Failed()) Fault(reader.Position(), reader.ReadError());

  const uint64_t end = reader.Position();
  if (!info_.ShutdownSeen) Fault(end, "no shutdown chunk (type 4) ends the stream");
  if (!info_.EndSeen) Fault(end, "no end chunk (type 5) closes the file");
  return finish();
}

void MveExaminer::InspectChunk(uint64_t offset, uint16_t type, const uint8_t* payload,
                               size_t length, size_t declaredLength) {
  ++info_.ChunkTypes[type];
  if (type > 5) Fault(offset, "unknown chunk type %u", type);
  if (afterEndOfStream_ && type != 5)
    Fault(offset, "%s chunk after the end of the stream", ChunkName(type).c_str());
  if (type == 4) info_.ShutdownSeen = true;
  if (type == 5) info_.EndSeen = true;

  framesShownInChunk_ = 0;
  bool endOfChunk = false;
  bool broken = false;
  size_t p = 0;
  while (p < length) {
    uint64_t at = offset + 4 + p;
    if (endOfChunk) {
      Fault(at,
            "chunk length %zu does not match its opcodes: %zu bytes follow the "
            "end-of-chunk opcode",
            declaredLength, length - p);
      broken = true;
      break;
    }
    if (length - p < 4) {
      if (length == declaredLength)
        Fault(at,
              "chunk length %zu does not match its opcodes: %zu bytes left over, "
              "too few for an opcode",
              declaredLength, length - p);
      broken = true;
      break;
    }
    uint16_t size = Le16(payload + p);
    uint8_t kind = payload[p + 2];
    uint8_t version = payload[p + 3];
    size_t room = length - p - 4;
    if (size > room) {
      if (length == declaredLength)
        Fault(at, "%s of %u bytes runs past the end of its chunk (%zu bytes left)",
              OpcodeLabel(kind).c_str(), size, room);
      broken = true;
      break;
    }
    ++info_.Opcodes[uint16_t(kind << 8 | version)];
    InspectOpcode(at, kind, version, payload + p + 4, size, type);
    if (kind == 1) endOfChunk = true;
    p += 4 + size;
  }
  if (!endOfChunk && !broken && type != 5 && length == declaredLength)
    Fault(offset, "%s chunk has no end-of-chunk opcode", ChunkName(type).c_str());

  if (type == 4 || type == 5) return;  // the closing chunks belong to no frame
  pendingBytes_ += 4 + length;
  for (uint64_t i = 0; i < framesShownInChunk_; ++i) {
    info_.FrameBytesTotal += pendingBytes_;
    if (info_.FrameBytes.size() < MveInfo::kMaxFrameBytes)
      info_.FrameBytes.push_back(
          uint32_t(std::min<uint64_t>(pendingBytes_, std::numeric_limits<uint32_t>::max())));
    pendingBytes_ = 0;
  }
}

void MveExaminer::InspectOpcode(uint64_t offset, uint8_t kind, uint8_t version, const uint8_t* d,
                                size_t length, uint16_t chunkType) {
  auto need = [&](size_t bytes) {
    if (length >= bytes) return true;
    Fault(offset, "%s version %u holds %zu bytes, too few for its %zu-byte fields",
          OpcodeLabel(kind).c_str(), version, length, bytes);
    return false;
  };
  auto needVideoBuffers = [&] {
    if (buffersSet_) return true;
    Fault(offset, "%s before the video buffers are set", OpcodeLabel(kind).c_str());
    return false;
  };

  switch (kind) {
    case Number(Opcode::EndOfStream):
      afterEndOfStream_ = true;
      if (chunkType != 4) Fault(offset, "end of stream outside the shutdown chunk");
      break;
    case Number(Opcode::CreateTimer):
      if (!need(6)) break;
      ++info_.Timers;
      if (!info_.TimerSet) {
        info_.TimerSet = true;
        info_.TimerRate = Le32(d);
        info_.TimerSubdivision = Le16(d + 4);
        if (uint64_t(info_.TimerRate) * info_.TimerSubdivision == 0)
          Fault(offset, "the timer gives frames no duration");
      }
      break;
    case Number(Opcode::InitAudioBuffers):
      if (!need(6)) break;
      if (!info_.SoundSet) {
        uint16_t flags = Le16(d + 2);
        info_.SoundSet = true;
        info_.SoundVersion = version;
        info_.SoundRate = Le16(d + 4);
        info_.SoundChannels = (flags & 1) ? 2 : 1;
        info_.SoundBits = (flags & 2) ? 16 : 8;
        info_.SoundCompressed = version >= 1 && (flags & 4) != 0;
        if (info_.SoundRate == 0) Fault(offset, "the sound has a sample rate of 0 Hz");
      }
      break;
    case Number(Opcode::InitVideoBuffers): {
      size_t bytes = version == 0 ? 4 : version == 1 ? 6 : 8;
      if (!need(bytes)) break;
      uint16_t wide = Le16(d), high = Le16(d + 2);
      bool trueColor = version >= 2 && Le16(d + 6) != 0;
      if (wide == 0 || high == 0) {
        Fault(offset, "video buffers of %u x %u blocks hold no picture", wide, high);
        break;
      }
      if (!info_.VideoBuffersSet) {
        info_.VideoBuffersSet = true;
        info_.BlocksWide = wide;
        info_.BlocksHigh = high;
        info_.VideoBuffersVersion = version;
        info_.TrueColor = trueColor;
      } else if (wide != blocksWide_ || high != blocksHigh_ || trueColor != trueColor_) {
        ++info_.VideoBufferChanges;
      }
      buffersSet_ = true;
      blocksWide_ = wide;
      blocksHigh_ = high;
      trueColor_ = trueColor;
      mapSet_ = false;
      mapFaulty_ = false;
      break;
    }
    case Number(Opcode::VideoData06):
    case Number(Opcode::VideoData10):
      ++info_.VideoDataPieces;
      needVideoBuffers();
      break;
    case Number(Opcode::VideoData):
      ++info_.VideoDataPieces;
      if (needVideoBuffers() && version == 3 && !trueColor_) CheckVideoData(offset, d, length);
      break;
    case Number(Opcode::SendBuffer):
      if (!need(4)) break;
      ++info_.Frames;
      ++framesShownInChunk_;
      needVideoBuffers();
      if (Le16(d) + Le16(d + 2) > 256)
        Fault(offset, "palette range %u + %u runs past entry 255", Le16(d), Le16(d + 2));
      break;
    case Number(Opcode::AudioFrame):
    case Number(Opcode::SilenceFrame): {
      if (!need(6)) break;
      uint16_t mask = Le16(d + 2);
      uint16_t bytes = Le16(d + 4);
      if (kind == Number(Opcode::AudioFrame))
        ++info_.AudioFrames;
      else
        ++info_.SilenceFrames;
      if (!info_.SoundSet) {
        Fault(offset, "%s before the sound is set up", OpcodeLabel(kind).c_str());
        break;
      }
      if (!(mask & 1)) break;
      uint64_t frameBytes = uint64_t(info_.SoundChannels) * (info_.SoundBits / 8);
      if (kind == Number(Opcode::SilenceFrame)) {
        info_.SilentSamples += bytes / frameBytes;
        break;
      }
      info_.SoundSamples += bytes / frameBytes;
      size_t expected = bytes;
      if (info_.SoundCompressed)
        expected =
            bytes / 2 >= size_t(info_.SoundChannels) ? bytes / 2 + info_.SoundChannels : bytes;
      if (length - 6 != expected)
        Fault(offset,
              "audio frame of %u bytes of sound holds %zu bytes of data, "
              "expected %zu",
              bytes, length - 6, expected);
      break;
    }
    case Number(Opcode::InitVideoMode):
      if (!need(4)) break;
      if (!info_.VideoModeSet) {
        info_.VideoModeSet = true;
        info_.ModeWidth = Le16(d);
        info_.ModeHeight = Le16(d + 2);
        info_.ModeFlags = length >= 6 ? Le16(d + 4) : 0;
      }
      break;
    case Number(Opcode::SetPalette): {
      if (!need(4)) break;
      uint16_t first = Le16(d), count = Le16(d + 2);
      if (first + count > 256)
        Fault(offset, "palette of %u entries from entry %u runs past entry 255", count, first);
      else if (length < 4 + 3 * size_t(count))
        Fault(offset, "palette of %u entries holds %zu bytes, needs %zu", count, length,
              4 + 3 * size_t(count));
      [[fallthrough]];
    }
    case Number(Opcode::SetPaletteCompressed):
      ++info_.PaletteChanges;
      if (info_.PaletteFrames.size() < MveInfo::kMaxListedFrames)
        info_.PaletteFrames.push_back(info_.Frames + 1);
      break;
    case Number(Opcode::SetDecodingMap): {
      mapSet_ = false;
      mapFaulty_ = true;
      if (!needVideoBuffers()) break;
      ++info_.DecodingMaps;
      uint64_t blocks = uint64_t(blocksWide_) * blocksHigh_;
      uint64_t expected = (blocks + 1) / 2;
      uint64_t counted = std::min<uint64_t>(blocks, 2 * uint64_t(length));
      for (uint64_t b = 0; b < counted; ++b) ++info_.BlockOpcodes[(d[b / 2] >> (4 * (b & 1))) & 15];
      if (length != expected) {
        Fault(offset,
              "decoding map of %zu bytes, but video buffers of %u x %u blocks "
              "need %llu",
              length, blocksWide_, blocksHigh_, (unsigned long long)expected);
        break;
      }
      map_.assign(d, d + length);
      mapSet_ = true;
      mapFaulty_ = false;
      break;
    }
    default:
      break;
  }
}

void MveExaminer::CheckVideoData(uint64_t offset, const uint8_t* d, size_t length) {
  if (!mapSet_) {
    if (!mapFaulty_) Fault(offset, "video data without a decoding map");
    return;
  }
  if (length < kVideoHeaderSize) {
    Fault(offset, "video data of %zu bytes, too short for its %zu-byte header", length,
          kVideoHeaderSize);
    return;
  }
  uint64_t blocks = uint64_t(blocksWide_) * blocksHigh_;
  if (walkStopped_ || walked_ + blocks > walkLimit_) {
    if (!walkStopped_)
      Fault(offset,
            "video data checks stopped: decoding maps are reused far more than a movie "
            "needs");
    walkStopped_ = true;
    return;
  }
  walked_ += blocks;
  size_t pos = kVideoHeaderSize;
  for (uint64_t b = 0; b < blocks; ++b) {
    uint8_t code = (map_[size_t(b / 2)] >> (4 * (b & 1))) & 15;
    int bytes = MveBlockDataSize(code, d + pos, length - pos);
    if (bytes < 0 || size_t(bytes) > length - pos) {
      Fault(offset, "video data ends inside block %llu (opcode %u) of %llu", (unsigned long long)b,
            code, (unsigned long long)blocks);
      return;
    }
    pos += bytes;
  }
  if (pos != length)
    Fault(offset, "video data holds %zu bytes its decoding map does not use", length - pos);
}

MveRates ComputeMveRates(const MveInfo& info) {
  MveRates r;
  const uint64_t frameMicros = uint64_t(info.TimerRate) * info.TimerSubdivision;
  if (!info.TimerSet || frameMicros == 0 || info.Frames == 0) return r;
  r.Known = true;
  r.FrameSeconds = double(frameMicros) / 1e6;
  r.Seconds = double(info.Frames) * r.FrameSeconds;
  // Every chunk up to the last frame shown counts, the set-up chunks and the sound sent ahead
  // included (they go with the first frame).
  r.Average = double(info.FrameBytesTotal) / r.Seconds;
  // Peak: the heaviest run of one second's worth of frames.
  const std::vector<uint32_t>& f = info.FrameBytes;
  size_t window = std::max<size_t>(1, size_t(std::lround(1.0 / r.FrameSeconds)));
  window = std::min(window, std::max<size_t>(f.size(), 1));
  uint64_t sum = 0, best = 0;
  size_t bestStart = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    sum += f[i];
    if (i >= window) sum -= f[i - window];
    if (i + 1 >= window && sum > best) {
      best = sum;
      bestStart = i + 1 - window;
    }
  }
  if (!f.empty()) {
    r.Peak = double(best) / (double(window) * r.FrameSeconds);
    r.PeakFirst = bestStart + 1;
    r.PeakLast = bestStart + window;
  }
  // Each second of the movie: the frames that start in it. A damaged timer can make frames last
  // for days; the table is left empty then rather than sized by the timer.
  const uint64_t lastStart = f.empty() ? 0 : uint64_t(f.size() - 1) * frameMicros / 1000000;
  if (lastStart >= kMaxRateSeconds) return r;
  for (size_t i = 0; i < f.size(); ++i) {
    const size_t second = size_t(uint64_t(i) * frameMicros / 1000000);
    if (second >= r.PerSecond.size()) r.PerSecond.resize(second + 1, 0);
    r.PerSecond[second] += f[i];
  }
  return r;
}

std::string FormatMveInfo(const MveInfo& info, const std::string& name) {
  std::string out;
  out += Format("File: %s (%llu bytes, %llu chunks)\n", name.c_str(),
                (unsigned long long)info.FileSize, (unsigned long long)info.Chunks);
  if (!info.HeaderValid) {
    out += "Not an MVE file.\n";
  } else {
    if (info.VideoBuffersSet)
      out += Format("Video: %u x %u pixels (%u x %u blocks), %s\n", info.BlocksWide * 8u,
                    info.BlocksHigh * 8u, info.BlocksWide, info.BlocksHigh,
                    info.TrueColor ? "true colour" : "8-bit palette");
    else
      out += "Video: no video buffers\n";
    if (info.VideoBufferChanges)
      out += Format("    video buffers change size %llu times\n",
                    (unsigned long long)info.VideoBufferChanges);
    if (info.VideoModeSet)
      out += Format("    mode: %u x %u, flags %04X\n", info.ModeWidth, info.ModeHeight,
                    info.ModeFlags);

    uint64_t frameMicros = uint64_t(info.TimerRate) * info.TimerSubdivision;
    if (info.TimerSet && frameMicros) {
      double fps = 1e6 / double(frameMicros);
      double seconds = double(info.Frames) * double(frameMicros) / 1e6;
      out += Format("Frames: %llu at %.3f fps (timer %u x %u = %llu us per frame), %.3f s\n",
                    (unsigned long long)info.Frames, fps, info.TimerRate, info.TimerSubdivision,
                    (unsigned long long)frameMicros, seconds);
    } else {
      out += Format("Frames: %llu, no frame rate (%s)\n", (unsigned long long)info.Frames,
                    info.TimerSet ? "the timer is zero" : "no timer");
    }

    out += Format("Palette changes: %llu", (unsigned long long)info.PaletteChanges);
    if (!info.PaletteFrames.empty()) {
      out += ", at frame";
      out += info.PaletteFrames.size() > 1 ? "s" : "";
      const size_t shown = std::min<size_t>(info.PaletteFrames.size(), 20);
      for (size_t i = 0; i < shown; ++i)
        out += Format("%s %llu", i ? "," : "", (unsigned long long)info.PaletteFrames[i]);
      if (info.PaletteChanges > shown) out += ", ...";
    }
    out += "\n";

    if (info.SoundSet) {
      out += Format("Sound: %u Hz, %s, %d-bit, %s\n", info.SoundRate,
                    info.SoundChannels == 2 ? "stereo" : "mono", info.SoundBits,
                    info.SoundCompressed ? "compressed (DPCM)" : "uncompressed");
      // Formats that some engines' players get wrong.
      if (info.SoundBits == 8 && !info.SoundCompressed)
        out += "    hint: some players mis-play 8-bit PCM; korvane -dpcm writes 16-bit DPCM\n";
      else if (info.SoundChannels == 1 && info.SoundCompressed)
        out +=
            "    hint: some players play mono DPCM as noise; korvane -stereo writes two channels\n";
      double length = info.SoundRate ? double(info.SoundSamples) / info.SoundRate : 0;
      out += Format("    length: %llu samples, %.3f s (%llu audio frames, %llu silence frames)\n",
                    (unsigned long long)info.SoundSamples, length,
                    (unsigned long long)info.AudioFrames, (unsigned long long)info.SilenceFrames);
    } else {
      out += "Sound: none\n";
    }

    const MveRates rates = ComputeMveRates(info);
    if (rates.Known) {
      out += Format("Bytes per second: %.0f average", rates.Average);
      if (rates.PeakLast)
        out += Format(", %.0f peak (frames %zu-%zu)", rates.Peak, rates.PeakFirst, rates.PeakLast);
      out += "\n";
    } else {
      out += "Bytes per second: unknown without a frame rate\n";
    }

    uint64_t blocks = 0;
    for (uint64_t n : info.BlockOpcodes) blocks += n;
    out += Format("Decoding maps: %llu, %llu blocks\n", (unsigned long long)info.DecodingMaps,
                  (unsigned long long)blocks);
    if (blocks) {
      for (int code = 0; code < 16; ++code)
        out += Format("    %2d %-28s %10llu  %5.1f%%\n", code,
                      MveBlockOpcodeName(uint8_t(code)).c_str(),
                      (unsigned long long)info.BlockOpcodes[code],
                      100.0 * double(info.BlockOpcodes[code]) / double(blocks));
    }

    out += "Opcodes:\n";
    for (const auto& [key, count] : info.Opcodes) {
      uint8_t kind = uint8_t(key >> 8);
      std::string opName = MveOpcodeName(kind);
      out += Format("    %02X v%-3u %-22s %10llu\n", kind, unsigned(key & 0xFF),
                    opName.empty() ? "(unknown)" : opName.c_str(), (unsigned long long)count);
    }
  }

  if (info.FaultCount == 0) {
    out += "Faults: none\n";
  } else {
    out += Format("Faults: %llu\n", (unsigned long long)info.FaultCount);
    for (const MveFault& fault : info.Faults)
      out += Format("    at %llu (0x%llX): %s\n", (unsigned long long)fault.Offset,
                    (unsigned long long)fault.Offset, fault.Text.c_str());
    if (info.FaultCount > info.Faults.size())
      out += Format("    ... and %llu more\n",
                    (unsigned long long)(info.FaultCount - info.Faults.size()));
  }
  return out;
}

}  // namespace korvane
