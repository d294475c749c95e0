// libFuzzer target: any bytes given to the MVE inspector and its report must never crash, hang
// or allocate without bound.
#include <cstddef>
#include <cstdint>

#include "mveinfo/mve_examiner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvane::MveExaminer inspector;
  korvane::MveInfo info = inspector.Inspect(data, size);
  std::string report = korvane::FormatMveInfo(info, "fuzz.mve");
  if (report.empty()) __builtin_trap();
  return 0;
}
