// The one natural logarithm of the system. Every entropy term, in every
// phase, in vector lanes and scalar tails alike, on every platform, calls this
// function or its exact vector twin (natural_log_avx2.h), so the last bits of
// a result never depend on the code path, the thread count or the C library.
//
// It is computed with plain IEEE double operations only (the classic
// reduction x = 2^k (1 + f) with 1 + f in [sqrt(2)/2, sqrt(2)), s = f / (2 + f)
// and a degree-14 odd polynomial in s, with the half-square correction in
// every case), so its error is below 0.85 ulp and its result is the same
// everywhere.
#pragma once

#include <bit>
#include <cstdint>

namespace infodiv {

namespace natural_log_constants {
inline constexpr double kLn2Hi = 0x1.62e42feep-1;  // ln 2, upper bits: k * kLn2Hi is exact
inline constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
inline constexpr double kLg1 = 0x1.5555555555593p-1;
inline constexpr double kLg2 = 0x1.999999997fa04p-2;
inline constexpr double kLg3 = 0x1.2492494229359p-2;
inline constexpr double kLg4 = 0x1.c71c51d8e78afp-3;
inline constexpr double kLg5 = 0x1.7466496cb03dep-3;
inline constexpr double kLg6 = 0x1.39a09d078c69fp-3;
inline constexpr double kLg7 = 0x1.2f112df3e5244p-3;
}  // namespace natural_log_constants

// ln x for a finite x > 0 (subnormals included). Callers never pass zero, a
// negative value, infinity or NaN. Does not throw.
inline double natural_log(double x) noexcept {
  using namespace natural_log_constants;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  std::int64_t k = 0;
  if (bits < 0x0010000000000000u) {  // subnormal: scale into the normal range
    x = x * 0x1p54;
    bits = std::bit_cast<std::uint64_t>(x);
    k = -54;
  }
  std::int64_t hx = static_cast<std::int64_t>(bits >> 32);
  k += (hx >> 20) - 1023;
  hx &= 0x000fffff;
  // Exponent 0 or -1, whichever puts the mantissa m in [sqrt(2)/2, sqrt(2)).
  const std::int64_t half = (hx + 0x95f64) & 0x100000;
  const std::uint64_t m_bits =
      (static_cast<std::uint64_t>(hx | (half ^ 0x3ff00000)) << 32) | (bits & 0xffffffffu);
  k += half >> 20;
  const double f = std::bit_cast<double>(m_bits) - 1.0;
  const double s = f / (2.0 + f);
  const double dk = static_cast<double>(k);
  const double z = s * s;
  const double w = z * z;
  const double t1 = w * (kLg2 + w * (kLg4 + w * kLg6));
  const double t2 = z * (kLg1 + w * (kLg3 + w * (kLg5 + w * kLg7)));
  const double r = t2 + t1;
  const double hfsq = 0.5 * f * f;
  return dk * kLn2Hi - ((hfsq - (s * (hfsq + r) + dk * kLn2Lo)) - f);
}

// ln 2 through the same function, as the base-2 conversions require.
inline double ln2() noexcept {
  static const double value = natural_log(2.0);
  return value;
}

}  // namespace infodiv
