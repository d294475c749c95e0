#include "support/player_model.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace korvane::test {

namespace {

// The Interplay DPCM steps as 16-bit numbers: codes 0..127 the listed steps (those above 32767
// wrap to negative numbers), 128 is 1, code 256 - k the negated step of k.
std::array<int16_t, 256> DpcmSteps() {
  static const int32_t kPositive[128] = {
      0,     1,     2,     3,     4,     5,     6,     7,     8,     9,     10,    11,    12,
      13,    14,    15,    16,    17,    18,    19,    20,    21,    22,    23,    24,    25,
      26,    27,    28,    29,    30,    31,    32,    33,    34,    35,    36,    37,    38,
      39,    40,    41,    42,    43,    47,    51,    56,    61,    66,    72,    79,    86,
      94,    102,   112,   122,   133,   145,   158,   173,   189,   206,   225,   245,   267,
      292,   318,   348,   379,   414,   452,   493,   538,   587,   640,   699,   763,   832,
      908,   991,   1081,  1180,  1288,  1405,  1534,  1673,  1826,  1993,  2175,  2373,  2590,
      2826,  3084,  3365,  3672,  4008,  4373,  4772,  5208,  5683,  6202,  6767,  7385,  8059,
      8794,  9597,  10472, 11428, 12471, 13609, 14851, 16206, 17685, 19298, 21060, 22981, 25078,
      27367, 29864, 32589, 35563, 38808, 42350, 46214, 50431, 55033, 60055, 65535};
  std::array<int16_t, 256> steps{};
  auto wrap = [](int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF)); };
  for (int k = 0; k < 128; ++k) steps[k] = wrap(kPositive[k]);
  steps[128] = 1;
  for (int k = 1; k < 128; ++k) steps[256 - k] = wrap(-kPositive[k]);
  return steps;
}

}  // namespace

PlayerRun PlayThroughModel(const MveFile& file) {
  static const std::array<int16_t, 256> steps = DpcmSteps();
  PlayerRun run;
  auto fault = [&run](size_t offset, const std::string& text) {
    run.Faults.push_back("at " + std::to_string(offset) + ": " + text);
  };

  int64_t pushed = 0;                                // decoded bytes taken in
  std::vector<std::pair<int, int64_t>> takenByTick;  // (ticks seen, bytes taken in so far)
  int queuedChunks = 0, queuedFrames = 0;
  double bytesPerSecond = 0;

  for (const MveChunk& chunk : file.Chunks) {
    int audioFrames = 0;
    for (const MveOpcode& op : chunk.Opcodes) {
      const std::vector<uint8_t>& p = op.Payload;
      switch (op.Kind) {
        case 0x02:
          if (p.size() >= 6) run.FrameSeconds = double(Le32(&p[0])) * Le16(&p[4]) / 1e6;
          break;
        case 0x03: {
          if (p.size() < 8) break;
          const uint16_t flags = Le16(&p[2]);
          run.Channels = flags & 1 ? 2 : 1;
          run.BytesPerSample = flags & 2 ? 2 : 1;
          run.Compressed = op.Version >= 1 && (flags & 4) != 0;
          run.Rate = Le16(&p[4]);
          run.DeclaredBytes = op.Version >= 1 && p.size() >= 10 ? Le32(&p[6]) : Le16(&p[6]);
          run.RingBytes = (int64_t{run.DeclaredBytes} + run.DeclaredBytes / 2) & ~int64_t{3};
          bytesPerSecond = double(run.Rate) * run.Channels * run.BytesPerSample;
          break;
        }
        case 0x04:
          ++run.Ticks;
          if (queuedChunks > 0) --queuedChunks;
          if (queuedFrames > 0) --queuedFrames;
          takenByTick.emplace_back(run.Ticks, pushed);
          break;
        case 0x07:
          ++run.FramesShown;
          break;
        case 0x08:
        case 0x09: {
          if (p.size() < 6 || !(Le16(&p[2]) & 1)) break;  // not stream 0
          const uint16_t length = Le16(&p[4]);
          if (op.Kind == 0x09) fault(op.Offset, "silence frame on stream 0");
          if (length > 32767)
            fault(op.Offset, "audio frame of " + std::to_string(length) + " bytes");
          run.LargestAudioFrame = std::max<int32_t>(run.LargestAudioFrame, length);
          if (run.Rate == 0) {
            fault(op.Offset, "sound before the audio set-up");
            break;
          }
          // Queues: one entry per chunk, and one per audio frame.
          if (audioFrames == 0) {
            if (queuedChunks >= 59) fault(op.Offset, "sound queue full: piece dropped");
            ++queuedChunks;
            if (run.Ticks == 0) ++run.LeadChunks;
          }
          ++audioFrames;
          ++queuedFrames;
          run.PeakQueuedChunks = std::max(run.PeakQueuedChunks, queuedChunks);
          run.PeakQueuedAudioFrames = std::max(run.PeakQueuedAudioFrames, queuedFrames);
          // The ring: what has been taken in and not yet played, at the time the chunk is read.
          const double now = run.Ticks == 0 ? 0.0 : (run.Ticks - 1) * run.FrameSeconds;
          const int64_t played =
              std::min<int64_t>(pushed, static_cast<int64_t>(std::floor(now * bytesPerSecond)));
          const int64_t held = pushed - played + length;
          run.PeakRingBytes = std::max(run.PeakRingBytes, held);
          if (held > run.RingBytes)
            fault(op.Offset, "sound ring overflows: " + std::to_string(held) +
                                 " bytes in a ring of " + std::to_string(run.RingBytes));
          pushed += length;
          if (op.Kind == 0x09) {
            run.Samples.insert(run.Samples.end(), length / run.BytesPerSample, 0);
            break;
          }
          // Decode stream 0's sound.
          const uint8_t* data = p.data() + 6;
          const size_t size = p.size() - 6;
          size_t decoded = 0;
          if (!run.Compressed) {
            if (run.BytesPerSample == 2) {
              for (size_t i = 0; i + 1 < size; i += 2)
                run.Samples.push_back(static_cast<int16_t>(Le16(data + i)));
            } else {
              for (size_t i = 0; i < size; ++i)
                run.Samples.push_back(static_cast<int16_t>((data[i] - 128) * 256));
            }
            decoded = size;
          } else if (size >= size_t(2 * run.Channels)) {
            int16_t pred[2] = {0, 0};
            for (int c = 0; c < run.Channels; ++c) {
              pred[c] = static_cast<int16_t>(Le16(data + 2 * c));
              run.Samples.push_back(pred[c]);
            }
            int c = 0;
            for (size_t i = 2 * run.Channels; i < size; ++i) {
              pred[c] = static_cast<int16_t>(static_cast<uint16_t>(pred[c] + steps[data[i]]));
              run.Samples.push_back(pred[c]);
              c = run.Channels == 2 ? 1 - c : 0;
            }
            decoded = 2 * (size - run.Channels);
          }
          if (decoded != length)
            fault(op.Offset, "audio frame states " + std::to_string(length) + " bytes, holds " +
                                 std::to_string(decoded));
          break;
        }
        default:
          break;
      }
    }
    if (audioFrames > 1) ++run.ChunksWithSeveralAudioFrames;
  }

  // The sound must not run dry while a frame is on screen: by the time frame k is shown (tick
  // k) the sound taken in must last until frame k's time is over.
  if (run.Rate > 0) {
    const int64_t frameBytes = int64_t{run.Channels} * run.BytesPerSample;
    for (const auto& [tick, taken] : takenByTick) {
      (void)taken;
      if (tick > run.FramesShown) break;
      const auto needed =
          static_cast<int64_t>(std::floor(tick * run.FrameSeconds * bytesPerSecond));
      // Right after tick k the player reads on up to tick k + 1: that sound is in time too.
      const int64_t available =
          size_t(tick) < takenByTick.size() ? takenByTick[size_t(tick)].second : pushed;
      if (available + frameBytes < needed)
        run.Faults.push_back("the sound runs dry while frame " + std::to_string(tick) +
                             " is shown: " + std::to_string(available) + " bytes of " +
                             std::to_string(needed));
    }
  }
  return run;
}

std::string FaultText(const PlayerRun& run) {
  std::string text;
  for (const std::string& f : run.Faults) text += f + "\n";
  return text;
}

}  // namespace korvane::test
