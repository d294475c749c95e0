// The media library's own log: its notes about damaged input and its warnings would land on the
// terminal between the program's messages, so the program turns them off once at start.
#pragma once

namespace korvane {

// No line of the media library's log is printed from now on, on any thread.
void SilenceMediaLibraryLog();

}  // namespace korvane
