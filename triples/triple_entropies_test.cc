#include "triples/triple_entropies.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "shell/run_error.h"

namespace infodiv {
namespace {

std::vector<TripleValues> walk(std::string_view text, std::string* error = nullptr, unsigned threads = 1) {
  LineReader first(text);
  std::size_t columns = count_pieces(first.next_line());
  DataMatrix m = load_data_matrix(text, columns, "in");
  std::vector<TripleValues> out;
  try {
    analyze_triples(m, [&](const TripleValues& v) { out.push_back(v); }, {}, threads);
  } catch (const RunError& e) {
    if (error == nullptr) throw;
    *error = e.what();
  }
  return out;
}

TEST(TripleEntropiesTest, WorkedExample) {
  auto records = walk("1,2,5\n3,0,1\n4,2,2\n");
  ASSERT_EQ(records.size(), 1u);
  const TripleValues& v = records[0];
  EXPECT_EQ(v.i, 0);
  EXPECT_EQ(v.j, 1);
  EXPECT_EQ(v.k, 2.0);
  // Nine-decimal values of the worked example.
  const double expected[7] = {1.405639062, 1, 1.298794941, 2.188721876, 2.352217001, 2.117492461, 2.803701696};
  for (int e = 0; e < 7; ++e) EXPECT_NEAR(v.entropy[e], expected[e], 5e-10) << e;
  EXPECT_EQ(v.entropy[1], 1.0);  // the zero cell adds nothing; each half is exact
  EXPECT_NEAR(v.interaction, -0.150295639, 5e-10);
  EXPECT_EQ(v.interaction_decimal.to_text().substr(0, 12), "-0.150295639");
}

TEST(TripleEntropiesTest, RecordsComeInAscendingOrderPerColumnCount) {
  // columns   records
  const std::pair<int, std::size_t> cases[] = {{3, 1}, {4, 4}, {5, 10}, {10, 120}};
  for (auto [columns, count] : cases) {
    std::string line;
    for (int c = 0; c < columns; ++c) {
      if (c != 0) line.push_back(',');
      line.append(std::to_string(c + 1));
    }
    std::string text = line + "\n" + line + "\n";
    auto records = walk(text);
    ASSERT_EQ(records.size(), count) << columns;
    for (std::size_t r = 1; r < records.size(); ++r) {
      auto key = [](const TripleValues& v) { return std::tuple(v.i, v.j, v.k); };
      EXPECT_LT(key(records[r - 1]), key(records[r]));
    }
  }
}

TEST(TripleEntropiesTest, PoolingAColumnWithItselfAddsOneBit) {
  auto records = walk("1,1,2\n2,2,1\n5,5,3\n");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NEAR(records[0].entropy[3], records[0].entropy[0] + 1, 1e-12);
}

TEST(TripleEntropiesTest, NegativeCellsGiveProportionsAboveOne) {
  auto records = walk("3,1,1\n-1,1,2\n");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NEAR(records[0].entropy[0], -0.877443751, 5e-10);
}

TEST(TripleEntropiesTest, StopsAtTheFirstFailingVisit) {
  struct Case {
    const char* text;
    std::size_t records;
    const char* error;
  };
  const Case cases[] = {
      // A trailing comma adds a zero column: (0, 0, 3) divides by its sum.
      {"1,2,3,\n4,5,6,\n", 0, "Division by zero at triple (0, 0, 3)"},
      // Columns 1 and 2 cancel: the pair total of the first written triple is 0.
      {"1,2,-2\n1,3,-3\n", 0, "Division by zero at triple (0, 1, 2)"},
      // Column 3 and 1 cancel: only visits pooling them fail, after (0, 1, 2).
      {"1,1,1,-1\n1,2,1,-2\n", 1, "Division by zero at triple (0, 1, 3)"},
      // A tiny total makes a proportion overflow.
      {"1,1e300,1\n1,-1e300,1\n1,1e-10,1\n", 0, "Overflow at triple (0, 0, 1)"},
      // Proportions that are finite but whose entropy terms overflow.
      {"1,1e307,1\n1,-1e307,1\n1,1,1\n", 0, "Overflow at triple (0, 0, 1)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    auto records = walk(c.text, &error);
    EXPECT_EQ(records.size(), c.records);
    EXPECT_EQ(error, c.error);
  }
}

TEST(TripleEntropiesTest, SameBitsForEveryKernelAndThreadCount) {
  std::mt19937_64 random(7);
  for (bool negative : {false, true}) {
    std::string text;
    for (int r = 0; r < 37; ++r) {
      for (int c = 0; c < 11; ++c) {
        double v = std::uniform_real_distribution<double>(negative ? -1 : 0, 10)(random);
        if (random() % 5 == 0) v = 0;
        if (c != 0) text.push_back(',');
        text.append(std::to_string(v));
      }
      text += "\n";
    }
    SCOPED_TRACE(negative);
    std::string error_scalar, error_vector;
    g_triple_vector_kernel_enabled = false;
    auto scalar = walk(text, &error_scalar, 1);
    g_triple_vector_kernel_enabled = true;
    for (unsigned threads : {1u, 2u, 5u}) {
      auto vector = walk(text, &error_vector, threads);
      EXPECT_EQ(error_vector, error_scalar);
      ASSERT_EQ(vector.size(), scalar.size());
      for (std::size_t t = 0; t < scalar.size(); ++t) {
        for (int e = 0; e < 7; ++e) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(vector[t].entropy[e]),
                    std::bit_cast<std::uint64_t>(scalar[t].entropy[e]))
              << "threads " << threads << " record " << t << " entropy " << e;
        }
      }
    }
  }
}

}  // namespace
}  // namespace infodiv
