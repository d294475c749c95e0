// Command line: banner, parsing into Settings, usage text.
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "driver/settings.h"

namespace korvane {

namespace {

constexpr const char* kUsageLines[] = {
    "AVI to Interplay MVE converter, beta version",
    "",
    "Usage:\tkorvane.exe movie.avi [output_movie.mve] [options...]",
    "Options:",
    "   -test\t\tonly test input files and parameters, do not make MVE",
    "   -p palette.pal\tuse custom or precomputed palette in HSI Pal format",
    "   -act\t\tload and save palettes in Adobe ACT format",
    "   -ns\t\tdon't process sound-track",
    "   -w filename\ttake sound from other multimedia file (avi, wav, mp3 ...)",
    "   -da\t\tforce DirectShow (Media Player) filters for audio input",
    "   -play\t\tdump video frames to console",
    "   -old\t\tuse old compression method (faster, less compression)",
    "   -rate kBps\tmovie bitrate in kilobytes per second, default 300 Kb/s",
    "   -size megs\tmax. MVE size, in megabytes",
    "   -start frame\tset first frame for processing",
    "   -end frame or -len count\tset last frame, or count of frames",
    "   -hq\t\tuse high quality compression (several times slower)",
    "   -dither\t\tperform Floyd-Steinberg dithering",
    "",
    "-rate and -size options are mutual exclusive. -rate 300 is assumed by default.",
    "-end and -len options are also mutual exclusive.",
    "",
    "Requirements:",
    "   Your system must be able to play the movie.",
    "",
    "Current restrictions and features:",
    "   1. Frames up to 640x480 pixels supported.",
    "   2. One palette for the whole movie.",
    "",
    "KORVANE is a console program. If you don't know how to work with",
    "   console applications please read your Windows manual.",
};

// The frame rates "-fps" accepts: the movie's timer runs slower movies at 25 frames a second.
constexpr double kMinFrameRate = 2.0, kMaxFrameRate = 1000.0;

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A signed 32-bit decimal integer, the whole text.
bool ReadInteger(const std::string& raw, int32_t* value) {
  std::string text = Trim(raw);
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  if (text.empty() || text[0] == '+') return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

// A decimal number ("." or "," as separator) times `scale`, rounded to the nearest integer
// (ties to even); false when unreadable or outside the signed 32-bit range.
bool ReadScaledDecimal(const std::string& raw, double scale, int32_t* value) {
  std::string text = Trim(raw);
  for (char& c : text)
    if (c == ',') c = '.';
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  if (text.empty()) return false;
  for (char c : text) {
    // Only plain decimal notation with an optional exponent: no "inf", "nan" or hexadecimal.
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E'))
      return false;
  }
  double number = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (ec != std::errc() || ptr != end) return false;
  double product = std::nearbyint(number * scale);
  if (!std::isfinite(product) || product < std::numeric_limits<int32_t>::min() ||
      product > std::numeric_limits<int32_t>::max())
    return false;
  *value = static_cast<int32_t>(product);
  return true;
}

// A decimal number ("." or "," as separator) from 2 to 1000: a frame rate.
bool ReadFrameRate(const std::string& raw, double* value) {
  std::string text = Trim(raw);
  for (char& c : text)
    if (c == ',') c = '.';
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  if (text.empty()) return false;
  for (char c : text)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' ||
          c == '-' || c == '+'))
      return false;
  double number = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, number);
  if (ec != std::errc() || ptr != end || !std::isfinite(number)) return false;
  if (number < kMinFrameRate || number > kMaxFrameRate) return false;
  *value = number;
  return true;
}

std::string Lower(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace

void PrintBanner(std::ostream& out) {
  out << kBanner << "\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, Settings& s) {
  if (args.size() <= 1) return false;
  s.InputFile.clear();
  s.AudioFile.clear();
  s.OutputFile.clear();
  bool noFileYet = true;

  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // An empty argument names nothing: skip it rather than take it for a file or an option.
    if (arg.empty()) continue;
    std::string opt = Lower(arg);
    // A lone "-" is a file: standard input.
    if (opt[0] != '-' || opt == "-") {
      if (noFileYet) {
        s.InputFile = arg;
        if (s.AudioFile.empty()) s.AudioFile = s.InputFile;
        noFileYet = false;
      } else {
        s.OutputFile = arg;
      }
      continue;
    }

    // The next argument as the option's value; false when there is none.
    auto next = [&](std::string* value) {
      if (i + 1 >= args.size()) return false;
      *value = args[++i];
      return true;
    };
    std::string value;
    int32_t number = 0;

    if (opt == "-p") {
      if (!next(&s.PaletteFile)) return false;
    } else if (opt == "-lb" || opt == "-rate") {
      // A limit of nothing (or less) leaves no bytes for any frame.
      if (!next(&value) || !ReadScaledDecimal(value, 1024.0, &number) || number <= 0) return false;
      s.BitRate = number;
      s.SizeLimited = false;
    } else if (opt == "-lf" || opt == "-size") {
      if (!next(&value) || !ReadScaledDecimal(value, 1024.0 * 1024.0, &number) || number <= 0)
        return false;
      s.SizeLimit = number;
      s.SizeLimited = true;
    } else if (opt == "-start") {
      if (!next(&value) || !ReadInteger(value, &number)) return false;
      s.StartFrame = number;
    } else if (opt == "-end") {
      if (!next(&value) || !ReadInteger(value, &number)) return false;
      s.EndFrame = number;
      s.LenFrames = -1;
    } else if (opt == "-len") {
      if (!next(&value) || !ReadInteger(value, &number)) return false;
      s.LenFrames = number;
      s.EndFrame = -1;
    } else if (opt == "-loc") {
      s.LocalPalettes = true;
    } else if (opt == "-ns") {
      s.NoSound = true;
    } else if (opt == "-w") {
      if (!next(&s.AudioFile)) return false;
    } else if (opt == "-play") {
      s.PlayFrames = true;
    } else if (opt == "-test") {
      s.TestOnly = true;
    } else if (opt == "-da") {
      s.ForceDirectShow = true;
    } else if (opt == "-old") {
      s.OldMethod = true;
    } else if (opt == "-hq") {
      s.HighQuality = true;
    } else if (opt == "-act") {
      s.ActPalette = true;
    } else if (opt == "-wait") {
      s.WaitAtEnd = true;
    } else if (opt == "-dither") {
      s.Dither = true;
    } else if (opt == "-threads") {
      if (!next(&value) || !ReadInteger(value, &number) || number < 1) return false;
      s.Threads = number;
    } else if (opt == "-fit") {
      s.FitToLimit = true;
    } else if (opt == "-fps") {
      if (!next(&value) || !ReadFrameRate(value, &s.OutputFrameRate)) return false;
    } else if (opt == "-ar") {
      // The sound's rate is stored in 16 bits in the movie.
      if (!next(&value) || !ReadInteger(value, &number) || number < 1 || number > 65535)
        return false;
      s.OutputAudioRate = number;
    } else if (opt == "-classic") {
      s.Classic = true;
    } else if (opt == "-dpcm") {
      s.WidenTo16Bit = true;
    } else if (opt == "-stereo") {
      s.ForceStereo = true;
    } else {
      return false;
    }
  }
  return true;
}

std::string UsageText() {
  std::string text;
  bool first = true;
  for (const char* line : kUsageLines) {
    if (!first) text += "\n";
    text += line;
    first = false;
  }
  return text;
}

void ShowUsage(std::ostream& err) {
  err << UsageText() << "\n" << std::flush;
}

}  // namespace korvane
