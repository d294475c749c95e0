// Writes 16-bit PCM sound as a WAV file, piece by piece; the header's sizes are filled in when
// the file is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvane {

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates the file; false with a reason when it cannot be written.
  bool Open(const std::string& path, int rate, int channels, std::string* error);
  bool IsOpen() const { return file_ != nullptr; }
  // Appends interleaved samples.
  bool Write(const int16_t* samples, size_t count, std::string* error);
  // Completes the header and closes the file.
  bool Close(std::string* error);
  uint64_t Samples() const { return samples_; }

 private:
  bool Fail(std::string* error);

  FILE* file_ = nullptr;
  std::string path_;
  uint64_t samples_ = 0;
  int channels_ = 1;
};

}  // namespace korvane
