// The video stream of a media file decoded by FFmpeg, frame by frame in presentation order,
// converted to 24-bit blue-green-red pictures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

struct VideoFacts {
  int Width = 0, Height = 0;
  int64_t FrameCount = 0;
  int RateNum = 0, RateDen = 0;  // 0/0 when the stream states no rate
  std::string PictureFormat;     // four characters
  int BitsPerPixel = 0;
  int SampleAspectNum = 0, SampleAspectDen = 0;  // 0/0 when unknown
};

class VideoDecoder {
 public:
  VideoDecoder();
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // Opens the best video stream and learns its facts (counting its frames when the container
  // has no exact count). 0, or a negative FFmpeg error code.
  int Open(const std::string& path);
  const VideoFacts& Facts() const;

  // Opens a decoder for the stream; false when none can be opened. `threads` 0 lets FFmpeg
  // choose how many threads decode; 1 decodes on the calling thread only.
  bool OpenDecoder(int threads = 0);

  // Decodes frame n (0-based, presentation order) and writes it as `width` x `height` pixels
  // of B, G, R (scaled when the decoded picture has another size), row y at
  // dest + y * destStride (the stride may be negative). False when it cannot be decoded.
  bool DecodeFrame(int64_t n, uint8_t* dest, std::ptrdiff_t destStride, int width, int height);

  // Scaling filter: false (the default) a plain bicubic one, true a sharper and more exact one
  // for pictures made much smaller.
  void SetHighQualityScaling(bool high);

  // The presentation index of the last frame shown at `seconds` after the stream's start
  // (0 for times before the first frame).
  int64_t FrameAtSeconds(double seconds);
  // The stream's length in seconds (0 when neither a rate nor times are known).
  double DurationSeconds();

  // Frames handed to the decoder since the last seek or open (for tests of the access pattern).
  int64_t DecodedSinceSeek() const;

  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
