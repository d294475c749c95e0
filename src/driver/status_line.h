// A one-line progress display on a terminal: pass, frame of total, frames per second, time left
// and the movie's bytes per second so far. It draws only when its stream is a terminal, so that
// files and pipes never receive it, redraws at most ten times a second and erases itself.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace korvane {

class StatusLine {
 public:
  // Seconds from any fixed point, never going back.
  using Clock = std::function<double()>;
  static double SteadySeconds();

  // Draws on `stream` when `fd` (the descriptor behind it) is a terminal.
  StatusLine(std::ostream& stream, int fd, Clock clock = SteadySeconds);
  // Draws on `stream` when `enabled`.
  StatusLine(std::ostream& stream, bool enabled, Clock clock = SteadySeconds);
  ~StatusLine();
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  bool Enabled() const { return enabled_; }

  // A pass of `total` frames starts now.
  void Begin(int pass, int64_t total);
  // `done` frames of the pass are finished; `bytesPerSecond` below 0 leaves the rate out. Draws
  // when a tenth of a second has passed since the last drawing, or at the last frame.
  void Update(int64_t done, int64_t bytesPerSecond = -1);
  // Erases the line (nothing when it is not shown).
  void Clear();

  // The text of the line (without control characters).
  static std::string Format(int pass, int64_t done, int64_t total, double elapsedSeconds,
                            int64_t bytesPerSecond);

 private:
  std::ostream& out_;
  bool enabled_;
  Clock clock_;
  int pass_ = 0;
  int64_t total_ = 0;
  double passStart_ = 0;
  double lastDraw_ = 0;
  bool drawnOnce_ = false;
  size_t shownWidth_ = 0;  // characters on screen now; 0 when erased
};

}  // namespace korvane
