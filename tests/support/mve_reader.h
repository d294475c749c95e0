// An MVE reader for the tests, written apart from the program's writer: it parses the file
// header, every chunk and every opcode, checks that each chunk is exactly filled by its
// opcodes, and decodes the movie with mveinfo's player (the way game players do: two picture
// buffers swapped only on a video-data opcode whose flag word is 1, every piece of a frame
// drawn into the same buffer, the frame shown at the send-buffer opcode), holding the encoder
// to the block opcodes and variants it writes and to data that fits exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::test {

uint16_t Le16(const uint8_t* p);
uint32_t Le32(const uint8_t* p);

struct MveOpcode {
  uint8_t Kind = 0;
  uint8_t Version = 0;
  size_t Offset = 0;  // of the opcode header in the file
  std::vector<uint8_t> Payload;
};

struct MveChunk {
  uint16_t Type = 0;
  size_t Offset = 0;    // of the chunk header in the file
  uint16_t Length = 0;  // as the header states it
  std::vector<MveOpcode> Opcodes;

  // The opcode numbers in order.
  std::vector<int> Kinds() const;
  // The first opcode of that number, or null.
  const MveOpcode* Find(uint8_t kind) const;
};

struct MveFile {
  size_t Size = 0;
  std::vector<MveChunk> Chunks;
};

// False with a reason when the bytes are not a well-formed MVE file: a wrong header, a chunk
// or opcode running past its end, a chunk not filled exactly by its opcodes, trailing bytes.
bool ParseMve(const std::vector<uint8_t>& bytes, MveFile* file, std::string* error);
bool ReadMveFile(const std::string& path, MveFile* file, std::string* error);

// False (with a reason) for a block opcode the encoder never writes: opcodes 5 and 6.
bool EncoderWritesBlock(uint8_t code, const uint8_t* data, size_t size, std::string* error);

// Draws block (bx, by) of a `width` x `height` picture from its opcode and data bytes into
// `current`; `previous` is the previous frame (opcodes 0 and 4). Opcode 1 leaves the block as
// `current` holds it. Returns the number of data bytes used, or -1 (with a reason) for an
// opcode or variant the encoder never produces, data running short, or a motion vector
// pointing outside the picture.
int DecodeBlock(uint8_t code, const uint8_t* data, size_t size, int width, int height, int bx,
                int by, uint8_t* current, const uint8_t* previous, std::string* error);

struct DecodedMovie {
  int Width = 0, Height = 0;
  uint32_t TimerRate = 0;
  uint16_t TimerSubdivision = 0;
  std::vector<std::vector<uint8_t>> Frames;        // palette indices of every shown frame
  std::vector<std::array<uint8_t, 768>> Palettes;  // 6-bit R, G, B in force at each shown frame
  std::vector<uint16_t> FrameNumbers;              // video-header frame number of each
  int Pieces = 0;                                  // video-data opcodes decoded
};

// Decodes every frame of a parsed movie; false at the first thing the player could not follow
// or the encoder should not have written.
bool DecodeMovie(const MveFile& file, DecodedMovie* movie, std::string* error);

}  // namespace korvane::test
