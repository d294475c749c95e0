// Test helpers: scratch directories, running commands, and making media with the ffmpeg tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::test {

// A fresh, empty directory for this test process (under the build tree), removed at its exit.
std::string ScratchDir(const std::string& name);

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs a shell command line; standard input is /dev/null.
CommandResult RunCommand(const std::string& commandLine);

// Quotes one argument for the shell.
std::string ShellQuote(const std::string& arg);

// Runs `ffmpeg -v error -y <args>`; true on success.
bool Ffmpeg(const std::string& args);

// Path of the korvane program under test.
std::string KorvaneBinary();

// Reads a whole file; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace korvane::test
