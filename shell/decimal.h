// The decimal type of the result records: a sign, a 96-bit unsigned integer
// and a power-of-ten scale from 0 to 28, so its magnitude is at most
// 79228162514264337593543950335 (2^96 - 1).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace infodiv {

class Decimal {
 public:
  static constexpr int kMaxScale = 28;

  constexpr Decimal() = default;

  // The decimal form of a double, or nothing when the double is NaN, infinite
  // or beyond the decimal range. Kept digits: the shortest decimal digits that
  // read back to the same double, rounded half to even to at most 28 decimal
  // places (so values below 5e-29 in magnitude become 0). Does not throw.
  static std::optional<Decimal> from_double(double value) noexcept;

  // Plain positional text: "-" for a negative non-zero value, at least one
  // digit before ".", no trailing zeros after it, never an exponent.
  std::string to_text() const;
  // Appends to_text() to `out`.
  void append_text(std::string& out) const;

  bool negative() const noexcept { return negative_; }
  int scale() const noexcept { return scale_; }
  std::uint32_t hi() const noexcept { return hi_; }
  std::uint32_t mid() const noexcept { return mid_; }
  std::uint32_t lo() const noexcept { return lo_; }

  friend bool operator==(const Decimal&, const Decimal&) = default;

 private:
  bool negative_ = false;
  std::uint8_t scale_ = 0;
  std::uint32_t hi_ = 0, mid_ = 0, lo_ = 0;
};

}  // namespace infodiv
