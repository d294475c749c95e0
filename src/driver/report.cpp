#include "driver/report.h"

#include <cmath>
#include <cstdio>
#include <istream>
#include <ostream>
#include <string>

namespace korvane {

namespace {

// Fixed-point text with `decimals` digits after the point.
std::string Fixed(double value, int decimals) {
  if (!std::isfinite(value)) value = 0;
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

void PrintRunReport(std::ostream& out, const RunReport& r) {
  const bool anyFrame = r.FrameCounter != 0;
  double average = anyFrame ? double(r.VideoDataBytes) / r.FrameCounter : 0.0;
  double percent =
      r.FrameWidth > 0 && r.FrameHeight > 0 ? average / r.FrameWidth / r.FrameHeight * 100.0 : 0.0;
  // The shutdown and end chunks (16 bytes) are not part of the frame chunks' rate.
  double rate = anyFrame
                    ? double(r.BytesWritten - r.PassStartBytes - 16) * r.FrameRate / r.FrameCounter
                    : 0.0;

  out << "MVE file size: " << r.BytesWritten << " bytes.\n";
  out << "Avg. frame len: " << Fixed(average, 2) << " bytes (" << Fixed(percent, 2)
      << "% of original)\n";
  out << " " << Fixed(rate, 0) << " bytes/sec.\n";
  if (r.SplitFrames != 0)
    out << r.SplitFrames << " frames did not fit in limit of " << 44000
        << " bytes and were split\n";
  if (!r.OldMethod) {
    out << "Compressor buffer size: " << r.CandidateSpace * r.BlockCount << "\n";
    out << "     peak buffer usage: " << r.PeakChainBytes << "\n";
  }
  out << "Pass 2 time: " << Fixed(r.Pass2Seconds, 0) << " seconds\n";
  if (!r.OldMethod) {
    double relative = r.TotalEnergy > 0 ? std::sqrt(r.TotalError / r.TotalEnergy) * 100.0 : 0.0;
    out << "Relative error: " << Fixed(relative, 2) << "%\n";
  }
}

void ReportSignLosses(std::ostream& out, std::istream& in, const std::vector<int32_t>& deviations) {
  for (int32_t deviation : deviations) {
    out << "\nCRITICAL ERROR! Sign loss left unfixed in audio stream. Deviation=" << deviation
        << "\nPlease report to Kaso. Press <ENTER> key " << std::flush;
    std::string line;
    std::getline(in, line);
  }
}

}  // namespace korvane
