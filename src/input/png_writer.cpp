#include "input/png_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace korvane {

namespace {

std::string FfmpegError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) {
    *error = "cannot write `" + path + "': " + strerror(errno);
    return false;
  }
  bool ok = fwrite(data, 1, size, file) == size;
  int failure = errno;
  if (fclose(file) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  if (!ok) *error = "cannot write `" + path + "': " + strerror(failure);
  return ok;
}

}  // namespace

struct PngWriter::Impl {
  AVCodecContext* context = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;

  ~Impl() { Close(); }
  void Close() {
    avcodec_free_context(&context);
    av_frame_free(&frame);
    av_packet_free(&packet);
  }
  // An encoder and a frame for pictures of this size and pixel format.
  bool Prepare(AVPixelFormat format, int width, int height, std::string* error) {
    if (context && context->width == width && context->height == height &&
        context->pix_fmt == format)
      return true;
    Close();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) {
      *error = "FFmpeg has no PNG encoder";
      return false;
    }
    AVCodecContext* c = avcodec_alloc_context3(codec);
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (!c || !frame || !packet) {
      avcodec_free_context(&c);
      *error = "out of memory";
      return false;
    }
    c->width = width;
    c->height = height;
    c->pix_fmt = format;
    c->time_base = AVRational{1, 25};
    const int opened = avcodec_open2(c, codec, nullptr);
    if (opened < 0) {
      avcodec_free_context(&c);
      *error = "cannot open the PNG encoder: " + FfmpegError(opened);
      return false;
    }
    context = c;  // kept only once fully opened
    frame->format = format;
    frame->width = width;
    frame->height = height;
    const int got = av_frame_get_buffer(frame, 0);
    if (got < 0) {
      Close();
      *error = "cannot allocate a picture: " + FfmpegError(got);
      return false;
    }
    return true;
  }
};

PngWriter::PngWriter() : impl_(std::make_unique<Impl>()) {}
PngWriter::~PngWriter() = default;

bool PngWriter::WriteIndexed(const std::string& path, int width, int height, const uint8_t* pixels,
                             int stride, const uint8_t* palette, std::string* error) {
  return Encode(path, AV_PIX_FMT_PAL8, width, height, pixels, stride, palette, error);
}

bool PngWriter::WriteRgb(const std::string& path, int width, int height, const uint8_t* pixels,
                         int stride, std::string* error) {
  return Encode(path, AV_PIX_FMT_RGB24, width, height, pixels, stride, nullptr, error);
}

bool PngWriter::Encode(const std::string& path, int format, int width, int height,
                       const uint8_t* pixels, int stride, const uint8_t* palette,
                       std::string* error) {
  Impl& m = *impl_;
  if (!m.Prepare(AVPixelFormat(format), width, height, error)) return false;
  const int made = av_frame_make_writable(m.frame);
  if (made < 0) {
    *error = "cannot allocate a picture: " + FfmpegError(made);
    return false;
  }
  const size_t rowBytes = size_t(width) * (format == AV_PIX_FMT_RGB24 ? 3 : 1);
  for (int y = 0; y < height; ++y)
    memcpy(m.frame->data[0] + size_t(y) * m.frame->linesize[0], pixels + size_t(y) * stride,
           rowBytes);
  if (format == AV_PIX_FMT_PAL8) {
    uint32_t* entries = reinterpret_cast<uint32_t*>(m.frame->data[1]);
    for (int i = 0; i < 256; ++i)
      entries[i] = 0xFF000000u | uint32_t(palette[3 * i]) << 16 |
                   uint32_t(palette[3 * i + 1]) << 8 | palette[3 * i + 2];
  }
  int status = avcodec_send_frame(m.context, m.frame);
  if (status >= 0) status = avcodec_receive_packet(m.context, m.packet);
  if (status < 0) {
    // The encoder's state is unknown after a failure: a fresh one serves the next picture.
    m.Close();
    *error = "cannot encode `" + path + "': " + FfmpegError(status);
    return false;
  }
  const bool written = WriteFile(path, m.packet->data, size_t(m.packet->size), error);
  av_packet_unref(m.packet);
  return written;
}

}  // namespace korvane
