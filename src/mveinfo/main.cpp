// mveinfo FILE.mve: prints what an Interplay MVE movie holds and every structural fault found.
// Exit status: 0 for a sound file, 1 when faults were found (what could be read is still
// printed), 2 for a usage error or a file that cannot be read.
#include <cstdio>
#include <string>
#include <vector>

#include "mveinfo/mve_examiner.h"

namespace {

constexpr char kUsage[] =
    "Usage: mveinfo FILE.mve\n"
    "Prints the video size and mode, frames and frame rate, palette changes, sound format\n"
    "and length, data rate, block opcode counts and every structural fault of an MVE movie.\n"
    "Exit status: 0 sound file, 1 faults found, 2 usage error or unreadable file.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '\0') {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string path = argv[1];
  std::vector<uint8_t> bytes;
  std::string error;
  if (!korvane::ReadMveFileBytes(path, &bytes, &error)) {
    fprintf(stderr, "mveinfo: %s\n", error.c_str());
    return 2;
  }
  korvane::MveExaminer inspector;
  korvane::MveInfo info = inspector.Inspect(bytes.data(), bytes.size());
  fputs(korvane::FormatMveInfo(info, path).c_str(), stdout);
  if (fflush(stdout) != 0) {
    perror("mveinfo: standard output");
    return 2;
  }
  return info.Sound() ? 0 : 1;
}
