// Interplay DPCM: 16-bit sound coded as one byte per sample after an uncompressed first
// sample per channel. Each byte selects a step that the decoder adds to its predictor.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace korvane {

// The step of every code byte. Codes 0..127 are the positive steps, 128 is 1, and code 256 - k
// is -Steps[k]. Taken modulo 65536 as signed 16-bit numbers these are the decoder's steps; the
// encoder keeps the full 32-bit values for its range test.
extern const std::array<int32_t, 256> Steps;

// StepIndex[d] is the code whose step approximates the absolute sample difference d:
// d itself below 44, trunc(ln(d) * 11.5131) from 44 up (at most 127).
using StepIndexTable = std::array<uint8_t, 65536>;

// Builds the step-index table on the first call and returns it; later calls return the same
// table. The table never changes after it is built.
const StepIndexTable& BuildDpcmTables();

// The code the portable coder takes for a difference d in [-32767, 32767], stored at
// d + 32767: StepIndex's code, except that the differences -18 and -19 take the nearest step
// other than codes 238 and 237 (players disagree on those two).
using PortableCodeTable = std::array<uint8_t, 65535>;
const PortableCodeTable& BuildPortableCodes();

// The compressor. Two coders:
// - the portable one (default) only takes steps whose sum with the predictor stays inside the
//   16-bit range, never the steps beyond +-32767 (they wrap as 16-bit numbers) and never codes
//   237 and 238, so decoders that wrap, decoders that clamp and players with either variant of
//   the step table all decode the same samples;
// - the classic one takes the table's step and corrects a result outside the 16-bit range by
//   one step, relying on the decoder's wrapping; a result that still ends on the wrong side of
//   the sample is recorded as a sign loss.
class DpcmCompressor {
 public:
  explicit DpcmCompressor(bool classic = false);

  // Compresses `byteCount` bytes of signed 16-bit samples (channels interleaved, 1 or 2
  // channels) in place and returns the number of compressed bytes at the start of `buffer`:
  // the first sample of each channel unchanged, then one code per remaining sample.
  int32_t CompressDPCM(uint8_t* buffer, int32_t byteCount, int channels);

  // Deviations of the sign losses found since the last call (classic coder only), in order;
  // the record is emptied.
  std::vector<int32_t> TakeSignLosses();
  // Number of sign losses found so far.
  int SignLossReports() const { return signLossReports_; }

 private:
  int32_t CompressClassic(uint8_t* buffer, int32_t sampleCount, int channels);
  int32_t CompressPortable(uint8_t* buffer, int32_t sampleCount, int channels);

  bool classic_;
  const StepIndexTable& stepIndex_;
  const PortableCodeTable& portableCodes_;
  std::vector<int32_t> signLosses_;
  int signLossReports_ = 0;
};

}  // namespace korvane
