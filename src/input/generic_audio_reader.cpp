#include "input/generic_audio_reader.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "input/wave_format.h"

namespace korvane {

WaveFormat GenericReaderFormat(int rate, int channels, int outputRate) {
  int outRate = outputRate > 0 ? outputRate : (rate > 65535 ? 48000 : rate);
  return Pcm16Format(outRate, std::min(channels, 2));
}

GenericAudioReader::GenericAudioReader(std::ostream& out, int outputRate)
    : out_(out), outputRate_(outputRate) {}

int GenericAudioReader::Open(const std::string& fileName) {
  Close();
  int r = decoder_.Open(fileName, AudioDecoder::StreamChoice::Best, false);
  if (r < 0) return r;
  format_ = GenericReaderFormat(decoder_.SourceRate(), decoder_.SourceChannels(), outputRate_);
  r = decoder_.StartDecoding(static_cast<int>(format_.SamplesPerSec), format_.Channels);
  if (r < 0) {
    decoder_.Close();
    return r;
  }
  open_ = true;
  out_ << "Input audio stream info:\n";
  out_ << "    length: " << TwoDecimals(decoder_.DurationSeconds()) << " seconds\n";
  return 0;
}

int GenericAudioReader::Format(WaveFormat& format) const {
  format = format_;
  return 0;
}

int GenericAudioReader::Read(uint8_t* buffer, int32_t capacity, int32_t& delivered) {
  delivered = 0;
  if (!open_) return -1;
  if (capacity <= 0 || buffer == nullptr) return 0;
  // Whole sample frames only, so that a piece never splits a sample.
  int32_t frame = format_.BlockAlign;
  int32_t room = capacity - capacity % frame;
  if (room == 0) return 0;
  delivered = decoder_.Read(buffer, room);
  decoder_.TakeDecodeError();  // undecodable packets are skipped
  return 0;
}

void GenericAudioReader::Seek(int64_t milliseconds) {
  if (!open_ || !decoder_.SeekMilliseconds(milliseconds))
    out_ << "Cannot reposition audio stream. Seeking not supported.\n";
}

void GenericAudioReader::Close() {
  decoder_.Close();
  open_ = false;
  format_ = WaveFormat();
}

}  // namespace korvane
