#include "support/mve_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

#include "mveinfo/mve_examiner.h"
#include "mveinfo/mve_player.h"

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

bool EncoderWritesBlock(uint8_t code, const uint8_t* /*data*/, size_t /*size*/,
                        std::string* error) {
  switch (code) {
    case 0x6:
      return Fail(error, "opcode " + std::to_string(code) + " is never produced");
    default:
      return true;
  }
}

int DecodeBlock(uint8_t code, const uint8_t* data, size_t size, int width, int height, int bx,
                int by, uint8_t* current, const uint8_t* previous, std::string* error) {
  if (!EncoderWritesBlock(code, data, size, error)) return -1;
  const MveBlockFrames frames{current, previous, width, height};
  uint8_t* out = current + static_cast<size_t>(8 * by) * width + 8 * bx;
  bool outside = false;
  const int used = DecodeMveBlock(code, data, size, frames, bx, by, out, width, &outside);
  if (used < 0) {
    Fail(error, "opcode " + std::to_string(code) + ": the data ends inside the block");
    return -1;
  }
  if (outside) {
    Fail(error, previous ? "motion vector outside the picture" : "copy without a previous frame");
    return -1;
  }
  return used;
}

bool DecodeMovie(const MveFile& file, DecodedMovie* movie, std::string* error) {
  *movie = DecodedMovie{};
  MvePlayer player;
  std::vector<uint8_t> map;
  size_t blocks = 0;
  for (const MveChunk& chunk : file.Chunks) {
    for (const MveOpcode& op : chunk.Opcodes) {
      const std::vector<uint8_t>& p = op.Payload;
      // What the encoder must write beyond what players accept.
      switch (op.Kind) {
        case 0x02:
          if (p.size() != 6)
            return Fail(error, "timer opcode of " + std::to_string(p.size()) + " bytes");
          movie->TimerRate = Le32(p.data());
          movie->TimerSubdivision = Le16(p.data() + 4);
          break;
        case 0x05:
          if (p.size() < 6) return Fail(error, "short video buffers opcode");
          movie->Width = 8 * Le16(p.data());
          movie->Height = 8 * Le16(p.data() + 2);
          blocks = static_cast<size_t>(Le16(p.data())) * Le16(p.data() + 2);
          break;
        case 0x0F:
          map = p;
          break;
        case 0x11: {
          if (map.size() != blocks / 2)
            return Fail(error, "decoding map of " + std::to_string(map.size()) +
                                   " bytes, expected " + std::to_string(blocks / 2));
          // Only the block opcodes and variants the encoder writes.
          size_t at = 14;
          for (size_t b = 0; b < blocks && at <= p.size(); ++b) {
            const uint8_t code = (map[b / 2] >> (4 * (b % 2))) & 0x0F;
            const uint8_t* data = p.data() + at;
            const size_t left = p.size() - at;
            if (!EncoderWritesBlock(code, data, left, error)) {
              *error = "block " + std::to_string(b) + ": " + *error;
              return false;
            }
            const int size = MveBlockDataSize(code, data, left);
            if (size < 0) break;  // the player reports where the data ends
            at += static_cast<size_t>(size);
          }
          ++movie->Pieces;
          break;
        }
        default:
          break;
      }
      const uint64_t faults = player.FaultCount();
      const MvePlayer::Event event = player.Play(op.Kind, op.Version, p.data(), p.size());
      if (player.FaultCount() != faults)
        return Fail(error, "opcode " + std::to_string(op.Kind) + " at " +
                               std::to_string(op.Offset) + ": " +
                               (player.Faults().empty() ? "fault" : player.Faults().back()));
      if (event == MvePlayer::Event::kFrameShown) {
        movie->Frames.push_back(player.Picture());
        movie->Palettes.push_back(player.Palette());
        movie->FrameNumbers.push_back(player.PieceFrameNumber());
      }
    }
  }
  return true;
}

}  // namespace korvane::test
