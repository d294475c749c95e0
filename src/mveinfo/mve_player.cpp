#include "mveinfo/mve_player.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "audio/dpcm.h"
#include "mve/opcodes.h"

namespace korvane {
namespace {

constexpr size_t kVideoHeaderSize = 14;

uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
  return uint64_t(Le32(p)) | (uint64_t(Le32(p + 4)) << 32);
}

// Block opcodes 2 and 3: the displacement of motion byte `b` within this frame.
void NearDisplacement(uint8_t b, int* dx, int* dy) {
  if (b < 56) {
    *dx = 8 + b % 7;
    *dy = b / 7;
  } else {
    *dx = -14 + (b - 56) % 29;
    *dy = 8 + (b - 56) / 29;
  }
}

}  // namespace

int DecodeMveBlock(uint8_t code, const uint8_t* d, size_t size, const MveBlockFrames& frames,
                   int bx, int by, uint8_t* out, int outStride, bool* outside) {
  if (outside) *outside = false;
  const int width = frames.width;
  auto px = [&](int x, int y) -> uint8_t& { return out[y * outStride + x]; };
  // Copies the block at (dx, dy) pixels from this block's place in `source`.
  auto copy = [&](const uint8_t* source, int dx, int dy) {
    const long offset = long(8 * by) * width + 8 * bx + long(dy) * width + dx;
    const long last = long(frames.height - 8) * width + width - 8;
    if (!source || offset < 0 || offset > last) {
      if (outside) *outside = true;
      return;
    }
    for (int y = 0; y < 8; ++y) memmove(&px(0, y), source + offset + long(y) * width, 8);
  };
  // 2x2 cells: cell c of 16 (raster order) gets colour `c`.
  auto cell = [&](int c, uint8_t colour) {
    const int x = 2 * (c % 4), y = 2 * (c / 4);
    px(x, y) = px(x + 1, y) = px(x, y + 1) = px(x + 1, y + 1) = colour;
  };
  // Quadrants in the order of the data: top-left, bottom-left, top-right, bottom-right.
  static const int kQx[4] = {0, 0, 4, 4}, kQy[4] = {0, 4, 0, 4};

  switch (code & 15) {
    case 0x0:
      copy(frames.previous, 0, 0);
      return 0;
    case 0x1:
    case 0x6:
      return 0;
    case 0x2:
    case 0x3: {
      if (size < 1) return -1;
      int dx, dy;
      NearDisplacement(d[0], &dx, &dy);
      if (code == 0x3) dx = -dx, dy = -dy;
      copy(frames.current, dx, dy);
      return 1;
    }
    case 0x4:
      if (size < 1) return -1;
      copy(frames.previous, (d[0] & 15) - 8, (d[0] >> 4) - 8);
      return 1;
    case 0x5:
      if (size < 2) return -1;
      copy(frames.previous, int8_t(d[0]), int8_t(d[1]));
      return 2;
    case 0x7:
      if (size < 4) return -1;
      if (d[0] <= d[1]) {
        if (size < 10) return -1;
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) px(x, y) = d[(d[2 + y] >> x) & 1];
        return 10;
      } else {
        const unsigned flags = Le16(d + 2);
        for (int c = 0; c < 16; ++c) cell(c, d[(flags >> c) & 1]);
        return 4;
      }
    case 0x8:
      if (size < 12) return -1;
      if (d[0] <= d[1]) {
        if (size < 16) return -1;
        for (int q = 0; q < 4; ++q) {
          const uint8_t* s = d + 4 * q;
          const unsigned flags = Le16(s + 2);
          for (int k = 0; k < 16; ++k) px(kQx[q] + k % 4, kQy[q] + k / 4) = s[(flags >> k) & 1];
        }
        return 16;
      } else {
        // Two halves of two colours each: left and right when the second pair is in order,
        // else top and bottom.
        const uint8_t* halves[2] = {d, d + 6};
        const bool leftRight = d[6] <= d[7];
        for (int h = 0; h < 2; ++h) {
          const uint8_t* s = halves[h];
          const uint32_t flags = Le32(h == 0 ? d + 2 : d + 8);
          for (int k = 0; k < 32; ++k) {
            const int x = leftRight ? 4 * h + k % 4 : k % 8;
            const int y = leftRight ? k / 4 : 4 * h + k / 8;
            px(x, y) = s[(flags >> k) & 1];
          }
        }
        return 12;
      }
    case 0x9:
      if (size < 8) return -1;
      if (d[0] <= d[1]) {
        if (d[2] <= d[3]) {
          if (size < 20) return -1;
          for (int y = 0; y < 8; ++y) {
            const unsigned flags = Le16(d + 4 + 2 * y);
            for (int x = 0; x < 8; ++x) px(x, y) = d[(flags >> (2 * x)) & 3];
          }
          return 20;
        }
        const uint32_t flags = Le32(d + 4);
        for (int c = 0; c < 16; ++c) cell(c, d[(flags >> (2 * c)) & 3]);
        return 8;
      } else {
        if (size < 12) return -1;
        const uint64_t flags = Le64(d + 4);
        for (int k = 0; k < 32; ++k) {
          const uint8_t colour = d[(flags >> (2 * k)) & 3];
          if (d[2] <= d[3]) {  // pairs side by side
            const int x = 2 * (k % 4), y = k / 4;
            px(x, y) = px(x + 1, y) = colour;
          } else {  // pairs one above the other
            const int x = k % 8, y = 2 * (k / 8);
            px(x, y) = px(x, y + 1) = colour;
          }
        }
        return 12;
      }
    case 0xA:
      if (size < 24) return -1;
      if (d[0] <= d[1]) {
        if (size < 32) return -1;
        for (int q = 0; q < 4; ++q) {
          const uint8_t* s = d + 8 * q;
          const uint32_t flags = Le32(s + 4);
          for (int k = 0; k < 16; ++k)
            px(kQx[q] + k % 4, kQy[q] + k / 4) = s[(flags >> (2 * k)) & 3];
        }
        return 32;
      } else {
        // Two halves of four colours each: left and right when the second half's first pair is
        // in order, else top and bottom.
        const bool leftRight = d[12] <= d[13];
        for (int h = 0; h < 2; ++h) {
          const uint8_t* s = d + 12 * h;
          const uint64_t flags = Le64(s + 4);
          for (int k = 0; k < 32; ++k) {
            const int x = leftRight ? 4 * h + k % 4 : k % 8;
            const int y = leftRight ? k / 4 : 4 * h + k / 8;
            px(x, y) = s[(flags >> (2 * k)) & 3];
          }
        }
        return 24;
      }
    case 0xB:
      if (size < 64) return -1;
      for (int y = 0; y < 8; ++y) memcpy(&px(0, y), d + 8 * y, 8);
      return 64;
    case 0xC:
      if (size < 16) return -1;
      for (int c = 0; c < 16; ++c) cell(c, d[c]);
      return 16;
    case 0xD:
      if (size < 4) return -1;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) px(x, y) = d[(y / 4) * 2 + x / 4];
      return 4;
    case 0xE:
      if (size < 1) return -1;
      for (int y = 0; y < 8; ++y) memset(&px(0, y), d[0], 8);
      return 1;
    default:  // 0xF
      if (size < 2) return -1;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) px(x, y) = d[(x + y) & 1];
      return 2;
  }
}

void MvePlayer::Fault(std::string text) {
  ++faultCount_;
  if (faults_.size() < kMaxFaults) faults_.push_back(std::move(text));
}

std::array<uint8_t, 768> MvePlayer::Palette8() const {
  std::array<uint8_t, 768> p;
  for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t((palette_[i] << 2) | (palette_[i] >> 4));
  return p;
}

MvePlayer::Event MvePlayer::Play(uint8_t kind, uint8_t version, const uint8_t* d, size_t size) {
  switch (kind) {
    case Number(Opcode::CreateTimer):
      if (size >= 6 && !timerSet_) {
        timerSet_ = true;
        frameMicros_ = uint64_t(Le32(d)) * Le16(d + 4);
      }
      break;
    case Number(Opcode::InitAudioBuffers):
    case Number(Opcode::AudioFrame):
    case Number(Opcode::SilenceFrame):
      return PlaySound(kind, version, d, size);
    case Number(Opcode::InitVideoBuffers): {
      const size_t need = version == 0 ? 4 : version == 1 ? 6 : 8;
      if (size < need) {
        Fault("video buffers opcode too short");
        break;
      }
      SetVideoBuffers(Le16(d), Le16(d + 2), version >= 2 && Le16(d + 6) != 0);
      break;
    }
    case Number(Opcode::VideoData06):
    case Number(Opcode::VideoData10):
      if (!toldUnsupportedVideo_)
        Fault("video data of opcode " + std::to_string(kind) + " is not decoded");
      toldUnsupportedVideo_ = true;
      break;
    case Number(Opcode::SendBuffer):
      if (!videoSet_ || !started_) {
        Fault("a frame is shown before any picture was drawn");
        break;
      }
      ++framesShown_;
      return Event::kFrameShown;
    case Number(Opcode::SetPalette):
      SetPalette(d, size);
      break;
    case Number(Opcode::SetDecodingMap):
      map_.assign(d, d + size);
      mapSet_ = true;
      break;
    case Number(Opcode::VideoData):
      DecodePiece(d, size);
      break;
    default:
      break;
  }
  return Event::kNone;
}

void MvePlayer::SetVideoBuffers(int blocksWide, int blocksHigh, bool trueColor) {
  videoSet_ = false;
  started_ = false;
  mapSet_ = false;
  const size_t blocks = size_t(blocksWide) * size_t(blocksHigh);
  if (trueColor) {
    Fault("true-colour video is not decoded");
    return;
  }
  if (blocks == 0 || blocks > kMaxMveBlocks) {
    Fault("video buffers of " + std::to_string(blocksWide) + " x " + std::to_string(blocksHigh) +
          " blocks cannot be decoded");
    return;
  }
  blocksWide_ = blocksWide;
  blocksHigh_ = blocksHigh;
  width_ = 8 * blocksWide;
  height_ = 8 * blocksHigh;
  current_.assign(size_t(width_) * height_, 0);
  previous_.assign(size_t(width_) * height_, 0);
  videoSet_ = true;
}

void MvePlayer::DecodePiece(const uint8_t* payload, size_t size) {
  if (!videoSet_) {
    Fault("video data without video buffers to draw into");
    return;
  }
  const size_t blocks = size_t(blocksWide_) * blocksHigh_;
  if (!mapSet_ || map_.size() != (blocks + 1) / 2) {
    Fault("video data without a decoding map of the picture's size");
    return;
  }
  if (size < kVideoHeaderSize) {
    Fault("video data shorter than its header");
    return;
  }
  pieceFrameNumber_ = Le16(payload);
  if (Le16(payload + 8) != blocksWide_ || Le16(payload + 10) != blocksHigh_)
    Fault("video header size differs from the video buffers");
  const uint16_t flags = Le16(payload + 12);
  if (flags > 1) Fault("video header flag word " + std::to_string(flags));
  if (flags & 1) {
    // A new frame: draw into the buffer that holds the frame two back.
    if (started_) std::swap(current_, previous_);
    started_ = true;
  } else if (!started_) {
    Fault("a continuation piece before any frame");
    started_ = true;
  }
  const MveBlockFrames frames{current_.data(), previous_.data(), width_, height_};
  const uint8_t* data = payload + kVideoHeaderSize;
  size_t left = size - kVideoHeaderSize;
  bool outside = false;
  for (size_t b = 0; b < blocks; ++b) {
    const uint8_t code = (map_[b / 2] >> (4 * (b & 1))) & 15;
    const int bx = int(b % blocksWide_), by = int(b / blocksWide_);
    uint8_t* out = current_.data() + size_t(8 * by) * width_ + 8 * bx;
    bool blockOutside = false;
    const int used = DecodeMveBlock(code, data, left, frames, bx, by, out, width_, &blockOutside);
    if (used < 0) {
      Fault("video data ends inside block " + std::to_string(b) + " (opcode " +
            std::to_string(code) + ")");
      return;
    }
    if (blockOutside && !outside) {
      Fault("block " + std::to_string(b) + " (opcode " + std::to_string(code) +
            ") copies from outside the picture");
      outside = true;
    }
    data += used;
    left -= size_t(used);
  }
  if (left != 0) Fault(std::to_string(left) + " video data bytes left unused");
}

void MvePlayer::SetPalette(const uint8_t* d, size_t size) {
  if (size < 4) {
    Fault("palette opcode too short");
    return;
  }
  const size_t first = Le16(d), count = Le16(d + 2);
  if (first + count > 256 || size != 4 + 3 * count)
    Fault("palette opcode size does not match its entries");
  const size_t entries = std::min({count, first < 256 ? 256 - first : 0, (size - 4) / 3});
  bool tooBright = false;
  for (size_t i = 0; i < 3 * entries; ++i) {
    const uint8_t c = d[4 + i];
    tooBright |= c > 63;
    // The VGA palette takes six bits of each component.
    palette_[3 * first + i] = c & 63;
  }
  if (tooBright) Fault("palette component above 63");
}

MvePlayer::Event MvePlayer::PlaySound(uint8_t kind, uint8_t version, const uint8_t* d,
                                      size_t size) {
  if (kind == Number(Opcode::InitAudioBuffers)) {
    if (size < 6) {
      Fault("sound set-up opcode too short");
      return Event::kNone;
    }
    const uint16_t flags = Le16(d + 2);
    const int rate = Le16(d + 4), channels = (flags & 1) ? 2 : 1, bits = (flags & 2) ? 16 : 8;
    const bool compressed = version >= 1 && (flags & 4) != 0;
    if (!soundSet_) {
      soundSet_ = true;
      soundRate_ = rate;
      soundChannels_ = channels;
      soundBits_ = bits;
      soundCompressed_ = compressed;
    } else if (rate != soundRate_ || channels != soundChannels_ || bits != soundBits_ ||
               compressed != soundCompressed_) {
      Fault("the sound format changes; the sound keeps its first format");
    }
    return Event::kNone;
  }
  if (size < 6 || !soundSet_ || !(Le16(d + 2) & 1)) return Event::kNone;
  const size_t bytes = Le16(d + 4);
  const size_t channels = size_t(soundChannels_);
  const size_t frameBytes = channels * size_t(soundBits_ / 8);
  sound_.clear();
  if (kind == Number(Opcode::SilenceFrame)) {
    sound_.assign(bytes / frameBytes * channels, 0);
    return Event::kSound;
  }
  const uint8_t* s = d + 6;
  const size_t n = size - 6;
  if (soundCompressed_) {
    // The first sample of each channel as it is, then one step code per sample; the predictor
    // wraps around as a 16-bit number.
    if (n < 2 * channels) {
      Fault("audio frame too short for its first samples");
      return Event::kNone;
    }
    int16_t predictor[2] = {0, 0};
    for (size_t c = 0; c < channels; ++c) {
      predictor[c] = int16_t(Le16(s + 2 * c));
      sound_.push_back(predictor[c]);
    }
    const size_t wanted = bytes / 2;
    const size_t codes = std::min(n - 2 * channels, wanted > channels ? wanted - channels : 0);
    size_t c = 0;
    for (size_t i = 0; i < codes; ++i) {
      predictor[c] = int16_t(uint16_t(predictor[c] + uint16_t(Steps[s[2 * channels + i]])));
      sound_.push_back(predictor[c]);
      c = channels - 1 - c;
    }
    if (sound_.size() < wanted) Fault("audio frame holds fewer samples than it declares");
    sound_.resize(sound_.size() / channels * channels);
  } else if (soundBits_ == 16) {
    const size_t samples = std::min(bytes, n) / frameBytes * channels;
    for (size_t i = 0; i < samples; ++i) sound_.push_back(int16_t(Le16(s + 2 * i)));
    if (n < bytes) Fault("audio frame holds fewer samples than it declares");
  } else {
    const size_t samples = std::min(bytes, n) / frameBytes * channels;
    for (size_t i = 0; i < samples; ++i) sound_.push_back(int16_t((s[i] - 128) * 256));
    if (n < bytes) Fault("audio frame holds fewer samples than it declares");
  }
  return Event::kSound;
}

}  // namespace korvane
