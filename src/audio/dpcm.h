// Interplay DPCM: 16-bit sound coded as one byte per sample after an uncompressed first
// sample per channel. Each byte selects a step that the decoder adds to its predictor.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>

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

// The compressor. The report of an uncorrectable sign loss goes to `out`, and the compressor
// then waits for one line from `in` (an end of input counts as Enter).
class DpcmCompressor {
 public:
  DpcmCompressor(std::ostream& out, std::istream& in);

  // Compresses `byteCount` bytes of signed 16-bit samples (channels interleaved, 1 or 2
  // channels) in place and returns the number of compressed bytes at the start of `buffer`:
  // the first sample of each channel unchanged, then one code per remaining sample.
  int32_t CompressDPCM(uint8_t* buffer, int32_t byteCount, int channels);

  // Number of sign-loss reports made so far.
  int SignLossReports() const { return signLossReports_; }

  // Prints the sign-loss report for `deviation` and waits for one line of input.
  void ReportSignLoss(int32_t deviation);

 private:
  const StepIndexTable& stepIndex_;
  std::ostream& out_;
  std::istream& in_;
  int signLossReports_ = 0;
};

}  // namespace korvane
