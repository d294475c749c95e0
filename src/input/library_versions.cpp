#include "input/library_versions.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace korvane {

std::string FfmpegLibraryVersions() {
  struct Library {
    const char* name;
    unsigned version;
  };
  const Library libraries[] = {{"libavformat", avformat_version()},
                               {"libavcodec", avcodec_version()},
                               {"libavutil", avutil_version()},
                               {"libswscale", swscale_version()},
                               {"libswresample", swresample_version()}};
  std::string out;
  for (const Library& l : libraries)
    out += std::string(l.name) + " " + std::to_string(AV_VERSION_MAJOR(l.version)) + "." +
           std::to_string(AV_VERSION_MINOR(l.version)) + "." +
           std::to_string(AV_VERSION_MICRO(l.version)) + "\n";
  return out;
}

}  // namespace korvane
