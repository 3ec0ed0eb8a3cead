// Fuzzes the leading number of one piece against a literal oracle: drop the
// skipped blanks, cut the longest prefix that the number grammar accepts and
// let strtod convert it.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "input/leading_number.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The longest prefix of `s` of the form [+-] digits [. digits] [(e|E) [+-] digits],
// with at least one mantissa digit; empty when there is none.
std::string number_prefix(const std::string& s) {
  std::size_t p = 0, mantissa_digits = 0;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
  for (; p < s.size() && is_digit(s[p]); ++p) ++mantissa_digits;
  if (p < s.size() && s[p] == '.') {
    for (++p; p < s.size() && is_digit(s[p]); ++p) ++mantissa_digits;
  }
  if (mantissa_digits == 0) return {};
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    std::size_t q = p + 1;
    if (q < s.size() && (s[q] == '+' || s[q] == '-')) ++q;
    if (q < s.size() && is_digit(s[q])) {
      while (q < s.size() && is_digit(s[q])) ++q;
      p = q;
    }
  }
  return s.substr(0, p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view piece(reinterpret_cast<const char*>(data), size);
  const infodiv::LeadingNumber got = infodiv::leading_number(piece);

  std::string cleaned;
  for (char c : piece) {
    if (c != ' ' && c != '\t' && c != '\n') cleaned.push_back(c);
  }
  const std::string prefix = number_prefix(cleaned);
  if (prefix.empty()) {
    FUZZ_CHECK(got.status == infodiv::NumberStatus::Ok);
    FUZZ_CHECK(same_bits(got.value, 0.0));
    return 0;
  }
  char* end = nullptr;
  const double want = std::strtod(prefix.c_str(), &end);
  FUZZ_CHECK(end == prefix.c_str() + prefix.size());
  if (std::isinf(want)) {
    FUZZ_CHECK(got.status == infodiv::NumberStatus::OutOfRange);
  } else {
    FUZZ_CHECK(got.status == infodiv::NumberStatus::Ok);
    FUZZ_CHECK(std::isfinite(got.value));
    FUZZ_CHECK(same_bits(got.value, want));
  }
  return 0;
}
