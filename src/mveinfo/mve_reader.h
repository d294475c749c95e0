// Reads an MVE file chunk by chunk, from a file or from memory, holding at most one chunk
// (64 KiB) at a time: files of any size are read in bounded memory. It only splits the bytes;
// judging them is the examiner's and the player's work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

// Size of the file header: the 20-byte signature and three 16-bit words.
constexpr size_t kMveHeaderSize = 26;

struct MveChunkView {
  uint64_t Offset = 0;     // of the chunk header in the file
  size_t HeaderBytes = 0;  // 4, or fewer when the file ends inside the chunk header
  uint16_t Length = 0;     // as the header declares it
  uint16_t Type = 0;
  const uint8_t* Payload = nullptr;
  size_t Available = 0;  // payload bytes present: Length, or fewer when the file ends
};

class MveReader {
 public:
  // Opens a file; null with a reason (in the words of the system) when it cannot be read.
  static std::unique_ptr<MveReader> Open(const std::string& path, std::string* error);
  // Reads `size` bytes held in memory (they must outlive the reader).
  static std::unique_ptr<MveReader> FromMemory(const uint8_t* data, size_t size);
  virtual ~MveReader() = default;

  // Reads the file header into `header`; returns the bytes read (fewer than kMveHeaderSize
  // when the file is shorter).
  size_t ReadHeader(uint8_t header[kMveHeaderSize]);
  // The next chunk; false at the end of the file. The view stays valid until the next call.
  bool NextChunk(MveChunkView* chunk);
  // Reads the rest of the file without keeping it; returns the number of bytes.
  uint64_t SkipRest();
  // Bytes read so far.
  uint64_t Position() const { return position_; }
  // The size of a regular file or of the bytes in memory, 0 for a device or a pipe.
  uint64_t KnownSize() const { return knownSize_; }
  // True when a read failed (not at the end of the file); `ReadError` says why.
  bool Failed() const { return !readError_.empty(); }
  const std::string& ReadError() const { return readError_; }

 protected:
  explicit MveReader(uint64_t knownSize) : knownSize_(knownSize) {}
  // Reads up to `size` bytes; fewer only at the end of the input or on an error.
  virtual size_t Read(uint8_t* into, size_t size) = 0;
  std::string readError_;

 private:
  size_t ReadCounted(uint8_t* into, size_t size);

  uint64_t knownSize_ = 0;
  uint64_t position_ = 0;
  std::vector<uint8_t> chunk_;
};

// Calls `visit(kind, version, payload, size)` for every opcode of a chunk payload, in order,
// until the end-of-chunk opcode has been visited or an opcode would run past the payload.
template <typename Visit>
void ForEachMveOpcode(const uint8_t* payload, size_t length, Visit&& visit) {
  size_t p = 0;
  while (length - p >= 4) {
    const size_t size = size_t(payload[p] | (payload[p + 1] << 8));
    const uint8_t kind = payload[p + 2], version = payload[p + 3];
    if (size > length - p - 4) return;
    visit(kind, version, payload + p + 4, size);
    if (kind == 0x01) return;  // end of chunk
    p += 4 + size;
  }
}

}  // namespace korvane
