// The kernels that decide the encoder's speed, apart from the code that calls them. Every
// kernel has a plain C++ version that is always compiled and serves as the reference; faster
// versions for the processor's vector instructions sit beside it. One set is chosen when it is
// first asked for, from what the processor supports, and never changes afterwards. Every
// version of a kernel gives exactly the same results as the plain one.
#pragma once

#include <cstdint>
#include <span>

namespace korvane::dsp {

// Where the motion search found its best source.
struct MotionMatch {
  int32_t SourceOffset = 0;
  int8_t Dx = 0;
  int8_t Dy = 0;
};

struct Kernels {
  const char* Name;  // "plain", "sse2"

  // Sum of the squared differences of an 8x8 block of 3-byte pixels (8 rows of 24 bytes,
  // `stride` bytes apart in both): after every row, once the running sum has reached `bound`,
  // stops and returns the running sum.
  int32_t (*RowBoundedError)(const uint8_t* target, const uint8_t* reference, int stride,
                             int32_t bound);

  // The motion search over 3-byte pixels (`width` pixels a row): the 16 x 16 sources at
  // displacements dy = -8 ... 7 (outer), dx = -8 ... 7 (inner) around pixel offset `offset`
  // that start within 0 ... lastBlockOffset and do not cross the left or right edge. Returns
  // the smallest RowBoundedError below `bound` (the first source on equal errors) and fills
  // `match`; returns `bound` and leaves `match` alone when no source is better.
  int32_t (*MotionSearch)(int32_t bound, const uint8_t* targetBlock, const uint8_t* previousRGB,
                          int width, int32_t offset, int32_t lastBlockOffset, MotionMatch* match);

  // The copy search of 8x8 blocks of palette indices away from the left and right edges.
  // `block` is the block (rows `blockStride` apart); `window` is the pixel at displacement
  // (-8, 0) in the other frame (rows `windowStride` apart). Displacements dy = dyFirst ...
  // dyLast (within -8 ... 7) are tried, so rows dyFirst ... dyLast + 7 must be readable from
  // window to window + 22. Position dx = i - 8 is tried only when bit i of `columns` is set.
  // Returns the first displacement, dy outer and dx inner, at which the other frame holds the same
  // block, as (dy + 8) * 16 + (dx + 8), or -1.
  int (*FindCopyInterior)(const uint8_t* block, int blockStride, const uint8_t* window,
                          int windowStride, int dyFirst, int dyLast, uint32_t columns);

  // The positions 0 ... `positions` - 1 (at most 32) at which the 8 bytes from `window` + i are
  // those of `row`, as bit i of the result. `window` must be readable to `window` + 38.
  uint32_t (*FirstRowMatches)(const uint8_t* row, const uint8_t* window, int positions);

  // The reassignment step of refining a colour fit. Each of `units` units (a multiple of 4, at
  // most 64) has the sums t0, t1, t2 of its target components (each 0 to 32767) and tsq of
  // their squares; colour j of the k (1 to 4) is given as {2 r0, 2 r1, 2 r2, w |r|^2} (w the
  // unit's pixels, 2 r below 32768), so that drawing a unit in it costs
  // tsq - 2 r . t + w |r|^2. Sets group[i] to the colour of least cost (the first on equal
  // costs) and returns the sum of the least costs.
  int32_t (*NearestOfColors)(const int32_t* t0, const int32_t* t1, const int32_t* t2,
                             const int32_t* tsq, int units, const int32_t (*colors)[4], int k,
                             int32_t* group);
};

// The set chosen for this processor (the fastest it supports), chosen on the first call.
const Kernels& Selected();

// Every set compiled into the program that this processor can run, the plain one first.
std::span<const Kernels* const> Available();

// The versions of each instruction set; each is compiled only where its instructions exist.
const Kernels& PlainKernels();
#if defined(__SSE2__)
const Kernels& Sse2Kernels();
#endif

}  // namespace korvane::dsp
