#include "input/riff_audio_info.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace korvane {

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

bool Is(const uint8_t* p, const char* fourcc) {
  return std::memcmp(p, fourcc, 4) == 0;
}

// Reads the chunks of a RIFF file within [begin, end) without trusting any size field.
class RiffReader {
 public:
  explicit RiffReader(const std::string& path) : in_(path, std::ios::binary) {
    if (in_) {
      in_.seekg(0, std::ios::end);
      size_ = static_cast<uint64_t>(in_.tellg());
      in_.seekg(0);
    }
  }
  bool ok() const { return static_cast<bool>(in_); }
  uint64_t size() const { return size_; }

  bool Read(uint64_t offset, void* data, size_t length) {
    if (offset + length > size_) return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(data), static_cast<std::streamsize>(length));
    return static_cast<size_t>(in_.gcount()) == length;
  }

  // Finds the first chunk with id `id` (and, for "LIST", list type `listType`) in
  // [begin, end); sets the payload's offset and size (clipped to the file).
  bool Find(uint64_t begin, uint64_t end, const char* id, const char* listType, uint64_t& offset,
            uint64_t& length) {
    end = std::min(end, size_);
    uint64_t pos = begin;
    int guard = 0;
    while (pos + 8 <= end && guard++ < 100000) {
      uint8_t header[12];
      if (!Read(pos, header, 8)) return false;
      uint64_t chunkSize = Le32(header + 4);
      uint64_t payload = pos + 8;
      uint64_t payloadEnd = std::min(payload + chunkSize, end);
      if (Is(header, id)) {
        if (listType == nullptr) {
          offset = payload;
          length = payloadEnd - payload;
          return true;
        }
        if (payload + 4 <= payloadEnd && Read(payload, header + 8, 4) && Is(header + 8, listType)) {
          offset = payload + 4;
          length = payloadEnd - offset;
          return true;
        }
      }
      pos = payload + chunkSize + (chunkSize & 1);
    }
    return false;
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
};

// WAVEFORMATEX, or WAVEFORMATEXTENSIBLE whose sub-format names the real tag.
constexpr size_t kFormatBytes = 40;

void ParseWaveFormat(const uint8_t* p, size_t length, WaveFormat& f) {
  uint8_t buffer[kFormatBytes] = {};
  std::memcpy(buffer, p, std::min<size_t>(length, sizeof buffer));
  f.FormatTag = Le16(buffer);
  f.Channels = Le16(buffer + 2);
  f.SamplesPerSec = Le32(buffer + 4);
  f.AvgBytesPerSec = Le32(buffer + 8);
  f.BlockAlign = Le16(buffer + 12);
  f.BitsPerSample = Le16(buffer + 14);
  f.cbSize = length >= 18 ? Le16(buffer + 16) : 0;
  if (f.FormatTag == 0xFFFE && length >= kFormatBytes && f.cbSize >= 22)
    f.FormatTag = Le16(buffer + 24);
}

bool ReadAvi(RiffReader& r, RiffAudioInfo& info) {
  uint64_t hdrl, hdrlSize;
  if (!r.Find(12, r.size(), "LIST", "hdrl", hdrl, hdrlSize)) return false;
  uint64_t pos = hdrl, end = hdrl + hdrlSize;
  while (pos < end) {
    uint64_t strl, strlSize;
    if (!r.Find(pos, end, "LIST", "strl", strl, strlSize)) return false;
    pos = strl + strlSize + (strlSize & 1);
    uint64_t strh, strhSize, strf, strfSize;
    uint8_t h[56] = {};
    if (!r.Find(strl, strl + strlSize, "strh", nullptr, strh, strhSize) || strhSize < 40 ||
        !r.Read(strh, h, std::min<uint64_t>(strhSize, sizeof h)) || !Is(h, "auds"))
      continue;
    if (!r.Find(strl, strl + strlSize, "strf", nullptr, strf, strfSize) || strfSize < 14)
      return false;
    uint8_t fmt[kFormatBytes] = {};
    size_t fmtLength = static_cast<size_t>(std::min<uint64_t>(strfSize, sizeof fmt));
    if (!r.Read(strf, fmt, fmtLength)) return false;
    ParseWaveFormat(fmt, fmtLength, info.format);
    info.InitialFrames = Le32(h + 16);
    info.Scale = Le32(h + 20);
    info.Rate = Le32(h + 24);
    info.Start = Le32(h + 28);
    info.Length = Le32(h + 32);
    info.SuggestedBufferSize = Le32(h + 36);
    return true;
  }
  return false;
}

bool ReadWave(RiffReader& r, RiffAudioInfo& info) {
  uint64_t fmtOffset, fmtSize, data, dataSize;
  if (!r.Find(12, r.size(), "fmt ", nullptr, fmtOffset, fmtSize) || fmtSize < 14) return false;
  uint8_t fmt[kFormatBytes] = {};
  size_t fmtLength = static_cast<size_t>(std::min<uint64_t>(fmtSize, sizeof fmt));
  if (!r.Read(fmtOffset, fmt, fmtLength)) return false;
  ParseWaveFormat(fmt, fmtLength, info.format);
  // The declared data size, even when the file is shorter (a stream still being written).
  uint8_t header[8];
  if (!r.Find(12, r.size(), "data", nullptr, data, dataSize) || !r.Read(data - 8, header, 8))
    return false;
  uint32_t declared = Le32(header + 4);
  info.Start = 0;
  info.Scale = info.format.BlockAlign;
  info.Rate = info.format.AvgBytesPerSec;
  info.Length = info.format.BlockAlign ? declared / info.format.BlockAlign : 0;
  info.SuggestedBufferSize = declared;
  info.InitialFrames = 0;
  return true;
}

}  // namespace

bool ReadRiffAudioInfo(const std::string& path, RiffAudioInfo& info) {
  info = RiffAudioInfo();
  RiffReader r(path);
  uint8_t header[12];
  if (!r.ok() || !r.Read(0, header, 12) || !Is(header, "RIFF")) return false;
  if (Is(header + 8, "AVI ")) return ReadAvi(r, info);
  if (Is(header + 8, "WAVE")) return ReadWave(r, info);
  return false;
}

}  // namespace korvane
