#include "shell/form1_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// The display's figures pass only when a screen may really have them; the
// user's choice goes before the measured one. (Real displays in the window's
// end-to-end tests cover the conversion itself.)
TEST(Form1LayoutTest, LayoutDpiTakesTheFirstUsableFigure) {
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    double chosen, measured;
    int dpi;
  };
  // chosen  measured  dpi
  const Case cases[] = {
      {kNone, kNone, 96},    // nothing reported
      {144, 96, 144},        // the user's choice goes first
      {kNone, 100.04, 100},  // measured from the screen's size, rounded
      {0, 120, 120},         // a zero choice counts as none
      {5000, 72, 72},        // so does an absurd one
      {-96, kNone, 96},      //
      {kNone, 0, 96},        // a screen of unknown size
      {kInf, kInf, 96},      //
      {47.9, 480.1, 96},     // just outside the bounds
      {48, kNone, 48},       // the bounds themselves are usable
      {480, kNone, 480},     //
      {120.5, kNone, 121},   // halves round away from zero
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "chosen " << c.chosen << ", measured " << c.measured);
    EXPECT_EQ(infodiv::layout_dpi(c.chosen, c.measured), c.dpi);
  }
}

}  // namespace
