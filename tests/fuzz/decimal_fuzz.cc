// Fuzzes the double-to-decimal conversion and its text against a literal
// oracle: the shortest round-trip digits of the double (to_chars) laid out in
// positional notation and rounded half to even to 28 places with schoolbook
// string arithmetic.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "shell/decimal.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::size_t kScale = 28;
constexpr std::string_view kLargest = "79228162514264337593543950335";  // 2^96 - 1

// The expected text of |value|'s decimal, or nothing when it is out of range.
std::optional<std::string> expected_magnitude_text(double magnitude) {
  // Shortest round-trip digits (scientific), laid out in positional notation.
  char buffer[64];
  auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  FUZZ_CHECK(ec == std::errc());
  char* e = std::find(buffer, ptr, 'e');
  std::string digits;
  for (const char* p = buffer; p < e; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  const int point = std::atoi(std::string(e + 1, ptr).c_str()) + 1;  // digits before the point
  std::string whole, fraction;
  if (point <= 0) {
    whole = "0";
    fraction = std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    whole = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    whole = digits.substr(0, static_cast<std::size_t>(point));
    fraction = digits.substr(static_cast<std::size_t>(point));
  }
  bool round_up = false;
  if (fraction.size() > kScale) {
    const char first = fraction[kScale];
    bool rest_nonzero = fraction.find_first_not_of('0', kScale + 1) != std::string::npos;
    bool last_odd = (fraction[kScale - 1] - '0') % 2 == 1;
    round_up = first > '5' || (first == '5' && (rest_nonzero || last_odd));
    fraction.resize(kScale);
  }
  digits = whole + fraction;
  if (round_up) {
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[i - 1];
    }
  }
  // Back to whole and fraction, without trailing zeros after the point.
  whole = digits.substr(0, digits.size() - fraction.size());
  fraction = digits.substr(digits.size() - fraction.size());
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  std::size_t first_nonzero = whole.find_first_not_of('0');
  whole = first_nonzero == std::string::npos ? "0" : whole.substr(first_nonzero);
  std::string mantissa = whole == "0" ? fraction : whole + fraction;
  std::size_t lead = mantissa.find_first_not_of('0');
  mantissa = lead == std::string::npos ? "" : mantissa.substr(lead);
  if (mantissa.size() > kLargest.size() || (mantissa.size() == kLargest.size() && mantissa > kLargest)) {
    return std::nullopt;
  }
  return fraction.empty() ? whole : whole + "." + fraction;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Eight bytes are the bits of a double; anything else is text for strtod,
  // which reaches the values near the decimal range more often.
  double value = 0;
  if (size == sizeof value) {
    std::memcpy(&value, data, sizeof value);
  } else {
    std::string text(reinterpret_cast<const char*>(data), size);
    value = std::strtod(text.c_str(), nullptr);
  }
  const std::optional<infodiv::Decimal> got = infodiv::Decimal::from_double(value);
  if (!std::isfinite(value)) {
    FUZZ_CHECK(!got.has_value());
    return 0;
  }
  const std::optional<std::string> magnitude = expected_magnitude_text(std::fabs(value));
  FUZZ_CHECK(got.has_value() == magnitude.has_value());
  if (!got) return 0;
  FUZZ_CHECK(got->scale() >= 0 && got->scale() <= infodiv::Decimal::kMaxScale);
  const std::string text = got->to_text();
  const bool zero = *magnitude == "0";
  FUZZ_CHECK(text == (std::signbit(value) && !zero ? "-" : "") + *magnitude);
  FUZZ_CHECK(text.find_first_of("eE") == std::string::npos);
  // Whatever was kept reads back: exactly, when no digit fell beyond the last place.
  const double back = std::strtod(text.c_str(), nullptr);
  char shortest[64];
  auto end = std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific).ptr;
  const int exponent = std::atoi(std::string(std::find(shortest, end, 'e') + 1, end).c_str());
  const long digits = std::count_if(shortest, std::find(shortest, end, 'e'), [](char c) { return c >= '0' && c <= '9'; });
  if (exponent - (digits - 1) >= -static_cast<int>(kScale)) {
    FUZZ_CHECK(back == value);
  } else {
    FUZZ_CHECK(std::fabs(back - value) <= 1e-28);
  }
  return 0;
}
