// The window's layout in twips (1/1440 inch), shared by every window toolkit.
#pragma once

namespace infodiv {

struct TwipRect {
  int left, top, width, height;
};

inline constexpr int kForm1ClientWidth = 3744;
inline constexpr int kForm1ClientHeight = 2496;
inline constexpr TwipRect kCommand1Rect{1680, 1080, 1212, 492};  // "Run"
inline constexpr TwipRect kCommand2Rect{1680, 1680, 1212, 492};  // "Quit"

// Pixels for a length in twips at `dpi` dots per inch, rounded to nearest.
constexpr int twips_to_pixels(int twips, int dpi) { return (twips * dpi + 720) / 1440; }

}  // namespace infodiv
