// One soundtrack of a media file decoded by FFmpeg into a stream of PCM bytes: either the
// stream's own 8- or 16-bit PCM passed through unchanged, or anything decoded and converted
// to interleaved signed 16-bit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace korvane {

class AudioDecoder {
 public:
  AudioDecoder();
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  enum class StreamChoice { First, Best };

  // Opens the file and picks its soundtrack. 0, or a negative FFmpeg error code. With
  // `riffOnly` only AVI and WAV files are accepted.
  int Open(const std::string& path, StreamChoice choice, bool riffOnly);

  // Facts of the opened stream as FFmpeg sees them.
  int SourceRate() const;
  int SourceChannels() const;
  bool IsPassThroughPcm() const;  // 8-bit unsigned or 16-bit signed little-endian PCM
  int SourceBitsPerSample() const;
  double DurationSeconds() const;  // 0 when unknown

  // Serves the stream's own bytes (only when IsPassThroughPcm()).
  void StartPassThrough();
  // Looks for a decoder: 0, or a negative code when FFmpeg has none for this stream.
  int FindDecoder();
  // Opens the decoder and the converter to signed 16-bit at `rate` with `channels`
  // (more source channels are mixed down). 0, or a negative code.
  int StartDecoding(int rate, int channels);

  // Fills up to `capacity` bytes with the next PCM; 0 at the end of the stream.
  int Read(uint8_t* dest, int capacity);
  // The code of the last packet that could not be decoded since the previous call (0: none).
  // Such packets are skipped.
  int TakeDecodeError();

  // Positions the stream at `milliseconds` from its start, to the sample. False when the
  // stream cannot be repositioned.
  bool SeekMilliseconds(int64_t milliseconds);

  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
