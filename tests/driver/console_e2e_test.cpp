// The console services in a real run: korvane in a pseudo-terminal, broken with Ctrl-C (or
// terminated) during either pass, drawing its "-play" preview, and waiting with "-wait".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane::test {
namespace {

using Clock = std::chrono::steady_clock;

// korvane running in a pseudo-terminal of 80 x 24 cells: standard input, output and error are
// the terminal, as in an interactive shell.
class PtyProcess {
 public:
  ~PtyProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }

  bool Start(const std::string& dir, const std::vector<std::string>& args) {
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    const std::string binary = KorvaneBinary();
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargs;
    for (std::string& a : argv) cargs.push_back(a.data());
    cargs.push_back(nullptr);
    std::fflush(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (chdir(dir.c_str()) != 0) _exit(126);
      // Standard error off the terminal: the live status line drawn there would mix frame
      // numbers into what these tests read.
      const int devNull = open("/dev/null", O_WRONLY);
      if (devNull < 0 || dup2(devNull, STDERR_FILENO) < 0) _exit(126);
      close(devNull);
      alarm(120);  // a safety net should the program hang
      execv(binary.c_str(), cargs.data());
      _exit(127);
    }
    return true;
  }

  // Reads the terminal until `text` has appeared (true) or the time is up or the program has
  // closed the terminal (false).
  bool WaitFor(const std::string& text, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  void Type(const std::string& keys) {
    const ssize_t n = write(master_, keys.data(), keys.size());
    (void)n;
  }
  void Signal(int signal) { kill(pid_, signal); }

  // Reads until the program closes the terminal, then returns its exit status (128 + signal
  // number when a signal ended it, -1 when it had to be killed).
  int Finish(std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    if (Clock::now() >= deadline) kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return Clock::now() >= deadline ? -1 : 128 + WTERMSIG(status);
    return -1;
  }

  const std::string& Output() const { return output_; }

 private:
  bool ReadSome(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[65536];
    const ssize_t n = read(master_, buffer, sizeof(buffer));
    if (n <= 0) return false;  // EIO once the program has ended
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
};

// A long test-pattern movie with a tone, made once for the whole suite.
class ConsoleEndToEnd : public ::testing::Test {
 protected:
  static constexpr int kLongFrames = 1000;

  static void SetUpTestSuite() {
    dir_ = new std::string(ScratchDir("console_e2e"));
    ok_ = Ffmpeg(
              "-f lavfi -i testsrc2=size=320x240:rate=25:duration=40 -f lavfi -i "
              "sine=frequency=440:sample_rate=22050:duration=40 -c:v mpeg4 -q:v 5 -c:a "
              "pcm_s16le -ac 1 " +
              ShellQuote(*dir_ + "/long.avi")) &&
          Ffmpeg("-f lavfi -i testsrc2=size=160x120:rate=15:duration=2 -c:v mpeg4 -q:v 5 " +
                 ShellQuote(*dir_ + "/short.avi"));
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "could not make the test movies"; }

  static const std::string& Dir() { return *dir_; }

  // Checks that the movie is complete and that FFmpeg decodes every frame in it; returns the
  // number of frames.
  static int CheckCompleteMovie(const std::string& path) {
    MveFile file;
    std::string error;
    EXPECT_TRUE(ReadMveFile(path, &file, &error)) << error;
    if (file.Chunks.size() < 2) return -1;
    EXPECT_EQ(file.Chunks[file.Chunks.size() - 2].Type, 4) << "no shutdown chunk";
    EXPECT_EQ(file.Chunks.back().Type, 5) << "no end chunk";
    int frameChunks = 0;
    for (const MveChunk& chunk : file.Chunks) frameChunks += chunk.Type == 3;
    DecodedMovie movie;
    EXPECT_TRUE(DecodeMovie(file, &movie, &error)) << error;
    EXPECT_EQ(static_cast<int>(movie.Frames.size()), frameChunks);

    const CommandResult ffmpeg = RunCommand("ffmpeg -v error -i " + ShellQuote(path) +
                                            " -map 0:v:0 -f framecrc - -map 0:a:0? -f null -");
    EXPECT_EQ(ffmpeg.status, 0);
    EXPECT_EQ(ffmpeg.err, "") << "FFmpeg reported errors";
    int decodedFrames = 0;
    for (size_t at = 0; at < ffmpeg.out.size();) {
      const size_t end = ffmpeg.out.find('\n', at);
      const std::string line = ffmpeg.out.substr(at, end - at);
      if (!line.empty() && line[0] != '#') ++decodedFrames;
      at = end == std::string::npos ? ffmpeg.out.size() : end + 1;
    }
    EXPECT_EQ(decodedFrames, frameChunks) << "FFmpeg did not decode every frame";
    return frameChunks;
  }

 private:
  static std::string* dir_;
  static bool ok_;
};
std::string* ConsoleEndToEnd::dir_ = nullptr;
bool ConsoleEndToEnd::ok_ = false;

// The numbers of a progress line: the tokens made of digits only.
std::vector<int> ProgressNumbers(const std::string& text) {
  std::vector<int> numbers;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find_first_of(" \r\n", at);
    const std::string token = text.substr(at, end == std::string::npos ? end : end - at);
    if (!token.empty() && token.size() < 9 &&
        token.find_first_not_of("0123456789") == std::string::npos)
      numbers.push_back(std::stoi(token));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return numbers;
}

// A break during pass 2 ends the frame loop after the frame in progress; the movie is still
// completed, the report printed, the "-wait" prompt skipped, and the status is 130. Termination
// and a hang-up of the terminal are breaks too.
TEST_F(ConsoleEndToEnd, BreakDuringPassTwoCompletesTheMovie) {
  struct Case {
    const char* name;
    int signal;  // 0: Ctrl-C typed on the terminal
  };
  for (const Case& c : {Case{"ctrl-c", 0}, Case{"sigterm", SIGTERM}, Case{"sighup", SIGHUP}}) {
    SCOPED_TRACE(c.name);
    const std::string out = std::string("pass2-") + c.name + ".mve";
    PtyProcess run;
    ASSERT_TRUE(run.Start(Dir(), {"long.avi", out, "-wait"}));
    ASSERT_TRUE(run.WaitFor("Pass 2. Making MVE.", std::chrono::seconds(60))) << run.Output();
    ASSERT_TRUE(run.WaitFor("25 ", std::chrono::seconds(60))) << run.Output();
    if (c.signal == 0) {
      run.Type("\x03");
    } else {
      run.Signal(c.signal);
    }
    EXPECT_EQ(run.Finish(std::chrono::seconds(60)), 130) << run.Output();

    const std::string& text = run.Output();
    const size_t brk = text.find("Break signalled. Terminating.");
    ASSERT_NE(brk, std::string::npos) << text;
    const std::string after = text.substr(brk);
    EXPECT_NE(after.find("Done."), std::string::npos);
    EXPECT_NE(after.find("MVE file size: "), std::string::npos) << "no report";
    EXPECT_NE(after.find("Pass 2 time: "), std::string::npos) << "no report";
    EXPECT_EQ(text.find("Press Enter"), std::string::npos) << "the -wait prompt was shown";
    // The loop leaves after the frame in progress when the break arrives. A loaded machine may
    // deliver the break any number of frames after it was sent, so the check is against what the
    // program showed: the last progress number before the break message, and at most one after
    // it (the frame in progress may print its own).
    const size_t line = text.find('\n', text.find("bytes per second", text.find("Pass 2.")));
    ASSERT_LT(line, brk) << text;
    std::vector<int> before = ProgressNumbers(text.substr(line + 1, brk - line - 1));
    std::vector<int> since = ProgressNumbers(after.substr(0, after.find("Done.")));
    ASSERT_FALSE(before.empty()) << text;
    EXPECT_LE(since.size(), 1u) << after;

    const int frames = CheckCompleteMovie(Dir() + "/" + out);
    EXPECT_GE(frames, before.back());
    EXPECT_LT(frames, before.back() + 25);
    if (!since.empty()) {
      EXPECT_EQ(since[0], frames);
    }
    EXPECT_LT(frames, 1000) << "the movie was not cut short";
  }
}

// A break during pass 1 lets pass 1 finish; pass 2 then writes exactly one frame.
TEST_F(ConsoleEndToEnd, BreakDuringPassOneGivesAMovieOfOneFrame) {
  PtyProcess run;
  ASSERT_TRUE(run.Start(Dir(), {"long.avi", "pass1.mve", "-wait"}));
  ASSERT_TRUE(run.WaitFor("Pass 1. Color reduction.", std::chrono::seconds(60))) << run.Output();
  run.Type("\x03");
  EXPECT_EQ(run.Finish(std::chrono::seconds(60)), 130) << run.Output();
  const std::string& text = run.Output();
  const size_t brk = text.find("Break signalled. Terminating.");
  ASSERT_NE(brk, std::string::npos) << text;
  EXPECT_LT(brk, text.find("Pass 2. Making MVE.")) << "the break did not come during pass 1";
  EXPECT_NE(text.find("Palette saved to"), std::string::npos) << "pass 1 did not finish";
  EXPECT_NE(text.find("MVE file size: "), std::string::npos);
  EXPECT_EQ(text.find("Press Enter"), std::string::npos);
  EXPECT_EQ(CheckCompleteMovie(Dir() + "/pass1.mve"), 1);
  // The sound that runs ahead of the pictures is a loop of chunks too: it stops at the break.
  MveFile file;
  std::string error;
  ASSERT_TRUE(ReadMveFile(Dir() + "/pass1.mve", &file, &error)) << error;
  for (const MveChunk& chunk : file.Chunks) EXPECT_NE(chunk.Type, 1) << "a chunk of sound ahead";
}

// "-play" draws the pictures when the output is a terminal...
TEST_F(ConsoleEndToEnd, PlayDrawsInATerminal) {
  PtyProcess run;
  ASSERT_TRUE(run.Start(Dir(), {"short.avi", "play.mve", "-play"}));
  EXPECT_EQ(run.Finish(std::chrono::seconds(60)), 0) << run.Output();
  const std::string& text = run.Output();
  EXPECT_NE(text.find("\x1b"
                      "7\x1b[1;1H"),
            std::string::npos)
      << "no drawing at the top left";
  EXPECT_NE(text.find("\x1b[38;2;"), std::string::npos);
  EXPECT_NE(text.find("\x1b[48;2;"), std::string::npos);
  EXPECT_NE(text.find("\xE2\x96\x80"), std::string::npos);
  EXPECT_NE(text.find("\x1b"
                      "8"),
            std::string::npos);
  EXPECT_NE(text.find("MVE file size: "), std::string::npos);
  CheckCompleteMovie(Dir() + "/play.mve");
}

// ...and adds nothing to standard output when it is a file.
TEST_F(ConsoleEndToEnd, PlayWithoutATerminalChangesNothing) {
  auto run = [&](const std::string& options) {
    return RunCommand("cd " + ShellQuote(Dir()) + " && " + ShellQuote(KorvaneBinary()) +
                      " short.avi quiet.mve " + options +
                      " > quiet.txt 2>/dev/null; echo $?; "
                      "grep -v '^Pass 2 time: ' quiet.txt");
  };
  const CommandResult plain = run("");
  const CommandResult played = run("-play");
  EXPECT_EQ(plain.out.substr(0, 2), "0\n");
  EXPECT_EQ(played.out, plain.out);
  EXPECT_EQ(played.out.find('\x1b'), std::string::npos);
}

// "-wait" with a closed standard input ends normally after its prompt.
TEST_F(ConsoleEndToEnd, WaitWithClosedInputEndsNormally) {
  for (const char* input : {"< /dev/null", "<&-"}) {
    SCOPED_TRACE(input);
    const CommandResult r =
        RunCommand("cd " + ShellQuote(Dir()) + " && " + ShellQuote(KorvaneBinary()) +
                   " short.avi wait.mve -wait " + input + " 2>/dev/null");
    EXPECT_EQ(r.status, 0);
    const std::string prompt = "Press Enter to close the window... ";
    ASSERT_GE(r.out.size(), prompt.size());
    EXPECT_EQ(r.out.substr(r.out.size() - prompt.size()), prompt);
  }
}

// In a terminal, "-wait" waits for Enter.
TEST_F(ConsoleEndToEnd, WaitInATerminalEndsOnEnter) {
  PtyProcess run;
  ASSERT_TRUE(run.Start(Dir(), {"short.avi", "enter.mve", "-wait"}));
  ASSERT_TRUE(run.WaitFor("Press Enter to close the window... ", std::chrono::seconds(60)))
      << run.Output();
  run.Type("\n");
  EXPECT_EQ(run.Finish(std::chrono::seconds(30)), 0) << run.Output();
}

}  // namespace
}  // namespace korvane::test
