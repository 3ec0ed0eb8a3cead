#include "input/leading_number.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

namespace infodiv {
namespace {

struct Case {
  const char* text;
  double value;
};

TEST(LeadingNumberTest, ReadsTheLeadingNumber) {
  // text            value
  const Case cases[] = {
      {"", 0},           {"abc", 0},         {"3.5kg", 3.5},     {" 42 ", 42},
      {"1 2", 12},       {"\t-1\t2\n", -12}, {"1E3", 1000},      {"1e3", 1000},
      {".5", 0.5},       {"-.5e-2", -0.005}, {"+3", 3},          {"5.", 5},
      {"1e", 1},         {"1e+", 1},         {"1e-x", 1},        {"\"7\"", 0},
      {".", 0},          {"-", 0},           {"+.e1", 0},        {"1.2.3", 1.2},
      {"0.1", 0.1},      {"1,5", 1},         {"--1", 0},         {"1 e 2", 100},
      {"00012.50", 12.5}, {"1e-400", 0},     {"4.9406564584124654e-324", 4.9406564584124654e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      {"0.000000000000000000000000000000000000000001", 1e-42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("text: ") + c.text);
    LeadingNumber n = leading_number(c.text);
    EXPECT_EQ(n.status, NumberStatus::Ok);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(n.value), std::bit_cast<std::uint64_t>(c.value)) << n.value;
  }
}

TEST(LeadingNumberTest, RoundsLongMantissasCorrectly) {
  // Exactly halfway between two doubles, plus a tiny excess far beyond the
  // 768th digit: must round up.
  std::string halfway = "9007199254740993";  // 2^53 + 1
  EXPECT_EQ(leading_number(halfway).value, 9007199254740992.0);
  std::string above = halfway + "." + std::string(1000, '0') + "1";
  EXPECT_EQ(leading_number(above).value, 9007199254740994.0);
}

TEST(LeadingNumberTest, MagnitudeBeyondDoubleIsOutOfRange) {
  for (const char* text : {"1e309", "-2e308", "1" "0000000000" "0000000000e300", "1e999999999999"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(leading_number(text).status, NumberStatus::OutOfRange);
  }
}

}  // namespace
}  // namespace infodiv
