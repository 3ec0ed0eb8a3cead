#include "shell/decimal.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace infodiv {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr u128 kMaxMantissa = (u128{1} << 96) - 1;

// Shortest round-trip digits of |value| (no leading zeros) and the power of
// ten of the last digit.
struct ShortestDigits {
  char digits[32];
  int count;
  int exponent;
};

ShortestDigits shortest_digits(double magnitude) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  ShortestDigits out{};
  const char* p = text;
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') out.digits[out.count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, exponent);
  out.exponent = exponent - (out.count - 1);
  return out;
}

}  // namespace

std::optional<Decimal> Decimal::from_double(double value) noexcept {
  if (!std::isfinite(value)) return std::nullopt;
  Decimal d;
  d.negative_ = std::signbit(value);
  if (value == 0) return d;

  ShortestDigits s = shortest_digits(std::fabs(value));
  int count = s.count;
  int exponent = s.exponent;
  bool round_up = false;
  if (exponent < -kMaxScale) {
    // Drop the digits beyond 28 decimal places, rounding half to even.
    int drop = -kMaxScale - exponent;
    int keep = count - drop;
    if (keep < 0) {
      count = 0;  // far below the last place: rounds to 0
    } else {
      char first = s.digits[keep];
      bool rest_nonzero = false;
      for (int i = keep + 1; i < count; ++i) rest_nonzero |= s.digits[i] != '0';
      bool last_odd = keep > 0 && (s.digits[keep - 1] - '0') % 2 == 1;
      round_up = first > '5' || (first == '5' && (rest_nonzero || last_odd));
      count = keep;
    }
    exponent = -kMaxScale;
  }
  u128 mantissa = 0;
  for (int i = 0; i < count; ++i) mantissa = mantissa * 10 + static_cast<unsigned>(s.digits[i] - '0');
  if (round_up) ++mantissa;
  for (; exponent > 0; --exponent) {
    mantissa *= 10;
    if (mantissa > kMaxMantissa) return std::nullopt;
  }
  if (mantissa > kMaxMantissa) return std::nullopt;
  int scale = -exponent;
  while (scale > 0 && mantissa % 10 == 0) {
    mantissa /= 10;
    --scale;
  }
  d.scale_ = static_cast<std::uint8_t>(scale);
  d.lo_ = static_cast<std::uint32_t>(mantissa);
  d.mid_ = static_cast<std::uint32_t>(mantissa >> 32);
  d.hi_ = static_cast<std::uint32_t>(mantissa >> 64);
  return d;
}

void Decimal::append_text(std::string& out) const {
  const u128 mantissa = (u128{hi_} << 64) | (u128{mid_} << 32) | u128{lo_};
  // One 128-bit division splits the mantissa (< 2^96 < 10^29) into two parts
  // below 10^19, whose digits 64-bit arithmetic yields: records write many
  // decimals, and a 128-bit division per digit was their largest cost.
  constexpr std::uint64_t kChunk = 10000000000000000000u;  // 10^19
  std::uint64_t high = static_cast<std::uint64_t>(mantissa / kChunk);
  std::uint64_t low = static_cast<std::uint64_t>(mantissa % kChunk);
  char digits[40];
  int count = 0;
  if (high != 0) {
    for (int i = 0; i < 19; ++i, low /= 10) digits[count++] = static_cast<char>('0' + low % 10);
    low = high;
  }
  do {
    digits[count++] = static_cast<char>('0' + low % 10);
    low /= 10;
  } while (low != 0);
  bool is_zero = count == 1 && digits[0] == '0';
  // Digits are least significant first; pad so one digit precedes the point.
  while (count <= scale_) digits[count++] = '0';
  char text[48];
  int length = 0;
  if (negative_ && !is_zero) text[length++] = '-';
  for (int i = count - 1; i >= 0; --i) {
    text[length++] = digits[i];
    if (i == scale_ && i != 0) text[length++] = '.';
  }
  out.append(text, static_cast<std::size_t>(length));
}

std::string Decimal::to_text() const {
  std::string out;
  append_text(out);
  return out;
}

}  // namespace infodiv
