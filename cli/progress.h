// A one-line progress display on a terminal: phase, done / total, rate and
// time left, redrawn at most a few times a second and erased at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace infodiv {

class ProgressLine {
 public:
  explicit ProgressLine(std::FILE* out) : out_(out) {}
  ~ProgressLine() { erase(); }

  void update(std::string_view phase, std::uint64_t done, std::uint64_t total);
  void erase();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* out_;
  std::string phase_;
  Clock::time_point phase_start_{}, last_draw_{};
  bool drawn_ = false;
};

// True when stderr is a terminal that understands the line's control codes
// (on Windows, a console with virtual terminal processing, which this turns on).
bool stderr_takes_progress_line();

// Text of the line, e.g. "triples  1200/4960  24%  3.1k/s  0:01 left".
std::string progress_text(std::string_view phase, std::uint64_t done, std::uint64_t total, double seconds);

}  // namespace infodiv
