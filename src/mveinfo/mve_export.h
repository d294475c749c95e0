// What mveinfo exports from a movie, as a game shows it: every shown frame as a PNG, the
// soundtrack as a WAV, and a contact sheet. Plays the file once with MvePlayer; pictures are
// encoded by FFmpeg through the input unit.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "mveinfo/mve_examiner.h"

namespace korvane {

struct MveExportOptions {
  std::string FramesDir;    // --frames DIR: DIR/frame_000001.png, ...
  std::string WavFile;      // --wav FILE
  std::string SheetFile;    // --sheet FILE.png
  std::string SourceMovie;  // --source MOVIE: PSNR of each second on the sheet
};

struct MveExportResult {
  uint64_t FramesShown = 0;    // frames the player showed
  uint64_t FramesWritten = 0;  // PNG files written
  uint64_t SoundSamples = 0;   // sample frames written to the WAV
  int SheetWidth = 0, SheetHeight = 0;
  std::vector<double> Psnr;   // per second against the source (dB; -1 where none)
  uint64_t PlayerFaults = 0;  // what the player could not follow
  std::vector<std::string> PlayerFaultTexts;
};

// Plays the movie at `path` (examined before into `info`) and writes the exports `options`
// asks for. False with a reason when a file cannot be read or written; what was written until
// then stays.
bool ExportMve(const std::string& path, const MveInfo& info, const MveExportOptions& options,
               MveExportResult* result, std::string* error);

// The lines mveinfo prints about the exports.
std::string FormatMveExport(const MveExportOptions& options, const MveExportResult& result);

}  // namespace korvane
