// The fast motion search of the default method. Instead of trying every position of a window,
// a block tries a handful of seeds: no motion, the vectors its own place and its neighbours had
// in the previous frame, and the frame's overall pan, then refines the best of them in small
// steps. Vectors within -8 ... 7 are coded in one byte (opcode 4); vectors up to -128 ... 127
// in two (opcode 5), which follows a camera that moves faster than 8 pixels a frame.
//
// Each block's search reads only the previous frame's vectors and the shared read-only
// frames, and writes only its own entry of this frame's vectors, so blocks can be searched on
// several threads at once and the result never depends on the order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

struct MotionVector {
  int8_t Dx = 0, Dy = 0;
  bool operator==(const MotionVector&) const = default;
};

// The vectors of the frame being coded and of the one before, one per block (raster order).
class MotionField {
 public:
  // Sizes the field for a frame of blocksPerRow x blocksPerColumn blocks; every vector zero.
  void Setup(int blocksPerRow, int blocksPerColumn);
  // Start of a frame: this frame's vectors become the previous frame's, the new ones start
  // at zero, and the frame's pan is `pan`.
  void NextFrame(MotionVector pan);

  // The seeds of `block`: its own previous vector, its neighbours' (left, right, above, below,
  // then the diagonals) and the pan, repeats included; returns how many (at most kMaxSeeds).
  static constexpr int kMaxSeeds = 10;
  int Seeds(int block, MotionVector* seeds) const;

  // Only the worker that codes `block` may store its vector.
  void Store(int block, MotionVector v) { current_[static_cast<size_t>(block)] = v; }
  MotionVector Current(int block) const { return current_[static_cast<size_t>(block)]; }
  MotionVector Previous(int block) const { return previous_[static_cast<size_t>(block)]; }
  MotionVector Pan() const { return pan_; }

 private:
  int blocksPerRow_ = 0, blocksPerColumn_ = 0;
  std::vector<MotionVector> current_, previous_;
  MotionVector pan_;
};

// What the seeded search found for one block.
struct SeededMotion {
  int32_t NearError;  // best error within -8 ... 7 below the bound; kUnavailable: none
  MotionVector Near;
  int32_t FarError;  // best error beyond that range, below NearError and the bound
  MotionVector Far;
  MotionVector Best;  // the best source found (zero when nothing beat the plain copy)
};

struct SeededSearchSettings {
  int RefineSteps = 3;      // rounds of one-pixel refinement around the best source
  bool WideRefine = false;  // the refinement also tries the diagonal steps
  // The caller's near result is the best of the whole -8 ... 7 window: only sources beyond it
  // are measured.
  bool NearSearched = false;
};

// Searches block offset `offset` of a frame `width` pixels wide: target block in `target`
// (3-byte pixels, rows 3 x width apart), sources in `previousRGB` (the previous reconstruction
// as 3-byte pixels). `bound` is the error of the plain copy; `near` (error and vector) a result
// the caller already has for the -8 ... 7 window (kUnavailable when none), which the search
// only improves on. Sources start within 0 ... lastBlockOffset and never cross the picture's
// left or right edge.
SeededMotion SeededMotionSearch(const uint8_t* target, const uint8_t* previousRGB, int width,
                                int32_t offset, int32_t lastBlockOffset, int32_t bound,
                                int32_t nearError, MotionVector near, const MotionVector* seeds,
                                int seedCount, const SeededSearchSettings& settings);

// The frame's overall pan, from one frame's source picture to the next: the shift that best
// lines up the profiles of the two pictures (sums of the three components along every row,
// and down every column). The rows are lined up first; the columns are then summed over the
// rows the two pictures share at that shift (every fourth), and the rows again over the
// columns they share, so that a pan in both directions at once is found too. The pictures are
// taken in by bands of rows, which may run on several threads at once.
class PanEstimator {
 public:
  // For frames of width x height pixels; forgets any earlier frame.
  void Setup(int width, int height);
  // Takes in `rows` rows from row `firstRow` of `picture` (3-byte pixels, the whole frame's
  // rows). Bands of different rows may be taken in at the same time.
  void AddBand(const uint8_t* picture, int firstRow, int rows);
  // After every band of a frame: the shift, each component within -range ... range, at which
  // a block of this picture finds its source in the previous one (zero for the first frame).
  // This picture then becomes the previous one.
  MotionVector FinishFrame(int range);

 private:
  int width_ = 0, height_ = 0;
  bool havePrevious_ = false;
  std::vector<uint16_t> plane_, previousPlane_;  // per pixel: the sum of its components
  std::vector<int32_t> rows_, previousRows_;     // per row: the sum of its plane values
  std::vector<int32_t> a_, b_;                   // profiles of the later steps
};

}  // namespace korvane
