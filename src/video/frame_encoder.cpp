// Placeholder until the default method lands: codes every block raw.
#include "video/frame_encoder.h"

#include <cstring>
#include <ostream>
#include <vector>

#include "palette/color_reducer.h"

namespace korvane {

struct FrameEncoder::Impl {
  std::ostream& out;
  int width = 0, height = 0;
  ColorReducer* reducer = nullptr;
  std::vector<uint8_t> current;
  explicit Impl(std::ostream& o) : out(o) {}
};

FrameEncoder::FrameEncoder(std::ostream& out) : impl_(std::make_unique<Impl>(out)) {}
FrameEncoder::~FrameEncoder() = default;

void FrameEncoder::SetupFrameGeometry(int width, int height, ColorReducer* reducer, bool, int) {
  impl_->width = width;
  impl_->height = height;
  impl_->reducer = reducer;
  impl_->current.assign(static_cast<size_t>(width) * height, 0);
}

void FrameEncoder::EncodeFrame(const uint8_t* target, int32_t, bool) {
  if (impl_->reducer) impl_->reducer->MapPixels(target, impl_->current.data(), impl_->width, impl_->height);
}

uint8_t FrameEncoder::GetBlockCode(int block, uint8_t* data, int* size) const {
  int bpr = impl_->width / 8;
  int bx = block % bpr, by = block / bpr;
  for (int r = 0; r < 8; ++r)
    std::memcpy(data + 8 * r, &impl_->current[(8 * by + r) * impl_->width + 8 * bx], 8);
  *size = 64;
  return 11;
}

int FrameEncoder::BlockCount() const { return (impl_->width / 8) * (impl_->height / 8); }
int32_t FrameEncoder::CandidateSpace() const { return 0; }
const uint8_t* FrameEncoder::CurrentFrame() const { return impl_->current.data(); }
double FrameEncoder::TotalError() const { return 0; }
double FrameEncoder::TotalEnergy() const { return 0; }
int32_t FrameEncoder::PeakChainBytes() const { return 0; }

}  // namespace korvane
