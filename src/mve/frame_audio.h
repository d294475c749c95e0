// What the stream layout needs from the audio encoder: the audio opcodes of the
// next chunk that carries sound. The audio unit implements it; the layout only places it.
#pragma once

#include "mve/mve_record.h"

namespace korvane {

class FrameAudioSource {
 public:
  virtual ~FrameAudioSource() = default;
  // Builds the audio-frame and silence-frame opcodes of the next chunk (reads the next piece of
  // PCM).
  virtual void BuildFrameAudio() = 0;
  // Appends the built opcodes to the chunk and advances the sequence number.
  virtual void AppendFrameAudio(MveRecord& chunk) = 0;
  // Bytes the built opcodes will take in the chunk (headers included); 0 without sound.
  virtual int AudioOverhead() const = 0;
};

}  // namespace korvane
