#include "input/stream_decoder.h"

#include <algorithm>
#include <cstring>

namespace korvane {

int OpenFormat(const char* path, FormatContextPtr& fmt, bool sequential,
               const char* const* formats) {
  fmt.reset();
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return AVERROR(ENOMEM);
  if (sequential) {
    AVIOContext* io = nullptr;
    int r = avio_open(&io, path, AVIO_FLAG_READ);
    if (r < 0) {
      avformat_free_context(raw);
      return r;
    }
    io->seekable = 0;
    raw->pb = io;
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  FormatContextPtr owner(raw);
  // A failed open frees the context; its own input context stays with `owner` for release.
  AVIOContext* io = raw->pb;
  int r = avformat_open_input(&raw, path, nullptr, nullptr);
  if (r < 0) {
    owner.release();
    avio_closep(&io);
    return r;
  }
  if (formats) {
    bool taken = false;
    for (const char* const* f = formats; *f && !taken; ++f)
      taken = std::strcmp(owner->iformat->name, *f) == 0;
    if (!taken) return AVERROR_INVALIDDATA;
  }
  r = avformat_find_stream_info(owner.get(), nullptr);
  if (r < 0) return r;
  fmt = std::move(owner);
  return 0;
}

bool NeedsSequentialReading(const AVFormatContext* fmt) {
  if (std::strcmp(fmt->iformat->name, "avi") != 0) return false;
  int64_t fileSize = fmt->pb ? avio_size(fmt->pb) : -1;
  for (unsigned s = 0; s < fmt->nb_streams; ++s) {
    AVStream* st = fmt->streams[s];
    int count = avformat_index_get_entries_count(st);
    // The header counts a video stream's frames; its index must list each of them.
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && (count <= 0 || st->nb_frames != count))
      return true;
    int64_t lastTimestamp = AV_NOPTS_VALUE;
    for (int i = 0; i < count; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(st, i);
      if (!e || e->pos < 0 || (fileSize > 0 && e->pos + e->size > fileSize)) return true;
      if (lastTimestamp != AV_NOPTS_VALUE && e->timestamp <= lastTimestamp) return true;
      lastTimestamp = e->timestamp;
    }
  }
  return false;
}

int OpenCodecContext(const AVStream* stream, const AVCodec* codec, int threads,
                     CodecContextPtr& dec) {
  dec.reset();
  if (!codec) return AVERROR_DECODER_NOT_FOUND;
  CodecContextPtr made(avcodec_alloc_context3(codec));
  if (!made) return AVERROR(ENOMEM);
  int r = avcodec_parameters_to_context(made.get(), stream->codecpar);
  if (r < 0) return r;
  made->pkt_timebase = stream->time_base;
  // As many threads as FFmpeg finds useful unless told otherwise; the output does not change.
  made->thread_count = std::max(threads, 0);
  if (threads == 1) made->thread_type = 0;
  r = avcodec_open2(made.get(), codec, nullptr);
  if (r < 0) return r;
  dec = std::move(made);
  return 0;
}

void StreamDecoder::Attach(AVFormatContext* fmt, int index, AVCodecContext* dec) {
  fmt_ = fmt;
  index_ = index;
  dec_ = dec;
  if (pkt_) av_packet_unref(pkt_.get());
  packetPending_ = demuxEnd_ = flushSent_ = false;
  packetsSent_ = 0;
}

void StreamDecoder::Detach() {
  Attach(nullptr, -1, nullptr);
}

int StreamDecoder::ReadPacket() {
  if (packetPending_) {
    packetPending_ = false;
    return 0;
  }
  av_packet_unref(pkt_.get());
  if (!fmt_) return AVERROR_EOF;
  for (;;) {
    int r = av_read_frame(fmt_, pkt_.get());
    if (r < 0) return r;
    if (pkt_->stream_index == index_ && pkt_->size > 0) return 0;
    av_packet_unref(pkt_.get());
  }
}

int StreamDecoder::NextFrame(AVFrame* frame) {
  if (!dec_) return AVERROR_EOF;
  for (;;) {
    int r = avcodec_receive_frame(dec_, frame);
    if (r == 0 || r == AVERROR_EOF) return r;
    if (r != AVERROR(EAGAIN)) return r;
    if (demuxEnd_) {
      if (flushSent_) return AVERROR_EOF;
      flushSent_ = true;
      avcodec_send_packet(dec_, nullptr);
      continue;
    }
    if (ReadPacket() < 0) {
      av_packet_unref(pkt_.get());
      demuxEnd_ = true;
      continue;
    }
    r = avcodec_send_packet(dec_, pkt_.get());
    av_packet_unref(pkt_.get());
    ++packetsSent_;
    if (r < 0 && r != AVERROR(EAGAIN)) return r;
  }
}

void StreamDecoder::Restart() {
  if (dec_) avcodec_flush_buffers(dec_);
  av_packet_unref(pkt_.get());
  packetPending_ = demuxEnd_ = flushSent_ = false;
  packetsSent_ = 0;
}

}  // namespace korvane
