// libFuzzer target: any bytes given to the MVE inspector, its report and its player must never
// crash, hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "mveinfo/mve_examiner.h"
#include "mveinfo/mve_player.h"
#include "mveinfo/mve_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::MveExaminer inspector;
  korvane::MveInfo info = inspector.Inspect(data, size);
  std::string report = korvane::FormatMveInfo(info, "fuzz.mve");
  if (report.empty()) __builtin_trap();

  // Played as mveinfo's exports play it, every opcode of every chunk.
  std::unique_ptr<korvane::MveReader> reader = korvane::MveReader::FromMemory(data, size);
  uint8_t header[korvane::kMveHeaderSize];
  reader->ReadHeader(header);
  korvane::MvePlayer player;
  korvane::MveChunkView chunk;
  volatile uint64_t checksum = 0;
  while (reader->NextChunk(&chunk) && chunk.HeaderBytes == 4)
    korvane::ForEachMveOpcode(
        chunk.Payload, chunk.Available,
        [&](uint8_t kind, uint8_t version, const uint8_t* d, size_t n) {
          if (player.Play(kind, version, d, n) == korvane::MvePlayer::Event::kFrameShown)
            checksum = checksum + player.Picture()[player.Picture().size() / 2];
        });
  return 0;
}
