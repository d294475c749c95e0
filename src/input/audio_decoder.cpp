#include "input/audio_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "input/ffmpeg_objects.h"
#include "input/stream_decoder.h"

namespace korvane {

namespace {

// The most samples one conversion step makes when the source allows it (see ConvertSlice).
constexpr int kSliceSamples = 1 << 16;

}  // namespace

struct AudioDecoder::Impl {
  FormatContextPtr fmt;
  AVStream* st = nullptr;
  int index = -1;
  const AVCodec* codec = nullptr;
  CodecContextPtr dec;
  ResamplerPtr swr;
  StreamDecoder loop;
  FramePtr frame;

  bool passThrough = false;
  bool decoding = false;
  int passBlockAlign = 1;
  int outRate = 0, outChannels = 0, outFrameBytes = 0;

  // What the converter is set up for.
  AVSampleFormat swrInFormat = AV_SAMPLE_FMT_NONE;
  int swrInRate = 0;
  AVChannelLayout swrInLayout{};

  // Converted bytes not yet handed out: out[outPos, outLen).
  std::vector<uint8_t> out;
  size_t outPos = 0, outLen = 0;

  bool finished = false, started = false;
  int64_t nextSample = 0;  // source sample position of the next data; -1 unknown
  int64_t skipUntil = -1;  // drop source samples before this position (after a seek)
  int decodeError = 0;
  int frameDone = -1;  // samples of `frame` converted so far; -1: no frame taken in
  std::vector<const uint8_t*> manyPlanes;

  ~Impl() { Close(); }

  void Close() {
    loop.Detach();
    swr.reset();
    av_channel_layout_uninit(&swrInLayout);
    dec.reset();
    fmt.reset();
    frame.reset();
    st = nullptr;
    index = -1;
    codec = nullptr;
    passThrough = decoding = false;
    out.clear();
    outPos = outLen = 0;
    finished = started = false;
    nextSample = 0;
    skipUntil = -1;
    decodeError = 0;
    frameDone = -1;
  }

  int64_t SampleOf(int64_t ts) const {
    if (ts == AV_NOPTS_VALUE) return -1;
    int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    return av_rescale_q(ts - start, st->time_base, AVRational{1, st->codecpar->sample_rate});
  }

  void Reserve(size_t more) {
    if (outPos == outLen) outPos = outLen = 0;
    if (outLen + more > out.size()) {
      if (outPos > 0) {
        std::memmove(out.data(), out.data() + outPos, outLen - outPos);
        outLen -= outPos;
        outPos = 0;
      }
      if (outLen + more > out.size()) out.resize(outLen + more);
    }
  }

  // How many of `count` samples starting at `start` lie before the seek target.
  int64_t SkipCount(int64_t start, int64_t count) {
    if (skipUntil < 0) return 0;
    if (start < 0) start = nextSample;
    if (start < 0) return 0;
    return std::clamp<int64_t>(skipUntil - start, 0, count);
  }

  bool AppendPassThrough() {
    const AVPacket* pkt = loop.Packet();
    int64_t samples = pkt->size / passBlockAlign;
    int64_t start = SampleOf(pkt->pts);
    if (start < 0) start = nextSample;
    int64_t skip = SkipCount(start, samples);
    if (start >= 0) nextSample = start + samples;
    size_t skipBytes = static_cast<size_t>(skip * passBlockAlign);
    size_t bytes = static_cast<size_t>(pkt->size) - skipBytes;
    if (bytes == 0) return false;
    skipUntil = -1;
    Reserve(bytes);
    std::memcpy(out.data() + outLen, pkt->data + skipBytes, bytes);
    outLen += bytes;
    return true;
  }

  int SetUpConverter(AVSampleFormat format, int rate, const AVChannelLayout& layoutIn) {
    AVChannelLayout inLayout{};
    if (layoutIn.order == AV_CHANNEL_ORDER_UNSPEC || layoutIn.nb_channels <= 0)
      av_channel_layout_default(&inLayout, layoutIn.nb_channels);
    else
      av_channel_layout_copy(&inLayout, &layoutIn);
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, outChannels);
    swr.reset();
    SwrContext* made = nullptr;
    int r = swr_alloc_set_opts2(&made, &outLayout, AV_SAMPLE_FMT_S16, outRate, &inLayout, format,
                                rate, 0, nullptr);
    ResamplerPtr converter(made);
    if (r >= 0) r = swr_init(converter.get());
    av_channel_layout_uninit(&outLayout);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&swrInLayout);
    if (r < 0) return r;
    swr = std::move(converter);
    // Kept as the frames state it (an unspecified order too), so that the next frames compare
    // equal and the converter, with the samples it holds back, is not made again.
    av_channel_layout_copy(&swrInLayout, &layoutIn);
    swrInFormat = format;
    swrInRate = rate;
    return 0;
  }

  // Converts `count` input samples (or flushes with null input); true when bytes were added.
  bool Convert(const uint8_t** in, int count) {
    int room = swr_get_out_samples(swr.get(), count);
    if (room <= 0) return false;
    Reserve(static_cast<size_t>(room) * outFrameBytes);
    uint8_t* dest = out.data() + outLen;
    int made = swr_convert(swr.get(), &dest, room, in, count);
    if (made <= 0) return false;
    outLen += static_cast<size_t>(made) * outFrameBytes;
    return true;
  }

  // Takes the decoded `frame` in: sets up the converter for it and drops what lies before a
  // seek target. False when nothing of it is to be converted.
  bool StartFrame() {
    if (frame->nb_samples <= 0 || frame->sample_rate <= 0) return false;
    if (!swr || frame->format != swrInFormat || frame->sample_rate != swrInRate ||
        av_channel_layout_compare(&frame->ch_layout, &swrInLayout) != 0) {
      int r = SetUpConverter(static_cast<AVSampleFormat>(frame->format), frame->sample_rate,
                             frame->ch_layout);
      if (r < 0) {
        decodeError = r;
        return false;
      }
    }
    int64_t start = SampleOf(frame->best_effort_timestamp);
    if (start < 0) start = nextSample;
    int64_t skip = SkipCount(start, frame->nb_samples);
    if (start >= 0) nextSample = start + frame->nb_samples;
    if (skip == frame->nb_samples) return false;
    if (skip > 0 || skipUntil >= 0) skipUntil = -1;
    frameDone = static_cast<int>(skip);
    return true;
  }

  // Converts the next part of the frame taken in; true when bytes were added. A part makes at
  // most kSliceSamples samples unless a single source sample makes more: a source that states
  // a tiny rate, resampled far up, never needs a buffer sized by its whole frame.
  bool ConvertSlice() {
    int count = frame->nb_samples - frameDone;
    while (count > 1 && swr_get_out_samples(swr.get(), count) > kSliceSamples) count /= 2;
    const uint8_t* in[AV_NUM_DATA_POINTERS] = {};
    int sampleBytes = av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format));
    bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
    int channels = frame->ch_layout.nb_channels;
    int64_t offset = int64_t{frameDone} * sampleBytes * (planar ? 1 : channels);
    const uint8_t** source = in;
    if (planar && channels > AV_NUM_DATA_POINTERS) {
      // Many planes live behind extended_data; the converter reads them from there.
      manyPlanes.resize(static_cast<size_t>(channels));
      for (int c = 0; c < channels; ++c) manyPlanes[c] = frame->extended_data[c] + offset;
      source = manyPlanes.data();
    } else {
      for (int p = 0; p < (planar ? channels : 1); ++p) in[p] = frame->extended_data[p] + offset;
    }
    frameDone += count;
    return Convert(source, count);
  }

  // Adds the next decoded data to `out`; false at the end of the stream.
  bool Produce() {
    while (!finished) {
      if (passThrough) {
        int r = loop.ReadPacket();
        if (r < 0) {
          finished = true;
          return false;
        }
        bool added = AppendPassThrough();
        av_packet_unref(loop.Packet());
        if (added) return true;
        continue;
      }
      if (frameDone >= 0) {
        bool added = ConvertSlice();
        if (frameDone >= frame->nb_samples) {
          frameDone = -1;
          av_frame_unref(frame.get());
        }
        if (added) return true;
        continue;
      }
      int r = loop.NextFrame(frame.get());
      if (r == 0) {
        if (!StartFrame()) av_frame_unref(frame.get());
        continue;
      }
      if (r == AVERROR_EOF) {
        finished = true;
        return swr && Convert(nullptr, 0);
      }
      decodeError = r;  // the packet is skipped
    }
    return false;
  }
};

AudioDecoder::AudioDecoder() : impl_(std::make_unique<Impl>()) {}
AudioDecoder::~AudioDecoder() = default;

int AudioDecoder::Open(const std::string& path, StreamChoice choice, bool riffOnly) {
  Impl& d = *impl_;
  d.Close();
  static const char* const kRiffFormats[] = {"avi", "wav", nullptr};
  int r = OpenFormat(path.c_str(), d.fmt, false, riffOnly ? kRiffFormats : nullptr);
  if (r < 0) return r;
  if (NeedsSequentialReading(d.fmt.get())) {
    r = OpenFormat(path.c_str(), d.fmt, true);
    if (r < 0) {
      d.Close();
      return r;
    }
  }
  int index = -1;
  if (choice == StreamChoice::First) {
    for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
      if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        index = static_cast<int>(i);
        break;
      }
  } else {
    index = av_find_best_stream(d.fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  }
  if (index < 0) {
    d.Close();
    return AVERROR_STREAM_NOT_FOUND;
  }
  d.index = index;
  d.st = d.fmt->streams[index];
  const AVCodecParameters* par = d.st->codecpar;
  if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0 || d.st->time_base.num <= 0 ||
      d.st->time_base.den <= 0) {
    d.Close();
    return AVERROR_INVALIDDATA;
  }
  for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
    if (static_cast<int>(i) != index) d.fmt->streams[i]->discard = AVDISCARD_ALL;
  d.frame.reset(av_frame_alloc());
  if (!d.loop.Ready() || !d.frame) {
    d.Close();
    return AVERROR(ENOMEM);
  }
  d.loop.Attach(d.fmt.get(), index, nullptr);
  return 0;
}

int AudioDecoder::SourceRate() const {
  return impl_->st ? impl_->st->codecpar->sample_rate : 0;
}
int AudioDecoder::SourceChannels() const {
  return impl_->st ? impl_->st->codecpar->ch_layout.nb_channels : 0;
}
int AudioDecoder::SourceBitsPerSample() const {
  return impl_->st ? impl_->st->codecpar->bits_per_coded_sample : 0;
}

bool AudioDecoder::IsPassThroughPcm() const {
  if (!impl_->st) return false;
  AVCodecID id = impl_->st->codecpar->codec_id;
  return id == AV_CODEC_ID_PCM_U8 || id == AV_CODEC_ID_PCM_S16LE;
}

double AudioDecoder::DurationSeconds() const {
  const Impl& d = *impl_;
  if (!d.fmt) return 0.0;
  if (d.st->duration != AV_NOPTS_VALUE && d.st->duration > 0)
    return d.st->duration * av_q2d(d.st->time_base);
  if (d.fmt->duration != AV_NOPTS_VALUE && d.fmt->duration > 0)
    return d.fmt->duration / static_cast<double>(AV_TIME_BASE);
  return 0.0;
}

void AudioDecoder::StartPassThrough() {
  Impl& d = *impl_;
  d.passThrough = true;
  int bytes = d.st->codecpar->codec_id == AV_CODEC_ID_PCM_U8 ? 1 : 2;
  d.passBlockAlign = std::max(1, bytes * d.st->codecpar->ch_layout.nb_channels);
  d.out.reserve(static_cast<size_t>(d.passBlockAlign) * d.st->codecpar->sample_rate * 2);
}

int AudioDecoder::FindDecoder() {
  Impl& d = *impl_;
  if (!d.st) return AVERROR(EINVAL);
  d.codec = avcodec_find_decoder(d.st->codecpar->codec_id);
  return d.codec ? 0 : AVERROR_DECODER_NOT_FOUND;
}

int AudioDecoder::StartDecoding(int rate, int channels) {
  Impl& d = *impl_;
  if (!d.codec) {
    int r = FindDecoder();
    if (r < 0) return r;
  }
  int r = OpenCodecContext(d.st, d.codec, 1, d.dec);
  if (r < 0) return r;
  d.loop.SetDecoder(d.dec.get());
  d.outRate = rate;
  d.outChannels = channels;
  d.outFrameBytes = 2 * channels;
  // Check early that the converter accepts what the decoder announces.
  if (d.dec->sample_fmt != AV_SAMPLE_FMT_NONE && d.dec->sample_rate > 0 &&
      d.dec->ch_layout.nb_channels > 0) {
    r = d.SetUpConverter(d.dec->sample_fmt, d.dec->sample_rate, d.dec->ch_layout);
    if (r < 0) return r;
  }
  d.decoding = true;
  d.out.reserve(static_cast<size_t>(d.outFrameBytes) * rate * 2);
  return 0;
}

int AudioDecoder::Read(uint8_t* dest, int capacity) {
  Impl& d = *impl_;
  if (!d.passThrough && !d.decoding) return 0;
  d.started = true;
  int delivered = 0;
  while (delivered < capacity) {
    if (d.outPos == d.outLen && !d.Produce()) break;
    size_t n = std::min<size_t>(d.outLen - d.outPos, static_cast<size_t>(capacity - delivered));
    std::memcpy(dest + delivered, d.out.data() + d.outPos, n);
    d.outPos += n;
    delivered += static_cast<int>(n);
  }
  return delivered;
}

int AudioDecoder::TakeDecodeError() {
  int r = impl_->decodeError;
  impl_->decodeError = 0;
  return r;
}

bool AudioDecoder::SeekMilliseconds(int64_t milliseconds) {
  Impl& d = *impl_;
  if (!d.fmt || milliseconds < 0) return false;
  int64_t target = av_rescale(milliseconds, d.st->codecpar->sample_rate, 1000);
  if (!d.started && milliseconds == 0) return true;
  int64_t start = d.st->start_time != AV_NOPTS_VALUE ? d.st->start_time : 0;
  int64_t ts = start + av_rescale_q(milliseconds, AVRational{1, 1000}, d.st->time_base);
  int r = av_seek_frame(d.fmt.get(), d.index, ts, AVSEEK_FLAG_BACKWARD);
  if (r < 0) {
    if (d.started) return false;
    // Not yet read: decode from the start and drop what lies before the target.
    d.nextSample = 0;
    d.skipUntil = target;
    return true;
  }
  d.loop.Restart();
  if (d.frameDone >= 0) {
    av_frame_unref(d.frame.get());
    d.frameDone = -1;
  }
  if (d.swr) {
    swr_close(d.swr.get());
    swr_init(d.swr.get());
  }
  d.outPos = d.outLen = 0;
  d.finished = false;
  d.nextSample = -1;
  d.skipUntil = target;
  return true;
}

void AudioDecoder::Close() {
  impl_->Close();
}

}  // namespace korvane
