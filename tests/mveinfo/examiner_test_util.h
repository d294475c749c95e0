// Helpers shared by the inspector's tests: examining bytes and listing the faults found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mveinfo/mve_examiner.h"

namespace korvane::test {

inline MveInfo Inspect(const std::vector<uint8_t>& bytes) {
  return MveExaminer().Inspect(bytes.data(), bytes.size());
}

// One line per fault: "OFFSET: TEXT".
inline std::string Faults(const MveInfo& info) {
  std::string out;
  for (const MveFault& f : info.Faults) out += std::to_string(f.Offset) + ": " + f.Text + "\n";
  return out;
}

}  // namespace korvane::test
