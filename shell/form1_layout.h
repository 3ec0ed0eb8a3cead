// The window's layout in twips (1/1440 inch), shared by every window toolkit,
// and its conversion to pixels at the screen's resolution.
#pragma once

#include <cmath>

namespace infodiv {

struct TwipRect {
  int left, top, width, height;
};

struct PixelRect {
  int x, y, width, height;
};

inline constexpr int kForm1ClientWidth = 3744;
inline constexpr int kForm1ClientHeight = 2496;
inline constexpr TwipRect kCommand1Rect{1680, 1080, 1212, 492};  // "Run"
inline constexpr TwipRect kCommand2Rect{1680, 1680, 1212, 492};  // "Quit"

// The resolution that a desktop assumes when the display states none: the
// twips above were laid out for it (15 twips to the pixel).
inline constexpr int kFallbackDpi = 96;

// Pixels for a length in twips at `dpi` dots per inch, rounded to nearest.
constexpr int twips_to_pixels(int twips, int dpi) { return (twips * dpi + 720) / 1440; }

constexpr PixelRect to_pixels(TwipRect r, int dpi) {
  return {twips_to_pixels(r.left, dpi), twips_to_pixels(r.top, dpi), twips_to_pixels(r.width, dpi),
          twips_to_pixels(r.height, dpi)};
}

// True for a resolution that a display may really have. Displays without a
// monitor, or with a made-up size, report nonsense (0, NaN, thousands);
// outside half to five times the fallback the buttons would be unreadable or
// larger than the screen.
inline bool is_usable_dpi(double dpi) { return dpi >= kFallbackDpi / 2.0 && dpi <= kFallbackDpi * 5.0; }

// The resolution to lay the window out at: the user's chosen one, else the
// one measured from the screen's size, else the fallback (NaN stands for a
// value that the display does not report). Rounded to whole dots per inch.
inline int layout_dpi(double chosen, double measured) {
  if (is_usable_dpi(chosen)) return static_cast<int>(std::lround(chosen));
  if (is_usable_dpi(measured)) return static_cast<int>(std::lround(measured));
  return kFallbackDpi;
}

}  // namespace infodiv
