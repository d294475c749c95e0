#include "driver/korvane.h"

#include <filesystem>
#include <iostream>
#include <ostream>

#include "input/movie_source.h"
#include "palette/color_reducer.h"

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
  return ReplaceExtension(fs::path(inputFile).filename().string(), ".mve");
}

std::string ReplaceExtension(const std::string& name, const std::string& extension) {
  return fs::path(name).replace_extension(extension).string();
}

struct Korvane::Impl {
  std::ostream& out;
  std::ostream& err;
  ConsoleHooks hooks;
  Settings settings;
  std::string OutputName;
  FrameRange range;
  std::unique_ptr<MovieSource> movie;
  std::unique_ptr<ColorReducer> reducer;
  bool stopped = false;

  Impl(std::ostream& o, std::ostream& e, ConsoleHooks h) : out(o), err(e), hooks(std::move(h)) {}

  // Prints "Error: " + message and gives the error status.
  int Fail(const std::string& message) {
    out << "Error: " << message << "\n" << std::flush;
    return kExitError;
  }

  int Run(const std::vector<std::string>& args);
  int MainSequence();
  int PalettePass();
  int EncodingPass();
  void CleanUp();
};

int Korvane::Impl::Run(const std::vector<std::string>& args) {
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

int Korvane::Impl::MainSequence() {
  const Settings& s = settings;
  std::error_code ec;
  if (!fs::exists(s.InputFile, ec)) return Fail("Input movie doesn't exist: `" + s.InputFile + "'");
  if (!s.PaletteFile.empty() && !fs::exists(s.PaletteFile, ec))
    return Fail("Input palette doesn't exist: `" + s.PaletteFile + "'");

  OutputName = s.OutputFile.empty() ? DeriveOutputName(s.InputFile) : s.OutputFile;

  movie = std::make_unique<MovieSource>(out);
  if (s.PlayFrames && hooks.Preview) movie->SetPreviewHook(hooks.Preview);
  MovieSourceOptions options;
  options.NoSound = s.NoSound;
  options.ForceDirectShow = s.ForceDirectShow;
  if (!movie->open_avi(s.InputFile, s.AudioFile, options)) return Fail(movie->LastError);

  if (movie->FrameWidth > 640 || movie->FrameHeight > 480) {
    out << "Your movie is too large. The limit is 640x480 pixels.\n" << std::flush;
    return kExitError;
  }
  out << "\n";

  if (s.LocalPalettes && !s.OldMethod) {
    out << "Warning: -loc works only together with -old; ignored.\n";
    settings.LocalPalettes = false;
  }

  if (s.TestOnly) {
    out << "Test run. Processing is skipped.\n";
  } else {
    range = ComputeFrameRange(s, movie->FirstFrame, movie->FrameCount);
    out << "Processing frames from " << range.FromFrame << " to " << range.ToFrame << "\n";
    if (range.FromFrame != 0 && movie->AudioPresent) movie->seek_avi_audio(range.FromFrame);
    if (int status = PalettePass(); status != kExitOk) return status;
    if (int status = EncodingPass(); status != kExitOk) return status;
  }

  if (s.WaitAtEnd && !hooks.StopRequested() && hooks.WaitForEnter) {
    out << std::flush;
    hooks.WaitForEnter();
  }
  return kExitOk;
}

int Korvane::Impl::PalettePass() {
  const Settings& s = settings;
  reducer = ColorReducer::Create(256);
  if (!reducer) {
    err << "Error: could not alloc mem\n" << std::flush;
    return kExitError;
  }
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

  out << "Pass 1. Color reduction.\n";
  for (int32_t f = range.FromFrame; f <= range.ToFrame; ++f) {
    if ((int64_t{f} + 1) % 50 == 0) out << (int64_t{f} + 1) << " " << std::flush;
    const uint8_t* frame = movie->get_avi_frame(f);
    if (!frame) return Fail(movie->LastError);
    reducer->AddPixelsBGR(frame, movie->FrameWidth, movie->FrameHeight);
  }
  if (!reducer->BuildPalette()) {
    err << "Error: could not alloc mem\n" << std::flush;
    return kExitError;
  }
  std::string paletteOutName = ReplaceExtension(OutputName, PaletteExtensions[format]);
  std::string reason;
  if (!SavePalette(*reducer, paletteOutName, format, &reason))
    return Fail("Cannot write `" + paletteOutName + "': " + reason);
  out << "\r\nDone. Palette saved to `" << paletteOutName << "'\n\n";
  return kExitOk;
}

int Korvane::Impl::EncodingPass() {
  // The encoding pass plugs in here.
  return kExitOk;
}

void Korvane::Impl::CleanUp() {
  reducer.reset();
  if (movie) movie->close_avi();
  movie.reset();
}

Korvane::Korvane(std::ostream& out, std::ostream& err, ConsoleHooks hooks)
    : impl_(std::make_unique<Impl>(out, err, std::move(hooks))) {}
Korvane::~Korvane() = default;

int Korvane::Run(const std::vector<std::string>& args) {
  return impl_->Run(args);
}

}  // namespace korvane
