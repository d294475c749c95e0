#include "mveinfo/wav_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane {
namespace {

void Put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v), Put16(p + 2, v >> 16);
}

// A WAV file's sizes are 32-bit: its data stops short of 4 GiB.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

}  // namespace

WavWriter::~WavWriter() {
  if (file_) fclose(file_);
}

bool WavWriter::Fail(std::string* error) {
  *error = "cannot write `" + path_ + "': " + strerror(errno);
  if (file_) fclose(file_);
  file_ = nullptr;
  return false;
}

bool WavWriter::Open(const std::string& path, int rate, int channels, std::string* error) {
  path_ = path;
  channels_ = channels;
  samples_ = 0;
  file_ = fopen(path.c_str(), "wb");
  if (!file_) return Fail(error);
  uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
  Put32(header + 16, 16);
  Put16(header + 20, 1);  // PCM
  Put16(header + 22, uint32_t(channels));
  Put32(header + 24, uint32_t(rate));
  Put32(header + 28, uint32_t(rate * channels * 2));
  Put16(header + 32, uint32_t(channels * 2));
  Put16(header + 34, 16);
  memcpy(header + 36, "data", 4);
  if (fwrite(header, 1, sizeof header, file_) != sizeof header) return Fail(error);
  return true;
}

bool WavWriter::Write(const int16_t* samples, size_t count, std::string* error) {
  if (!file_) return true;
  const uint64_t room = (kMaxDataBytes - 2 * samples_) / 2 / channels_ * channels_;
  count = size_t(std::min<uint64_t>(count, room));
  uint8_t bytes[4096];
  size_t done = 0;
  while (done < count) {
    const size_t n = std::min(count - done, sizeof bytes / 2);
    for (size_t i = 0; i < n; ++i) Put16(bytes + 2 * i, uint16_t(samples[done + i]));
    if (fwrite(bytes, 2, n, file_) != n) return Fail(error);
    done += n;
  }
  samples_ += count;
  return true;
}

bool WavWriter::Close(std::string* error) {
  if (!file_) return true;
  const uint32_t dataBytes = uint32_t(2 * samples_);
  uint8_t size[4];
  Put32(size, 36 + dataBytes);
  if (fseek(file_, 4, SEEK_SET) != 0 || fwrite(size, 1, 4, file_) != 4) return Fail(error);
  Put32(size, dataBytes);
  if (fseek(file_, 40, SEEK_SET) != 0 || fwrite(size, 1, 4, file_) != 4) return Fail(error);
  FILE* file = file_;
  file_ = nullptr;
  if (fclose(file) != 0) {
    *error = "cannot write `" + path_ + "': " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace korvane
