// Console services: the break handler that lets Ctrl-C finish the movie in order, the terminal
// the "-play" preview draws on, the preview itself, and the "-wait" prompt.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace korvane {

// What the break handler writes to standard output, without a line end.
constexpr char kBreakMessage[] = "\r\nBreak signalled. Terminating.";

// Opens /dev/null on any of standard input, output and error that is closed, so that files the
// program opens later never take their place. Call it first thing at start-up.
void OpenMissingStandardStreams();

// Installs the handler for SIGINT, SIGTERM and SIGHUP. The handler writes kBreakMessage to
// standard output and sets the stop flag; a second signal writes the message again and changes
// nothing else. SIGPIPE is ignored, so that a closed standard output does not end the run. Call
// it first thing at start-up. False when the platform refuses the handler.
bool InstallBreakHandler();

// True once a break was signalled; never cleared. The frame loop reads it between frames.
bool StopRequested();

// The terminal this program's output is shown in, as a file descriptor the preview can draw on.
// Closes it when destroyed. Invalid when there is no terminal.
class ConsoleWindow {
 public:
  ConsoleWindow() = default;
  explicit ConsoleWindow(int fd) : fd_(fd) {}
  ~ConsoleWindow();
  ConsoleWindow(ConsoleWindow&& other) noexcept : fd_(other.Release()) {}
  ConsoleWindow& operator=(ConsoleWindow&& other) noexcept;
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// The controlling terminal (/dev/tty) when standard output is a terminal; none otherwise, so
// that output sent to a file or a pipe never receives drawing.
ConsoleWindow FindConsoleWindow();

struct PreviewOptions {
  // Terminal size in character cells; 0 asks the terminal (and skips drawing if it can't say).
  int Columns = 0;
  int Rows = 0;
  // Rows kept free at the bottom for the progress line.
  int ReservedRows = 2;
  // No two drawings closer together than this...
  std::chrono::nanoseconds MinInterval = std::chrono::milliseconds(33);
  // ...nor closer than this many times what the last drawing cost, so that drawing takes at most
  // about 1 / (1 + CostFactor) of the running time however slow the terminal is.
  int CostFactor = 5;
  // Before the first drawing, scroll the text up by the picture's height so that the lines
  // already printed and the progress line stay below the picture.
  bool MakeRoom = true;
};

// Draws frames at the terminal's top-left corner: the unpadded picture, scaled to fit the
// terminal with its aspect kept, as upper-half-block characters whose foreground is the upper
// pixel and background the lower one (24-bit colour). The cursor is saved before and restored
// after, so the progress numbers continue where they were. Frames that come faster than the
// terminal can show are skipped. Without a terminal nothing is drawn and nothing fails.
class TerminalPreview {
 public:
  explicit TerminalPreview(ConsoleWindow window, PreviewOptions options = {});

  // The frame buffer as the movie input hands it: frameWidth x frameHeight pixels of B, G, R,
  // rows bottom-up, the picture at (pictureX, pictureY) counted from the top-left corner.
  // True when the frame was drawn, false when it was skipped or there is nothing to draw on.
  bool Draw(const uint8_t* frame, int frameWidth, int frameHeight, int pictureX, int pictureY,
            int pictureWidth, int pictureHeight);

  bool Active() const { return window_.Valid(); }
  int64_t FramesDrawn() const { return framesDrawn_; }
  int64_t FramesSkipped() const { return framesSkipped_; }
  // Size of the last drawing in character cells.
  int DrawnColumns() const { return outWidth_; }
  int DrawnRows() const { return (outHeight_ + 1) / 2; }

 private:
  bool TerminalSize(int& columns, int& rows) const;
  bool Ready(std::chrono::steady_clock::time_point now) const;
  void Layout(int frameWidth, int frameHeight, int pictureX, int pictureY, int pictureWidth,
              int pictureHeight, int columns, int rows);
  bool WriteAll(const char* data, size_t size);

  ConsoleWindow window_;
  PreviewOptions options_;
  std::string out_;                 // one frame's escape sequences, reused
  std::vector<int> columnOffsets_;  // byte offset in a row for every drawn column
  std::vector<int> rowOffsets_;     // byte offset of the buffer row for every drawn pixel row
  int layoutKey_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int outWidth_ = 0;
  int outHeight_ = 0;
  bool roomMade_ = false;
  bool drawnOnce_ = false;
  std::chrono::steady_clock::time_point lastStart_{};
  std::chrono::nanoseconds lastCost_{0};
  int64_t framesDrawn_ = 0;
  int64_t framesSkipped_ = 0;
};

// The "-wait" prompt: prints "Press Enter to close the window... " without a line end, flushes,
// and reads one line from `inputFd`. The end of the input counts as Enter, and so does a break
// signalled while waiting.
void WaitForEnter(std::ostream& out, int inputFd = 0);

}  // namespace korvane
