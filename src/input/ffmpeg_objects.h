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
  void operator()(AVFormatContext* p) const {
    // A reader opened on its own input context leaves that context to its owner: here.
    AVIOContext* own = p && (p->flags & AVFMT_FLAG_CUSTOM_IO) ? p->pb : nullptr;
    avformat_close_input(&p);
    avio_closep(&own);
  }
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
// the result is FFmpeg's negative code. `sequential` reads the file front to back as if it could
// not seek, so that the reader never follows an index the file carries. `formats`, when given,
// is a null-terminated list of the container formats taken: a file of another one is refused
// with AVERROR_INVALIDDATA before its stream information is read (which decodes a little).
int OpenFormat(const char* path, FormatContextPtr& fmt, bool sequential = false,
               const char* const* formats = nullptr);

// True for an AVI file whose index is missing, partial or damaged: FFmpeg then knows only the
// entries it met while probing, or reads packets from where a damaged index points. Such a
// file is opened again with `sequential` and its packets counted.
bool NeedsSequentialReading(const AVFormatContext* fmt);

// A decoder for `stream`, kept only once it is fully opened. `threads` 0 lets FFmpeg choose,
// 1 decodes on the calling thread only. On failure `dec` stays empty and the result is FFmpeg's
// negative code.
int OpenCodecContext(const AVStream* stream, const AVCodec* codec, int threads,
                     CodecContextPtr& dec);

}  // namespace korvane
