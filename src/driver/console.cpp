#include "driver/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <ostream>

namespace korvane {

namespace {

// The one process-wide flag: a signal handler can reach nothing else.
std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the break flag must be lock-free");

extern "C" void OnBreakSignal(int) {
  // Only async-signal-safe work here: one write and one atomic store.
  const int savedErrno = errno;
  const ssize_t written = write(STDOUT_FILENO, kBreakMessage, sizeof(kBreakMessage) - 1);
  (void)written;
  stopFlag.store(true);
  errno = savedErrno;
}

}  // namespace

void OpenMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // open() returns the lowest free descriptor, which is this one; anything else is not ours.
    if (opened >= 0 && opened != fd) close(opened);
  }
}

bool InstallBreakHandler() {
  struct sigaction action {};
  action.sa_handler = OnBreakSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes of the conversion resume after the handler.
  action.sa_flags = SA_RESTART;
  bool ok = sigaction(SIGINT, &action, nullptr) == 0;
  ok = sigaction(SIGTERM, &action, nullptr) == 0 && ok;
  // A closed terminal finishes the movie as a break does.
  ok = sigaction(SIGHUP, &action, nullptr) == 0 && ok;
  // A reader of standard output that goes away (`korvane ... | head -1`) must not end the
  // conversion: writes to it then fail quietly, and the movie is still completed.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ok = sigaction(SIGPIPE, &ignore, nullptr) == 0 && ok;
  return ok;
}

bool StopRequested() {
  return stopFlag.load();
}

// ---------------------------------------------------------------------------------------------

ConsoleWindow::~ConsoleWindow() {
  if (fd_ >= 0) close(fd_);
}

ConsoleWindow& ConsoleWindow::operator=(ConsoleWindow&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

ConsoleWindow FindConsoleWindow() {
  if (!isatty(STDOUT_FILENO)) return ConsoleWindow();
  const int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  return ConsoleWindow(fd);
}

// ---------------------------------------------------------------------------------------------

namespace {

void AppendNumber(std::string& out, int value) {
  char digits[12];
  const auto result = std::to_chars(digits, digits + sizeof(digits), value);
  out.append(digits, result.ptr);
}

void AppendColour(std::string& out, const char* prefix, const uint8_t* bgr) {
  out += prefix;
  AppendNumber(out, bgr[2]);
  out += ';';
  AppendNumber(out, bgr[1]);
  out += ';';
  AppendNumber(out, bgr[0]);
}

constexpr char kUpperHalfBlock[] = "\xE2\x96\x80";  // U+2580

}  // namespace

TerminalPreview::TerminalPreview(ConsoleWindow window, PreviewOptions options)
    : window_(std::move(window)), options_(options) {}

bool TerminalPreview::TerminalSize(int& columns, int& rows) const {
  columns = options_.Columns;
  rows = options_.Rows;
  if (columns > 0 && rows > 0) return true;
  winsize size{};
  if (ioctl(window_.Fd(), TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return false;
  }
  columns = size.ws_col;
  rows = size.ws_row;
  return true;
}

bool TerminalPreview::Ready(std::chrono::steady_clock::time_point now) const {
  if (!drawnOnce_) return true;
  const auto wait = std::max(options_.MinInterval, lastCost_ * options_.CostFactor);
  if (now - lastStart_ < wait) return false;
  // The terminal has not yet taken what the last drawing sent.
  int queued = 0;
  if (ioctl(window_.Fd(), TIOCOUTQ, &queued) == 0 && queued > 0) return false;
  return true;
}

void TerminalPreview::Layout(int frameWidth, int frameHeight, int pictureX, int pictureY,
                             int pictureWidth, int pictureHeight, int columns, int rows) {
  const int key[8] = {frameWidth,   frameHeight,   pictureX, pictureY,
                      pictureWidth, pictureHeight, columns,  rows};
  if (std::equal(key, key + 8, layoutKey_)) return;
  std::copy(key, key + 8, layoutKey_);

  // Each cell shows two pixels one above the other, and a cell is about twice as tall as it is
  // wide, so the drawn pixels are square: fit the picture into columns x 2 * usable rows.
  const int usableRows = std::max(1, rows - options_.ReservedRows);
  const int64_t maxW = columns, maxH = 2 * int64_t{usableRows};
  int64_t w = maxW, h = int64_t{pictureHeight} * maxW / pictureWidth;
  if (h > maxH) {
    h = maxH;
    w = int64_t{pictureWidth} * maxH / pictureHeight;
  }
  outWidth_ = static_cast<int>(std::clamp<int64_t>(w, 1, maxW));
  outHeight_ = static_cast<int>(std::clamp<int64_t>(h, 1, maxH));

  // Nearest pixel to the centre of every drawn pixel.
  columnOffsets_.resize(static_cast<size_t>(outWidth_));
  for (int x = 0; x < outWidth_; ++x) {
    const int64_t source = (2 * int64_t{x} + 1) * pictureWidth / (2 * int64_t{outWidth_});
    columnOffsets_[x] = static_cast<int>((pictureX + source) * 3);
  }
  rowOffsets_.resize(static_cast<size_t>(outHeight_));
  for (int y = 0; y < outHeight_; ++y) {
    const int64_t source = (2 * int64_t{y} + 1) * pictureHeight / (2 * int64_t{outHeight_});
    const int64_t displayedRow = pictureY + source;  // counted from the top
    const int64_t bufferRow = frameHeight - 1 - displayedRow;
    rowOffsets_[y] = static_cast<int>(bufferRow * frameWidth * 3);
  }
}

bool TerminalPreview::WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(window_.Fd(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TerminalPreview::Draw(const uint8_t* frame, int frameWidth, int frameHeight, int pictureX,
                           int pictureY, int pictureWidth, int pictureHeight) {
  if (!window_.Valid() || frame == nullptr) return false;
  // A picture that does not lie inside its frame is not drawn.
  if (pictureWidth <= 0 || pictureHeight <= 0 || pictureX < 0 || pictureY < 0 ||
      int64_t{pictureX} + pictureWidth > frameWidth ||
      int64_t{pictureY} + pictureHeight > frameHeight) {
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  if (!Ready(start)) {
    ++framesSkipped_;
    return false;
  }
  int columns = 0, rows = 0;
  if (!TerminalSize(columns, rows) || columns < 1 || rows < 1) {
    ++framesSkipped_;
    return false;
  }
  Layout(frameWidth, frameHeight, pictureX, pictureY, pictureWidth, pictureHeight, columns, rows);
  const int cellRows = (outHeight_ + 1) / 2;

  out_.clear();
  if (options_.MakeRoom && !roomMade_) {
    // Push the text printed so far (and the cursor) below the area the picture covers.
    out_.append(static_cast<size_t>(cellRows), '\n');
    roomMade_ = true;
  }
  out_ +=
      "\x1b"
      "7";  // save the cursor
  for (int cy = 0; cy < cellRows; ++cy) {
    out_ += "\x1b[";
    AppendNumber(out_, cy + 1);
    out_ += ";1H";
    const uint8_t* upper = frame + rowOffsets_[2 * cy];
    const bool hasLower = 2 * cy + 1 < outHeight_;
    const uint8_t* lower = hasLower ? frame + rowOffsets_[2 * cy + 1] : nullptr;
    uint32_t lastFg = UINT32_MAX, lastBg = UINT32_MAX;
    if (!hasLower) out_ += "\x1b[49m";  // an odd last row leaves the lower half empty
    for (int x = 0; x < outWidth_; ++x) {
      const uint8_t* up = upper + columnOffsets_[x];
      const uint32_t fg = up[0] | (up[1] << 8) | (uint32_t{up[2]} << 16);
      if (fg != lastFg) {
        AppendColour(out_, "\x1b[38;2;", up);
        out_ += 'm';
        lastFg = fg;
      }
      if (hasLower) {
        const uint8_t* down = lower + columnOffsets_[x];
        const uint32_t bg = down[0] | (down[1] << 8) | (uint32_t{down[2]} << 16);
        if (bg != lastBg) {
          AppendColour(out_, "\x1b[48;2;", down);
          out_ += 'm';
          lastBg = bg;
        }
      }
      out_ += kUpperHalfBlock;
    }
    out_ += "\x1b[0m";
  }
  out_ +=
      "\x1b"
      "8";  // restore the cursor

  if (!WriteAll(out_.data(), out_.size())) {
    // The terminal is gone: stop drawing rather than fail the conversion.
    window_ = ConsoleWindow();
    return false;
  }
  drawnOnce_ = true;
  lastStart_ = start;
  lastCost_ = std::chrono::steady_clock::now() - start;
  ++framesDrawn_;
  return true;
}

// ---------------------------------------------------------------------------------------------

void WaitForEnter(std::ostream& out, int inputFd) {
  out << "Press Enter to close the window... " << std::flush;
  for (;;) {
    pollfd p{inputFd, POLLIN, 0};
    const int ready = poll(&p, 1, -1);
    if (ready < 0) {
      // A break while waiting ends the wait; other interruptions just poll again.
      if (errno == EINTR && !StopRequested()) continue;
      return;
    }
    char c = 0;
    const ssize_t n = read(inputFd, &c, 1);
    if (n < 0 && errno == EINTR) {
      if (StopRequested()) return;
      continue;
    }
    if (n <= 0 || c == '\n') return;  // end of input counts as Enter
  }
}

}  // namespace korvane
