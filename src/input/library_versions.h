// The versions of the FFmpeg libraries the program runs on, for --version.
#pragma once

#include <string>

namespace korvane {

// "libavformat 59.27.100" and its companions, one line each.
std::string FfmpegLibraryVersions();

}  // namespace korvane
