// The program's main sequence: banner, command line, input checks, output name, opening the
// movie, the frame range, the palette pass, the encoding pass, the optional wait, clean-up.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "driver/settings.h"

namespace korvane {

// Process exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBreak = 130;

struct FrameRange {
  int32_t FromFrame = 0;
  int32_t ToFrame = -1;
};

// The inclusive range of frames to convert for a movie of `frameCount` frames from `firstFrame`.
FrameRange ComputeFrameRange(const Settings& settings, int32_t firstFrame, int32_t frameCount);

// The .mve name when none is given: the input's file name (directory removed) with ".mve".
std::string DeriveOutputName(const std::string& inputFile);

// `name` with its extension replaced by (or extended with) `extension`.
std::string ReplaceExtension(const std::string& name, const std::string& extension);

// A file the run reads or writes, and the words its messages name it by.
struct RunFile {
  std::string Path;
  std::string Role;  // "input movie", "output movie", ...
};

// True when the two names lead to the same file: the same device and inode for regular files
// that exist, otherwise the same path once resolved (symbolic links, "." and ".." followed).
bool SameFile(const std::string& a, const std::string& b);

// The reason an output of the run would destroy one of its inputs or another output, or an empty
// text when none would.
std::string FindOutputClash(const std::vector<RunFile>& inputs,
                            const std::vector<RunFile>& outputs);

struct ConsoleHooks {
  // True once a break was signalled; read between frames.
  std::function<bool()> StopRequested = [] { return false; };
  // Draws a fetched frame when "-play" is given (null: nothing to draw on).
  std::function<void(const uint8_t* frame, int frameWidth, int frameHeight, int pictureX,
                     int pictureY, int pictureWidth, int pictureHeight)>
      Preview;
  // The "-wait" prompt.
  std::function<void()> WaitForEnter;
  // The descriptor behind the `err` stream: a live status line is drawn there while the passes
  // run when it is a terminal. -1: no status line.
  int StatusFd = -1;
};

class Korvane {
 public:
  // Messages go to `out`, the usage text to `err`; `in` answers the prompts.
  Korvane(std::ostream& out, std::ostream& err, std::istream& in, ConsoleHooks hooks = {});
  ~Korvane();
  Korvane(const Korvane&) = delete;
  Korvane& operator=(const Korvane&) = delete;

  // Runs the whole conversion for the command line `args` (args[0] is the program path) and
  // returns the process exit status.
  int Run(const std::vector<std::string>& args);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
