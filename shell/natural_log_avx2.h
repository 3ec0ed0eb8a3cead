// Four natural logarithms at once with AVX2: the same IEEE operations in the
// same order as natural_log(), lane by lane, so each lane's result is
// bit-identical to the scalar call. Include only where the caller is compiled
// for AVX2 (a target attribute or -mavx2) and dispatch on the CPU at runtime.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "shell/natural_log.h"

#define INFODIV_AVX2 __attribute__((target("avx2")))

namespace infodiv {

// ln of each lane; every lane must be finite and > 0.
INFODIV_AVX2 inline __m256d natural_log_avx2(__m256d x) noexcept {
  using namespace natural_log_constants;
  __m256i bits = _mm256_castpd_si256(x);
  __m256i k = _mm256_setzero_si256();
  // Subnormal lanes (rare): scale by 2^54 and take 54 off the exponent.
  const __m256i subnormal = _mm256_cmpgt_epi64(_mm256_set1_epi64x(0x0010000000000000), bits);
  if (!_mm256_testz_si256(subnormal, subnormal)) {
    const __m256d scaled = _mm256_mul_pd(x, _mm256_set1_pd(0x1p54));
    bits = _mm256_castpd_si256(_mm256_blendv_pd(x, scaled, _mm256_castsi256_pd(subnormal)));
    k = _mm256_and_si256(subnormal, _mm256_set1_epi64x(-54));
  }

  __m256i hx = _mm256_srli_epi64(bits, 32);
  k = _mm256_add_epi64(k, _mm256_sub_epi64(_mm256_srli_epi64(hx, 20), _mm256_set1_epi64x(1023)));
  hx = _mm256_and_si256(hx, _mm256_set1_epi64x(0x000fffff));
  const __m256i half = _mm256_and_si256(_mm256_add_epi64(hx, _mm256_set1_epi64x(0x95f64)),
                                        _mm256_set1_epi64x(0x100000));
  const __m256i high = _mm256_or_si256(hx, _mm256_xor_si256(half, _mm256_set1_epi64x(0x3ff00000)));
  const __m256i m_bits = _mm256_or_si256(_mm256_slli_epi64(high, 32),
                                         _mm256_and_si256(bits, _mm256_set1_epi64x(0xffffffff)));
  k = _mm256_add_epi64(k, _mm256_srli_epi64(half, 20));

  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d f = _mm256_sub_pd(_mm256_castsi256_pd(m_bits), one);
  const __m256d s = _mm256_div_pd(f, _mm256_add_pd(_mm256_set1_pd(2.0), f));
  // k is a small integer: exact conversion through the 1.5 * 2^52 trick.
  const __m256d magic = _mm256_set1_pd(0x1.8p52);
  const __m256d dk = _mm256_sub_pd(
      _mm256_castsi256_pd(_mm256_add_epi64(k, _mm256_castpd_si256(magic))), magic);
  const __m256d z = _mm256_mul_pd(s, s);
  const __m256d w = _mm256_mul_pd(z, z);
  const __m256d t1 = _mm256_mul_pd(
      w, _mm256_add_pd(_mm256_set1_pd(kLg2),
                       _mm256_mul_pd(w, _mm256_add_pd(_mm256_set1_pd(kLg4),
                                                      _mm256_mul_pd(w, _mm256_set1_pd(kLg6))))));
  const __m256d t2 = _mm256_mul_pd(
      z, _mm256_add_pd(
             _mm256_set1_pd(kLg1),
             _mm256_mul_pd(w, _mm256_add_pd(_mm256_set1_pd(kLg3),
                                            _mm256_mul_pd(w, _mm256_add_pd(_mm256_set1_pd(kLg5),
                                                                           _mm256_mul_pd(w, _mm256_set1_pd(kLg7))))))));
  const __m256d r = _mm256_add_pd(t2, t1);
  const __m256d hfsq = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(0.5), f), f);
  const __m256d hi = _mm256_mul_pd(dk, _mm256_set1_pd(kLn2Hi));
  const __m256d lo = _mm256_mul_pd(dk, _mm256_set1_pd(kLn2Lo));
  return _mm256_sub_pd(
      hi, _mm256_sub_pd(_mm256_sub_pd(hfsq, _mm256_add_pd(_mm256_mul_pd(s, _mm256_add_pd(hfsq, r)), lo)), f));
}

// True when this CPU runs the AVX2 paths.
inline bool cpu_has_avx2() noexcept {
  static const bool value = __builtin_cpu_supports("avx2");
  return value;
}

}  // namespace infodiv

#else
namespace infodiv {
inline bool cpu_has_avx2() noexcept { return false; }
}  // namespace infodiv
#endif
