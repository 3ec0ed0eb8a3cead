#include "shell/natural_log.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "shell/natural_log_avx2.h"

namespace infodiv {
namespace {

// Inputs across the whole positive range: subnormals, around 1 (where the
// reduction switches form), powers of two and random bit patterns.
std::vector<double> sample_inputs() {
  std::vector<double> xs = {1.0, 2.0, 0.5, 4.9406564584124654e-324, 2.2250738585072014e-308,
                            1.7976931348623157e308, std::nextafter(1.0, 2.0), std::nextafter(1.0, 0.0),
                            1.4142135623730951, 0.7071067811865476, 1.38, 1.42, 1e-300};
  std::mt19937_64 random(4242);
  for (int n = 0; n < 200000; ++n) {
    std::uint64_t bits = random() & 0x7fffffffffffffffu;
    double x = std::bit_cast<double>(bits);
    if (x > 0 && std::isfinite(x)) xs.push_back(x);
    xs.push_back(std::uniform_real_distribution<double>(0.5, 2.0)(random));
    xs.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(random));
  }
  return xs;
}

TEST(NaturalLogTest, WithinOneUlpOfTheLibraryLog) {
  for (double x : sample_inputs()) {
    const double ours = natural_log(x);
    const double reference = std::log(x);
    const double ulp = std::fabs(std::nextafter(reference, INFINITY) - reference);
    ASSERT_LE(std::fabs(ours - reference), ulp) << std::hexfloat << x;
  }
  EXPECT_EQ(natural_log(1.0), 0.0);
  EXPECT_EQ(ln2(), 0.6931471805599453);
}

#if defined(__x86_64__)
INFODIV_AVX2 void log4(const double* in, double* out) {
  _mm256_storeu_pd(out, natural_log_avx2(_mm256_loadu_pd(in)));
}

TEST(NaturalLogTest, VectorLanesMatchTheScalarBitForBit) {
  if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this CPU";
  std::vector<double> xs = sample_inputs();
  xs.resize(xs.size() / 4 * 4);
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    double out[4];
    log4(&xs[i], out);
    for (int lane = 0; lane < 4; ++lane) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(out[lane]), std::bit_cast<std::uint64_t>(natural_log(xs[i + lane])))
          << std::hexfloat << xs[i + lane];
    }
  }
}
#endif

}  // namespace
}  // namespace infodiv
