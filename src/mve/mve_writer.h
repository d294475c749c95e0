// The output file of an MVE movie: the 26-byte file header, chunks, and the two closing
// chunks, written through a buffer. Every failure (creating, writing, flushing, closing, or a
// record too large for its header) is kept as a result with its reason; after the first
// failure nothing more is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mve/mve_record.h"
#include "mve/opcodes.h"

namespace korvane {

// Opcodes of fixed content.
extern const MveRecord EndOfChunkOp;        // 01 v0, no payload
extern const MveRecord StartAudioOp;        // 04 v0, no payload
extern const MveRecord ShowFramePaletteOp;  // 07 v1: palette start 0, count 256, 0
extern const MveRecord ShowFrameOp;         // 07 v1: palette start 0, count 0, 0
extern const MveRecord VideoModeOp;         // 0A v0: 640, 480, flags 0101h
extern const MveRecord SignatureOp;         // 15 v0: the 33-byte program signature

constexpr int kFileHeaderBytes = 26;

class MveWriter {
 public:
  MveWriter();
  // Writes out what the buffer holds and closes a file still open, so that a run stopped by an
  // error keeps every byte written so far; a failure then goes unreported, so call Close() to
  // complete a file.
  ~MveWriter();
  MveWriter(const MveWriter&) = delete;
  MveWriter& operator=(const MveWriter&) = delete;

  // Creates or truncates `path` for writing.
  bool Open(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }

  // The 26-byte file header; BytesWritten := 26.
  bool WriteFileHeader();
  // Writes the chunk's 4 header bytes (Len taken from its payload) and its payload, and adds
  // both to BytesWritten. A chunk of 65536 bytes or more (or one marked Oversized) is refused.
  bool WriteChunk(const MveRecord& chunk);
  // The closing chunks: shutdown (end of stream, end of chunk) and the empty end chunk.
  bool WriteShutdownChunk();
  bool WriteEndChunk();

  // Writes out the buffer and closes the file.
  bool Close();

  // Bytes written to the file so far (the buffered ones included).
  int64_t BytesWritten() const { return bytesWritten_; }
  bool Failed() const { return failed_; }
  // "Cannot write `NAME': REASON", or why a record was refused.
  const std::string& LastError() const { return lastError_; }

 private:
  bool Put(const uint8_t* bytes, size_t count);
  bool Flush();
  bool Fail(const std::string& text);
  bool FailErrno(int error);

  std::string path_;
  int fd_ = -1;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
  int64_t bytesWritten_ = 0;
  bool failed_ = false;
  std::string lastError_;
};

}  // namespace korvane
