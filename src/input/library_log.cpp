#include "input/library_log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace korvane {

void SilenceMediaLibraryLog() {
  av_log_set_level(AV_LOG_QUIET);
}

}  // namespace korvane
