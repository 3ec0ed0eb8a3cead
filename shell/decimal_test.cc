#include "shell/decimal.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace infodiv {
namespace {

TEST(DecimalTest, KeepsShortestDigitsInPositionalText) {
  struct Case {
    double value;
    const char* text;
  };
  // value                          text
  const Case cases[] = {
      {0.0, "0"},
      {-0.0, "0"},
      {2.0, "2"},
      {-0.150295639, "-0.150295639"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e-5, "0.00001"},
      {1.5e-20, "0.000000000000000000015"},
      {1e-28, "0.0000000000000000000000000001"},
      {1.25e-28, "0.0000000000000000000000000001"},   // half to even, down
      {1.5e-28, "0.0000000000000000000000000002"},    // half to even, up
      {4e-29, "0"},
      {-4e-29, "0"},
      {1e20, "100000000000000000000"},
      {123456.789, "123456.789"},
      {7.9228162514264e28, "79228162514264000000000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto d = Decimal::from_double(c.value);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->to_text(), c.text);
  }
}

TEST(DecimalTest, RejectsValuesOutsideItsRange) {
  const double limit = std::numeric_limits<double>::infinity();
  for (double v : {7.922816251426434e28, -8e28, 1e300, limit, -limit, std::nan("")}) {
    SCOPED_TRACE(v);
    EXPECT_FALSE(Decimal::from_double(v).has_value());
  }
  // The largest double below 2^96 fits.
  EXPECT_TRUE(Decimal::from_double(std::nextafter(0x1p96, 0)).has_value());
}

TEST(DecimalTest, TextReadsBackToTheDouble) {
  // Down to 1e-11 the 17 shortest digits fit in 28 decimal places, so
  // nothing is rounded away.
  std::mt19937_64 random(20261211);
  for (int n = 0; n < 20000; ++n) {
    double exponent = std::uniform_real_distribution<double>(-11, 28)(random);
    double value = std::pow(10.0, exponent) * (random() % 2 ? 1 : -1);
    auto d = Decimal::from_double(value);
    ASSERT_TRUE(d.has_value()) << value;
    std::string text = d->to_text();
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(back, value) << text;
  }
}

}  // namespace
}  // namespace infodiv
