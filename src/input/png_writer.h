// Writes pictures as PNG files through FFmpeg's PNG encoder. Keeps its encoder between
// pictures of the same size and kind, so a sequence of frames costs one set-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

class PngWriter {
 public:
  PngWriter();
  ~PngWriter();
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  // A picture of palette indices: `width` x `height` bytes, rows `stride` apart, and the
  // palette as 256 entries of 8-bit red, green, blue.
  bool WriteIndexed(const std::string& path, int width, int height, const uint8_t* pixels,
                    int stride, const uint8_t* palette, std::string* error);
  // A picture of 8-bit red, green, blue, rows `stride` bytes apart.
  bool WriteRgb(const std::string& path, int width, int height, const uint8_t* pixels, int stride,
                std::string* error);

 private:
  bool Encode(const std::string& path, int format, int width, int height, const uint8_t* pixels,
              int stride, const uint8_t* palette, std::string* error);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
