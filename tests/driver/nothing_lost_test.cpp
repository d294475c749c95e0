// Runs that could lose data or report a plainly wrong result: outputs named after inputs, movies
// with nothing to convert, limits of nothing, impossible size limits, error stops part-way,
// palette files in their longer ACT form, and a reader of standard output that goes away.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

// Runs korvane in `dir` with the given arguments (already quoted where needed).
CommandResult Korvane(const std::string& dir, const std::string& args) {
  return RunCommand("cd " + ShellQuote(dir) + " && " + ShellQuote(KorvaneBinary()) + " " + args);
}

// Every file under `dir` (links as their targets' names) with its bytes.
std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).string();
    if (entry.is_symlink())
      files[name] = {};
    else if (entry.is_regular_file())
      files[name] = ReadFileBytes(entry.path().string());
  }
  return files;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A second of a small test pattern with a tone, and a palette for it, made once per suite.
class NothingLost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(ScratchDir("nothing-lost"));
    ok_ = Ffmpeg(
              "-f lavfi -i testsrc=size=32x16:rate=15:duration=1 -f lavfi -i "
              "sine=sample_rate=22050:duration=1 -c:v ffv1 -c:a pcm_s16le -ac 1 " +
              ShellQuote(*dir_ + "/movie.avi")) &&
          Korvane(*dir_, "movie.avi -len 2 -ns").status == 0 && FileExists(*dir_ + "/movie.pal") &&
          fs::remove(*dir_ + "/movie.mve");
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override { ASSERT_TRUE(ok_) << "could not make the test movie"; }

  static std::string Movie() { return *dir_ + "/movie.avi"; }
  static std::string Palette() { return *dir_ + "/movie.pal"; }

 private:
  static std::string* dir_;
  static bool ok_;
};
std::string* NothingLost::dir_ = nullptr;
bool NothingLost::ok_ = false;

// An output that is one of the run's inputs, or the other output, stops the run before anything
// is written: by name, through "..", a symbolic link or a hard link, in a test run too.
TEST_F(NothingLost, AnOutputNeverDestroysAnInput) {
  struct Case {
    const char* name;
    std::vector<std::string> setup;  // shell commands run in the case's folder first
    std::string args;
    std::string error;  // the whole error line
  };
  const Case cases[] = {
      {"output named as the movie",
       {"cp movie.avi a.avi"},
       "a.avi a.avi",
       "Error: The output movie `a.avi' would overwrite the input movie `a.avi'"},
      {"derived name is the movie itself",
       {"cp movie.avi game.mve"},
       "game.mve",
       "Error: The output movie `game.mve' would overwrite the input movie `game.mve'"},
      {"output named as the palette given",
       {"cp movie.pal keep.pal"},
       "movie.avi keep.pal -p keep.pal",
       "Error: The output movie `keep.pal' would overwrite the input palette `keep.pal'"},
      {"palette saved over the output movie",
       {},
       "movie.avi out.pal",
       "Error: The output movie `out.pal' and the palette file `out.pal' are the same file"},
      {"ACT palette saved over the output movie",
       {},
       "movie.avi out.act -act",
       "Error: The output movie `out.act' and the palette file `out.act' are the same file"},
      {"palette saved over the movie",
       {"cp movie.avi clip.pal"},
       "clip.pal",
       "Error: The palette file `clip.pal' would overwrite the input movie `clip.pal'"},
      {"output named as the sound file",
       {"ffmpeg -v error -f lavfi -i sine=duration=1 tone.wav"},
       "movie.avi tone.wav -w tone.wav",
       "Error: The output movie `tone.wav' would overwrite the sound file `tone.wav'"},
      {"the movie by another path",
       {"mkdir sub"},
       "movie.avi sub/../movie.avi",
       "Error: The output movie `sub/../movie.avi' would overwrite the input movie `movie.avi'"},
      {"a symbolic link to the movie",
       {"ln -s movie.avi alias.mve"},
       "movie.avi alias.mve",
       "Error: The output movie `alias.mve' would overwrite the input movie `movie.avi'"},
      {"a hard link to the movie",
       {"ln movie.avi twin.mve"},
       "movie.avi twin.mve",
       "Error: The output movie `twin.mve' would overwrite the input movie `movie.avi'"},
      {"a test run",
       {},
       "movie.avi movie.avi -test",
       "Error: The output movie `movie.avi' would overwrite the input movie `movie.avi'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = ScratchDir(std::string("clash-") + c.name);
    fs::copy_file(Movie(), dir + "/movie.avi");
    fs::copy_file(Palette(), dir + "/movie.pal");
    for (const std::string& command : c.setup)
      ASSERT_EQ(RunCommand("cd " + ShellQuote(dir) + " && " + command).status, 0) << command;
    const auto before = Snapshot(dir);
    const CommandResult r = Korvane(dir, c.args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("\n" + c.error + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Input video stream info"), std::string::npos) << "the movie was opened";
    EXPECT_TRUE(Snapshot(dir) == before) << "a file was changed";
  }

  // A movie of the same name in another folder is converted into the current one.
  const std::string dir = ScratchDir("clash-none");
  fs::create_directory(dir + "/clips");
  fs::copy_file(Movie(), dir + "/clips/game.mve");
  const CommandResult r = Korvane(dir, "clips/game.mve -len 2");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(FileExists(dir + "/game.mve"));
  EXPECT_TRUE(ReadFileBytes(dir + "/clips/game.mve") == ReadFileBytes(Movie()));
}

// Runs with nothing to do, or with limits that cannot work: a clear message and no output file.
TEST_F(NothingLost, EmptyAndImpossibleRuns) {
  const std::string dir = ScratchDir("impossible");
  fs::copy_file(Movie(), dir + "/movie.avi");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=32x16:rate=15:duration=1 -frames:v 0 -c:v ffv1 " +
                     ShellQuote(dir + "/empty.avi")));
  fs::create_directory(dir + "/colours.pal");

  struct Case {
    const char* args;
    int status;
    const char* line;  // a whole line of standard output; empty: the usage text on standard error
  };
  const Case cases[] = {
      {"empty.avi", 1, "Error: The movie has no frames: `empty.avi'"},
      {"empty.avi -test", 1, "Error: The movie has no frames: `empty.avi'"},
      {"movie.avi -p colours.pal", 1, "Error: Input palette doesn't exist: `colours.pal'"},
      {"movie.avi -rate 0", 2, ""},
      {"movie.avi -rate -300", 2, ""},
      {"movie.avi -rate 0.0001", 2, ""},
      {"movie.avi -size 0", 2, ""},
      {"movie.avi -lf -1", 2, ""},
  };
  const auto before = Snapshot(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const CommandResult r = Korvane(dir, c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    if (*c.line) {
      EXPECT_NE(r.out.find(std::string("\n") + c.line + "\n"), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.out, "KORVANE beta (2004/09/19)\n");
      EXPECT_NE(r.err.find("Usage:\tkorvane.exe movie.avi"), std::string::npos) << r.err;
    }
  }
  EXPECT_TRUE(Snapshot(dir) == before) << "a file was left behind";
}

// A size limit below what the frames' fixed parts and the sound need: the movie is made as small
// as it can be, and a warning says by how much it is over.
TEST_F(NothingLost, UnreachableSizeLimitIsReported) {
  const std::string dir = ScratchDir("size-limit");
  // 0.001 megabytes: 1049 bytes, less than the sound alone.
  const CommandResult over = Korvane(dir, ShellQuote(Movie()) + " small.mve -size 0.001");
  ASSERT_EQ(over.status, 0) << over.out;
  const int64_t size = int64_t(ReadFileBytes(dir + "/small.mve").size());
  ASSERT_GT(size, 1049);
  EXPECT_NE(over.out.find("\nWarning: The MVE file is " + std::to_string(size - 1049) +
                          " bytes larger than the size limit of 1049 bytes.\n"),
            std::string::npos)
      << over.out;
  // A limit the movie meets, and the old method (which has no limit), say nothing.
  for (const char* options : {"-size 1", "-size 0.001 -old"}) {
    const CommandResult r = Korvane(dir, ShellQuote(Movie()) + " fits.mve " + options);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << options << "\n" << r.out;
  }
}

// A header claiming an absurd frame rate stops before the output is created, instead of sizing
// the budget and the sound lead by it.
TEST_F(NothingLost, AbsurdFrameRateStopsBeforeTheOutput) {
  const std::string dir = ScratchDir("absurd-rate");
  std::vector<uint8_t> bytes = ReadFileBytes(Movie());
  const std::string avi(bytes.begin(), bytes.end());
  // The video stream header's scale and rate (offsets 20 and 24 of its payload): 2147483647 / 1.
  const size_t strh = avi.find("strh");
  ASSERT_NE(strh, std::string::npos);
  ASSERT_EQ(avi.substr(strh + 8, 4), "vids");
  const uint8_t patch[8] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F};
  std::copy(patch, patch + 8, bytes.begin() + strh + 8 + 20);
  WriteFile(dir + "/fast.avi", std::string(bytes.begin(), bytes.end()));

  const CommandResult r = Korvane(dir, "fast.avi");
  EXPECT_EQ(r.status, 1) << r.out;
  const size_t error = r.out.find("\nError: ");
  ASSERT_NE(error, std::string::npos) << r.out;
  const std::string line = r.out.substr(error + 1, r.out.find('\n', error + 1) - error - 1);
  EXPECT_NE(line.find("2147483647"), std::string::npos) << line;
  EXPECT_NE(line.find("-fps"), std::string::npos) << line;
  EXPECT_FALSE(FileExists(dir + "/fast.mve"));
  EXPECT_FALSE(FileExists(dir + "/fast.pal"));
}

// A run that stops with an error part-way through pass 2 keeps the header and every chunk written
// before the stop. A first frame before the movie's start cannot be decoded: the stop comes after
// the set-up chunks and the second of sound that runs ahead.
TEST_F(NothingLost, ErrorStopKeepsWhatWasWritten) {
  const std::string dir = ScratchDir("error-stop");
  const CommandResult r =
      Korvane(dir, ShellQuote(Movie()) + " cut.mve -p " + ShellQuote(Palette()) + " -start -2");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("\nError: "), std::string::npos) << r.out;
  const std::vector<uint8_t> bytes = ReadFileBytes(dir + "/cut.mve");
  // The chunks one after another up to the end of the file: video set-up, sound set-up, and 14
  // chunks of sound ahead of the pictures.
  ASSERT_GE(bytes.size(), 26u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 18), "Interplay MVE File");
  std::vector<int> types;
  size_t at = 26;
  while (at + 4 <= bytes.size()) {
    types.push_back(bytes[at + 2]);
    at += 4 + (bytes[at] | bytes[at + 1] << 8);
  }
  EXPECT_EQ(at, bytes.size());
  std::vector<int> expected{2, 0};
  expected.insert(expected.end(), 14, 1);
  EXPECT_EQ(types, expected);
}

// The longer ACT form carries its colour count: a palette of 16 colours given with "-p" makes a
// movie that uses only those 16.
TEST_F(NothingLost, ActPaletteWithColourCount) {
  const std::string dir = ScratchDir("act-count");
  // 256 distinct colours ordered by brightness; the count says only the first 16 are meant.
  std::string act;
  for (int i = 0; i < 256; ++i) act += {char(i), char(i), char(255 - i / 2)};
  struct Case {
    std::string name;
    std::string tail;  // after the colours
    int colours;       // the palette's size
  };
  const Case cases[] = {
      {"counted.act", {'\0', '\x10', '\xFF', '\xFF'}, 16},
      {"plain.act", "", 256},
  };
  for (const auto& [name, tail, colours] : cases) {
    SCOPED_TRACE(name);
    WriteFile(dir + "/" + name, act + tail);
    const std::string out = name + ".mve";
    const CommandResult r =
        Korvane(dir, ShellQuote(Movie()) + " " + out + " -p " + name + " -act -ns -old");
    ASSERT_EQ(r.status, 0) << r.out;
    MveFile file;
    DecodedMovie movie;
    std::string error;
    ASSERT_TRUE(ReadMveFile(dir + "/" + out, &file, &error)) << error;
    ASSERT_TRUE(DecodeMovie(file, &movie, &error)) << error;
    int highest = 0;
    for (const auto& frame : movie.Frames)
      for (uint8_t index : frame) highest = std::max<int>(highest, index);
    EXPECT_LT(highest, colours);
    if (colours == 256) {
      EXPECT_GE(highest, 16) << "the test pattern should need more colours";
    }
  }
}

// A reader of standard output that goes away early neither stops the conversion nor spoils the
// movie.
TEST_F(NothingLost, ClosedStandardOutputDoesNotStopTheRun) {
  const std::string dir = ScratchDir("closed-output");
  const CommandResult r =
      RunCommand("cd " + ShellQuote(dir) + " && ( " + ShellQuote(KorvaneBinary()) + " " +
                 ShellQuote(Movie()) + " piped.mve; echo $? > status ) | head -1");
  EXPECT_EQ(r.out, "KORVANE beta (2004/09/19)\n");
  const std::vector<uint8_t> status = ReadFileBytes(dir + "/status");
  EXPECT_EQ(std::string(status.begin(), status.end()), "0\n");
  MveFile file;
  DecodedMovie movie;
  std::string error;
  ASSERT_TRUE(ReadMveFile(dir + "/piped.mve", &file, &error)) << error;
  ASSERT_GE(file.Chunks.size(), 2u);
  EXPECT_EQ(file.Chunks.back().Type, 5) << "no end chunk";
  ASSERT_TRUE(DecodeMovie(file, &movie, &error)) << error;
  EXPECT_EQ(movie.Frames.size(), 15u);
}

}  // namespace
}  // namespace korvane::test
