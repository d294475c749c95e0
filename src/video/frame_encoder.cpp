// The default method's frame encoding. Candidate offering and chain building are independent
// per block and run on all workers, each block's chain in its own fixed region of the chain
// storage; the chains are then entered and pruned in block order on one thread, so the result
// is the same whatever the number of workers.
#include "video/frame_encoder.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "palette/color_reducer.h"
#include "video/bfos.h"
#include "video/block_coder.h"
#include "video/encoder_frames.h"
#include "video/frame_copies.h"
#include "video/measures.h"
#include "video/modes.h"
#include "video/motion_field.h"
#include "video/worker_pool.h"

namespace korvane {

namespace {

int32_t RegisteredCandidateSpace(bool extended = false) {
  static const int32_t space = [] {
    ModeSet modes;
    return modes.CandidateSpace;
  }();
  static const int32_t extendedSpace = [] {
    ModeSet modes(true);
    return modes.CandidateSpace;
  }();
  return extended ? extendedSpace : space;
}

// Blocks handed to a worker at a time.
constexpr int kBlocksPerChunk = 16;
// The next frame's slope is taken to be at least this share of the last one's (in quarters): a
// frame's slope seldom falls by more than a tenth from the frame before.
constexpr int32_t kSlopeFloorQuarters = 3;
// Rows of a band of the mapping (even, so that no 2x2 cell is cut).
constexpr int kRowsPerBand = 16;
// How far the frame's pan is looked for, in pixels either way.
constexpr int kPanRange = 96;

}  // namespace

struct FrameEncoder::Impl {
  FrameGeometry geometry;
  PaletteTables palette;
  EncoderFrames frames;
  BlockPlanes planes;
  const ColorReducer* reducer = nullptr;
  bool dither = false;
  bool motion = false;
  bool classic = true;  // the classic fit: motion only with the full search, as it always was
  bool ready = false;
  bool frameCoded = false;
  std::unique_ptr<WorkerPool> pool;
  std::vector<std::unique_ptr<BlockCoder>> coders;  // one per worker
  int32_t candidateSpace = RegisteredCandidateSpace();
  std::unique_ptr<uint8_t[]> chainStore;  // BlockCount x CandidateSpace bytes
  std::vector<int32_t> chainBytes;        // per block
  std::vector<uint8_t> cellShapeFaults;   // per block
  std::vector<double> bandEnergy;         // per band of rows of the mapping
  RatePruner pruner;
  RatePlanner* planner = nullptr;
  RateCurve curve;
  int32_t lastSlope = 0;                // the slope the previous frame was pruned to
  std::vector<RateCurve> workerCurves;  // per worker: the curve of the chains it built
  std::vector<ModeCandidate*> atSlope;  // per block: its record at the frame's slope
  std::vector<int32_t> slopeBytes;      // per block: its bytes there
  std::vector<int64_t> slopeError;      // per block: its error there
  std::vector<int32_t> slopeSteps;      // per block: the steps taken to get there
  // Exact fit: blocks whose chosen coding a one-byte copy within the frame replaced.
  bool frameCopies = false;
  std::vector<FrameCopyMode> copies;  // per block
  std::vector<uint8_t> copied;        // per block
  MotionField field;                  // the seeded motion search's vectors, without the classic fit
  PanEstimator pan;

  int Bands() const { return (geometry.FrameHeight + kRowsPerBand - 1) / kRowsPerBand; }
  // Maps band `b` of rows of `target` into `mapped` (unless it is dithered already) and into
  // `half` at half resolution; returns the band's energy. Bands start on even rows, so that no
  // 2x2 cell is cut, and every band's energy is an integer, so that sums of bands do not
  // depend on their order.
  double MapBand(const uint8_t* target, int b, bool dithered, uint8_t* mapped,
                 uint8_t* half) const {
    const int w = geometry.FrameWidth;
    const int y = b * kRowsPerBand, rows = std::min(kRowsPerBand, geometry.FrameHeight - y);
    const size_t first = static_cast<size_t>(y) * static_cast<size_t>(w);
    const uint8_t* in = target + 3 * first;
    if (reducer) {
      if (!dithered) reducer->MapPixels(in, mapped + first, w, rows);
      reducer->MapPixelsHalfRes(in, half + first, w, rows);
    }
    return SignalEnergy(in, int64_t{w} * rows);
  }
  // Dithering carries error from pixel to pixel and maps the whole frame at once. False when
  // the frame is not dithered (also when the dithering's memory cannot be had).
  bool Dither(const uint8_t* target, uint8_t* mapped) const {
    return reducer && dither &&
           reducer->MapPixelsDithered(target, mapped, geometry.FrameWidth, geometry.FrameHeight);
  }
  // A prepared frame: the mapped frame, the half-resolution frame, then the energy.
  size_t PixelBytes() const { return static_cast<size_t>(std::max(0, geometry.PixelCount)); }
};

FrameEncoder::FrameEncoder() : impl_(std::make_unique<Impl>()) {}
FrameEncoder::~FrameEncoder() = default;

void FrameEncoder::SetupFrameGeometry(int width, int height, const ColorReducer* reducer,
                                      bool dither, int threads) {
  Impl& s = *impl_;
  s.coders.clear();
  s.pool.reset();
  s.reducer = reducer;
  const bool classic = !reducer || reducer->Classic();
  s.frameCopies = !classic;
  s.lastSlope = 0;
  s.candidateSpace = RegisteredCandidateSpace(!classic);
  // The reducer's mapping only reads, so the workers may share it.
  if (reducer) s.palette.SetFromReducer(*reducer);
  s.geometry.Setup(width, height);
  s.frames.Setup(s.geometry);
  s.planes = s.frames.Planes(s.geometry);
  const int blocks = s.geometry.BlockCount;
  s.chainStore.reset(new uint8_t[static_cast<size_t>(blocks > 0 ? blocks : 1) * s.candidateSpace]);
  s.chainBytes.assign(blocks, 0);
  s.atSlope.assign(blocks, nullptr);
  s.slopeBytes.assign(blocks, 0);
  s.slopeError.assign(blocks, 0);
  s.slopeSteps.assign(blocks, 0);
  s.cellShapeFaults.assign(blocks, 0);
  s.copies.assign(blocks, FrameCopyMode{});
  s.copied.assign(blocks, 0);
  const int rows = std::max(0, s.geometry.FrameHeight);
  s.bandEnergy.assign(static_cast<size_t>((rows + kRowsPerBand - 1) / kRowsPerBand), 0.0);
  s.pruner.Reset(blocks);
  s.dither = dither;
  s.classic = !reducer || reducer->Classic();
  s.field.Setup(s.geometry.BlocksPerRow, s.geometry.BlocksPerColumn);
  s.pan.Setup(s.geometry.FrameWidth, s.geometry.FrameHeight);

  if (threads < 1) threads = static_cast<int>(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, 64);
  s.pool = std::make_unique<WorkerPool>(threads);
  for (int w = 0; w < threads; ++w) {
    s.coders.push_back(std::make_unique<BlockCoder>(s.palette, s.geometry, s.classic));
    s.coders.back()->SetMotionField(&s.field);
  }
  s.ready = true;
  s.frameCoded = false;
}

void FrameEncoder::SetRatePlanner(RatePlanner* planner) {
  impl_->planner = planner;
}

void FrameEncoder::SetMotionSearch(bool motion) {
  impl_->motion = motion;
}

size_t FrameEncoder::PreparedBytes() const {
  const Impl& s = *impl_;
  return s.ready ? 2 * s.PixelBytes() + sizeof(double) : 0;
}

bool FrameEncoder::PrepareAhead() const {
  const Impl& s = *impl_;
  // Without the classic fit the workers go over the frame by bands of rows in every frame
  // anyway (the previous reconstruction's RGB copy, the pan): plain mapping there adds no loop,
  // and leaves each band's mapped rows in the cache of the core that codes its blocks.
  return s.ready && (s.classic || (s.dither && s.reducer));
}

void FrameEncoder::PrepareFrame(const uint8_t* target, uint8_t* prepared) const {
  const Impl& s = *impl_;
  if (!s.ready) return;
  const size_t n = s.PixelBytes();
  uint8_t* mapped = prepared;
  uint8_t* half = prepared + n;
  const bool dithered = s.Dither(target, mapped);
  double energy = 0;
  for (int b = 0; b < s.Bands(); ++b) energy += s.MapBand(target, b, dithered, mapped, half);
  std::memcpy(prepared + 2 * n, &energy, sizeof energy);
}

bool FrameEncoder::EncodeFrame(const uint8_t* target, int32_t limit, FrameStats& stats) {
  return Encode(target, nullptr, limit, stats);
}

bool FrameEncoder::EncodePreparedFrame(const uint8_t* target, const uint8_t* prepared,
                                       int32_t limit, FrameStats& stats) {
  return Encode(target, prepared, limit, stats);
}

bool FrameEncoder::Encode(const uint8_t* target, const uint8_t* prepared, int32_t limit,
                          FrameStats& stats) {
  Impl& s = *impl_;
  stats = FrameStats{};
  stats.Limit = limit;
  const int blocks = s.geometry.BlockCount;
  if (!s.ready || blocks == 0) return true;
  const bool motion = s.motion;

  // Without the classic fit every frame after the first is searched for motion; the RGB copy
  // of the previous reconstruction is then filled by bands below.
  const bool seeded = !s.classic;
  s.frames.Rotate(motion || seeded, seeded ? nullptr : s.palette.RgbTable());
  s.planes = s.frames.Planes(s.geometry);
  stats.Energy = 0;
  if (prepared) {
    const size_t n = s.PixelBytes();
    if (s.reducer) {
      std::memcpy(s.frames.Current(), prepared, n);
      std::memcpy(s.frames.HalfRes(), prepared + n, n);
    }
    std::memcpy(&stats.Energy, prepared + 2 * n, sizeof stats.Energy);
  }
  // Dithering runs alone; plain and half-resolution mapping and the energy (unless prepared,
  // summed in band order as PrepareFrame sums them) and, for the seeded search, the RGB copy of
  // the previous reconstruction and the pan's bands go by bands of rows on all workers.
  if (!prepared || seeded) {
    const bool dithered = !prepared && s.Dither(target, s.frames.Current());
    double* bandEnergy = s.bandEnergy.data();
    auto map = [&](int, int begin, int end) {
      for (int b = begin; b < end; ++b) {
        if (!prepared)
          bandEnergy[b] = s.MapBand(target, b, dithered, s.frames.Current(), s.frames.HalfRes());
        if (seeded) {
          const int y = b * kRowsPerBand;
          const int rows = std::min(kRowsPerBand, s.geometry.FrameHeight - y);
          s.frames.ExpandPreviousRGB(y, rows, s.palette.RgbTable());
          s.pan.AddBand(target, y, rows);
        }
      }
    };
    s.pool->For(s.Bands(), 1, map);
    if (!prepared)
      for (int b = 0; b < s.Bands(); ++b) stats.Energy += bandEnergy[b];
  }

  if (seeded) s.field.NextFrame(s.pan.FinishFrame(kPanRange));

  // Offer every block its candidates and build its chain, on all workers; with a planner, each
  // worker also adds the chains it built to a curve of its own (sums of integers, so the
  // frame's curve does not depend on which worker built which chain).
  uint8_t* store = s.chainStore.get();
  const int32_t space = s.candidateSpace;
  auto chain = [&](int i) {
    return reinterpret_cast<ModeCandidate*>(store + static_cast<size_t>(i) * space);
  };
  if (s.planner) s.workerCurves.assign(static_cast<size_t>(s.pool->Size()), RateCurve{});
  // Codings that could only be chosen far below the last frame's slope are not fitted (the
  // exhaustive search fits every one).
  const int32_t slopeFloor =
      s.planner && !s.classic && !motion
          ? static_cast<int32_t>(int64_t{s.lastSlope} * kSlopeFloorQuarters / 4)
          : 0;
  for (auto& coder : s.coders) coder->SetSlopeFloor(slopeFloor);
  auto build = [&](int worker, int begin, int end) {
    BlockCoder& coder = *s.coders[worker];
    for (int i = begin; i < end; ++i) {
      const int n = coder.OfferCandidates(target, s.frames, i, motion);
      s.chainBytes[i] =
          BuildChain(i, coder.Candidates(), n, store + static_cast<size_t>(i) * space);
      s.cellShapeFaults[i] = static_cast<uint8_t>(coder.CellShapeFaults());
      if (s.planner && s.chainBytes[i] > 0) AddChainToCurve(chain(i), s.workerCurves[worker]);
    }
  };
  s.pool->For(blocks, kBlocksPerChunk, build);

  int64_t used = 0;
  for (int i = 0; i < blocks; ++i) {
    stats.CellShapeFaults += s.cellShapeFaults[i];
    used += s.chainBytes[i];
  }
  PruneGoal goal{0, limit};
  if (s.planner) {
    s.curve = RateCurve{};
    for (const RateCurve& c : s.workerCurves)
      for (int k = 0; k < RateCurve::kSteps; ++k) s.curve.Bytes[k] += c.Bytes[k];
    FinishRateCurve(s.curve);
    goal = s.planner->Plan(s.curve);
  }
  stats.Limit = goal.Limit;
  s.lastSlope = goal.Slope;

  // Every block takes the steps below the slope on its own, on all workers. Where that leaves
  // the frame within its limit, that is where the greedy pruning stops too; otherwise the
  // greedy pruning runs over the whole frame, which takes further steps by ascending slope.
  auto toSlope = [&](int, int begin, int end) {
    for (int i = begin; i < end; ++i) {
      s.slopeBytes[i] = 0;
      s.slopeError[i] = 0;
      s.slopeSteps[i] = 0;
      s.atSlope[i] = RatePruner::StepToSlope(chain(i), goal.Slope, s.slopeBytes[i], s.slopeError[i],
                                             s.slopeSteps[i]);
    }
  };
  s.pool->For(blocks, kBlocksPerChunk * 16, toSlope);
  int64_t bytesAtSlope = 0, errorAtSlope = 0, stepsToSlope = 0;
  for (int i = 0; i < blocks; ++i) {
    bytesAtSlope += s.slopeBytes[i];
    errorAtSlope += s.slopeError[i];
    stepsToSlope += s.slopeSteps[i];
  }
  if (bytesAtSlope <= goal.Limit) {
    s.pruner.Adopt(s.atSlope, static_cast<double>(errorAtSlope), static_cast<int32_t>(bytesAtSlope),
                   stepsToSlope);
    stats.LimitMet = true;
  } else {
    s.pruner.Reset(blocks);
    for (int i = 0; i < blocks; ++i) s.pruner.EnterChain(chain(i));
    stats.LimitMet = s.pruner.Prune(goal.Limit, goal.Slope);
  }
  stats.ChainBytes = static_cast<int32_t>(used);

  // Draw what a decoder will show; every block writes only itself.
  auto draw = [&](int, int begin, int end) {
    for (int i = begin; i < end; ++i) Reconstruct(*s.pruner.Chosen(i), s.planes);
  };
  s.pool->For(blocks, 64, draw);

  stats.Error = s.pruner.FrameError();
  stats.Bytes = s.pruner.FrameBytes();
  if (s.frameCopies) stats.Bytes -= ReplaceByFrameCopies();
  stats.PruneSteps = s.pruner.Steps();
  s.frameCoded = true;
  return true;
}

// --- Copies within the frame ---

int32_t FrameEncoder::ReplaceByFrameCopies() {
  // A block drawn exactly as a block of the frame two back or as one of this frame already
  // drawn (left of it or above) costs one byte as that copy, for the same error. Whether a
  // block is replaced depends only on the drawn frame (a copy draws the same pixels), so the
  // blocks are looked at on all workers.
  Impl& s = *impl_;
  const int blocks = s.geometry.BlockCount;
  const int w = s.geometry.FrameWidth, h = s.geometry.FrameHeight;
  const uint8_t* current = s.frames.Current();
  const uint8_t* twoBack = s.frames.TwoBack();
  auto look = [&](int, int begin, int end) {
    for (int i = begin; i < end; ++i) {
      s.copied[i] = 0;
      if (DataSize(*s.pruner.Chosen(i)) <= 1) continue;
      const int32_t o = s.geometry.BlockOffset[i];
      FrameCopyMode& r = s.copies[i];
      if (FindIdenticalCopy(current + o, w, current, w, h, o, true, r) ||
          FindIdenticalCopy(current + o, w, twoBack, w, h, o, false, r)) {
        r.BlockIndex = i;
        r.Error = 0;
        r.Bytes = 1;
        r.Slope = kChainEnd;
        s.copied[i] = 1;
      }
    }
  };
  s.pool->For(blocks, kBlocksPerChunk, look);
  int32_t saved = 0;
  for (int i = 0; i < blocks; ++i)
    if (s.copied[i]) saved += DataSize(*s.pruner.Chosen(i)) - 1;
  return saved;
}

const ModeCandidate& FrameEncoder::Coding(int block) const {
  const Impl& s = *impl_;
  if (s.frameCopies && s.copied[block]) return s.copies[block];
  return *s.pruner.Chosen(block);
}

uint8_t FrameEncoder::GetBlockCode(int block, uint8_t* data, int* size) const {
  const Impl& s = *impl_;
  if (!s.frameCoded || block < 0 || block >= s.geometry.BlockCount) {
    *size = 0;
    return 0;
  }
  uint8_t buffer[kMaxEmitBytes];
  Emit(Coding(block), s.planes, buffer);
  *size = buffer[1];
  std::memcpy(data, buffer + 2, buffer[1]);
  return buffer[0];
}

int FrameEncoder::BlockCount() const {
  return impl_->geometry.BlockCount;
}
int32_t FrameEncoder::CandidateSpace() const {
  return impl_->candidateSpace;
}
const uint8_t* FrameEncoder::CurrentFrame() const {
  return impl_->frames.Current();
}
const ModeCandidate* FrameEncoder::ChosenRecord(int block) const {
  const Impl& s = *impl_;
  if (!s.frameCoded || block < 0 || block >= s.geometry.BlockCount) return nullptr;
  return &Coding(block);
}
const uint8_t* FrameEncoder::HalfResFrame() const {
  return impl_->frames.HalfRes();
}
void FrameEncoder::OfferOnly(int kind) {
  for (auto& coder : impl_->coders) coder->OfferOnly(kind);
}

int FrameEncoder::Threads() const {
  return impl_->pool ? impl_->pool->Size() : 0;
}

}  // namespace korvane
