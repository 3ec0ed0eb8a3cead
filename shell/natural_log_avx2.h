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
  // The reduction in the floating-point domain: the same m and k as the
  // scalar code's bit manipulation, with fewer operations. m takes the
  // mantissa with exponent 0, and is halved (exactly) where its upper 20
  // fraction bits reach those of sqrt(2), which is where the scalar code
  // switches to exponent -1.
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d y = x;
  __m256d k_subnormal = _mm256_setzero_pd();
  // Subnormal lanes (rare): scale by 2^54 and take 54 off the exponent.
  const __m256i subnormal = _mm256_cmpgt_epi64(_mm256_set1_epi64x(0x0010000000000000), _mm256_castpd_si256(x));
  if (!_mm256_testz_si256(subnormal, subnormal)) {
    y = _mm256_blendv_pd(x, _mm256_mul_pd(x, _mm256_set1_pd(0x1p54)), _mm256_castsi256_pd(subnormal));
    k_subnormal = _mm256_and_pd(_mm256_castsi256_pd(subnormal), _mm256_set1_pd(-54.0));
  }
  // The biased exponent is a small integer: exact through the 1.5 * 2^52 trick.
  const __m256d magic = _mm256_set1_pd(0x1.8p52);
  const __m256i exponent = _mm256_srli_epi64(_mm256_castpd_si256(y), 52);
  __m256d dk = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(exponent, _mm256_castpd_si256(magic))),
                             _mm256_set1_pd(0x1.8p52 + 1023));
  __m256d m = _mm256_or_pd(_mm256_and_pd(y, _mm256_castsi256_pd(_mm256_set1_epi64x(0x000fffffffffffff))), one);
  const __m256d upper = _mm256_cmp_pd(m, _mm256_set1_pd(0x1.6a09cp0), _CMP_GE_OQ);
  m = _mm256_blendv_pd(m, _mm256_mul_pd(m, _mm256_set1_pd(0.5)), upper);
  dk = _mm256_add_pd(_mm256_add_pd(dk, _mm256_and_pd(upper, one)), k_subnormal);

  const __m256d f = _mm256_sub_pd(m, one);
  const __m256d s = _mm256_div_pd(f, _mm256_add_pd(_mm256_set1_pd(2.0), f));
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
