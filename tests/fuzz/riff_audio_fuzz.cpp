// libFuzzer target: any bytes given to the reader of a RIFF file's soundtrack header must never
// crash, hang or allocate without bound, and what it reports must hold together.
#include <cstddef>
#include <cstdint>

#include "fuzz_file.h"
#include "input/riff_audio_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static korvane::fuzz::MemoryFile file;
  if (!file.Fill(data, size)) return 0;
  korvane::RiffAudioInfo info;
  if (!korvane::ReadRiffAudioInfo(file.Path(), info)) return 0;
  // A file that was read is a RIFF file: at least its 12-byte header.
  if (size < 12) __builtin_trap();
  return 0;
}
