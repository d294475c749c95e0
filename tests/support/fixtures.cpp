#include "support/fixtures.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace korvane::test {

namespace fs = std::filesystem;

// Directories made by this process, removed when it ends.
static std::vector<fs::path>& MadeDirs() {
  static std::vector<fs::path> dirs;
  return dirs;
}

static void RemoveMadeDirs() {
  std::error_code ec;
  for (const fs::path& dir : MadeDirs()) fs::remove_all(dir, ec);
}

std::string ScratchDir(const std::string& name) {
  // Test programs run in parallel, one process per test: each process gets its own directories.
  fs::path dir = fs::path(KORVANE_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  if (MadeDirs().empty()) std::atexit(RemoveMadeDirs);
  MadeDirs().push_back(dir);
  return dir.string();
}

std::string ShellQuote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

static std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CommandResult RunCommand(const std::string& commandLine) {
  static int counter = 0;
  fs::path dir = fs::path(KORVANE_TEST_TMP) / "cmd";
  fs::create_directories(dir);
  std::string stem = std::to_string(::getpid()) + "-" + std::to_string(counter++);
  fs::path outFile = dir / (stem + ".out");
  fs::path errFile = dir / (stem + ".err");
  std::string full = "( " + commandLine + " ) </dev/null >" + ShellQuote(outFile.string()) + " 2>" +
                     ShellQuote(errFile.string());
  int raw = std::system(full.c_str());
  CommandResult result;
  if (raw != -1 && WIFEXITED(raw))
    result.status = WEXITSTATUS(raw);
  else if (raw != -1 && WIFSIGNALED(raw))
    result.status = 128 + WTERMSIG(raw);
  result.out = Slurp(outFile);
  result.err = Slurp(errFile);
  std::error_code ec;
  fs::remove(outFile, ec);
  fs::remove(errFile, ec);
  return result;
}

bool Ffmpeg(const std::string& args) {
  return RunCommand("ffmpeg -nostdin -v error -y " + args).status == 0;
}

std::string KorvaneBinary() {
  return KORVANE_BINARY;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  return fs::exists(path);
}

}  // namespace korvane::test
