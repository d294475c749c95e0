#include "driver/status_line.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace korvane {

namespace {

constexpr double kRedrawSeconds = 0.1;

std::string Duration(double seconds) {
  long long total = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
  char text[48];
  if (total >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  return text;
}

}  // namespace

double StatusLine::SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

StatusLine::StatusLine(std::ostream& stream, int fd, Clock clock)
    : StatusLine(stream, fd >= 0 && isatty(fd) == 1, std::move(clock)) {}

StatusLine::StatusLine(std::ostream& stream, bool enabled, Clock clock)
    : out_(stream), enabled_(enabled), clock_(std::move(clock)) {}

StatusLine::~StatusLine() {
  Clear();
}

void StatusLine::Begin(int pass, int64_t total) {
  pass_ = pass;
  total_ = total;
  if (!enabled_) return;
  passStart_ = clock_();
  drawnOnce_ = false;
}

std::string StatusLine::Format(int pass, int64_t done, int64_t total, double elapsed,
                               int64_t bytesPerSecond) {
  char text[160];
  int n = std::snprintf(text, sizeof text, "Pass %d: frame %lld of %lld", pass,
                        static_cast<long long>(done), static_cast<long long>(total));
  std::string line(text, static_cast<size_t>(n));
  if (done > 0 && elapsed > 0) {
    double fps = done / elapsed;
    std::snprintf(text, sizeof text, "  %.1f fps  %s left", fps,
                  Duration((total - done) / fps).c_str());
    line += text;
  }
  if (bytesPerSecond >= 0) line += "  " + std::to_string(bytesPerSecond) + " bytes/s";
  return line;
}

void StatusLine::Update(int64_t done, int64_t bytesPerSecond) {
  if (!enabled_) return;
  double now = clock_();
  if (drawnOnce_ && now - lastDraw_ < kRedrawSeconds && done < total_) return;
  drawnOnce_ = true;
  lastDraw_ = now;
  std::string line = Format(pass_, done, total_, now - passStart_, bytesPerSecond);
  std::string text = "\r" + line;
  // Blanks over what is left of a longer line drawn before.
  if (line.size() < shownWidth_) text += std::string(shownWidth_ - line.size(), ' ');
  shownWidth_ = std::max(shownWidth_, line.size());
  out_ << text << std::flush;
}

void StatusLine::Clear() {
  if (!enabled_ || shownWidth_ == 0) return;
  out_ << "\r" << std::string(shownWidth_, ' ') << "\r" << std::flush;
  shownWidth_ = 0;
}

}  // namespace korvane
