// Media for the movie-input tests, made with the ffmpeg tool in a directory of the running test.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "input/movie_source.h"

namespace korvane::test {

// A fresh directory for the running test.
std::string TestDir();

// Runs ffmpeg with `args` and the output `file` (inside TestDir()); returns the full path.
std::string MakeMedia(const std::string& file, const std::string& args);

// The frames of `path` decoded by the ffmpeg tool to top-down B, G, R rows.
std::vector<uint8_t> DecodeWithTool(const std::string& path, const std::string& extraArgs = "");

// The bytes of the data chunk of a WAVE file.
std::vector<uint8_t> WaveData(const std::string& path);

// A MovieSource with its messages captured.
struct OpenedMovie {
  std::ostringstream out;
  MovieSource source{out};
  bool ok = false;
  bool Open(const std::string& movie, const std::string& audio = "",
            const MovieSourceOptions& options = {}) {
    ok = source.OpenAvi(movie, audio.empty() ? movie : audio, options);
    return ok;
  }
  std::string Text() const { return out.str(); }
};

// Reads the soundtrack to its end in pieces of `piece` bytes (at most `limit` bytes).
std::vector<uint8_t> ReadAllAudio(MovieSource& source, int32_t piece, size_t limit = 1 << 26);

}  // namespace korvane::test
