// mveinfo FILE.mve: prints what an Interplay MVE movie holds and every structural fault found,
// and exports what a game shows of it: its frames, its sound and a contact sheet.
// Exit status: 0 for a sound file, 1 when faults were found (what could be read is still
// printed and exported), 2 for a usage error, a file that cannot be read or is not an MVE
// file, or an export that cannot be written.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "input/library_versions.h"
#include "mveinfo/mve_examiner.h"
#include "mveinfo/mve_export.h"
#include "mveinfo/mve_reader.h"

namespace {

constexpr char kUsage[] =
    "Usage: mveinfo FILE.mve\n"
    "       mveinfo [--frames DIR] [--wav FILE] [--sheet FILE.png [--source MOVIE]] FILE.mve\n"
    "Prints the video size and mode, frames and frame rate, palette changes, sound format\n"
    "and length, data rate, block opcode counts and every structural fault of an MVE movie.\n"
    "Exports what a game shows of it:\n"
    "  --frames DIR      every shown frame as DIR/frame_000001.png, ...\n"
    "  --wav FILE        the soundtrack as a 16-bit WAV file\n"
    "  --sheet FILE.png  a contact sheet: evenly spaced frames and the bytes of every second\n"
    "  --source MOVIE    with --sheet: the PSNR of every second against the source movie\n"
    "  --help, --version\n"
    "Exit status: 0 sound file, 1 faults found, 2 usage error, unreadable or non-MVE file,\n"
    "or an export that cannot be written.\n";

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    printf("mveinfo %s\n%s", KORVANE_VERSION, korvane::FfmpegLibraryVersions().c_str());
    return 0;
  }
  korvane::MveExportOptions exports;
  std::string path;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* value = a == "--frames"   ? &exports.FramesDir
                         : a == "--wav"    ? &exports.WavFile
                         : a == "--sheet"  ? &exports.SheetFile
                         : a == "--source" ? &exports.SourceMovie
                                           : nullptr;
    if (value) {
      if (i + 1 == args.size() || args[i + 1].empty()) return Usage();
      *value = args[++i];
    } else if (a.empty() || (a.size() > 1 && a[0] == '-') || !path.empty()) {
      return Usage();
    } else {
      path = a;
    }
  }
  if (path.empty() || (!exports.SourceMovie.empty() && exports.SheetFile.empty())) return Usage();

  std::string error;
  std::unique_ptr<korvane::MveReader> reader = korvane::MveReader::Open(path, &error);
  if (!reader) {
    fprintf(stderr, "mveinfo: %s\n", error.c_str());
    return 2;
  }
  korvane::MveExaminer examiner;
  const korvane::MveInfo info = examiner.Inspect(*reader);
  if (reader->Failed()) {
    fprintf(stderr, "mveinfo: %s\n", reader->ReadError().c_str());
    return 2;
  }
  reader.reset();

  const bool exporting =
      !exports.FramesDir.empty() || !exports.WavFile.empty() || !exports.SheetFile.empty();
  korvane::MveExportResult exported;
  bool exportFailed = false;
  if (exporting && info.HeaderValid) {
    // The exports read the movie a second time: a pipe would give them nothing.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      error = "`" + path + "' is not a regular file: the exports read the movie twice";
      exportFailed = true;
    } else {
      exportFailed = !korvane::ExportMve(path, info, exports, &exported, &error);
    }
  }

  fputs(korvane::FormatMveInfo(info, path).c_str(), stdout);
  if (exporting && info.HeaderValid)
    fputs(korvane::FormatMveExport(exports, exported).c_str(), stdout);
  if (fflush(stdout) != 0) {
    perror("mveinfo: standard output");
    return 2;
  }
  if (exportFailed) {
    fprintf(stderr, "mveinfo: %s\n", error.c_str());
    return 2;
  }
  if (!info.HeaderValid) return 2;
  return info.Sound() ? 0 : 1;
}
