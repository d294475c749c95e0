#include "driver/korvane.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <istream>
#include <ostream>
#include <thread>

#include "audio/audio_encoder.h"
#include "driver/frame_pipeline.h"
#include "driver/frame_prefetcher.h"
#include "driver/rate_control.h"
#include "driver/report.h"
#include "driver/status_line.h"
#include "input/library_versions.h"
#include "input/movie_source.h"
#include "input/spooled_input.h"
#include "input/wave_format.h"
#include "mve/mve_writer.h"
#include "mve/palette_planes.h"
#include "mve/stream_layout.h"
#include "palette/color_reducer.h"
#include "video/exact_encoder.h"
#include "video/frame_encoder.h"

namespace korvane {

namespace fs = std::filesystem;

FrameRange ComputeFrameRange(const Settings& s, int32_t firstFrame, int32_t frameCount) {
  // Widened arithmetic: the options are any int32, and their sums must not overflow.
  int64_t last = int64_t{firstFrame} + frameCount - 1;
  int64_t from = firstFrame;
  int64_t to = last;
  if (s.StartFrame != -1) from = s.StartFrame;
  if (s.EndFrame != -1 && s.EndFrame > s.StartFrame) to = s.EndFrame;
  if (s.LenFrames > 0) to = from + s.LenFrames - 1;
  if (last < from) from = firstFrame;
  if (last < to) to = last;
  return FrameRange{static_cast<int32_t>(from), static_cast<int32_t>(to)};
}

std::string DeriveOutputName(const std::string& inputFile) {
  // Standard input is named as /dev/stdin would be.
  if (inputFile == "-") return "stdin.mve";
  return ReplaceExtension(fs::path(inputFile).filename().string(), ".mve");
}

std::string ReplaceExtension(const std::string& name, const std::string& extension) {
  return fs::path(name).replace_extension(extension).string();
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  const bool hasA = ::stat(a.c_str(), &sa) == 0, hasB = ::stat(b.c_str(), &sb) == 0;
  if (hasA && hasB) {
    // Devices, pipes and terminals are not destroyed by writing: only a regular file can be.
    return S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  }
  if (hasA != hasB) return false;
  std::error_code ea, eb;
  const fs::path pa = fs::weakly_canonical(fs::absolute(a, ea), ea);
  const fs::path pb = fs::weakly_canonical(fs::absolute(b, eb), eb);
  return !ea && !eb && pa == pb;
}

std::string FindOutputClash(const std::vector<RunFile>& inputs,
                            const std::vector<RunFile>& outputs) {
  for (size_t o = 0; o < outputs.size(); ++o) {
    const RunFile& out = outputs[o];
    for (const RunFile& in : inputs) {
      if (SameFile(out.Path, in.Path))
        return "The " + out.Role + " `" + out.Path + "' would overwrite the " + in.Role + " `" +
               in.Path + "'";
    }
    for (size_t p = 0; p < o; ++p) {
      if (SameFile(out.Path, outputs[p].Path))
        return "The " + outputs[p].Role + " `" + outputs[p].Path + "' and the " + out.Role + " `" +
               out.Path + "' are the same file";
    }
  }
  return std::string();
}

struct Korvane::Impl {
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  ConsoleHooks hooks;
  Settings settings;
  std::string OutputName;
  FrameRange range;
  std::unique_ptr<MovieSource> movie;
  std::unique_ptr<ColorReducer> reducer;
  std::unique_ptr<StatusLine> status;
  // Copies of a movie or soundtrack read from a pipe; removed at clean-up.
  std::unique_ptr<SpooledInput> movieSpool, audioSpool;
  bool stopped = false;
  // What pass 1 found of each frame's changes, for the allocation of bytes across frames.
  FrameActivity activity;

  Impl(std::ostream& o, std::ostream& e, std::istream& i, ConsoleHooks h)
      : out(o), err(e), in(i), hooks(std::move(h)) {}

  // Prints "Error: " + message and gives the error status.
  int Fail(const std::string& message) {
    ClearStatus();
    out << "Error: " << message << "\n" << std::flush;
    return kExitError;
  }

  // Takes the status line off the terminal before other text is written.
  void ClearStatus() {
    if (status) status->Clear();
  }

  // Pass 1 decodes frames on a thread of their own, one ahead of their use, unless one thread
  // is asked for or the frames are shown on the terminal as they are read (pass 2 shows them
  // from copies instead).
  bool ReadAhead() const {
    return settings.Threads != 1 && !(settings.PlayFrames && hooks.Preview);
  }

  // The threads coding and palette design may use: -threads, or one per processor.
  int WorkerThreads() const {
    return settings.Threads > 0 ? settings.Threads
                                : int(std::max(1u, std::thread::hardware_concurrency()));
  }

  int Run(const std::vector<std::string>& args);
  std::vector<RunFile> InputFiles() const;
  std::vector<RunFile> OutputFiles() const;
  int MainSequence();
  AudioFacts SoundFacts() const;
  bool SoundPiecesFit() const;
  void ReportSignLosses(AudioEncoder& audio);
  int PalettePass();
  int EncodingPass();
  void CleanUp();
};

namespace {

// What the movie source needs of the settings.
MovieSourceOptions SourceOptions(const Settings& s) {
  MovieSourceOptions options;
  options.NoSound = s.NoSound;
  options.ForceDirectShow = s.ForceDirectShow;
  options.FitToLimit = s.FitToLimit;
  options.OutputFrameRate = s.OutputFrameRate;
  options.OutputAudioRate = s.OutputAudioRate;
  return options;
}

// The stream layout of the movie's frames, with its palette and sound.
StreamConfig StreamConfigFor(const MovieSource& m, bool localPalettes, FrameAudioSource* audio,
                             const PalettePlanes* planes, int paletteCount) {
  StreamConfig config;
  config.BlocksPerRow = m.FrameWidth / 8;
  config.BlocksPerColumn = m.FrameHeight / 8;
  config.FrameRate = m.FrameRate;
  config.LocalPalettes = localPalettes;
  config.Audio = audio;
  config.Planes = planes;
  config.PaletteCount = paletteCount;
  return config;
}

}  // namespace

int Korvane::Impl::Run(const std::vector<std::string>& args) {
  // The conventional entry points of a command-line tool, alone on the command line.
  if (args.size() == 2 && args[1] == "--help") {
    out << UsageText() << "\n" << std::flush;
    return kExitOk;
  }
  if (args.size() == 2 && args[1] == "--version") {
    out << "korvane " << KORVANE_VERSION << "\n" << FfmpegLibraryVersions() << std::flush;
    return kExitOk;
  }
  PrintBanner(out);
  if (!ParseCommandLine(args, settings)) {
    out << std::flush;
    ShowUsage(err);
    return kExitUsage;
  }
  int status = MainSequence();
  CleanUp();
  out << std::flush;
  if (status == kExitOk && hooks.StopRequested()) status = kExitBreak;
  return status;
}

std::vector<RunFile> Korvane::Impl::InputFiles() const {
  const Settings& s = settings;
  std::vector<RunFile> files{{s.InputFile, "input movie"}};
  if (!s.AudioFile.empty() && s.AudioFile != s.InputFile)
    files.push_back({s.AudioFile, "sound file"});
  if (!s.PaletteFile.empty()) files.push_back({s.PaletteFile, "input palette"});
  return files;
}

// What the run will write: the movie, and the palette unless pass 1 is skipped (a palette given,
// or a palette per frame with the old method). A test run is checked as the real run would be.
std::vector<RunFile> Korvane::Impl::OutputFiles() const {
  const Settings& s = settings;
  std::vector<RunFile> files{{OutputName, "output movie"}};
  if (s.PaletteFile.empty() && !(s.LocalPalettes && s.OldMethod)) {
    const int format = s.ActPalette ? kPaletteFormatAct : kPaletteFormatPal;
    files.push_back({ReplaceExtension(OutputName, PaletteExtensions[format]), "palette file"});
  }
  return files;
}

int Korvane::Impl::MainSequence() {
  const Settings& s = settings;
  // A folder is no movie or palette: it is reported as missing, as a file would be.
  auto missing = [](const std::string& path) {
    std::error_code ec;
    return !fs::exists(path, ec) || fs::is_directory(path, ec);
  };
  if (s.InputFile != "-" && missing(s.InputFile))
    return Fail("Input movie doesn't exist: `" + s.InputFile + "'");
  if (!s.PaletteFile.empty() && missing(s.PaletteFile))
    return Fail("Input palette doesn't exist: `" + s.PaletteFile + "'");

  // Both passes read the movie, and seek in it: what can be read only once is copied first.
  std::string movieInput = s.InputFile, audioInput = s.AudioFile;
  for (std::string* input : {&movieInput, &audioInput}) {
    if (!SpooledInput::NeedsSpooling(*input)) continue;
    auto isStdin = [](const std::string& name) {
      return name == "-" || name == "/dev/stdin" || name == "/dev/fd/0" ||
             name == "/proc/self/fd/0";
    };
    if (input == &audioInput &&
        (s.AudioFile == s.InputFile || (isStdin(s.AudioFile) && isStdin(s.InputFile)))) {
      audioInput = movieInput;
      continue;
    }
    auto& spool = input == &movieInput ? movieSpool : audioSpool;
    spool = std::make_unique<SpooledInput>();
    std::string reason;
    if (!spool->Spool(*input, hooks.StopRequested, &reason)) {
      if (reason.empty()) return kExitBreak;
      return Fail(reason);
    }
    *input = spool->Path();
  }

  OutputName = s.OutputFile.empty() ? DeriveOutputName(s.InputFile) : s.OutputFile;
  if (std::string clash = FindOutputClash(InputFiles(), OutputFiles()); !clash.empty())
    return Fail(clash);

  movie = std::make_unique<MovieSource>(out);
  if (s.PlayFrames && hooks.Preview) movie->SetPreviewHook(hooks.Preview);
  movie->SetAudioDisplayName(s.AudioFile);
  if (!movie->OpenAvi(movieInput, audioInput, SourceOptions(s))) return Fail(movie->LastError);

  if (movie->FrameWidth > 640 || movie->FrameHeight > 480) {
    out << "Your movie is too large. The limit is 640x480 pixels.\n";
    out << "Use -fit to scale it down.\n" << std::flush;
    return kExitError;
  }
  out << "\n";

  if (movie->FrameCount <= 0) return Fail("The movie has no frames: `" + s.InputFile + "'");
  if (!StreamLayout::TimerKeeps(movie->FrameRate)) {
    return Fail("The movie's frame rate of " + TwoDecimals(movie->FrameRate) +
                " fps cannot be kept by the MVE timer; use -fps to convert at another rate");
  }

  if (!SoundPiecesFit()) {
    return Fail(
        "Sound pieces exceed 65535 bytes at this frame rate; use -ns or a movie of a higher "
        "frame rate");
  }

  if (s.LocalPalettes && !s.OldMethod) {
    out << "Warning: -loc works only together with -old; ignored.\n";
    settings.LocalPalettes = false;
  }

  if (s.TestOnly) {
    out << "Test run. Processing is skipped.\n";
  } else {
    range = ComputeFrameRange(s, movie->FirstFrame, movie->FrameCount);
    out << "Processing frames from " << range.FromFrame << " to " << range.ToFrame << "\n";
    // The "-play" preview owns the terminal; a status line would draw into its pictures.
    bool previewing = s.PlayFrames && hooks.Preview;
    status = std::make_unique<StatusLine>(err, previewing ? -1 : hooks.StatusFd);
    if (range.FromFrame != 0 && movie->AudioPresent) movie->SeekAviAudio(range.FromFrame);
    if (int status = PalettePass(); status != kExitOk) return status;
    if (int status = EncodingPass(); status != kExitOk) return status;
  }

  if (s.WaitAtEnd && !hooks.StopRequested() && hooks.WaitForEnter) {
    out << std::flush;
    hooks.WaitForEnter();
  }
  return kExitOk;
}

// Frames in the buffers of pass 1: the one counted and three read ahead; of pass 2: the one
// coded and the next, read and mapped to the palette.
constexpr int kCountingDepth = 4;
constexpr int kCodingDepth = 2;

int Korvane::Impl::PalettePass() {
  const Settings& s = settings;
  reducer = ColorReducer::Create(256, s.Classic);
  if (!reducer) return Fail("could not alloc mem");
  reducer->SetThreads(WorkerThreads());
  if (s.LocalPalettes) return kExitOk;

  int format = s.ActPalette ? kPaletteFormatAct : kPaletteFormatPal;
  if (!s.PaletteFile.empty()) {
    std::string reason;
    switch (LoadPalette(*reducer, s.PaletteFile, format, &reason)) {
      case PaletteLoadResult::Loaded:
        break;
      case PaletteLoadResult::Invalid:
        return Fail("Invalid palette file: `" + s.PaletteFile + "'");
      case PaletteLoadResult::ReadError:
        return Fail("Cannot read `" + s.PaletteFile + "': " + reason);
    }
    out << "Pass 1 skipped. Palette loaded from `" << s.PaletteFile << "'\n\n";
    return kExitOk;
  }

  out << "Pass 1. Color reduction.\n" << std::flush;
  status->Begin(1, int64_t{range.ToFrame} - range.FromFrame + 1);
  MovieSource& m = *movie;
  // Counting a frame takes about as long as decoding one, but neither evenly: frames are read
  // a few ahead, so that each side seldom waits for the other.
  FrameQueue frames(
      size_t(m.FrameWidth) * m.FrameHeight * 3,
      [&m](int32_t f, uint8_t* into) {
        const uint8_t* frame = m.GetAviFrame(f);
        if (!frame) return false;
        std::memcpy(into, frame, size_t(m.FrameWidth) * m.FrameHeight * 3);
        return true;
      },
      range.FromFrame, range.ToFrame, ReadAhead() ? kCountingDepth : 1);
  for (int32_t f = range.FromFrame; f <= range.ToFrame; ++f) {
    if ((int64_t{f} + 1) % 50 == 0) {
      ClearStatus();
      out << (int64_t{f} + 1) << " " << std::flush;
    }
    const uint8_t* frame = frames.Next();
    if (!frame) return Fail(m.LastError);
    reducer->AddPixelsBGR(frame, movie->FrameWidth, movie->FrameHeight);
    if (!s.Classic && !s.OldMethod) activity.Add(frame, movie->FrameWidth, movie->FrameHeight);
    status->Update(int64_t{f} - range.FromFrame + 1);
  }
  ClearStatus();
  if (!reducer->BuildPalette()) return Fail("could not alloc mem");
  std::string paletteOutName = ReplaceExtension(OutputName, PaletteExtensions[format]);
  std::string reason;
  if (!SavePalette(*reducer, paletteOutName, format, &reason))
    return Fail("Cannot write `" + paletteOutName + "': " + reason);
  out << "\r\nDone. Palette saved to `" << paletteOutName << "'\n\n";
  return kExitOk;
}

// The audio encoder's view of the movie's soundtrack and the sound options.
AudioFacts Korvane::Impl::SoundFacts() const {
  const MovieSource& m = *movie;
  AudioFacts facts;
  facts.AudioPresent = m.AudioPresent;
  facts.AudioChannels = m.AudioChannels;
  facts.AudioBytesPerSample = m.AudioBytesPerSample;
  facts.AudioChunkBytes = m.AudioChunkBytes;
  facts.AudioLeadChunkBytes = m.AudioLeadChunkBytes;
  facts.FramesPerSecond = m.FramesPerSecond;
  facts.Classic = settings.Classic;
  facts.WidenTo16Bit = settings.WidenTo16Bit;
  facts.ForceStereo = settings.ForceStereo;
  return facts;
}

// A frame chunk holds the frame's sound besides its picture, and no record may reach 65536
// bytes: the largest piece of sound, with the fixed opcodes of a frame chunk and the most video
// data a frame can end up with, must fit.
bool Korvane::Impl::SoundPiecesFit() const {
  if (!movie->AudioPresent) return true;
  const int64_t audioOpcodes = AudioEncoder::MaxChunkAudioBytes(SoundFacts());
  if (audioOpcodes < 0) return false;
  int64_t blocks = int64_t{movie->FrameWidth / 8} * (movie->FrameHeight / 8);
  // Timer, map, video header, start audio, show frame and end-of-chunk opcodes.
  int64_t fixed = 50 + blocks / 2;
  // The old method cuts a frame after the block that passes 44000 bytes; the default method's
  // budget leaves room for the sound, and a frame never needs more than a byte per block.
  int64_t video = settings.OldMethod
                      ? int64_t{kSplitFrameBytes} + 64 + (settings.LocalPalettes ? 4 + 4 + 768 : 0)
                      : blocks;
  return fixed + audioOpcodes + video <= 65535;
}

// The classic coder's sign-loss reports, printed where the coder found them.
void Korvane::Impl::ReportSignLosses(AudioEncoder& audio) {
  std::vector<int32_t> losses = audio.TakeSignLosses();
  if (losses.empty()) return;
  ClearStatus();
  korvane::ReportSignLosses(out, in, losses);
}

int Korvane::Impl::EncodingPass() {
  Settings& s = settings;
  MovieSource& m = *movie;
  out << "Pass 2. Making MVE.\n";
  auto pass2Start = std::chrono::steady_clock::now();
  if (!s.OldMethod) {
    if (!s.SizeLimited)
      out << "  bitrate limit: " << s.BitRate << " bytes per second\n";
    else
      out << "  MVE size limit: " << s.SizeLimit << " bytes\n";
  }
  if (s.Dither) out << "  Floyd-Steinberg dithering\n";

  MveWriter file;
  if (!file.Open(OutputName) || !file.WriteFileHeader()) return Fail(file.LastError());

  const size_t pixelCount = size_t(m.FrameWidth) * m.FrameHeight;

  uint8_t paletteTable[kPaletteBytes] = {};
  PalettePlanes planes;
  int paletteCount = 0;
  if (!s.LocalPalettes) {
    paletteCount = reducer->GetPalette(paletteTable);
    planes.Fill(paletteTable);
  }

  std::unique_ptr<AudioEncoder> audio;
  if (m.AudioPresent) {
    audio = std::make_unique<AudioEncoder>(
        SoundFacts(), [&m](uint8_t* dest, int32_t count) { return m.ReadAviAudio(dest, count); });
  }

  StreamLayout layout(StreamConfigFor(m, s.LocalPalettes, audio.get(), &planes, paletteCount));
  if (!layout.WriteVideoSetupChunk(file)) return Fail(file.LastError());

  PipelineConfig pipelineConfig =
      PipelineConfig::From(s, range, m.FrameWidth, m.FrameHeight, m.FramesPerSecond);
  pipelineConfig.FrameRate = m.FrameRate;
  pipelineConfig.FrameCosts = activity.Costs();
  FramePipeline pipeline(pipelineConfig, file, layout, out);
  FrameEncoder encoder;
  std::unique_ptr<ExactEncoder> exact;
  FrameCoder* coder = &encoder;
  if (s.OldMethod) {
    exact = std::make_unique<ExactEncoder>(m.FrameWidth, m.FrameHeight, reducer.get(), s.Dither,
                                           s.LocalPalettes);
    coder = exact.get();
  } else {
    const int threads = WorkerThreads();
    encoder.SetupFrameGeometry(m.FrameWidth, m.FrameHeight, reducer.get(), s.Dither, threads);
    encoder.SetMotionSearch(s.HighQuality);
    s.LocalPalettes = false;
    layout.Config().LocalPalettes = false;
  }
  pipeline.SetFrameCoder(coder);

  if (audio) {
    AudioSetup audioSetup;
    const AudioOutputFormat format = audio->OutputFormat();
    audioSetup.Channels = format.Channels;
    audioSetup.BytesPerSample = format.BytesPerSample;
    audioSetup.Rate = uint32_t(m.AudioRate);
    audioSetup.BytesPerSecond = audio->DeclaredBufferBytes(m.AudioBytesPerSecond);
    if (!layout.WriteAudioSetupChunk(file, audioSetup)) return Fail(file.LastError());
    // A break ends the sound lead too: at a high frame rate it is a long run of chunks.
    for (int i = 0; i < audio->AudioOnlyChunks() && !hooks.StopRequested(); ++i) {
      if (!layout.WriteAudioOnlyChunk(file)) return Fail(file.LastError());
      ReportSignLosses(*audio);
    }
  }

  out << std::flush;
  status->Begin(2, int64_t{range.ToFrame} - range.FromFrame + 1);
  // Frames are decoded and put in the coder's order one ahead, while the coder works; what the
  // coder can do to a frame without the frames before it (mapping it to the palette) is done
  // there too where the coder says that pays, right after the frame's pixels in the same buffer.
  // The "-play" preview draws every frame on this thread just before it is coded, from a copy of
  // the decoder's picture that comes after those. The reading thread yields to the coding
  // threads: it only needs to keep one frame ahead, and where they share the cores it reads in
  // their gaps.
  const bool ahead = s.Threads != 1;
  const bool previewing = s.PlayFrames && hooks.Preview;
  const bool bottomUp = coder->InputRows() == RowOrder::BottomUp;
  const size_t frameBytes = pixelCount * 3;
  const size_t preparedBytes = ahead && coder->PrepareAhead() ? coder->PreparedBytes() : 0;
  const size_t previewAt = frameBytes + preparedBytes;
  const size_t previewBytes = ahead && previewing ? frameBytes : 0;
  if (previewBytes > 0) m.SetPreviewHook(nullptr);
  FrameQueue frames(
      previewAt + previewBytes,
      [&m, coder, bottomUp, pixelCount, frameBytes, preparedBytes, previewAt, previewBytes](
          int32_t f, uint8_t* into) {
        const uint8_t* frame = m.GetAviFrame(f);
        if (!frame) return false;
        if (previewBytes > 0) std::memcpy(into + previewAt, frame, previewBytes);
        if (bottomUp)
          FramePipeline::ReverseComponents(frame, into, int64_t(pixelCount));
        else
          FramePipeline::FlipAndReverse(frame, into, m.FrameWidth, m.FrameHeight);
        if (preparedBytes > 0) coder->PrepareFrame(into, into + frameBytes);
        return true;
      },
      range.FromFrame, range.ToFrame, ahead ? kCodingDepth : 1, /*yielding=*/true);
  for (int32_t f = range.FromFrame; f <= range.ToFrame; ++f) {
    const uint8_t* rgbFrame = frames.Next();
    if (!rgbFrame) {
      // The movie stops at the frame that cannot be had; what is written so far stays on disk.
      file.Close();
      return Fail(m.LastError);
    }
    if (previewBytes > 0)
      hooks.Preview(rgbFrame + previewAt, m.FrameWidth, m.FrameHeight, m.PictureOffsetX,
                    m.PictureOffsetY, m.PictureWidth, m.PictureHeight);
    if (s.LocalPalettes) {
      reducer->ClearCounts();
      reducer->AddPixelsRGB(rgbFrame, m.FrameWidth, m.FrameHeight);
      if (!reducer->BuildPalette()) return Fail("could not alloc mem");
      paletteCount = reducer->GetPalette(paletteTable);
      planes.Fill(paletteTable);
      layout.Config().PaletteCount = paletteCount;
    }
    if (audio) {
      audio->BuildFrameAudio();
      ReportSignLosses(*audio);
    }
    if (!pipeline.EncodeAndWriteFrame(rgbFrame,
                                      preparedBytes > 0 ? rgbFrame + frameBytes : nullptr))
      return Fail(pipeline.LastError());
    if (status->Enabled()) {
      // The movie's data rate so far: bytes written per second of movie converted.
      int64_t done = int64_t{f} - range.FromFrame + 1;
      double movieSeconds = m.FrameRate > 0 ? done / m.FrameRate : 0.0;
      int64_t rate =
          movieSeconds > 0 ? int64_t(double(file.BytesWritten()) / movieSeconds) : int64_t{-1};
      status->Update(done, rate);
    }
    if (hooks.StopRequested()) break;
  }
  ClearStatus();

  out << "\r\nDone.\r\n\n";
  double pass2Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - pass2Start).count();
  // The file is completed and closed before the report, so that a failure to write its last
  // bytes is reported instead of a size that is not on disk.
  if (!file.WriteShutdownChunk() || !file.WriteEndChunk() || !file.Close())
    return Fail(file.LastError());

  RunReport report;
  report.BytesWritten = file.BytesWritten();
  report.VideoDataBytes = layout.VideoDataBytes();
  report.FrameCounter = pipeline.FrameCounter();
  report.FrameWidth = m.FrameWidth;
  report.FrameHeight = m.FrameHeight;
  report.FrameRate = m.FrameRate;
  report.PassStartBytes = pipeline.PassStartBytes();
  report.SplitFrames = pipeline.SplitFrames();
  report.OldMethod = s.OldMethod;
  report.CandidateSpace = encoder.CandidateSpace();
  report.BlockCount = encoder.BlockCount();
  report.PeakChainBytes = pipeline.PeakChainBytes();
  report.Pass2Seconds = pass2Seconds;
  report.TotalError = pipeline.TotalError();
  report.TotalEnergy = pipeline.TotalEnergy();
  PrintRunReport(out, report);
  // Every frame costs its map, headers and sound whatever its budget, so a small limit can be
  // out of reach.
  if (!s.OldMethod && s.SizeLimited && file.BytesWritten() > s.SizeLimit) {
    out << "Warning: The MVE file is " << file.BytesWritten() - s.SizeLimit
        << " bytes larger than the size limit of " << s.SizeLimit << " bytes.\n";
  }
  out << std::flush;
  return kExitOk;
}

void Korvane::Impl::CleanUp() {
  ClearStatus();
  status.reset();
  reducer.reset();
  if (movie) movie->CloseAvi();
  movie.reset();
  movieSpool.reset();
  audioSpool.reset();
}

Korvane::Korvane(std::ostream& out, std::ostream& err, std::istream& in, ConsoleHooks hooks)
    : impl_(std::make_unique<Impl>(out, err, in, std::move(hooks))) {}
Korvane::~Korvane() = default;

int Korvane::Run(const std::vector<std::string>& args) {
  return impl_->Run(args);
}

}  // namespace korvane
