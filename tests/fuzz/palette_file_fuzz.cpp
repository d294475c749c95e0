// libFuzzer target: any bytes given to the palette-file loader, in either format, must never
// crash, hang or allocate without bound; a palette that loads saves and loads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_file.h"
#include "palette/color_reducer.h"

namespace {

using korvane::ColorReducer;
using korvane::kPaletteBytes;
using korvane::PaletteLoadResult;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static korvane::fuzz::MemoryFile input, saved;
  static std::unique_ptr<ColorReducer> reducer = ColorReducer::Create(256);
  static std::unique_ptr<ColorReducer> again = ColorReducer::Create(256);
  if (!reducer || !again || !input.Fill(data, size)) return 0;

  for (int format : {korvane::kPaletteFormatPal, korvane::kPaletteFormatAct}) {
    std::string error;
    if (korvane::LoadPalette(*reducer, input.Path(), format, &error) != PaletteLoadResult::Loaded)
      continue;
    uint8_t loaded[kPaletteBytes];
    const int count = reducer->GetPalette(loaded);
    if (count < 1 || count > 256) __builtin_trap();

    // Round trip through a saved file of the same format.
    if (!saved.Fill(nullptr, 0) || !korvane::SavePalette(*reducer, saved.Path(), format, &error))
      __builtin_trap();
    if (korvane::LoadPalette(*again, saved.Path(), format, &error) != PaletteLoadResult::Loaded)
      __builtin_trap();
    uint8_t reloaded[kPaletteBytes];
    const int recount = again->GetPalette(reloaded);
    // An ACT file always holds 256 entries, black ones beyond the count.
    if (format == korvane::kPaletteFormatPal &&
        (recount != count || std::memcmp(loaded, reloaded, sizeof loaded) != 0))
      __builtin_trap();
  }
  return 0;
}
