// The numeric value of one comma-separated piece of input text.
#pragma once

#include <string_view>

namespace infodiv {

enum class NumberStatus {
  Ok,        // the value of the leading number, or 0 when there is none
  OutOfRange // a leading number whose magnitude is beyond the double range
};

struct LeadingNumber {
  double value;
  NumberStatus status;
};

// Spaces, tabs and line feeds are skipped wherever they stand ("1 2" reads
// 12). Of what remains, the longest leading part that reads as a number is
// taken: an optional sign, digits with at most one "." among them (either side
// may be empty, but not both), and an optional exponent (E or e, optional
// sign, digits; an incomplete exponent such as "1e" or "1e+" is ignored).
// Anything after it is ignored; text without a leading number reads 0. "." is
// always the decimal separator. The value is the correctly rounded double;
// magnitudes below the double range read as 0 or as a subnormal.
// Does not throw, does not allocate.
LeadingNumber leading_number(std::string_view piece) noexcept;

}  // namespace infodiv
