#include "input/movie_source.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "input/audio_decoder.h"
#include "input/generic_audio_reader.h"
#include "input/riff_audio_info.h"
#include "input/video_decoder.h"
#include "input/wave_format.h"

namespace korvane {

namespace {

std::string Hex8(int code) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<uint32_t>(code));
  return text;
}

// " (FFmpeg's reason in words)" for one of its error codes.
std::string Reason(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) return "";
  return std::string(" (") + text + ")";
}

int32_t Saturate(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// Frames larger than this are given their buffer on the first frame request, so that a
// movie the driver refuses for its size costs no memory.
constexpr int64_t kEagerBufferPixels = 4096 * 2304;

// Stated frame rates above this are taken for damaged headers, not for frame times.
constexpr double kHighestTimedFrameRate = 1e5;

// "-fit" scales pictures down to fit inside this size.
constexpr int32_t kFitWidth = 640, kFitHeight = 480;

}  // namespace

struct MovieSource::Impl {
  explicit Impl(std::ostream& o) : out(o), generic(o) {}

  std::ostream& out;
  MovieSourceOptions options;
  VideoDecoder video;
  bool videoOpen = false;
  std::string audioName;
  bool frameByFrame = false;  // "-fps" shows source frame n as output frame n
  std::vector<uint8_t> frameBuffer;
  FramePreviewHook hook;

  // Soundtrack.
  AudioDecoder fileAudio;
  GenericAudioReader generic;
  bool genericReader = false;  // the generic reader serves the sound
  std::vector<uint8_t> readBuffer;
  int32_t readSize = 0;
  int32_t pending = 0, pendingOffset = 0;
  bool endReached = false;
};

MovieSource::MovieSource(std::ostream& out) : impl_(std::make_unique<Impl>(out)) {}
MovieSource::~MovieSource() {
  CloseAvi();
}

void MovieSource::SetAudioDisplayName(std::string name) {
  impl_->audioName = std::move(name);
}

void MovieSource::SetPreviewHook(FramePreviewHook hook) {
  impl_->hook = std::move(hook);
}

bool MovieSource::OpenAvi(const std::string& movieFile, const std::string& audioFile,
                          const MovieSourceOptions& options) {
  CloseAvi();
  Impl& d = *impl_;
  d.options = options;
  std::ostream& out = d.out;

  int r = d.video.Open(movieFile);
  if (r < 0) {
    LastError = "Error opening video stream: " + Hex8(r) + Reason(r);
    return false;
  }
  const VideoFacts& f = d.video.Facts();
  FirstFrame = 0;
  FrameCount = Saturate(f.FrameCount);
  bool haveRate = f.RateNum > 0 && f.RateDen > 0;
  FrameRate = haveRate ? static_cast<double>(f.RateNum) / f.RateDen : 0.0;
  FramesPerSecond = haveRate ? Saturate(static_cast<int64_t>(std::nearbyint(FrameRate))) : 0;
  double duration = haveRate ? FrameCount / FrameRate : 0.0;

  out << "Input video stream info:\n";
  out << "    first frame: " << FirstFrame << "   " << FrameCount << " frames  ("
      << TwoDecimals(duration) << " seconds)\n";
  PictureWidth = f.Width;
  PictureHeight = f.Height;
  out << "    width: " << PictureWidth << "   height: " << PictureHeight << "\n";
  if (options.FitToLimit && (PictureWidth > kFitWidth || PictureHeight > kFitHeight)) {
    FitPicture(f.SampleAspectNum, f.SampleAspectDen);
    d.video.SetHighQualityScaling(true);
    out << "    scaled to: " << PictureWidth << " x " << PictureHeight << "\n";
  }
  if (haveRate) out << "    framerate: " << TwoDecimals(FrameRate) << " fps";
  out << "    picture format: " << f.PictureFormat;
  BitsPerPixel = static_cast<uint16_t>(f.BitsPerPixel);
  out << "    bits per pixel: " << BitsPerPixel << "\n";

  // A stated rate beyond any movie's (a damaged header's 2147483647 frames a second) gives no
  // usable times: "-fps" then shows the frames one after another at its own rate.
  d.frameByFrame = options.OutputFrameRate > 0 && FrameRate > kHighestTimedFrameRate;
  if (d.frameByFrame) {
    FrameRate = options.OutputFrameRate;
    FramesPerSecond = Saturate(static_cast<int64_t>(std::nearbyint(FrameRate)));
    out << "    converted at: " << TwoDecimals(FrameRate) << " fps   " << FrameCount << " frames\n";
  } else if (options.OutputFrameRate > 0) {
    // Output frame n shows the source frame on screen at n / rate; as many frames as cover the
    // source's length.
    double length = d.video.DurationSeconds();
    if (length <= 0 && f.FrameCount > 0) {
      LastError = "Cannot convert to another frame rate: the movie states no frame timing";
      d.video.Close();
      return false;
    }
    FrameRate = options.OutputFrameRate;
    FramesPerSecond = Saturate(static_cast<int64_t>(std::nearbyint(FrameRate)));
    double frames = std::ceil(length * FrameRate - 1e-6);
    FrameCount = f.FrameCount > 0
                     ? Saturate(std::max<int64_t>(1, static_cast<int64_t>(std::min(frames, 1e12))))
                     : 0;
    out << "    converted at: " << TwoDecimals(FrameRate) << " fps   " << FrameCount << " frames\n";
  }

  FrameWidth = ((PictureWidth - 1) / 16 + 1) * 16;
  FrameHeight = ((PictureHeight - 1) / 8 + 1) * 8;
  PictureOffsetX = (FrameWidth - PictureWidth) / 2;
  PictureOffsetY = (FrameHeight - PictureHeight) / 2;

  if (!d.video.OpenDecoder(options.DecoderThreads)) {
    LastError = "Cannot open converter for this format. Try to re-compress your movie.";
    d.video.Close();
    return false;
  }
  if (static_cast<int64_t>(FrameWidth) * FrameHeight <= kEagerBufferPixels) {
    try {
      d.frameBuffer.assign(static_cast<size_t>(FrameWidth) * FrameHeight * 3, 0);
    } catch (const std::bad_alloc&) {
      LastError = "Cannot allocate output bitmap";
      d.video.Close();
      return false;
    }
  }
  d.videoOpen = true;

  AudioPresent = false;
  ChooseSoundtrack(movieFile, audioFile);
  return true;
}

const uint8_t* MovieSource::GetAviFrame(int n) {
  Impl& d = *impl_;
  if (!d.videoOpen) {
    d.out << "get_avi_frame: pgf not initialized\n";
    return nullptr;
  }
  if (d.frameBuffer.empty()) {
    try {
      d.frameBuffer.assign(static_cast<size_t>(FrameWidth) * FrameHeight * 3, 0);
    } catch (const std::bad_alloc&) {
      LastError = "Cannot allocate output bitmap";
      return nullptr;
    }
  }
  std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(FrameWidth) * 3;
  uint8_t* top = d.frameBuffer.data() + (FrameHeight - 1 - PictureOffsetY) * stride +
                 static_cast<std::ptrdiff_t>(PictureOffsetX) * 3;
  int64_t index = static_cast<int64_t>(n) - FirstFrame;
  bool inRange = n >= FirstFrame && index < FrameCount;
  // At another frame rate, the source frame on screen at the output frame's time.
  if (inRange && d.options.OutputFrameRate > 0 && !d.frameByFrame)
    index = d.video.FrameAtSeconds(index / d.options.OutputFrameRate);
  if (!inRange || !d.video.DecodeFrame(index, top, -stride, PictureWidth, PictureHeight)) {
    LastError = "Cannot decompress data";
    return nullptr;
  }
  if (d.hook)
    d.hook(d.frameBuffer.data(), FrameWidth, FrameHeight, PictureOffsetX, PictureOffsetY,
           PictureWidth, PictureHeight);
  return d.frameBuffer.data();
}

void MovieSource::FitPicture(int sampleAspectNum, int sampleAspectDen) {
  // The size the picture is meant to be seen at: its pixels are not always square.
  double width = PictureWidth, height = PictureHeight;
  if (sampleAspectNum > 0 && sampleAspectDen > 0) width = width * sampleAspectNum / sampleAspectDen;
  double scale = std::min(kFitWidth / width, kFitHeight / height);
  PictureWidth = static_cast<int32_t>(std::clamp<double>(std::round(width * scale), 1, kFitWidth));
  PictureHeight =
      static_cast<int32_t>(std::clamp<double>(std::round(height * scale), 1, kFitHeight));
}

void MovieSource::ChooseSoundtrack(const std::string& movieFile, const std::string& audioFile) {
  Impl& d = *impl_;
  std::ostream& out = d.out;
  if (d.options.NoSound) {
    out << "Ignoring soundtrack.\n";
    return;
  }
  if (audioFile != movieFile)
    out << "Soundtrack from `" << (d.audioName.empty() ? audioFile : d.audioName) << "'\n";
  if (d.options.ForceDirectShow) {
    d.genericReader = true;
    out << "Using DirectShow for audio input.\n";
  }
  OpenAviAudio(audioFile);
  if (!d.options.ForceDirectShow && !AudioPresent) {
    out << "Trying DirectShow for audio input.\n";
    d.genericReader = true;
    OpenAviAudio(audioFile);
  }
  if (!AudioPresent) out << "No soundtrack.\n";
}

void MovieSource::OpenAviAudio(const std::string& audioFile) {
  Impl& d = *impl_;
  std::ostream& out = d.out;
  WaveFormat source;
  int sourceRate = 0, sourceChannels = 0;
  bool passThrough = false;
  if (!d.genericReader) {
    d.fileAudio.Close();
    if (d.fileAudio.Open(audioFile, AudioDecoder::StreamChoice::First, true) < 0) return;
    out << "Input audio stream info:\n";
    RiffAudioInfo info;
    if (!ReadRiffAudioInfo(audioFile, info)) {
      // Not readable as plain RIFF: describe the stream as FFmpeg sees it.
      info.format.FormatTag = 0;
      info.format.Channels = static_cast<uint16_t>(d.fileAudio.SourceChannels());
      info.format.SamplesPerSec = static_cast<uint32_t>(d.fileAudio.SourceRate());
      info.format.BitsPerSample = static_cast<uint16_t>(d.fileAudio.SourceBitsPerSample());
      info.Scale = 1;
      info.Rate = info.format.SamplesPerSec;
      info.Length = static_cast<uint32_t>(d.fileAudio.DurationSeconds() * info.Rate);
    }
    // The product is 32-bit, as the stream facts are.
    int32_t span = static_cast<int32_t>(info.Length * info.Scale);
    double duration = info.Rate ? span / static_cast<double>(info.Rate) : 0.0;
    out << "    first sample: " << info.Start << "   " << info.Length << " samples  ("
        << TwoDecimals(duration) << " seconds)\n";
    double rate = info.Scale ? static_cast<double>(info.Rate) / info.Scale : 0.0;
    out << "    sample rate: " << TwoDecimals(rate)
        << "    suggested buf size: " << info.SuggestedBufferSize
        << "    skew: " << info.InitialFrames << "\n";
    source = info.format;
    sourceRate = d.fileAudio.SourceRate();
    sourceChannels = d.fileAudio.SourceChannels();
    // 8- and 16-bit PCM of one or two channels that fits the file's rate field goes through
    // unchanged; everything else is decoded to 16-bit.
    passThrough = source.FormatTag == kWaveFormatPcm && d.fileAudio.IsPassThroughPcm() &&
                  (source.BitsPerSample == 8 || source.BitsPerSample == 16) &&
                  source.BitsPerSample == d.fileAudio.SourceBitsPerSample() &&
                  (sourceChannels == 1 || sourceChannels == 2) &&
                  source.Channels == sourceChannels &&
                  static_cast<int>(source.SamplesPerSec) == sourceRate && sourceRate <= 65535 &&
                  (d.options.OutputAudioRate <= 0 || d.options.OutputAudioRate == sourceRate);
  } else {
    d.generic.SetOutputRate(d.options.OutputAudioRate);
    if (d.generic.Open(audioFile) != 0) return;
    d.generic.Format(source);
    sourceRate = static_cast<int>(source.SamplesPerSec);
    sourceChannels = source.Channels;
    passThrough = true;  // the reader already serves 16-bit PCM
  }
  out << "    format details: " << DescribeAudioFormat(source) << "\n";

  WaveFormat target = source;
  if (!passThrough) {
    int r = d.fileAudio.FindDecoder();
    if (r < 0) {
      out << "Decompression to PCM is not supported: " << r << Reason(r) << "\n";
      return;
    }
    target = GenericReaderFormat(sourceRate, sourceChannels, d.options.OutputAudioRate);
  }
  out << "Audio decoding scheme: \n";
  out << "    " << DescribeAudioFormat(source);
  if (!passThrough) {
    int r = d.fileAudio.StartDecoding(static_cast<int>(target.SamplesPerSec), target.Channels);
    if (r < 0) {
      // The scheme line ends before the message, which is a line of its own.
      out << "\nCannot open decompressor: " << r << Reason(r) << "\n";
      return;
    }
    out << " -> " << DescribeAudioFormat(target);
  } else if (!d.genericReader) {
    d.fileAudio.StartPassThrough();
  }
  out << " -> MVE\n";

  // One second of sound at a time. The header's byte rate is only believed up to what the
  // served format makes in a second (at most 65535 samples of 2 channels of 2 bytes).
  int64_t second = int64_t{target.SamplesPerSec} * target.Channels * (target.BitsPerSample / 8);
  d.readSize = static_cast<int32_t>(
      std::clamp<int64_t>(target.AvgBytesPerSec, 1, std::clamp<int64_t>(second, 1, 1 << 20)));
  d.readBuffer.assign(static_cast<size_t>(d.readSize), 0);
  d.pending = d.pendingOffset = 0;
  d.endReached = false;

  AudioRate = static_cast<int32_t>(target.SamplesPerSec);
  AudioChannels = target.Channels;
  AudioBytesPerSample = target.BitsPerSample / 8;
  int64_t frameBytes = static_cast<int64_t>(AudioChannels) * AudioBytesPerSample;
  // A movie slower than half a frame per second is grouped as one frame per second.
  int32_t group = std::max(FramesPerSecond, 1);
  int64_t unbounded = std::numeric_limits<int32_t>::max();
  int64_t chunk = unbounded, lead = unbounded, perSecond = unbounded;
  if (FrameRate > 0.0) {
    int32_t product = static_cast<int32_t>(static_cast<int64_t>(group) * AudioRate);
    double samples = std::nearbyint(product / FrameRate);
    perSecond = static_cast<int64_t>(std::min(samples, 1e15)) * frameBytes;
    chunk =
        static_cast<int64_t>(std::min(std::trunc(AudioRate / FrameRate), 1e15) + 1) * frameBytes;
    lead = perSecond - chunk * (group - 1);
    if (lead < 0) {
      // Fast movies with few samples per frame: even pieces that still add up to the second.
      chunk = perSecond / frameBytes / group * frameBytes;
      lead = perSecond - chunk * (group - 1);
    }
  }
  AudioBytesPerSecond = Saturate(perSecond);
  AudioChunkBytes = Saturate(chunk);
  AudioLeadChunkBytes = Saturate(lead);
  AudioPresent = true;
}

int32_t MovieSource::ReadAviAudio(uint8_t* dest, int32_t count) {
  Impl& d = *impl_;
  if (dest == nullptr || count <= 0) return 0;
  uint8_t silence = AudioBytesPerSample == 1 ? 0x80 : 0;
  if (!AudioPresent) {
    std::memset(dest, silence, static_cast<size_t>(count));
    return 0;
  }
  int32_t delivered = 0;
  while (count > 0) {
    if (d.pending > 0) {
      int32_t n = std::min(count, d.pending);
      std::memcpy(dest, d.readBuffer.data() + d.pendingOffset, static_cast<size_t>(n));
      dest += n;
      count -= n;
      d.pending -= n;
      d.pendingOffset += n;
      delivered += n;
      continue;
    }
    int32_t got = 0;
    if (!d.endReached) {
      if (d.genericReader) {
        d.generic.Read(d.readBuffer.data(), d.readSize, got);
      } else {
        got = d.fileAudio.Read(d.readBuffer.data(), d.readSize);
        int error = d.fileAudio.TakeDecodeError();
        if (error < 0) d.out << "Cannot decompress track: " << error << Reason(error) << "\n";
      }
    }
    if (got > 0) {
      d.pending = got;
      d.pendingOffset = 0;
      continue;
    }
    d.endReached = true;
    std::memset(dest, silence, static_cast<size_t>(count));
    if (delivered > 0) delivered += count;
    count = 0;
  }
  return delivered;
}

void MovieSource::SeekAviAudio(int frame) {
  Impl& d = *impl_;
  if (!AudioPresent) return;
  const VideoFacts& f = d.video.Facts();
  int64_t milliseconds = 0;
  if (d.options.OutputFrameRate > 0 && frame > 0)
    milliseconds = static_cast<int64_t>(frame * 1000.0 / d.options.OutputFrameRate);
  else if (f.RateNum > 0 && f.RateDen > 0 && frame > 0)
    milliseconds = static_cast<int64_t>(frame) * 1000 * f.RateDen / f.RateNum;
  if (d.genericReader)
    d.generic.Seek(milliseconds);
  else
    d.fileAudio.SeekMilliseconds(milliseconds);
  // Whatever was read ahead belongs to the old position.
  d.pending = d.pendingOffset = 0;
  d.endReached = false;
}

void MovieSource::CloseAvi() {
  Impl& d = *impl_;
  d.video.Close();
  d.videoOpen = false;
  d.frameBuffer = std::vector<uint8_t>();
  d.fileAudio.Close();
  d.generic.Close();
  d.genericReader = false;
  d.readBuffer = std::vector<uint8_t>();
  d.readSize = d.pending = d.pendingOffset = 0;
  d.endReached = false;
  AudioPresent = false;
}

}  // namespace korvane
