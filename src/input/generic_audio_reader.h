// The generic soundtrack reader: any file FFmpeg can read, decoded to interleaved signed
// 16-bit PCM at the source rate and channel count (more than two channels are mixed down to
// stereo, rates above 65535 Hz become 48000 Hz), served in pieces no larger than asked for.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "input/audio_decoder.h"
#include "input/wave_format.h"

namespace korvane {

class GenericAudioReader {
 public:
  // Messages go to `out`. `outputRate` other than 0 resamples to that rate.
  explicit GenericAudioReader(std::ostream& out, int outputRate = 0);

  // 0 when the stream is open and ready, else a negative code.
  int Open(const std::string& fileName);
  // Copies the PCM format served; 0.
  int Format(WaveFormat& format) const;
  // The next piece of sound, at most `capacity` bytes; `delivered` 0 at the end of the stream.
  // Returns 0, or a negative code when nothing is open.
  int Read(uint8_t* buffer, int32_t capacity, int32_t& delivered);
  // Moves the stream to `milliseconds` from its start.
  void Seek(int64_t milliseconds);

  // Rate to resample to (0: the source's own, 48000 Hz above 65535 Hz); set before opening.
  void SetOutputRate(int outputRate) { outputRate_ = outputRate; }

  void Close();

 private:
  std::ostream& out_;
  int outputRate_ = 0;
  AudioDecoder decoder_;
  WaveFormat format_;
  bool open_ = false;
};

// The PCM format the generic reader serves for a source of `rate` and `channels`.
WaveFormat GenericReaderFormat(int rate, int channels, int outputRate);

}  // namespace korvane
