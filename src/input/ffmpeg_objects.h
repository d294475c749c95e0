// Owning handles for FFmpeg's objects: each is released by the function FFmpeg provides for it,
// exactly once, whichever way its owner goes away.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace korvane {

struct FormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerDeleter {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct ResamplerDeleter {
  void operator()(SwrContext* p) const { swr_free(&p); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;

// Opens `path` for reading and reads its stream information; on failure `fmt` stays empty and
// the result is FFmpeg's negative code.
int OpenFormat(const char* path, FormatContextPtr& fmt);

// A decoder for `stream`, kept only once it is fully opened. `threads` 0 lets FFmpeg choose,
// 1 decodes on the calling thread only. On failure `dec` stays empty and the result is FFmpeg's
// negative code.
int OpenCodecContext(const AVStream* stream, const AVCodec* codec, int threads,
                     CodecContextPtr& dec);

}  // namespace korvane
