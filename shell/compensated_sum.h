// A running sum that carries its rounding error (Neumaier's variant of
// compensated summation). Only the closed forms of the fast mode use it: the
// exact run adds in its fixed order and never compensates.
#pragma once

#include <cmath>

namespace infodiv {

struct CompensatedSum {
  double sum = 0;
  double carry = 0;  // what the additions into `sum` have rounded away

  void add(double v) noexcept {
    const double t = sum + v;
    // The error of t is recovered from whichever operand is larger.
    if (std::fabs(sum) >= std::fabs(v)) {
      carry += (sum - t) + v;
    } else {
      carry += (v - t) + sum;
    }
    sum = t;
  }
  double value() const noexcept { return sum + carry; }
};

}  // namespace infodiv
