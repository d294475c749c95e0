#include "mve/mve_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace korvane {

namespace {

MveRecord MakeOp(Opcode kind, uint8_t version, std::initializer_list<uint8_t> payload) {
  MveRecord block = NewRecord(Number(kind), version);
  const Bytes bytes(payload);
  AppendBytes(block, bytes);
  return block;
}

MveRecord MakeSignature() {
  MveRecord block = NewRecord(Number(Opcode::Signature), 0);
  AppendBytes(block, Bytes{0x02, 0x00, 0xE1, 0xAB, 0x20, 0x20});
  AppendBytes(block, std::string("KORVANE beta (2004/09/19)"));
  AppendBytes(block, Bytes{0x20, 0x20});
  return block;
}

constexpr size_t kBufferBytes = 1 << 16;

}  // namespace

const MveRecord EndOfChunkOp = MakeOp(Opcode::EndOfChunk, 0, {});
const MveRecord StartAudioOp = MakeOp(Opcode::StartStopAudio, 0, {});
const MveRecord ShowFramePaletteOp =
    MakeOp(Opcode::SendBuffer, 1, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00});
const MveRecord ShowFrameOp = MakeOp(Opcode::SendBuffer, 1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
const MveRecord VideoModeOp =
    MakeOp(Opcode::InitVideoMode, 0, {0x80, 0x02, 0xE0, 0x01, 0x01, 0x01});
const MveRecord SignatureOp = MakeSignature();

MveWriter::MveWriter() = default;

MveWriter::~MveWriter() {
  if (fd_ < 0) return;
  // A run that stops early still leaves on disk every byte it wrote so far.
  Flush();
  ::close(fd_);
}

bool MveWriter::Open(const std::string& path) {
  path_ = path;
  failed_ = false;
  lastError_.clear();
  bytesWritten_ = 0;
  used_ = 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return FailErrno(errno);
  buffer_.resize(kBufferBytes);
  return true;
}

bool MveWriter::Fail(const std::string& text) {
  if (!failed_) {
    failed_ = true;
    lastError_ = text;
  }
  return false;
}

bool MveWriter::FailErrno(int error) {
  return Fail("Cannot write `" + path_ + "': " + std::strerror(error));
}

bool MveWriter::Flush() {
  size_t done = 0;
  while (done < used_) {
    ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      used_ = 0;
      return FailErrno(errno);
    }
    if (n == 0) {
      used_ = 0;
      return FailErrno(EIO);
    }
    done += static_cast<size_t>(n);
  }
  used_ = 0;
  return true;
}

bool MveWriter::Put(const uint8_t* bytes, size_t count) {
  if (failed_) return false;
  if (fd_ < 0) return FailErrno(EBADF);
  while (count > 0) {
    size_t room = buffer_.size() - used_;
    size_t n = count < room ? count : room;
    std::memcpy(buffer_.data() + used_, bytes, n);
    used_ += n;
    bytes += n;
    count -= n;
    if (used_ == buffer_.size() && !Flush()) return false;
  }
  return true;
}

bool MveWriter::WriteFileHeader() {
  static const uint8_t kHeader[kFileHeaderBytes] = {
      'I', 'n', 't', 'e', 'r', 'p',  'l',  'a',  'y',  ' ',  'M',  'V',  'E',
      ' ', 'F', 'i', 'l', 'e', 0x1A, 0x00, 0x1A, 0x00, 0x00, 0x01, 0x33, 0x11};
  if (!Put(kHeader, sizeof kHeader)) return false;
  bytesWritten_ = kFileHeaderBytes;
  return true;
}

bool MveWriter::WriteChunk(const MveRecord& chunk) {
  if (failed_) return false;
  if (!chunk.Fits()) {
    return Fail("Cannot write `" + path_ + "': a chunk or opcode of more than " +
                std::to_string(kMaxRecordPayload) + " bytes does not fit the MVE format");
  }
  const uint16_t len = static_cast<uint16_t>(chunk.Data.size());
  const uint8_t header[4] = {static_cast<uint8_t>(len & 0xFF), static_cast<uint8_t>(len >> 8),
                             chunk.Kind, chunk.Version};
  if (!Put(header, 4) || !Put(chunk.Data.data(), len)) return false;
  bytesWritten_ += 4 + static_cast<int64_t>(len);
  return true;
}

bool MveWriter::WriteShutdownChunk() {
  MveRecord chunk = NewRecord(Number(ChunkType::Shutdown), 0);
  AppendRecord(chunk, NewRecord(Number(Opcode::EndOfStream), 0));
  AppendRecord(chunk, EndOfChunkOp);
  return WriteChunk(chunk);
}

bool MveWriter::WriteEndChunk() {
  return WriteChunk(NewRecord(Number(ChunkType::End), 0));
}

bool MveWriter::Close() {
  if (fd_ < 0) return !failed_;
  // What was accepted before a refused record still reaches the file.
  bool ok = Flush() && !failed_;
  if (::close(fd_) != 0 && ok) ok = FailErrno(errno);
  fd_ = -1;
  return ok && !failed_;
}

}  // namespace korvane
