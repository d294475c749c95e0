// The choice of kernels for this processor.
#include <array>

#include "video/dsp/dsp.h"

namespace korvane::dsp {

namespace {

struct Choice {
  std::array<const Kernels*, 2> available{};
  size_t count = 0;
};

Choice Detect() {
  Choice c;
  c.available[c.count++] = &PlainKernels();
#if defined(__SSE2__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse2")) c.available[c.count++] = &Sse2Kernels();
#endif
  return c;
}

// Filled once, on first use (thread-safe), and read-only afterwards.
const Choice& TheChoice() {
  static const Choice choice = Detect();
  return choice;
}

}  // namespace

const Kernels& Selected() {
  static const Kernels& selected = *TheChoice().available[TheChoice().count - 1];
  return selected;
}

std::span<const Kernels* const> Available() {
  const Choice& c = TheChoice();
  return {c.available.data(), c.count};
}

}  // namespace korvane::dsp
