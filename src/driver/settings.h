// The parsed command line, read-only after parsing.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace korvane {

struct Settings {
  std::string InputFile;
  std::string AudioFile;
  std::string OutputFile;
  std::string PaletteFile;
  bool LocalPalettes = false;
  bool NoSound = false;
  bool PlayFrames = false;
  bool ForceDirectShow = false;
  bool TestOnly = false;
  bool OldMethod = false;
  bool SizeLimited = false;
  int32_t BitRate = 307200;
  int32_t SizeLimit = 0;
  int32_t StartFrame = -1;
  int32_t EndFrame = -1;
  int32_t LenFrames = -1;
  bool HighQuality = false;
  bool ActPalette = false;
  bool WaitAtEnd = false;
  bool Dither = false;
  // Accepted beyond the usage text.
  int Threads = 0;              // "-threads N"; 0: one per core
  bool Classic = false;         // "-classic": the original encoder, byte for byte
  bool FitToLimit = false;      // "-fit": scale pictures larger than 640x480 down to fit
  double OutputFrameRate = 0;   // "-fps RATE": convert at this frame rate; 0: the movie's own
  int32_t OutputAudioRate = 0;  // "-ar RATE": resample the sound to RATE Hz; 0: keep its rate
  bool WidenTo16Bit = false;    // "-dpcm": 8-bit sound written as 16-bit DPCM
  bool ForceStereo = false;     // "-stereo": mono sound written as two identical channels
};

constexpr const char* kBanner = "KORVANE beta (2004/09/19)";

// Writes the banner line.
void PrintBanner(std::ostream& out);

// Fills `settings` from the arguments (args[0], the program path, is not looked at).
// False when the command line cannot be parsed and the usage text must be shown.
bool ParseCommandLine(const std::vector<std::string>& args, Settings& settings);

// The usage text, lines joined by "\n".
std::string UsageText();
// Writes the usage text to `err`.
void ShowUsage(std::ostream& err);

}  // namespace korvane
