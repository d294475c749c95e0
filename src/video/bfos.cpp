#include "video/bfos.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace korvane {

int32_t BuildChain(int block, ModeCandidate* const* candidates, int count, uint8_t* region) {
  if (count <= 0) return 0;
  for (int i = 0; i < count; ++i) candidates[i]->BlockIndex = -1;

  // Start at the lowest error; then the fewest bytes; then the first offered.
  ModeCandidate* current = candidates[0];
  for (int i = 1; i < count; ++i) {
    const ModeCandidate* x = candidates[i];
    if (x->Error < current->Error || (x->Error == current->Error && x->Bytes < current->Bytes))
      current = candidates[i];
  }
  current->BlockIndex = block;
  int32_t bytes = current->Bytes;
  int32_t error = current->Error;
  int32_t stored = 0;

  for (;;) {
    // Next step: the smallest truncated slope (added error per byte saved) among the cheaper,
    // worse records; then the fewest bytes; then the first offered.
    ModeCandidate* next = nullptr;
    int32_t nextSlope = 0;
    for (int i = 0; i < count; ++i) {
      ModeCandidate* x = candidates[i];
      if (x->BlockIndex != -1 || x->Bytes >= bytes || x->Error <= error) continue;
      const int32_t s = (x->Error - error) / (bytes - x->Bytes);
      if (!next || s < nextSlope || (s == nextSlope && x->Bytes < next->Bytes)) {
        next = x;
        nextSlope = s;
      }
    }
    current->Slope = next ? nextSlope : kChainEnd;
    const int size = RecordSize(*current);
    std::memcpy(region + stored, current, size);
    stored += size;
    if (!next) return stored;

    next->BlockIndex = block;
    next->Bytes -= bytes;
    bytes += next->Bytes;
    next->Error -= error;
    error += next->Error;
    current = next;
  }
}

void RatePruner::Reset(int blockCount) {
  heap_.clear();
  heap_.reserve(blockCount);
  chosen_.assign(blockCount, nullptr);
  arrivals_ = 0;
  frameError_ = 0;
  frameBytes_ = 0;
  steps_ = 0;
}

void RatePruner::Push(ModeCandidate* record) {
  heap_.push_back(Entry{record->Slope, arrivals_++, record});
  std::push_heap(heap_.begin(), heap_.end(), Later);
}

void RatePruner::EnterChain(ModeCandidate* first) {
  if (first->Slope != kChainEnd) Push(first);
  frameError_ += first->Error;
  frameBytes_ += first->Bytes;
  chosen_[first->BlockIndex] = first;
}

void RatePruner::AdvanceBlock(ModeCandidate* next) {
  if (next->Slope != kChainEnd) {
    // The block's next record takes the head's place and sinks to where it belongs: one pass
    // down the heap instead of a removal and an insertion. Keys are unique (arrivals are), so
    // the order of the steps is the same.
    const Entry entry{next->Slope, arrivals_++, next};
    // The record after it is read when this block reaches the head again: fetch it now, while
    // its neighbour is at hand.
    __builtin_prefetch(reinterpret_cast<const uint8_t*>(next) + RecordSize(*next));
    const size_t size = heap_.size();
    size_t at = 0;
    for (;;) {
      size_t child = 2 * at + 1;
      if (child >= size) break;
      if (child + 1 < size && Later(heap_[child], heap_[child + 1])) ++child;
      if (!Later(entry, heap_[child])) break;
      heap_[at] = heap_[child];
      at = child;
    }
    heap_[at] = entry;
  } else {
    std::pop_heap(heap_.begin(), heap_.end(), Later);
    heap_.pop_back();
  }
  frameError_ += next->Error;
  frameBytes_ += next->Bytes;
  chosen_[next->BlockIndex] = next;
  ++steps_;
}

bool RatePruner::Prune(int32_t limit, int32_t slope) {
  for (;;) {
    ModeCandidate* head = Head();
    const bool over = frameBytes_ > limit;
    if (!over && (!head || head->Slope >= slope)) return true;
    if (!head) return false;
    AdvanceBlock(NextInChain(head));
  }
}

ModeCandidate* RatePruner::StepToSlope(ModeCandidate* first, int32_t slope, int32_t& bytes,
                                       int64_t& error, int32_t& steps) {
  ModeCandidate* record = first;
  bytes += record->Bytes;
  error += record->Error;
  while (record->Slope < slope && record->Slope != kChainEnd) {
    record = NextInChain(record);
    bytes += record->Bytes;
    error += record->Error;
    ++steps;
  }
  return record;
}

void RatePruner::Adopt(const std::vector<ModeCandidate*>& chosen, double error, int32_t bytes,
                       int64_t steps) {
  heap_.clear();
  chosen_ = chosen;
  frameError_ = error;
  frameBytes_ = bytes;
  steps_ = steps;
}

namespace {

// Rung k (1 ... kSteps - 2) is 2^((k - 1) / 8) rounded up; chain slopes stay far below the
// top rung (an error of at most 64 x 3 x 255^2 per byte).
const std::array<int32_t, RateCurve::kSteps>& Ladder() {
  static const std::array<int32_t, RateCurve::kSteps> ladder = [] {
    std::array<int32_t, RateCurve::kSteps> l{};
    l[0] = 0;
    for (int k = 1; k < RateCurve::kSteps - 1; ++k)
      l[k] = static_cast<int32_t>(std::ceil(std::exp2((k - 1) / 8.0)));
    l[RateCurve::kSteps - 1] = kChainEnd;
    return l;
  }();
  return ladder;
}

}  // namespace

int32_t RateCurve::SlopeAt(int k) {
  return Ladder()[std::clamp(k, 0, kSteps - 1)];
}

int RateCurve::RungAbove(int32_t slope) {
  const auto& l = Ladder();
  const auto it = std::upper_bound(l.begin(), l.end() - 1, slope);
  return static_cast<int>(it - l.begin());
}

void AddChainToCurve(const ModeCandidate* first, RateCurve& curve) {
  curve.Bytes[0] += first->Bytes;
  const ModeCandidate* record = first;
  while (record->Slope != kChainEnd) {
    const ModeCandidate* next = NextInChain(const_cast<ModeCandidate*>(record));
    curve.Bytes[RateCurve::RungAbove(record->Slope)] += next->Bytes;
    record = next;
  }
}

void FinishRateCurve(RateCurve& curve) {
  for (int k = 1; k < RateCurve::kSteps; ++k) curve.Bytes[k] += curve.Bytes[k - 1];
}

}  // namespace korvane
