// Copies by the one-byte near-copy table: a block of the frame two back to the right of or
// below the block (opcode 2), or a block of the frame being drawn to its left or above it
// (opcode 3), wherever such a source holds exactly the wanted pixels.
#pragma once

#include <cstdint>

#include "video/modes.h"

namespace korvane {

// Looks through the table, in the order of its bytes, for a source block of `source` (a frame
// of `width` x `height` pixels) equal to the 64 pixels `want` (rows `wantStride` bytes apart),
// for the block whose top-left pixel is at `offset`. Only sources wholly inside the frame count.
// `withinFrame`: the source is the frame being drawn, so the table's displacements point left
// and up (opcode 3), else right and down (opcode 2). On success fills the record's
// SourceOffset, Vector and Kind and returns true.
bool FindIdenticalCopy(const uint8_t* want, int wantStride, const uint8_t* source, int width,
                       int height, int32_t offset, bool withinFrame, FrameCopyMode& record);

}  // namespace korvane
