#include "input/leading_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace infodiv {
namespace {

bool is_skipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a piece character by character, stepping over the skipped blanks.
class NumberText {
 public:
  explicit NumberText(std::string_view piece) : piece_(piece) {}

  char peek() {
    while (pos_ < piece_.size() && is_skipped(piece_[pos_])) ++pos_;
    return pos_ < piece_.size() ? piece_[pos_] : '\0';
  }
  void take() { ++pos_; }
  std::size_t position() const { return pos_; }
  void rewind(std::size_t pos) { pos_ = pos; }

 private:
  std::string_view piece_;
  std::size_t pos_ = 0;
};

}  // namespace

LeadingNumber leading_number(std::string_view piece) noexcept {
  NumberText text(piece);
  bool negative = false;
  if (char c = text.peek(); c == '+' || c == '-') {
    negative = c == '-';
    text.take();
  }
  // Mantissa digits, significant ones kept up to a bound; the rest only move
  // the decimal exponent, which keeps the conversion exact for any length.
  constexpr int kMaxKept = 768;
  char kept[kMaxKept + 1];
  int kept_count = 0;
  long long exponent_shift = 0;  // power of ten to apply to the kept integer
  bool any_digit = false, seen_point = false, nonzero_dropped = false;
  for (;;) {
    char c = text.peek();
    if (is_digit(c)) {
      any_digit = true;
      if (kept_count == 0 && c == '0') {
        if (seen_point) --exponent_shift;
      } else if (kept_count < kMaxKept) {
        kept[kept_count++] = c;
        if (seen_point) --exponent_shift;
      } else {
        nonzero_dropped |= c != '0';
        if (!seen_point) ++exponent_shift;
      }
      text.take();
    } else if (c == '.' && !seen_point) {
      seen_point = true;
      text.take();
    } else {
      break;
    }
  }
  if (!any_digit) return {0.0, NumberStatus::Ok};

  long long exponent = 0;
  if (char c = text.peek(); c == 'e' || c == 'E') {
    std::size_t before = text.position();
    text.take();
    bool exp_negative = false;
    if (char s = text.peek(); s == '+' || s == '-') {
      exp_negative = s == '-';
      text.take();
    }
    if (is_digit(text.peek())) {
      while (is_digit(text.peek())) {
        if (exponent < 100000000) exponent = exponent * 10 + (text.peek() - '0');
        text.take();
      }
      if (exp_negative) exponent = -exponent;
    } else {
      text.rewind(before);
    }
  }
  if (kept_count == 0) return {negative ? -0.0 : 0.0, NumberStatus::Ok};
  if (nonzero_dropped) {
    // A sticky digit below the kept ones decides ties correctly.
    kept[kept_count++] = '1';
    --exponent_shift;
  }

  long long total_exponent = exponent + exponent_shift;
  // Decimal magnitude of the value is about 10^(kept_count + total_exponent).
  long long magnitude = kept_count + total_exponent;
  if (magnitude > 400) return {0.0, NumberStatus::OutOfRange};
  if (magnitude < -400) return {negative ? -0.0 : 0.0, NumberStatus::Ok};

  char buffer[kMaxKept + 32];
  std::memcpy(buffer, kept, static_cast<std::size_t>(kept_count));
  char* end = buffer + kept_count;
  *end++ = 'e';
  end = std::to_chars(end, buffer + sizeof buffer, total_exponent).ptr;
  double value = 0;
  auto result = std::from_chars(buffer, end, value);
  if (result.ec == std::errc::result_out_of_range) {
    // Below the normal range the result is 0 or a subnormal, which strtod
    // rounds correctly; above it the number does not fit a double.
    *end = '\0';
    value = std::strtod(buffer, nullptr);
    if (std::isinf(value)) return {0.0, NumberStatus::OutOfRange};
  }
  return {negative ? -value : value, NumberStatus::Ok};
}

}  // namespace infodiv
