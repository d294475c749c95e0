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
#include "video/measures.h"
#include "video/modes.h"
#include "video/worker_pool.h"

namespace korvane {

namespace {

int32_t RegisteredCandidateSpace() {
  static const int32_t space = [] {
    ModeSet modes;
    return modes.CandidateSpace;
  }();
  return space;
}

// Blocks handed to a worker at a time.
constexpr int kBlocksPerChunk = 16;
// Rows of a band of the mapping (even, so that no 2x2 cell is cut).
constexpr int kRowsPerBand = 16;

}  // namespace

struct FrameEncoder::Impl {
  FrameGeometry geometry;
  PaletteTables palette;
  EncoderFrames frames;
  BlockPlanes planes;
  const ColorReducer* reducer = nullptr;
  bool dither = false;
  bool motion = false;
  bool ready = false;
  bool frameCoded = false;
  std::unique_ptr<WorkerPool> pool;
  std::vector<std::unique_ptr<BlockCoder>> coders;  // one per worker
  const int32_t candidateSpace = RegisteredCandidateSpace();
  std::unique_ptr<uint8_t[]> chainStore;  // BlockCount x CandidateSpace bytes
  std::vector<int32_t> chainBytes;        // per block
  std::vector<uint8_t> cellShapeFaults;   // per block
  std::vector<double> bandEnergy;         // per band of rows of the mapping
  RatePruner pruner;

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
  // The reducer's mapping only reads, so the workers may share it.
  if (reducer) s.palette.SetFromReducer(*reducer);
  s.geometry.Setup(width, height);
  s.frames.Setup(s.geometry);
  s.planes = s.frames.Planes(s.geometry);
  const int blocks = s.geometry.BlockCount;
  s.chainStore.reset(new uint8_t[static_cast<size_t>(blocks > 0 ? blocks : 1) * s.candidateSpace]);
  s.chainBytes.assign(blocks, 0);
  s.cellShapeFaults.assign(blocks, 0);
  const int rows = std::max(0, s.geometry.FrameHeight);
  s.bandEnergy.assign(static_cast<size_t>((rows + kRowsPerBand - 1) / kRowsPerBand), 0.0);
  s.pruner.Reset(blocks);
  s.dither = dither;

  if (threads < 1) threads = static_cast<int>(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, 64);
  s.pool = std::make_unique<WorkerPool>(threads);
  for (int w = 0; w < threads; ++w)
    s.coders.push_back(
        std::make_unique<BlockCoder>(s.palette, s.geometry, !reducer || reducer->Classic()));
  s.ready = true;
  s.frameCoded = false;
}

void FrameEncoder::SetMotionSearch(bool motion) {
  impl_->motion = motion;
}

size_t FrameEncoder::PreparedBytes() const {
  const Impl& s = *impl_;
  return s.ready ? 2 * s.PixelBytes() + sizeof(double) : 0;
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

  s.frames.Rotate(motion, s.palette.RgbTable());
  s.planes = s.frames.Planes(s.geometry);
  stats.Energy = 0;
  if (prepared) {
    const size_t n = s.PixelBytes();
    if (s.reducer) {
      std::memcpy(s.frames.Current(), prepared, n);
      std::memcpy(s.frames.HalfRes(), prepared + n, n);
    }
    std::memcpy(&stats.Energy, prepared + 2 * n, sizeof stats.Energy);
  } else {
    // Dithering runs alone; plain and half-resolution mapping and the energy go by bands of
    // rows on all workers, summed in band order as PrepareFrame sums them.
    const bool dithered = s.Dither(target, s.frames.Current());
    double* bandEnergy = s.bandEnergy.data();
    auto map = [&](int, int begin, int end) {
      for (int b = begin; b < end; ++b)
        bandEnergy[b] = s.MapBand(target, b, dithered, s.frames.Current(), s.frames.HalfRes());
    };
    s.pool->For(s.Bands(), 1, map);
    for (int b = 0; b < s.Bands(); ++b) stats.Energy += bandEnergy[b];
  }

  // Offer every block its candidates and build its chain, on all workers.
  uint8_t* store = s.chainStore.get();
  const int32_t space = s.candidateSpace;
  auto build = [&](int worker, int begin, int end) {
    BlockCoder& coder = *s.coders[worker];
    for (int i = begin; i < end; ++i) {
      const int n = coder.OfferCandidates(target, s.frames, i, motion);
      s.chainBytes[i] =
          BuildChain(i, coder.Candidates(), n, store + static_cast<size_t>(i) * space);
      s.cellShapeFaults[i] = static_cast<uint8_t>(coder.CellShapeFaults());
    }
  };
  s.pool->For(blocks, kBlocksPerChunk, build);

  // Enter the chains in block order.
  int64_t used = 0;
  for (int i = 0; i < blocks; ++i) stats.CellShapeFaults += s.cellShapeFaults[i];
  s.pruner.Reset(blocks);
  for (int i = 0; i < blocks; ++i) {
    used += s.chainBytes[i];
    s.pruner.EnterChain(reinterpret_cast<ModeCandidate*>(store + static_cast<size_t>(i) * space));
  }

  stats.LimitMet = s.pruner.Prune(limit);
  stats.ChainBytes = static_cast<int32_t>(used);

  // Draw what a decoder will show; every block writes only itself.
  auto draw = [&](int, int begin, int end) {
    for (int i = begin; i < end; ++i) Reconstruct(*s.pruner.Chosen(i), s.planes);
  };
  s.pool->For(blocks, 64, draw);

  stats.Error = s.pruner.FrameError();
  stats.Bytes = s.pruner.FrameBytes();
  stats.PruneSteps = s.pruner.Steps();
  s.frameCoded = true;
  return true;
}

uint8_t FrameEncoder::GetBlockCode(int block, uint8_t* data, int* size) const {
  const Impl& s = *impl_;
  if (!s.frameCoded || block < 0 || block >= s.geometry.BlockCount) {
    *size = 0;
    return 0;
  }
  uint8_t buffer[kMaxEmitBytes];
  Emit(*s.pruner.Chosen(block), s.planes, buffer);
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
  return s.pruner.Chosen(block);
}
const uint8_t* FrameEncoder::HalfResFrame() const {
  return impl_->frames.HalfRes();
}
int FrameEncoder::Threads() const {
  return impl_->pool ? impl_->pool->Size() : 0;
}

}  // namespace korvane
