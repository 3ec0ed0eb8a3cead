// The overflow test of every computation: a result that is infinite or NaN
// means that an operation left the double range.
#pragma once

#include <cmath>

namespace infodiv {

inline bool finite(double v) noexcept { return std::fabs(v) <= 1.7976931348623157e308; }

}  // namespace infodiv
