#include "support/mve_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

namespace korvane::test {

uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<int> MveChunk::Kinds() const {
  std::vector<int> kinds;
  for (const MveOpcode& op : Opcodes) kinds.push_back(op.Kind);
  return kinds;
}

const MveOpcode* MveChunk::Find(uint8_t kind) const {
  for (const MveOpcode& op : Opcodes)
    if (op.Kind == kind) return &op;
  return nullptr;
}

static bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool ParseMve(const std::vector<uint8_t>& bytes, MveFile* file, std::string* error) {
  static const uint8_t kHeader[26] = {'I',  'n',  't',  'e',  'r',  'p',  'l',  'a', 'y',
                                      ' ',  'M',  'V',  'E',  ' ',  'F',  'i',  'l', 'e',
                                      0x1A, 0x00, 0x1A, 0x00, 0x00, 0x01, 0x33, 0x11};
  *file = MveFile{};
  file->Size = bytes.size();
  if (bytes.size() < 26 || std::memcmp(bytes.data(), kHeader, 26) != 0)
    return Fail(error, "bad file header");
  size_t pos = 26;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4)
      return Fail(error, "truncated chunk header at " + std::to_string(pos));
    MveChunk chunk;
    chunk.Offset = pos;
    chunk.Length = Le16(&bytes[pos]);
    chunk.Type = Le16(&bytes[pos + 2]);
    const size_t end = pos + 4 + chunk.Length;
    if (end > bytes.size())
      return Fail(error, "chunk at " + std::to_string(pos) + " runs past the end");
    size_t op = pos + 4;
    while (op < end) {
      if (end - op < 4)
        return Fail(error, "chunk at " + std::to_string(pos) + ": opcode header cut at " +
                               std::to_string(op));
      MveOpcode opcode;
      opcode.Offset = op;
      const size_t len = Le16(&bytes[op]);
      opcode.Kind = bytes[op + 2];
      opcode.Version = bytes[op + 3];
      if (op + 4 + len > end)
        return Fail(error, "chunk at " + std::to_string(pos) + ": opcode at " + std::to_string(op) +
                               " runs past its chunk");
      opcode.Payload.assign(bytes.begin() + op + 4, bytes.begin() + op + 4 + len);
      chunk.Opcodes.push_back(std::move(opcode));
      op += 4 + len;
    }
    file->Chunks.push_back(std::move(chunk));
    pos = end;
  }
  return true;
}

bool ReadMveFile(const std::string& path, MveFile* file, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, "cannot open " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return ParseMve(bytes, file, error);
}

int DecodeBlock(uint8_t code, const uint8_t* data, size_t size, int width, int height, int bx,
                int by, uint8_t* current, const uint8_t* previous, std::string* error) {
  uint8_t* dst = current + static_cast<size_t>(8 * by) * width + 8 * bx;
  auto need = [&](size_t n) {
    if (size < n) {
      if (error)
        *error = "opcode " + std::to_string(code) + " needs " + std::to_string(n) + " bytes";
      return false;
    }
    return true;
  };
  auto bad = [&](const std::string& text) {
    if (error) *error = text;
    return -1;
  };
  auto px = [&](int x, int y) -> uint8_t& { return dst[y * width + x]; };
  switch (code) {
    case 0x0:
    case 0x4: {
      if (!previous) return bad("copy without a previous frame");
      int dx = 0, dy = 0, used = 0;
      if (code == 0x4) {
        if (!need(1)) return -1;
        dx = (data[0] & 0x0F) - 8;
        dy = (data[0] >> 4) - 8;
        used = 1;
      }
      // Linear addressing, as players do; the source must lie inside the buffer.
      const long offset =
          static_cast<long>(8 * by) * width + 8 * bx + static_cast<long>(dy) * width + dx;
      const long last = static_cast<long>(height - 8) * width + width - 8;
      if (offset < 0 || offset > last) return bad("motion vector outside the picture");
      for (int y = 0; y < 8; ++y) std::memcpy(&px(0, y), previous + offset + y * width, 8);
      return used;
    }
    case 0x1:
      return 0;
    case 0x7: {
      if (!need(4)) return -1;
      const uint8_t p[2] = {data[0], data[1]};
      if (p[0] <= p[1]) {
        if (!need(10)) return -1;
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) px(x, y) = p[(data[2 + y] >> x) & 1];
        return 10;
      }
      const unsigned flags = Le16(data + 2);
      for (int cell = 0; cell < 16; ++cell) {
        const uint8_t c = p[(flags >> cell) & 1];
        const int x = 2 * (cell % 4), y = 2 * (cell / 4);
        px(x, y) = px(x + 1, y) = px(x, y + 1) = px(x + 1, y + 1) = c;
      }
      return 4;
    }
    case 0x8: {
      if (!need(16)) return -1;
      if (data[0] > data[1]) return bad("opcode 8 half-block variant is never produced");
      // Quadrants top-left, bottom-left, top-right, bottom-right.
      static const int kQx[4] = {0, 0, 4, 4}, kQy[4] = {0, 4, 0, 4};
      for (int q = 0; q < 4; ++q) {
        const uint8_t* d = data + 4 * q;
        const unsigned flags = Le16(d + 2);
        for (int k = 0; k < 16; ++k) px(kQx[q] + k % 4, kQy[q] + k / 4) = d[(flags >> k) & 1];
      }
      return 16;
    }
    case 0x9: {
      if (!need(8)) return -1;
      const uint8_t* p = data;
      if (p[0] > p[1]) return bad("opcode 9 half-block variants are never produced");
      if (p[2] <= p[3]) {
        if (!need(20)) return -1;
        for (int y = 0; y < 8; ++y) {
          const unsigned flags = Le16(data + 4 + 2 * y);
          for (int x = 0; x < 8; ++x) px(x, y) = p[(flags >> (2 * x)) & 3];
        }
        return 20;
      }
      const uint32_t flags = Le32(data + 4);
      for (int cell = 0; cell < 16; ++cell) {
        const uint8_t c = p[(flags >> (2 * cell)) & 3];
        const int x = 2 * (cell % 4), y = 2 * (cell / 4);
        px(x, y) = px(x + 1, y) = px(x, y + 1) = px(x + 1, y + 1) = c;
      }
      return 8;
    }
    case 0xA: {
      if (!need(32)) return -1;
      if (data[0] > data[1]) return bad("opcode 10 half-block variant is never produced");
      static const int kQx[4] = {0, 0, 4, 4}, kQy[4] = {0, 4, 0, 4};
      for (int q = 0; q < 4; ++q) {
        const uint8_t* d = data + 8 * q;
        for (int r = 0; r < 4; ++r)
          for (int x = 0; x < 4; ++x) px(kQx[q] + x, kQy[q] + r) = d[(d[4 + r] >> (2 * x)) & 3];
      }
      return 32;
    }
    case 0xB:
      if (!need(64)) return -1;
      for (int y = 0; y < 8; ++y) std::memcpy(&px(0, y), data + 8 * y, 8);
      return 64;
    case 0xC:
      if (!need(16)) return -1;
      for (int cell = 0; cell < 16; ++cell) {
        const int x = 2 * (cell % 4), y = 2 * (cell / 4);
        px(x, y) = px(x + 1, y) = px(x, y + 1) = px(x + 1, y + 1) = data[cell];
      }
      return 16;
    case 0xD:
      if (!need(4)) return -1;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) px(x, y) = data[(y / 4) * 2 + x / 4];
      return 4;
    case 0xE:
      if (!need(1)) return -1;
      for (int y = 0; y < 8; ++y) std::memset(&px(0, y), data[0], 8);
      return 1;
    case 0xF:
      if (!need(2)) return -1;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) px(x, y) = data[(x + y) & 1];
      return 2;
    default:
      return bad("opcode " + std::to_string(code) + " is never produced");
  }
}

MveVideoDecoder::MveVideoDecoder(int blocksPerRow, int blocksPerColumn)
    : blocksPerRow_(blocksPerRow),
      blocksPerColumn_(blocksPerColumn),
      width_(8 * blocksPerRow),
      height_(8 * blocksPerColumn),
      current_(static_cast<size_t>(width_) * height_, 0),
      previous_(static_cast<size_t>(width_) * height_, 0) {}

bool MveVideoDecoder::DecodePiece(const std::vector<uint8_t>& map,
                                  const std::vector<uint8_t>& payload, std::string* error) {
  const size_t blocks = static_cast<size_t>(blocksPerRow_) * blocksPerColumn_;
  if (map.size() != blocks / 2)
    return Fail(error, "decoding map of " + std::to_string(map.size()) + " bytes, expected " +
                           std::to_string(blocks / 2));
  if (payload.size() < 14) return Fail(error, "video data shorter than its header");
  if (Le16(&payload[8]) != blocksPerRow_ || Le16(&payload[10]) != blocksPerColumn_)
    return Fail(error, "video header size differs from the video buffers");
  const uint16_t flag = Le16(&payload[12]);
  if (flag > 1) return Fail(error, "video header flag word " + std::to_string(flag));
  if (flag == 1) {
    // A new frame: draw into the buffer that holds the frame two back.
    if (started_) std::swap(current_, previous_);
    started_ = true;
  } else if (!started_) {
    return Fail(error, "continuation piece before any frame");
  }
  const uint8_t* data = payload.data() + 14;
  size_t left = payload.size() - 14;
  for (size_t b = 0; b < blocks; ++b) {
    const uint8_t code = (map[b / 2] >> (4 * (b % 2))) & 0x0F;
    const int bx = static_cast<int>(b % blocksPerRow_), by = static_cast<int>(b / blocksPerRow_);
    const int used = DecodeBlock(code, data, left, width_, height_, bx, by, current_.data(),
                                 previous_.data(), error);
    if (used < 0) {
      if (error) *error = "block " + std::to_string(b) + ": " + *error;
      return false;
    }
    data += used;
    left -= static_cast<size_t>(used);
  }
  if (left != 0) return Fail(error, std::to_string(left) + " video data bytes left unused");
  return true;
}

bool DecodeMovie(const MveFile& file, DecodedMovie* movie, std::string* error) {
  *movie = DecodedMovie{};
  std::unique_ptr<MveVideoDecoder> decoder;
  std::array<uint8_t, 768> palette{};
  std::vector<uint8_t> map;
  uint16_t frameNumber = 0;
  for (const MveChunk& chunk : file.Chunks) {
    for (const MveOpcode& op : chunk.Opcodes) {
      const std::vector<uint8_t>& p = op.Payload;
      switch (op.Kind) {
        case 0x02:
          if (p.size() != 6)
            return Fail(error, "timer opcode of " + std::to_string(p.size()) + " bytes");
          movie->TimerRate = Le32(p.data());
          movie->TimerSubdivision = Le16(p.data() + 4);
          break;
        case 0x05:
          if (p.size() < 6) return Fail(error, "short video buffers opcode");
          decoder = std::make_unique<MveVideoDecoder>(Le16(p.data()), Le16(p.data() + 2));
          movie->Width = decoder->Width();
          movie->Height = decoder->Height();
          break;
        case 0x0C: {
          if (p.size() < 4) return Fail(error, "short palette opcode");
          const int first = Le16(p.data()), count = Le16(p.data() + 2);
          if (first + count > 256 || p.size() != 4 + 3u * count)
            return Fail(error, "palette opcode size does not match its count");
          for (size_t i = 0; i < 3u * count; ++i) {
            if (p[4 + i] > 63) return Fail(error, "palette component above 63");
            palette[3 * first + i] = p[4 + i];
          }
          break;
        }
        case 0x0F:
          map = p;
          break;
        case 0x11:
          if (!decoder) return Fail(error, "video data before the video buffers");
          if (!decoder->DecodePiece(map, p, error)) return false;
          frameNumber = Le16(p.data());
          ++movie->Pieces;
          break;
        case 0x07:
          if (!decoder) return Fail(error, "frame shown before the video buffers");
          movie->Frames.push_back(decoder->Picture());
          movie->Palettes.push_back(palette);
          movie->FrameNumbers.push_back(frameNumber);
          break;
        default:
          break;
      }
    }
  }
  return true;
}

}  // namespace korvane::test
