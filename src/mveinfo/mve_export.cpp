#include "mveinfo/mve_export.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <ostream>
#include <streambuf>
#include <system_error>

#include "input/movie_source.h"
#include "input/png_writer.h"
#include "mveinfo/contact_sheet.h"
#include "mveinfo/mve_player.h"
#include "mveinfo/mve_reader.h"
#include "mveinfo/wav_writer.h"

namespace korvane {
namespace {

// Swallows the stream information MovieSource prints.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

// The source movie, sized as korvane sizes it, for the PSNR of each second.
class SourceComparison {
 public:
  SourceComparison() : null_(&buffer_), source_(null_) {}

  bool Open(const std::string& path, int width, int height, std::string* error) {
    MovieSourceOptions options;
    options.NoSound = true;
    if (!source_.OpenAvi(path, path, options)) {
      *error = "cannot read the source `" + path + "': " + source_.LastError;
      return false;
    }
    if (source_.PictureWidth > 640 || source_.PictureHeight > 480) {
      // Such a movie was converted with -fit.
      source_.CloseAvi();
      options.FitToLimit = true;
      if (!source_.OpenAvi(path, path, options)) {
        *error = "cannot read the source `" + path + "': " + source_.LastError;
        return false;
      }
    }
    if (source_.FrameWidth != width || source_.FrameHeight != height) {
      *error = "the source `" + path + "' makes frames of " + std::to_string(source_.FrameWidth) +
               " x " + std::to_string(source_.FrameHeight) + ", the movie's are " +
               std::to_string(width) + " x " + std::to_string(height);
      return false;
    }
    return true;
  }

  // Squared error of frame `index` (from 0) of the movie against the source's frame; false
  // when the source has no such frame.
  bool SquaredError(uint64_t index, const uint8_t* pixels, const uint8_t* palette, double* sum,
                    uint64_t* samples) {
    if (index >= uint64_t(source_.FrameCount)) return false;
    const uint8_t* frame = source_.GetAviFrame(int(index) + source_.FirstFrame);
    if (!frame) return false;
    const int w = source_.FrameWidth, h = source_.FrameHeight;
    uint64_t total = 0;
    for (int y = 0; y < h; ++y) {
      const uint8_t* bgr = frame + size_t(h - 1 - y) * w * 3;  // rows bottom-up
      const uint8_t* row = pixels + size_t(y) * w;
      for (int x = 0; x < w; ++x) {
        const uint8_t* rgb = palette + 3 * row[x];
        const int dr = rgb[0] - bgr[3 * x + 2], dg = rgb[1] - bgr[3 * x + 1],
                  db = rgb[2] - bgr[3 * x];
        total += uint64_t(dr * dr + dg * dg + db * db);
      }
    }
    *sum += double(total);
    *samples += uint64_t(w) * h * 3;
    return true;
  }

 private:
  NullBuffer buffer_;
  std::ostream null_;
  MovieSource source_;
};

}  // namespace

bool ExportMve(const std::string& path, const MveInfo& info, const MveExportOptions& options,
               MveExportResult* result, std::string* error) {
  *result = MveExportResult();
  std::unique_ptr<MveReader> reader = MveReader::Open(path, error);
  if (!reader) return false;
  uint8_t header[kMveHeaderSize];
  if (reader->ReadHeader(header) < kMveHeaderSize) return true;

  if (!options.FramesDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(options.FramesDir, ec);
    if (ec) {
      *error = "cannot create `" + options.FramesDir + "': " + ec.message();
      return false;
    }
  }
  const MveRates rates = ComputeMveRates(info);
  const int width = info.BlocksWide * 8, height = info.BlocksHigh * 8;
  std::unique_ptr<ContactSheet> sheet;
  if (!options.SheetFile.empty())
    sheet = std::make_unique<ContactSheet>(LayoutSheet(info, rates, width, height));
  std::unique_ptr<SourceComparison> source;
  if (sheet && !options.SourceMovie.empty()) {
    source = std::make_unique<SourceComparison>();
    if (!source->Open(options.SourceMovie, width, height, error)) return false;
  }
  std::vector<double> secondError;
  std::vector<uint64_t> secondSamples;

  MvePlayer player;
  PngWriter png;
  WavWriter wav;
  char name[32];
  bool ok = true;
  MveChunkView chunk;
  while (ok && reader->NextChunk(&chunk) && chunk.HeaderBytes == 4) {
    ForEachMveOpcode(
        chunk.Payload, chunk.Available,
        [&](uint8_t kind, uint8_t version, const uint8_t* payload, size_t size) {
          if (!ok) return;
          const MvePlayer::Event event = player.Play(kind, version, payload, size);
          if (event == MvePlayer::Event::kSound && !options.WavFile.empty()) {
            if (!wav.IsOpen())
              ok = wav.Open(options.WavFile, player.SoundRate(), player.SoundChannels(), error);
            if (ok) ok = wav.Write(player.Sound().data(), player.Sound().size(), error);
            return;
          }
          if (event != MvePlayer::Event::kFrameShown) return;
          const uint64_t number = player.FramesShown();
          ++result->FramesShown;
          std::array<uint8_t, 768> palette;
          if (!options.FramesDir.empty() || sheet) palette = player.Palette8();
          if (!options.FramesDir.empty()) {
            snprintf(name, sizeof name, "/frame_%06llu.png", (unsigned long long)number);
            ok = png.WriteIndexed(options.FramesDir + name, player.Width(), player.Height(),
                                  player.Picture().data(), player.Width(), palette.data(), error);
            if (ok) ++result->FramesWritten;
          }
          // The sheet shows frames of the size the movie declared first.
          if (!sheet || player.Width() != width || player.Height() != height) return;
          const int cell = sheet->CellOf(number);
          const double seconds = double(number - 1) * rates.FrameSeconds;
          if (cell >= 0)
            sheet->DrawFrame(cell, number, seconds, player.Picture().data(), palette.data());
          if (source && rates.Known && seconds < double(kMaxRateSeconds)) {
            const size_t second = size_t(seconds);
            if (second >= secondError.size()) {
              secondError.resize(second + 1, 0);
              secondSamples.resize(second + 1, 0);
            }
            source->SquaredError(number - 1, player.Picture().data(), palette.data(),
                                 &secondError[second], &secondSamples[second]);
          }
        });
  }
  if (ok && reader->Failed()) {
    *error = reader->ReadError();
    ok = false;
  }
  if (wav.IsOpen()) {
    result->SoundSamples = wav.Samples() / uint64_t(std::max(1, player.SoundChannels()));
    std::string closeError;
    if (!wav.Close(&closeError) && ok) {
      *error = closeError;
      ok = false;
    }
  } else if (ok && !options.WavFile.empty()) {
    // A movie without sound gives an empty soundtrack, so that the file is always there.
    ok = wav.Open(options.WavFile, player.SoundSet() ? player.SoundRate() : 22050,
                  player.SoundSet() ? player.SoundChannels() : 1, error) &&
         wav.Close(error);
  }
  result->PlayerFaults = player.FaultCount();
  result->PlayerFaultTexts = player.Faults();
  if (!ok) return false;

  if (sheet) {
    for (size_t s = 0; s < secondError.size(); ++s) {
      const double mse = secondSamples[s] ? secondError[s] / double(secondSamples[s]) : -1;
      result->Psnr.push_back(mse < 0 ? -1 : mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse));
    }
    char title[128];
    snprintf(title, sizeof title, "%d X %d   %llu FRAMES   %.3f FPS   %.2f S", width, height,
             (unsigned long long)info.Frames, rates.Known ? 1 / rates.FrameSeconds : 0.0,
             rates.Seconds);
    sheet->Text(8, 10, title, {230, 230, 230});
    sheet->DrawGraph(rates, result->Psnr);
    const SheetLayout& l = sheet->Layout();
    if (!png.WriteRgb(options.SheetFile, l.Width, l.Height, sheet->Pixels().data(), 3 * l.Width,
                      error))
      return false;
    result->SheetWidth = l.Width;
    result->SheetHeight = l.Height;
  }
  return true;
}

std::string FormatMveExport(const MveExportOptions& options, const MveExportResult& r) {
  std::string out;
  char line[256];
  if (!options.FramesDir.empty()) {
    snprintf(line, sizeof line, "Frames written: %llu to %s\n", (unsigned long long)r.FramesWritten,
             options.FramesDir.c_str());
    out += line;
  }
  if (!options.WavFile.empty()) {
    snprintf(line, sizeof line, "Sound written: %llu samples to %s\n",
             (unsigned long long)r.SoundSamples, options.WavFile.c_str());
    out += line;
  }
  if (!options.SheetFile.empty()) {
    snprintf(line, sizeof line, "Sheet written: %d x %d to %s\n", r.SheetWidth, r.SheetHeight,
             options.SheetFile.c_str());
    out += line;
    double sum = 0, low = 1e9;
    int n = 0;
    for (double p : r.Psnr)
      if (p >= 0) sum += p, low = std::min(low, p), ++n;
    if (n) {
      snprintf(line, sizeof line,
               "    PSNR against the source: %.2f dB average, %.2f dB lowest second\n", sum / n,
               low);
      out += line;
    }
  }
  if (r.PlayerFaults) {
    snprintf(line, sizeof line, "Playing: %llu places the player could not follow\n",
             (unsigned long long)r.PlayerFaults);
    out += line;
    for (const std::string& text : r.PlayerFaultTexts) out += "    " + text + "\n";
  }
  return out;
}

}  // namespace korvane
