// The closing report of the encoding pass.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

namespace korvane {

struct RunReport {
  int64_t BytesWritten = 0;
  int64_t VideoDataBytes = 0;
  int32_t FrameCounter = 0;
  int32_t FrameWidth = 0;
  int32_t FrameHeight = 0;
  double FrameRate = 0;
  int64_t PassStartBytes = 0;
  int32_t SplitFrames = 0;
  bool OldMethod = false;
  int64_t CandidateSpace = 0;
  int64_t BlockCount = 0;
  int64_t PeakChainBytes = 0;
  double Pass2Seconds = 0;
  double TotalError = 0;
  double TotalEnergy = 0;
};

// Writes the report lines. Quotients over no frame or no signal energy are shown as 0.
void PrintRunReport(std::ostream& out, const RunReport& r);

// Reports each of the audio coder's sign losses (their deviations, in order) and waits for one
// line of input after each; an end of input counts as Enter.
void ReportSignLosses(std::ostream& out, std::istream& in, const std::vector<int32_t>& deviations);

}  // namespace korvane
