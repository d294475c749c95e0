// A model of how game engines' own MVE players take in a movie's sound, to find movies that
// would trip them. It walks a parsed movie on a virtual clock:
// - frames are shown at the timer's rate, one tick at every start/stop-audio opcode; the first
//   tick starts the sound, which then plays on at the sample rate without pause;
// - the chunk a player reads after a tick is taken in at that tick's time, so the sound of the
//   chunks before the first tick is the lead sent ahead of the pictures;
// - sound lands in a ring of 1.5 times the buffer length the audio set-up declares (rounded down
//   to whole dwords), which must never hold more than it can, nor run dry before the last
//   frame has been shown for its full time;
// - every chunk with sound for stream 0 is a queue entry until a tick takes it off: a queue of
//   60 slots holds 59, and one more would be dropped;
// - an audio frame counts its decoded bytes in a signed 16-bit number;
// - a silence frame on stream 0 is a fault: one player clears the chunk behind it.
// Stream 0's sound is decoded as a wrapping decoder does, for comparison with other decoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/mve_reader.h"

namespace korvane::test {

struct PlayerRun {
  std::vector<std::string> Faults;  // every limit passed, with where

  // The sound's format from the audio set-up; Rate 0 without sound.
  int Channels = 0;
  int BytesPerSample = 0;
  bool Compressed = false;
  uint32_t Rate = 0;
  uint32_t DeclaredBytes = 0;
  int64_t RingBytes = 0;      // the ring's size
  int64_t PeakRingBytes = 0;  // the most it held, right after taking in a chunk
  double FrameSeconds = 0;    // from the timer

  int FramesShown = 0;            // send-buffer opcodes
  int Ticks = 0;                  // start/stop-audio opcodes
  int LeadChunks = 0;             // chunks with sound for stream 0 before the first tick
  int PeakQueuedChunks = 0;       // the most chunks with sound for stream 0 queued at once
  int PeakQueuedAudioFrames = 0;  // the same counted in audio frames (several per chunk count
                                  // as several entries in a player that queues each one)
  int ChunksWithSeveralAudioFrames = 0;
  int32_t LargestAudioFrame = 0;  // decoded bytes of the largest audio frame on stream 0

  // Stream 0's sound in the order it is played, as signed 16-bit samples (8-bit sound widened),
  // channels interleaved.
  std::vector<int16_t> Samples;
};

// Plays the movie through the model. The audio frames of stream 0 must carry exactly the bytes
// their length field states (a fault otherwise).
PlayerRun PlayThroughModel(const MveFile& file);

// The run's faults joined on separate lines ("" when there is none).
std::string FaultText(const PlayerRun& run);

}  // namespace korvane::test
