#include "cli/progress.h"

#include <cmath>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace infodiv {

namespace {

std::string compact(double value) {
  char text[32];
  if (value >= 1e9) {
    std::snprintf(text, sizeof text, "%.1fG", value / 1e9);
  } else if (value >= 1e6) {
    std::snprintf(text, sizeof text, "%.1fM", value / 1e6);
  } else if (value >= 1e3) {
    std::snprintf(text, sizeof text, "%.1fk", value / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.0f", value);
  }
  return text;
}

}  // namespace

std::string progress_text(std::string_view phase, std::uint64_t done, std::uint64_t total, double seconds) {
  std::string text(phase);
  text += "  " + std::to_string(done) + "/" + std::to_string(total);
  if (total > 0) text += "  " + std::to_string(done * 100 / total) + "%";
  if (seconds > 0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    text += "  " + compact(rate) + "/s";
    if (total >= done) {
      const auto left = static_cast<long long>(std::ceil(static_cast<double>(total - done) / rate));
      char eta[32];
      std::snprintf(eta, sizeof eta, "  %lld:%02lld left", left / 60, left % 60);
      text += eta;
    }
  }
  return text;
}

bool stderr_takes_progress_line() {
#ifdef _WIN32
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;  // a file, a pipe or NUL
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}

void ProgressLine::update(std::string_view phase, std::uint64_t done, std::uint64_t total) {
  const Clock::time_point now = Clock::now();
  if (phase != phase_) {
    phase_ = phase;
    phase_start_ = now;
    last_draw_ = {};
  }
  if (now - last_draw_ < std::chrono::milliseconds(250)) return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  std::fprintf(out_, "\r\033[K%s", progress_text(phase, done, total, seconds).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressLine::erase() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\033[K");
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace infodiv
