#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "driver/console.h"
#include "driver/korvane.h"
#include "input/library_log.h"

int main(int argc, char** argv) {
  // Before anything else: no file may take the place of a closed standard stream, and a break
  // from now on finishes the movie in order.
  korvane::OpenMissingStandardStreams();
  korvane::InstallBreakHandler();
  // Standard error carries only the usage text and the live status line.
  korvane::SilenceMediaLibraryLog();

  korvane::TerminalPreview preview(korvane::FindConsoleWindow());
  korvane::ConsoleHooks hooks;
  hooks.StopRequested = [] { return korvane::StopRequested(); };
  hooks.Preview = [&preview](const uint8_t* frame, int frameWidth, int frameHeight, int pictureX,
                             int pictureY, int pictureWidth, int pictureHeight) {
    preview.Draw(frame, frameWidth, frameHeight, pictureX, pictureY, pictureWidth, pictureHeight);
  };
  hooks.WaitForEnter = [] { korvane::WaitForEnter(std::cout, STDIN_FILENO); };
  hooks.StatusFd = STDERR_FILENO;

  std::vector<std::string> args(argv, argv + argc);
  korvane::Korvane program(std::cout, std::cerr, std::cin, std::move(hooks));
  return program.Run(args);
}
