#include "input/video_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "input/ffmpeg_objects.h"
#include "input/stream_decoder.h"

namespace korvane {

namespace {

// One frame of the stream, in decode order.
struct FrameEntry {
  int64_t pts = AV_NOPTS_VALUE;
  int64_t dts = AV_NOPTS_VALUE;
  int64_t duration = 0;  // in the stream's time base; 0 when unknown
  bool key = false;
};

bool ValidRate(AVRational r) {
  return r.num > 0 && r.den > 0;
}

std::string FourCharacters(uint32_t tag, AVCodecID id) {
  std::string text;
  if (tag != 0) {
    for (int i = 0; i < 4; ++i) {
      char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
      text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
  }
  text = avcodec_get_name(id);
  text.resize(4, ' ');
  return text;
}

}  // namespace

struct VideoDecoder::Impl {
  std::string path;
  FormatContextPtr fmt;
  AVStream* st = nullptr;
  int index = -1;
  CodecContextPtr dec;
  ScalerPtr sws;
  StreamDecoder loop;
  FramePtr frame;
  FramePtr held;  // the last decoded frame
  int64_t heldIndex = -1;

  VideoFacts facts;
  std::vector<FrameEntry> table;   // every frame in decode order
  std::vector<int64_t> sortedPts;  // presentation times, when every frame has one

  int64_t nextIndex = 0;        // presentation index of the next decoded frame
  bool firstAfterSeek = false;  // the next decoded frame's index comes from its timestamp
  bool failed = false;          // a packet could not be decoded; no frame is served after it
  bool ignoreIndex = false;     // the file's own index is not trusted, even to read packets
  int threads = 0;              // decoding threads: 0 as FFmpeg chooses
  int scaleFlags = SWS_BICUBIC;
  std::vector<double> times;  // presentation time of every frame, from the first; made on demand

  // Converted picture, top-down, before it is placed.
  uint8_t* picture = nullptr;
  int pictureStride = 0, pictureWidth = 0, pictureHeight = 0;

  ~Impl() { Close(); }

  void CloseStream() {
    loop.Detach();
    dec.reset();
    fmt.reset();
    st = nullptr;
  }

  void Close() {
    CloseStream();
    sws.reset();
    frame.reset();
    held.reset();
    av_freep(&picture);
    pictureStride = pictureWidth = pictureHeight = 0;
    heldIndex = -1;
    index = -1;
    table.clear();
    sortedPts.clear();
    times.clear();
    nextIndex = 0;
    firstAfterSeek = false;
    failed = false;
    ignoreIndex = false;
  }

  int OpenStream() {
    int r = OpenFormat(path.c_str(), fmt, ignoreIndex);
    if (r < 0) return r;
    int best = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best >= 0 && (fmt->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC)) best = -1;
    if (best < 0) {
      // A cover picture is not a movie; take the first real video stream if there is one.
      for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* s = fmt->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
          best = static_cast<int>(i);
          break;
        }
      }
    }
    if (best < 0) return AVERROR_STREAM_NOT_FOUND;
    if (index >= 0 && best != index) return AVERROR_STREAM_NOT_FOUND;
    index = best;
    st = fmt->streams[index];
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
      if (static_cast<int>(i) != index) fmt->streams[i]->discard = AVDISCARD_ALL;
    loop.Attach(fmt.get(), index, nullptr);
    return 0;
  }

  void BuildTableFromIndex() {
    int count = avformat_index_get_entries_count(st);
    table.reserve(count);
    for (int i = 0; i < count; ++i) {
      const AVIndexEntry* e = avformat_index_get_entry(st, i);
      if (!e || e->size <= 0) continue;
      FrameEntry entry;
      entry.dts = e->timestamp;
      entry.key = (e->flags & AVINDEX_KEYFRAME) != 0;
      table.push_back(entry);
    }
  }

  void BuildTableByReading() {
    while (loop.ReadPacket() >= 0) {
      const AVPacket* pkt = loop.Packet();
      FrameEntry entry;
      entry.pts = pkt->pts;
      entry.dts = pkt->dts;
      entry.duration = std::max<int64_t>(pkt->duration, 0);
      entry.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      table.push_back(entry);
    }
    av_packet_unref(loop.Packet());
  }

  void BuildSortedPts() {
    sortedPts.clear();
    for (const FrameEntry& e : table) {
      if (e.pts == AV_NOPTS_VALUE) {
        sortedPts.clear();
        return;
      }
      sortedPts.push_back(e.pts);
    }
    std::sort(sortedPts.begin(), sortedPts.end());
    if (std::adjacent_find(sortedPts.begin(), sortedPts.end()) != sortedPts.end())
      sortedPts.clear();
  }

  // Position in the table of a packet just read, or -1.
  int64_t FindEntry(const AVPacket* p) const {
    for (size_t i = 0; i < table.size(); ++i) {
      const FrameEntry& e = table[i];
      if (e.dts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE) {
        if (e.dts == p->dts) return static_cast<int64_t>(i);
      } else if (e.pts != AV_NOPTS_VALUE && e.pts == p->pts) {
        return static_cast<int64_t>(i);
      }
    }
    return -1;
  }

  void ResetDecoding() {
    loop.Restart();
    av_frame_unref(held.get());
    heldIndex = -1;
  }

  // Seeks to the key frame `k` (or another key frame not after frame `n`) and keeps its packet
  // as the next to decode. True when the position is known. Containers index by presentation
  // or by decoding time, so both are tried, the one that lands exactly on `k` first.
  bool TrySeekToKey(int64_t k, int64_t n) {
    const FrameEntry& e = table[k];
    for (bool exact : {true, false}) {
      for (int64_t ts : {e.pts, e.dts}) {
        if (ts == AV_NOPTS_VALUE) continue;
        if (av_seek_frame(fmt.get(), index, ts, AVSEEK_FLAG_BACKWARD) < 0) continue;
        ResetDecoding();
        if (loop.ReadPacket() < 0) continue;
        int64_t j = FindEntry(loop.Packet());
        if (j < 0 || j > n || !table[j].key || (exact && j != k)) continue;
        loop.KeepPacket();
        nextIndex = j;
        firstAfterSeek = !sortedPts.empty();
        return true;
      }
    }
    return false;
  }

  // Back to the first frame: by seeking when the container allows it exactly, else by opening
  // the file again.
  // A paletted stream's colour table is a state of the decoder that the file changes from some
  // frame on; after a seek the decoder would keep the table of whatever it decoded last.
  bool Paletted() const {
    return st->codecpar->format == AV_PIX_FMT_PAL8 || (dec && dec->pix_fmt == AV_PIX_FMT_PAL8);
  }

  bool SeekToStart() {
    if (!Paletted() && !table.empty() && table[0].key && TrySeekToKey(0, 0)) {
      firstAfterSeek = false;
      nextIndex = 0;
      return true;
    }
    bool hadDecoder = dec != nullptr;
    CloseStream();
    ResetDecoding();
    bool ok = OpenStream() == 0;
    if (ok && hadDecoder) ok = OpenCodec();
    nextIndex = 0;
    firstAfterSeek = false;
    return ok;
  }

  bool SeekFor(int64_t n) {
    // Without presentation times a reordering stream cannot tell which frame follows a key
    // frame; it is walked from the start.
    if (sortedPts.empty() && st->codecpar->video_delay > 0) return SeekToStart();
    // A paletted stream is decoded from the start with a new decoder, so that every frame gets
    // the colour table the file gives it by then.
    if (Paletted()) return SeekToStart();
    int64_t k = std::min<int64_t>(n, static_cast<int64_t>(table.size()) - 1);
    while (k > 0 && !table[k].key) --k;
    if (k > 0 && TrySeekToKey(k, n)) return true;
    return SeekToStart();
  }

  bool OpenCodec() {
    if (OpenCodecContext(st, avcodec_find_decoder(st->codecpar->codec_id), threads, dec) < 0)
      return false;
    loop.SetDecoder(dec.get());
    return true;
  }

  // The next frame in presentation order into `frame`; false at the end, or with `failed` set
  // when a packet cannot be decoded: skipping it would shift every later frame.
  bool NextFrame() {
    int r = loop.NextFrame(frame.get());
    if (r == 0) return true;
    if (r != AVERROR_EOF) failed = true;
    return false;
  }

  int64_t IndexOfFirstAfterSeek() {
    firstAfterSeek = false;
    int64_t ts = frame->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = frame->pts;
    auto it = std::lower_bound(sortedPts.begin(), sortedPts.end(), ts);
    if (ts != AV_NOPTS_VALUE && it != sortedPts.end() && *it == ts) return it - sortedPts.begin();
    return nextIndex;
  }

  // How long the last frame in presentation order is shown, from its packet; 0 when unknown.
  double LastFrameSeconds() const {
    if (sortedPts.empty()) return 0.0;
    for (const FrameEntry& e : table)
      if (e.pts == sortedPts.back()) return e.duration * av_q2d(st->time_base);
    return 0.0;
  }

  // Seconds per frame as the stream states it, or 0.
  double FrameSeconds() const {
    return facts.RateNum > 0 && facts.RateDen > 0
               ? static_cast<double>(facts.RateDen) / facts.RateNum
               : 0.0;
  }

  // Presentation times from the timestamps (sorted presentation times, else the decoding times
  // of a container without reordering), else from the frame rate.
  void BuildTimes() {
    if (!times.empty() || table.empty() || !st) return;
    double unit = av_q2d(st->time_base);
    times.reserve(table.size());
    if (!sortedPts.empty()) {
      for (int64_t pts : sortedPts) times.push_back((pts - sortedPts[0]) * unit);
      return;
    }
    bool increasing = true;
    for (size_t i = 0; i < table.size() && increasing; ++i)
      increasing = table[i].dts != AV_NOPTS_VALUE && (i == 0 || table[i].dts > table[i - 1].dts);
    if (increasing && unit > 0) {
      for (const FrameEntry& e : table) times.push_back((e.dts - table[0].dts) * unit);
      return;
    }
    double step = FrameSeconds() > 0 ? FrameSeconds() : 1.0;
    for (size_t i = 0; i < table.size(); ++i) times.push_back(static_cast<double>(i) * step);
  }

  bool Place(const AVFrame* f, uint8_t* dest, std::ptrdiff_t destStride, int width, int height) {
    if (f->width <= 0 || f->height <= 0 || width <= 0 || height <= 0) return false;
    sws.reset(sws_getCachedContext(sws.release(), f->width, f->height,
                                   static_cast<AVPixelFormat>(f->format), width, height,
                                   AV_PIX_FMT_BGR24, scaleFlags, nullptr, nullptr, nullptr));
    if (!sws) return false;
    if (width != pictureWidth || height != pictureHeight) {
      av_freep(&picture);
      pictureStride = FFALIGN(width * 3, 64);
      picture = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(pictureStride) * height + 64));
      if (!picture) return false;
      pictureWidth = width;
      pictureHeight = height;
    }
    uint8_t* planes[4] = {picture, nullptr, nullptr, nullptr};
    int strides[4] = {pictureStride, 0, 0, 0};
    if (sws_scale(sws.get(), f->data, f->linesize, 0, f->height, planes, strides) != height)
      return false;
    for (int y = 0; y < height; ++y)
      std::memcpy(dest + y * destStride, picture + static_cast<std::ptrdiff_t>(y) * pictureStride,
                  static_cast<size_t>(width) * 3);
    return true;
  }
};

VideoDecoder::VideoDecoder() : impl_(std::make_unique<Impl>()) {}
VideoDecoder::~VideoDecoder() = default;

int VideoDecoder::Open(const std::string& path) {
  Impl& d = *impl_;
  d.Close();
  d.facts = VideoFacts();
  d.path = path;
  d.frame.reset(av_frame_alloc());
  d.held.reset(av_frame_alloc());
  if (!d.loop.Ready() || !d.frame || !d.held) return AVERROR(ENOMEM);
  int r = d.OpenStream();
  if (r < 0) {
    d.Close();
    return r;
  }
  const AVCodecParameters* par = d.st->codecpar;
  if (par->width <= 0 || par->height <= 0) {
    d.Close();
    return AVERROR_INVALIDDATA;
  }
  VideoFacts& f = d.facts;
  f.Width = par->width;
  f.Height = par->height;
  AVRational rate = ValidRate(d.st->avg_frame_rate) ? d.st->avg_frame_rate
                    : ValidRate(d.st->r_frame_rate) ? d.st->r_frame_rate
                                                    : AVRational{0, 0};
  f.RateNum = rate.num;
  f.RateDen = rate.den;
  f.PictureFormat = FourCharacters(par->codec_tag, par->codec_id);
  f.BitsPerPixel = par->bits_per_coded_sample;
  if (f.BitsPerPixel <= 0) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format));
    f.BitsPerPixel = desc ? av_get_bits_per_pixel(desc) : 0;
  }
  AVRational sar = av_guess_sample_aspect_ratio(d.fmt.get(), d.st, nullptr);
  if (ValidRate(sar)) {
    f.SampleAspectNum = sar.num;
    f.SampleAspectDen = sar.den;
  }

  // The container's own index is used where it is exact (an AVI's complete index); elsewhere
  // the packets are counted.
  bool avi = std::strcmp(d.fmt->iformat->name, "avi") == 0;
  if (avi && !NeedsSequentialReading(d.fmt.get())) {
    d.BuildTableFromIndex();
  } else {
    if (avi) {
      d.CloseStream();
      d.ignoreIndex = true;
      r = d.OpenStream();
      if (r < 0) {
        d.Close();
        return r;
      }
    }
    d.BuildTableByReading();
    d.BuildSortedPts();
    if (!d.SeekToStart()) {
      d.Close();
      return AVERROR_INVALIDDATA;
    }
  }
  f.FrameCount = static_cast<int64_t>(d.table.size());
  return 0;
}

const VideoFacts& VideoDecoder::Facts() const {
  return impl_->facts;
}

bool VideoDecoder::OpenDecoder(int threads) {
  Impl& d = *impl_;
  if (!d.st) return false;
  d.threads = threads;
  return d.OpenCodec();
}

bool VideoDecoder::DecodeFrame(int64_t n, uint8_t* dest, std::ptrdiff_t destStride, int width,
                               int height) {
  Impl& d = *impl_;
  if (!d.dec || d.failed || n < 0 || n >= d.facts.FrameCount) return false;
  if (d.heldIndex == n) return d.Place(d.held.get(), dest, destStride, width, height);
  bool restarted = false;
  if (n < d.nextIndex) {
    if (!d.SeekFor(n)) return false;
  }
  for (;;) {
    if (!d.NextFrame()) {
      if (d.failed) return false;
      // The stream ends before frame n: keep showing the last picture it had.
      if (d.heldIndex >= 0) return d.Place(d.held.get(), dest, destStride, width, height);
      return false;
    }
    int64_t index = d.firstAfterSeek ? d.IndexOfFirstAfterSeek() : d.nextIndex;
    d.nextIndex = index + 1;
    if (index > n) {
      // The seek landed past frame n: walk from the very start instead.
      av_frame_unref(d.frame.get());
      if (restarted || !d.SeekToStart()) return false;
      restarted = true;
      continue;
    }
    av_frame_unref(d.held.get());
    av_frame_move_ref(d.held.get(), d.frame.get());
    d.heldIndex = index;
    if (index == n) return d.Place(d.held.get(), dest, destStride, width, height);
  }
}

void VideoDecoder::SetHighQualityScaling(bool high) {
  impl_->scaleFlags = high ? SWS_LANCZOS | SWS_ACCURATE_RND : SWS_BICUBIC;
}

int64_t VideoDecoder::FrameAtSeconds(double seconds) {
  Impl& d = *impl_;
  d.BuildTimes();
  if (d.times.empty()) return 0;
  // A little slack so that a frame due exactly at `seconds` is not missed by rounding.
  auto it = std::upper_bound(d.times.begin(), d.times.end(), seconds + 1e-9);
  return it == d.times.begin() ? 0 : (it - d.times.begin()) - 1;
}

double VideoDecoder::DurationSeconds() {
  Impl& d = *impl_;
  if (d.FrameSeconds() > 0) {
    double step = d.FrameSeconds();
    double even = static_cast<double>(d.facts.FrameCount) * step;
    d.BuildTimes();
    bool evenlySpaced = true;
    for (size_t i = 0; i < d.times.size() && evenlySpaced; ++i)
      evenlySpaced = std::fabs(d.times[i] - static_cast<double>(i) * step) <= step / 2;
    if (evenlySpaced) return even;
    // Frames at uneven times: the movie lasts until the last one has been shown, and as long as
    // the stream or the file says when that is later.
    double last = d.LastFrameSeconds();
    double length = d.times.back() + (last > 0 ? last : step);
    if (d.st->duration != AV_NOPTS_VALUE && d.st->duration > 0)
      length = std::max(length, d.st->duration * av_q2d(d.st->time_base));
    else if (d.fmt->duration != AV_NOPTS_VALUE && d.fmt->duration > 0)
      length = std::max(length, d.fmt->duration / static_cast<double>(AV_TIME_BASE));
    return length;
  }
  d.BuildTimes();
  if (d.times.size() < 2) return 0.0;
  // The last frame lasts as long as the frames on average.
  return d.times.back() * static_cast<double>(d.times.size()) / (d.times.size() - 1);
}

int64_t VideoDecoder::DecodedSinceSeek() const {
  return impl_->loop.PacketsSent();
}

void VideoDecoder::Close() {
  impl_->Close();
}

}  // namespace korvane
