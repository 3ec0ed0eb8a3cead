// Checks of the oracle itself, against values worked out by hand, so that the
// differential tests compare the engine with something known to be right.
#include "tests/reference/reference.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_files.h"

namespace fs = std::filesystem;
using infodiv::reference::decimal_text;
using infodiv::reference::run_literal;

namespace {

using infodiv::testing::slurp;

std::vector<std::vector<std::string>> records(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
    std::vector<std::string> fields;
    std::stringstream line(text.substr(start, end - start));
    for (std::string f; std::getline(line, f, ',');) fields.push_back(f);
    lines.push_back(fields);
    start = end + 2;
  }
  EXPECT_EQ(start, text.size()) << "text after the last line end";
  return lines;
}

class ReferenceRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/infodiv-reference-XXXXXX";
    dir_ = mkdtemp(pattern);
    paths_ = {dir_ / "f3.txt", dir_ / "results.txt", dir_ / "results2.txt"};
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write_input(const std::string& text) { std::ofstream(paths_.input, std::ios::binary) << text; }

  fs::path dir_;
  infodiv::RunPaths paths_;
};

TEST(DecimalTextTest, RoundsShortestDigitsToTwentyEightPlaces) {
  struct Case {
    double value;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      // value                   text
      {0.0, "0"},
      {-0.0, "0"},
      {3.0, "3"},
      {-2.5, "-2.5"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e-5, "0.00001"},
      {1e28, "10000000000000000000000000000"},
      {1e-28, "0.0000000000000000000000000001"},
      {1.5e-28, "0.0000000000000000000000000002"},  // half, up to even
      {2.5e-28, "0.0000000000000000000000000002"},  // half, down to even
      {5e-29, "0"},                                 // half of the last place: to even 0
      {-5e-29, "0"},                                // a zero decimal has no sign
      {6e-29, "0.0000000000000000000000000001"},
      {5.1e-29, "0.0000000000000000000000000001"},  // more than half
      {9.99e-27, "0.00000000000000000000000001"},   // the carry runs through the nines
      {-1.2345e-300, "0"},
      {7.922816251426433e28, "79228162514264330000000000000"},  // the last double below 2^96
      {7.922816251426434e28, std::nullopt},                     // 2^96
      {-7.922816251426434e28, std::nullopt},
      {1e300, std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hexfloat << c.value << " " << std::defaultfloat << c.value);
    EXPECT_EQ(decimal_text(c.value), c.text);
  }
}

// The worked example of the triple analysis; the expected values are given
// to nine places, so they are compared within 5e-10.
TEST_F(ReferenceRunTest, WorkedTripleExample) {
  write_input("1,2,5\n3,0,1\n4,2,2\n");
  const auto outcome = run_literal(paths_);
  EXPECT_FALSE(outcome.stopped) << outcome.error;
  const auto lines = records(slurp(paths_.results).value_or(""));
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::string>& f = lines[0];
  ASSERT_EQ(f.size(), 11u);
  EXPECT_EQ(f[0] + "," + f[1] + "," + f[2], "0,1,2");
  const double expected[] = {-0.150295639, 1.405639062, 1.0,         1.298794941,
                             2.188721876,  2.352217001, 2.117492461, 2.803701696};
  for (std::size_t n = 0; n < 8; ++n) {
    SCOPED_TRACE(n + 4);
    EXPECT_NEAR(std::stod(f[n + 3]), expected[n], 5e-10);
  }
  EXPECT_EQ(f[5], "1");  // two halves: exactly one bit
  EXPECT_EQ(records(slurp(paths_.results2).value_or("")).size(), 3u);
}

// Rows (1,1,1), (2,2,2), (3,3,3): every column is (1, 2, 3) and every pair of
// rows has similarity exactly 1, so each record is known in closed form
// (entropy and Gini within 1e-12 of their exact values).
TEST_F(ReferenceRunTest, ParallelRowsGiveZeroDisparity) {
  write_input("1,1,1\n2,2,2\n3,3,3\n");
  EXPECT_FALSE(run_literal(paths_).stopped);
  const auto lines = records(slurp(paths_.results2).value_or(""));
  ASSERT_EQ(lines.size(), 3u);
  for (const std::vector<std::string>& f : lines) {
    ASSERT_EQ(f.size(), 14u);
    // scaled, combined, equivalent, quadratic: no disparity at all
    EXPECT_EQ(f[0] + "," + f[1] + "," + f[2] + "," + f[3], "0,0,1,0");
    EXPECT_NEAR(std::stod(f[4]), 2.0 * (1.0 / 18 + 1.0 / 12 + 1.0 / 6), 1e-12);  // Simpson
    EXPECT_NEAR(std::stod(f[5]), -(std::log2(1.0 / 6) / 6 + std::log2(1.0 / 3) / 3 + std::log2(0.5) / 2), 1e-12);
    EXPECT_EQ(f[6], "1");  // positive share
    EXPECT_EQ(f[7], "0");  // mean disparity
    EXPECT_NEAR(std::stod(f[8]), 4.0 / 18, 1e-12);
    EXPECT_NEAR(std::stod(f[9]), 1.0 / 3, 1e-12);
    EXPECT_EQ(f[10] + "," + f[11] + "," + f[12] + "," + f[13], "6,3,3,0");
  }
}

TEST_F(ReferenceRunTest, StopsLeaveTheFilesOfTheRun) {
  struct Case {
    const char* name;
    std::optional<std::string> input;          // nullopt: no input file
    const char* error;                         // "" for a normal end
    std::optional<std::size_t> results_lines;  // nullopt: results.txt absent
    std::size_t results2_lines;
  };
  const Case cases[] = {
      {"missing input", std::nullopt, "File not found", std::nullopt, 0},
      {"empty input", "", "Input past end of file", std::nullopt, 0},
      {"two columns", "1,2\n3,4\n", "Subscript out of range", std::nullopt, 0},
      {"empty first line", "\n1,2,3\n", "", std::nullopt, 0},
      {"blank last line", "1,2,3\n4,5,6\n\n", "Subscript out of range", 0, 0},
      {"trailing comma", "1,2,3,\n4,5,6,\n", "Division by zero", 0, 0},
      {"single line", "1,2,3\n", "Division by zero", 1, 0},
      {"negative column total", "1,2,-1\n2,3,-1\n", "Column total not positive", 1, 2},
      {"one positive row", "1,0,2\n2,3,1\n", "Division by zero", 1, 1},
      {"number beyond double", "1,2,3\n4,1e400,6\n", "Overflow", 0, 0},
      {"square beyond double", "1,2,3\n4,1e200,6\n", "Overflow", 1, 0},
      {"four columns", "1,2,3,4\r4,3,2,1\r", "", 4, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(paths_.input);
    if (c.input) write_input(*c.input);
    std::ofstream(paths_.results) << "old\r\n";
    std::ofstream(paths_.results2) << "old\r\n";
    const auto outcome = run_literal(paths_);
    EXPECT_EQ(outcome.stopped, *c.error != '\0');
    EXPECT_EQ(outcome.error, c.error);
    const std::optional<std::string> results = slurp(paths_.results);
    ASSERT_EQ(results.has_value(), c.results_lines.has_value());
    if (results) {
      EXPECT_EQ(records(*results).size(), *c.results_lines);
    }
    EXPECT_EQ(records(slurp(paths_.results2).value_or("missing")).size(), c.results2_lines);
  }
}

}  // namespace
