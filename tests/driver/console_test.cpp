#include "driver/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of file, or EIO once a pseudo-terminal's other side is closed
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

struct ChildResult {
  int exitCode = -1;  // -1 unless the child exited normally
  int signal = 0;
  std::string output;
};

// Runs `body` in a child process whose standard output is a pipe; returns its exit code and
// what it wrote. The child has five seconds. Keeps the process-wide break flag of this test
// program untouched.
template <typename Body>
ChildResult RunInChild(Body body) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[1]);
    alarm(5);
    _exit(body());
  }
  close(pipeFds[1]);
  ChildResult result;
  result.output = ReadAll(pipeFds[0]);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

TEST(BreakHandler, SetsTheFlagAndWritesTheMessageForEverySignal) {
  const ChildResult r = RunInChild([] {
    if (StopRequested()) return 2;
    if (!InstallBreakHandler()) return 3;
    if (StopRequested()) return 4;
    raise(SIGINT);
    if (!StopRequested()) return 5;
    raise(SIGINT);   // a second break: the message again, nothing else
    raise(SIGTERM);  // termination is a break too
    raise(SIGHUP);   // and so is a closed terminal
    // A write to a pipe nobody reads fails instead of ending the process.
    int fds[2];
    if (pipe(fds) != 0) return 7;
    close(fds[0]);
    const ssize_t n = write(fds[1], "x", 1);
    const int error = errno;
    close(fds[1]);
    if (n != -1 || error != EPIPE) return 8;
    return StopRequested() ? 0 : 6;
  });
  EXPECT_EQ(r.signal, 0) << "a signal ended the process instead of the handler";
  EXPECT_EQ(r.exitCode, 0);
  const std::string message = kBreakMessage;
  EXPECT_EQ(message, "\r\nBreak signalled. Terminating.");
  EXPECT_EQ(r.output, message + message + message + message);
}

TEST(WaitForEnter, PromptsAndReadsOneLine) {
  struct Case {
    const char* name;
    std::string input;  // written before waiting
    bool closeInput;    // end of input after it
    std::string left;   // what stays unread
  };
  const Case cases[] = {
      {"enter", "\n", false, ""},
      {"line then more", "some text\nnext line\n", true, "next line\n"},
      {"closed input", "", true, ""},
      {"text without line end", "abc", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    if (c.closeInput) close(fds[1]);
    std::ostringstream out;
    WaitForEnter(out, fds[0]);
    EXPECT_EQ(out.str(), "Press Enter to close the window... ");
    if (!c.closeInput) close(fds[1]);
    EXPECT_EQ(ReadAll(fds[0]), c.left);
    close(fds[0]);
  }
}

TEST(WaitForEnter, DevNullEndsTheWait) {
  const int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  std::ostringstream out;
  WaitForEnter(out, fd);
  close(fd);
  EXPECT_EQ(out.str(), "Press Enter to close the window... ");
}

TEST(WaitForEnter, ABreakWhileWaitingEndsTheWait) {
  const ChildResult r = RunInChild([] {
    if (!InstallBreakHandler()) return 3;
    int fds[2];
    if (pipe(fds) != 0) return 4;  // nothing is ever written: only the break can end the wait
    const pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    std::thread breaker([&] {
      while (!done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!done.load()) pthread_kill(waiter, SIGINT);
      }
    });
    std::ostringstream out;
    WaitForEnter(out, fds[0]);
    done.store(true);
    breaker.join();
    return StopRequested() ? 0 : 5;
  });
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find(kBreakMessage), std::string::npos);
}

TEST(FindConsoleWindow, NoTerminalWhenOutputGoesToAPipe) {
  const ChildResult r = RunInChild([] { return FindConsoleWindow().Valid() ? 1 : 0; });
  EXPECT_EQ(r.exitCode, 0);
}

// ---------------------------------------------------------------------------------------------

// A frame buffer as the movie input hands it: bottom-up rows of B, G, R; the picture at
// (px, py) from the top-left corner with a distinct colour per pixel, black margins.
struct TestFrame {
  int frameWidth, frameHeight, px, py, pw, ph;
  std::vector<uint8_t> bytes;

  TestFrame(int fw, int fh, int x, int y, int w, int h)
      : frameWidth(fw),
        frameHeight(fh),
        px(x),
        py(y),
        pw(w),
        ph(h),
        bytes(static_cast<size_t>(fw) * fh * 3, 0) {
    for (int row = 0; row < ph; ++row) {
      for (int col = 0; col < pw; ++col) {
        uint8_t* p = Pixel(px + col, py + row);
        const uint32_t rgb = Colour(col, row);
        p[0] = rgb & 0xFF;          // blue
        p[1] = (rgb >> 8) & 0xFF;   // green
        p[2] = (rgb >> 16) & 0xFF;  // red
      }
    }
  }
  // Pixel at column x, displayed row y (from the top).
  uint8_t* Pixel(int x, int y) {
    return bytes.data() + (static_cast<size_t>(frameHeight - 1 - y) * frameWidth + x) * 3;
  }
  // Red carries the column, green the row, blue is never 0: no picture pixel is black.
  static uint32_t Colour(int col, int row) {
    return (uint32_t(col & 0xFF) << 16) | (uint32_t(row & 0xFF) << 8) |
           uint32_t(1 + (col + row) % 200);
  }
};

struct Cell {
  uint32_t fg = 0, bg = 0;
  bool hasBg = false;
};

// Reads back what a terminal would show from the escape sequences of one drawing.
struct ScreenModel {
  std::map<std::pair<int, int>, Cell> cells;  // (row, column), 1-based
  int saves = 0, restores = 0;
  bool unknownSequence = false;

  explicit ScreenModel(const std::string& s) {
    int row = 1, col = 1;
    uint32_t fg = 0, bg = 0;
    bool hasBg = false;
    for (size_t i = 0; i < s.size();) {
      if (s[i] == '\x1b') {
        if (s[i + 1] == '7') {
          ++saves;
          i += 2;
          continue;
        }
        if (s[i + 1] == '8') {
          ++restores;
          i += 2;
          continue;
        }
        if (s[i + 1] != '[') {
          unknownSequence = true;
          ++i;
          continue;
        }
        size_t end = i + 2;
        while (end < s.size() && !isalpha(static_cast<unsigned char>(s[end]))) ++end;
        const std::string params = s.substr(i + 2, end - i - 2);
        const char command = s[end];
        std::vector<int> p;
        std::stringstream ps(params);
        for (std::string item; std::getline(ps, item, ';');)
          p.push_back(item.empty() ? 0 : std::stoi(item));
        if (command == 'H') {
          row = p.size() > 0 ? p[0] : 1;
          col = p.size() > 1 ? p[1] : 1;
        } else if (command == 'm') {
          for (size_t k = 0; k < p.size(); ++k) {
            if ((p[k] == 38 || p[k] == 48) && k + 4 < p.size() && p[k + 1] == 2) {
              const uint32_t c =
                  (uint32_t(p[k + 2]) << 16) | (uint32_t(p[k + 3]) << 8) | uint32_t(p[k + 4]);
              if (p[k] == 38)
                fg = c;
              else {
                bg = c;
                hasBg = true;
              }
              k += 4;
            } else if (p[k] == 0 || p[k] == 49) {
              if (p[k] == 0) fg = 0;
              bg = 0;
              hasBg = false;
            } else {
              unknownSequence = true;
            }
          }
        } else {
          unknownSequence = true;
        }
        i = end + 1;
      } else if (s.compare(i, 3, "\xE2\x96\x80") == 0) {
        cells[{row, col}] = Cell{fg, bg, hasBg};
        ++col;
        i += 3;
      } else {
        ++i;
      }
    }
  }
};

// A file standing in for the terminal.
struct CapturedPreview {
  std::string path;
  TerminalPreview preview;

  CapturedPreview(const std::string& name, PreviewOptions options)
      : path(MakePath(name)),
        preview(ConsoleWindow(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
                options) {}
  ~CapturedPreview() { unlink(path.c_str()); }

  static std::string MakePath(const std::string& name) {
    return ::testing::TempDir() + "korvane_preview_" + std::to_string(getpid()) + "_" + name;
  }
  std::string Written() const {
    const int fd = open(path.c_str(), O_RDONLY);
    std::string text = ReadAll(fd);
    close(fd);
    return text;
  }
};

PreviewOptions FixedTerminal(int columns, int rows) {
  PreviewOptions o;
  o.Columns = columns;
  o.Rows = rows;
  o.ReservedRows = 2;
  o.MinInterval = std::chrono::nanoseconds(0);
  o.CostFactor = 0;
  o.MakeRoom = false;
  return o;
}

TEST(TerminalPreview, DrawsTheUnpaddedPictureRightSideUpInTrueColour) {
  // The terminal fits the 20 x 10 picture at full size: 20 columns, 5 rows + 2 kept free.
  TestFrame frame(32, 16, 6, 3, 20, 10);
  CapturedPreview cap("exact", FixedTerminal(20, 7));
  ASSERT_TRUE(cap.preview.Draw(frame.bytes.data(), 32, 16, 6, 3, 20, 10));
  EXPECT_EQ(cap.preview.DrawnColumns(), 20);
  EXPECT_EQ(cap.preview.DrawnRows(), 5);
  const std::string written = cap.Written();
  EXPECT_EQ(written.rfind("\x1b"
                          "7",
                          0),
            0u)
      << "the cursor is saved first";
  EXPECT_EQ(written.substr(written.size() - 2),
            "\x1b"
            "8")
      << "and restored last";
  const ScreenModel screen(written);
  EXPECT_FALSE(screen.unknownSequence);
  EXPECT_EQ(screen.saves, 1);
  EXPECT_EQ(screen.restores, 1);
  ASSERT_EQ(screen.cells.size(), 100u);
  for (int row = 1; row <= 5; ++row) {
    for (int col = 1; col <= 20; ++col) {
      const auto it = screen.cells.find({row, col});
      ASSERT_NE(it, screen.cells.end()) << row << "," << col;
      EXPECT_EQ(it->second.fg, TestFrame::Colour(col - 1, 2 * (row - 1))) << row << "," << col;
      EXPECT_TRUE(it->second.hasBg);
      EXPECT_EQ(it->second.bg, TestFrame::Colour(col - 1, 2 * (row - 1) + 1)) << row << "," << col;
    }
  }
}

TEST(TerminalPreview, ScalesToTheTerminalKeepingTheAspect) {
  struct Case {
    int pictureWidth, pictureHeight, columns, rows;
    int expectColumns, expectRows;
  };
  const Case cases[] = {
      {320, 240, 80, 24, 58, 22},    // height-limited: 44 pixel rows
      {640, 480, 200, 50, 128, 48},  // 96 pixel rows
      {400, 100, 80, 24, 80, 10},    // width-limited
      {100, 400, 80, 24, 11, 22},    // tall
      {2, 2, 80, 24, 44, 22},        // a tiny picture grows
      {640, 480, 1, 3, 1, 1},        // a tiny terminal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pictureWidth) + "x" + std::to_string(c.pictureHeight) + " in " +
                 std::to_string(c.columns) + "x" + std::to_string(c.rows));
    const int fw = (c.pictureWidth + 15) / 16 * 16, fh = (c.pictureHeight + 7) / 8 * 8;
    TestFrame frame(fw, fh, (fw - c.pictureWidth) / 2, (fh - c.pictureHeight) / 2, c.pictureWidth,
                    c.pictureHeight);
    CapturedPreview cap("scale", FixedTerminal(c.columns, c.rows));
    ASSERT_TRUE(cap.preview.Draw(frame.bytes.data(), fw, fh, frame.px, frame.py, c.pictureWidth,
                                 c.pictureHeight));
    EXPECT_EQ(cap.preview.DrawnColumns(), c.expectColumns);
    EXPECT_EQ(cap.preview.DrawnRows(), c.expectRows);
    const ScreenModel screen(cap.Written());
    EXPECT_EQ(screen.cells.size(), static_cast<size_t>(c.expectColumns) * c.expectRows);
    for (const auto& [pos, cell] : screen.cells) {
      ASSERT_LE(pos.first, std::max(1, c.rows - 2));
      ASSERT_LE(pos.second, c.columns);
      ASSERT_NE(cell.fg & 0xFF, 0u) << "a margin pixel was drawn";
    }
  }
}

TEST(TerminalPreview, SkipsFramesThatComeFasterThanTheTerminalShows) {
  PreviewOptions options = FixedTerminal(40, 12);
  options.MinInterval = std::chrono::hours(1);
  TestFrame frame(16, 8, 0, 0, 16, 8);
  CapturedPreview cap("skip", options);
  EXPECT_TRUE(cap.preview.Draw(frame.bytes.data(), 16, 8, 0, 0, 16, 8));
  const size_t afterFirst = cap.Written().size();
  EXPECT_FALSE(cap.preview.Draw(frame.bytes.data(), 16, 8, 0, 0, 16, 8));
  EXPECT_FALSE(cap.preview.Draw(frame.bytes.data(), 16, 8, 0, 0, 16, 8));
  EXPECT_EQ(cap.preview.FramesDrawn(), 1);
  EXPECT_EQ(cap.preview.FramesSkipped(), 2);
  EXPECT_EQ(cap.Written().size(), afterFirst);
}

TEST(TerminalPreview, FirstDrawingMakesRoomBelowThePicture) {
  PreviewOptions options = FixedTerminal(20, 7);
  options.MakeRoom = true;
  TestFrame frame(32, 16, 6, 3, 20, 10);
  CapturedPreview cap("room", options);
  ASSERT_TRUE(cap.preview.Draw(frame.bytes.data(), 32, 16, 6, 3, 20, 10));
  ASSERT_TRUE(cap.preview.Draw(frame.bytes.data(), 32, 16, 6, 3, 20, 10));
  const std::string written = cap.Written();
  EXPECT_EQ(written.rfind("\n\n\n\n\n\x1b"
                          "7",
                          0),
            0u)
      << "five rows of room, once";
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 5);
}

TEST(TerminalPreview, NothingToDrawOnOrNothingValidToDraw) {
  TestFrame frame(16, 8, 0, 0, 16, 8);
  TerminalPreview none{ConsoleWindow()};
  EXPECT_FALSE(none.Active());
  EXPECT_FALSE(none.Draw(frame.bytes.data(), 16, 8, 0, 0, 16, 8));

  CapturedPreview cap("invalid", FixedTerminal(40, 12));
  EXPECT_FALSE(cap.preview.Draw(nullptr, 16, 8, 0, 0, 16, 8));
  EXPECT_FALSE(cap.preview.Draw(frame.bytes.data(), 16, 8, 4, 0, 16, 8));  // past the right edge
  EXPECT_FALSE(cap.preview.Draw(frame.bytes.data(), 16, 8, 0, 2, 16, 7));  // past the bottom
  EXPECT_FALSE(cap.preview.Draw(frame.bytes.data(), 16, 8, 0, 0, 0, 8));
  EXPECT_EQ(cap.Written(), "");
}

// In a real pseudo-terminal: the terminal is found and the picture drawn at the size the
// terminal reports.
TEST(TerminalPreview, DrawsInAPseudoTerminal) {
  std::fflush(nullptr);
  int master = -1;
  winsize size{};
  size.ws_col = 80;
  size.ws_row = 24;
  const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(5);
    TestFrame frame(320, 240, 0, 0, 320, 240);
    PreviewOptions options;
    options.MakeRoom = false;
    TerminalPreview preview(FindConsoleWindow(), options);
    const bool drawn = preview.Draw(frame.bytes.data(), 320, 240, 0, 0, 320, 240);
    std::printf("|drawn=%d cols=%d rows=%d|", drawn ? 1 : 0, preview.DrawnColumns(),
                preview.DrawnRows());
    std::fflush(stdout);
    _exit(preview.Active() ? 0 : 1);
  }
  const std::string screen = ReadAll(master);
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "no terminal found";
  EXPECT_NE(screen.find("|drawn=1 cols=58 rows=22|"), std::string::npos) << screen.substr(0, 200);
  EXPECT_NE(screen.find("\x1b"
                        "7"),
            std::string::npos);
  EXPECT_NE(screen.find("\x1b[38;2;"), std::string::npos);
  EXPECT_NE(screen.find("\x1b[48;2;"), std::string::npos);
  EXPECT_NE(screen.find("\x1b"
                        "8"),
            std::string::npos);
  size_t blocks = 0;
  for (size_t at = screen.find("\xE2\x96\x80"); at != std::string::npos;
       at = screen.find("\xE2\x96\x80", at + 3)) {
    ++blocks;
  }
  EXPECT_EQ(blocks, 58u * 22u);
}

}  // namespace
}  // namespace korvane
