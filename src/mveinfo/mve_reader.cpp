#include "mveinfo/mve_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane {
namespace {

class FileReader final : public MveReader {
 public:
  FileReader(FILE* file, uint64_t knownSize, std::string path)
      : MveReader(knownSize), file_(file), path_(std::move(path)) {}
  ~FileReader() override { fclose(file_); }

 protected:
  size_t Read(uint8_t* into, size_t size) override {
    const size_t n = fread(into, 1, size, file_);
    if (n < size && ferror(file_) && readError_.empty())
      readError_ = "cannot read `" + path_ + "': " + strerror(errno);
    return n;
  }

 private:
  FILE* file_;
  std::string path_;
};

class MemoryReader final : public MveReader {
 public:
  MemoryReader(const uint8_t* data, size_t size) : MveReader(size), data_(data), size_(size) {}

 protected:
  size_t Read(uint8_t* into, size_t size) override {
    const size_t n = std::min(size, size_ - at_);
    if (n) memcpy(into, data_ + at_, n);
    at_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

std::unique_ptr<MveReader> MveReader::Open(const std::string& path, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    *error = "cannot open `" + path + "': " + strerror(errno);
    return nullptr;
  }
  struct stat st;
  uint64_t size = 0;
  if (fstat(fileno(file), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      fclose(file);
      *error = "cannot read `" + path + "': it is a directory";
      return nullptr;
    }
    if (S_ISREG(st.st_mode)) size = uint64_t(st.st_size);
  }
  return std::unique_ptr<MveReader>(new FileReader(file, size, path));
}

std::unique_ptr<MveReader> MveReader::FromMemory(const uint8_t* data, size_t size) {
  return std::unique_ptr<MveReader>(new MemoryReader(data, size));
}

size_t MveReader::ReadCounted(uint8_t* into, size_t size) {
  if (size == 0) return 0;
  const size_t n = Read(into, size);
  position_ += n;
  return n;
}

size_t MveReader::ReadHeader(uint8_t header[kMveHeaderSize]) {
  return ReadCounted(header, kMveHeaderSize);
}

bool MveReader::NextChunk(MveChunkView* chunk) {
  uint8_t head[4];
  *chunk = MveChunkView();
  chunk->Offset = position_;
  chunk->HeaderBytes = ReadCounted(head, 4);
  if (chunk->HeaderBytes == 0) return false;
  if (chunk->HeaderBytes < 4) return true;
  chunk->Length = uint16_t(head[0] | (head[1] << 8));
  chunk->Type = uint16_t(head[2] | (head[3] << 8));
  if (chunk_.size() < 65536) chunk_.resize(65536);
  chunk->Available = ReadCounted(chunk_.data(), chunk->Length);
  chunk->Payload = chunk_.data();
  return true;
}

uint64_t MveReader::SkipRest() {
  if (chunk_.size() < 65536) chunk_.resize(65536);
  uint64_t total = 0;
  size_t n;
  while ((n = ReadCounted(chunk_.data(), chunk_.size())) > 0) total += n;
  return total;
}

}  // namespace korvane
