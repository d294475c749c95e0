// Rate allocation of the default method: each block's candidate codings become a chain of
// ever cheaper codings along the lower convex hull of their (bytes, error) points, and the
// frame is pruned greedily, smallest added error per byte saved first, down to a byte limit.
#pragma once

#include <cstdint>
#include <vector>

#include "video/frame_coder.h"
#include "video/modes.h"

namespace korvane {

// The record stored right after `record` in its chain; null on the chain's last record.
inline ModeCandidate* NextInChain(ModeCandidate* record) {
  if (record->Slope == kChainEnd) return nullptr;
  return reinterpret_cast<ModeCandidate*>(reinterpret_cast<uint8_t*>(record) + RecordSize(*record));
}

// Builds the chain of block `block` from its `count` offered records (in offering order) and
// stores it at `region` (room for CandidateSpace bytes): the first stored record holds the
// block's absolute error and bytes, every later one the increments from the record before;
// each record's Slope is that of the step to the next. Changes the offered records. Returns
// the bytes stored (0 when nothing was offered).
int32_t BuildChain(int block, ModeCandidate* const* candidates, int count, uint8_t* region);

// Adds the chain that starts at `first` to a frame's rate curve, as differences: the chain's
// first bytes to Bytes[0], and each step's (negative) change in bytes to the rung where the step
// starts to be taken. A prefix sum over the rungs then gives the curve (FinishRateCurve).
void AddChainToCurve(const ModeCandidate* first, RateCurve& curve);
void FinishRateCurve(RateCurve& curve);

// The greedy pruning over the chains of one frame. The next step is always that of the block
// whose current record has the smallest Slope; among equal slopes the block that arrived last
// (entered, or moved by its previous step) goes first. A binary heap keyed on (slope, arrival)
// keeps that order at O(log n) per step.
class RatePruner {
 public:
  // Empties the list for a frame of `blockCount` blocks; frame totals := 0.
  void Reset(int blockCount);
  // Enters a block's chain by its first stored record.
  void EnterChain(ModeCandidate* first);
  // The block at the head takes its next step: `next` is the record after the head's.
  void AdvanceBlock(ModeCandidate* next);
  // The current record of the block whose step is next; null when every chain has ended.
  ModeCandidate* Head() const { return heap_.empty() ? nullptr : heap_.front().record; }
  // Takes every step whose slope is below `slope`, then steps while FrameBytes exceeds the
  // limit. False when every chain ended above the limit.
  bool Prune(int32_t limit, int32_t slope = 0);

  // A block's record once every step of its chain below `slope` is taken, as Prune takes them
  // (steps of one block come in chain order whatever the other blocks do). Adds the bytes,
  // error and steps of the record reached to the totals given.
  static ModeCandidate* StepToSlope(ModeCandidate* first, int32_t slope, int32_t& bytes,
                                    int64_t& error, int32_t& steps);
  // Takes every block's record as chosen elsewhere (block i's at chosen[i]), with the frame's
  // totals: the state Prune leaves when it stops at its slope under the limit.
  void Adopt(const std::vector<ModeCandidate*>& chosen, double error, int32_t bytes, int64_t steps);

  double FrameError() const { return frameError_; }
  int32_t FrameBytes() const { return frameBytes_; }
  int64_t Steps() const { return steps_; }
  // The current record of every block (valid for entered blocks).
  ModeCandidate* Chosen(int block) const { return chosen_[block]; }

 private:
  struct Entry {
    int32_t slope;
    uint32_t arrival;
    ModeCandidate* record;
  };
  // Heap order: a below b when a's step comes later.
  static bool Later(const Entry& a, const Entry& b) {
    return a.slope > b.slope || (a.slope == b.slope && a.arrival < b.arrival);
  }
  void Push(ModeCandidate* record);

  std::vector<Entry> heap_;
  std::vector<ModeCandidate*> chosen_;
  uint32_t arrivals_ = 0;
  double frameError_ = 0;
  int32_t frameBytes_ = 0;
  int64_t steps_ = 0;
};

}  // namespace korvane
