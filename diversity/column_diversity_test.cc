#include "diversity/column_diversity.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace infodiv {
namespace {

TEST(ColumnStatisticsTest, WorkedExample) {
  const double x[3] = {1, 2, 3};
  double profile[3];
  ColumnStatistics st;
  ASSERT_FALSE(column_statistics(x, 3, st, profile, 1).has_value());
  EXPECT_EQ(st.ColumnTotal, 6);
  EXPECT_EQ(st.PositiveCount, 3);
  EXPECT_EQ(st.PositiveShare, 1);
  EXPECT_EQ(profile[0], 1.0 / 6);
  EXPECT_NEAR(st.ColumnEntropy, 1.459148, 5e-7);
  EXPECT_EQ(st.GiniCoefficient, 4.0 / 18);
  EXPECT_NEAR(st.CorrectedGini, 1.0 / 3, 1e-15);
}

TEST(ColumnStatisticsTest, EdgeColumns) {
  double profile[4];
  ColumnStatistics st;
  const double equal[4] = {2, 2, 2, 2};
  ASSERT_FALSE(column_statistics(equal, 4, st, profile, 1));
  EXPECT_EQ(st.ColumnEntropy, 2);
  EXPECT_EQ(st.GiniCoefficient, 0);

  const double one_positive[4] = {0, 5, 0, 0};
  ASSERT_FALSE(column_statistics(one_positive, 4, st, profile, 1));
  EXPECT_EQ(st.ColumnEntropy, 0);
  EXPECT_EQ(st.GiniCoefficient, 0.75);
  EXPECT_EQ(st.CorrectedGini, 1);

  // A negative cell counts in the total and is sorted to the front.
  const double negative[3] = {4, -1, 1};
  ASSERT_FALSE(column_statistics(negative, 3, st, profile, 1));
  EXPECT_EQ(st.ColumnTotal, 4);
  EXPECT_EQ(st.PositiveCount, 2);
  EXPECT_EQ(profile[0], 1);
  EXPECT_EQ(profile[1], 0);
  EXPECT_EQ(st.GiniCoefficient, (-1 * -2 + 1 * 0 + 4 * 2) / 12.0);

  const double zero[3] = {1, -1, 0};
  EXPECT_EQ(column_statistics(zero, 3, st, profile, 1), ErrorKind::ColumnTotalNotPositive);
  const double single[1] = {3};
  EXPECT_EQ(column_statistics(single, 1, st, profile, 1), ErrorKind::DivisionByZero);
}

TEST(PairwiseDiversityTest, WorkedExampleWithGivenSimilarities) {
  const double x[3] = {1, 2, 3};
  double p[3];
  ColumnStatistics st;
  ASSERT_FALSE(column_statistics(x, 3, st, p, 1));
  // Pairs (0,1), (0,2), (1,2) with similarities 0.8, 0.5, 0.9, in pair order.
  const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
  const double sim[3] = {0.8, 0.5, 0.9};
  PairSums sums;
  for (int q = 0; q < 3; ++q) {
    double product = p[pairs[q][0]] * p[pairs[q][1]];
    double d = 1 - sim[q];
    sums.simpson = sums.simpson + product;
    sums.disparity = sums.disparity + d;
    sums.quadratic = sums.quadratic + product * d;
    sums.combined = sums.combined + ((1 - st.GiniCoefficient) * d) * st.PositiveShare;
    ++sums.PairCount;
  }
  ColumnValues v;
  ASSERT_FALSE(derive_column_values(st, sums, 3, v));
  EXPECT_EQ(v.PairCount, 3);
  EXPECT_NEAR(v.MeanDisparity, 0.266667, 5e-7);
  EXPECT_NEAR(v.QuadraticDiversity, 0.138889, 5e-7);
  EXPECT_NEAR(v.SimpsonDiversity, 0.611111, 5e-7);
  EXPECT_NEAR(v.CombinedDiversity, 0.207407, 5e-7);
  EXPECT_NEAR(v.ScaledCombinedDiversity, 0.622222, 5e-7);
  EXPECT_NEAR(v.QuadraticEquivalent, 1.161290, 5e-7);
  EXPECT_EQ(v.MeanDisparityDecimal, *Decimal::from_double(v.MeanDisparity));
}

TEST(PairwiseDiversityTest, StopsWithoutPairsOrAtQuadraticOne) {
  ColumnStatistics st;
  ColumnValues v;
  PairSums none;
  EXPECT_EQ(derive_column_values(st, none, 3, v), ErrorKind::DivisionByZero);
  PairSums one{0.5, 1, 0.5, 0, 1};  // quadratic diversity 2 * 0.5 = 1
  EXPECT_EQ(derive_column_values(st, one, 3, v), ErrorKind::DivisionByZero);
  PairSums huge{0.5, 1, 5e28, 0, 1};  // beyond the decimal range
  EXPECT_EQ(derive_column_values(st, huge, 3, v), ErrorKind::Overflow);
}

TEST(RowSimilarityTest, Cases) {
  double s = -1;
  EXPECT_FALSE(row_similarity(2, 4, 1, s));
  EXPECT_EQ(s, 1);
  EXPECT_FALSE(row_similarity(5, 0, 1, s));
  EXPECT_EQ(s, 0);
  EXPECT_EQ(row_similarity(1, 1e200, 1e200, s), ErrorKind::Overflow);
  EXPECT_EQ(row_similarity(0, 1e-200, 1e-200, s), ErrorKind::DivisionByZero);
}

std::vector<ColumnValues> columns_of(std::string_view text, std::string* error = nullptr, unsigned threads = 1) {
  LineReader first(text);
  std::size_t columns = count_pieces(first.next_line());
  DataMatrix m = load_data_matrix(text, columns, "in");
  std::vector<ColumnValues> out;
  try {
    analyze_columns(m, columns, [&](const ColumnValues& v, std::size_t) { out.push_back(v); }, {}, threads);
  } catch (const RunError& e) {
    if (error == nullptr) throw;
    *error = e.what();
  }
  return out;
}

TEST(ColumnDiversityTest, SimpsonIsOneMinusSumOfSquaresForNonNegativeColumns) {
  auto values = columns_of("1,0,3\n2,5,0\n3,1,1\n0,2,2\n");
  ASSERT_EQ(values.size(), 3u);
  const double columns[3][4] = {{1, 2, 3, 0}, {0, 5, 1, 2}, {3, 0, 1, 2}};
  for (int c = 0; c < 3; ++c) {
    double total = 0, squares = 0;
    for (double x : columns[c]) total += x;
    for (double x : columns[c]) squares += (x / total) * (x / total);
    EXPECT_NEAR(values[c].SimpsonDiversity, 1 - squares, 1e-15) << c;
    EXPECT_EQ(values[c].stats.ColumnTotal, total);
  }
}

TEST(ColumnDiversityTest, IdenticalRowsHaveNoDisparity) {
  auto values = columns_of("1,2,3\n1,2,3\n2,4,6\n");
  ASSERT_EQ(values.size(), 3u);
  for (const ColumnValues& v : values) {
    EXPECT_EQ(v.PairCount, 3);
    EXPECT_NEAR(v.MeanDisparity, 0, 1e-15);
  }
}

TEST(ColumnDiversityTest, NegativeCellsGiveDisparitiesAboveOne) {
  // Rows 0 and 1 point in opposite directions: similarity -1, disparity 2.
  auto values = columns_of("1,1,1\n-0.5,-0.5,-0.5\n2,2,2\n1,1,3\n");
  ASSERT_EQ(values.size(), 3u);
  EXPECT_GT(values[0].stats.ColumnTotal, 0);
  EXPECT_EQ(values[0].stats.PositiveCount, 3);
}

TEST(ColumnDiversityTest, StopsInRunOrder) {
  struct Case {
    const char* text;
    std::size_t records;
    const char* error;
  };
  const Case cases[] = {
      {"1,2,3\n", 0, "Division by zero at column 0"},
      {"1,2,0\n2,3,0\n", 2, "Column total not positive at column 2"},
      {"1,0,2\n2,3,1\n", 1, "Division by zero at column 1"},  // one positive row
      {"1,2,3\n1e100,0,0\n1e100,0,0\n", 0, "Overflow at row similarity of rows 1 and 2"},
      {"1,2,3\n1e-100,0,0\n1e-100,0,0\n", 0, "Division by zero at row similarity of rows 1 and 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    auto values = columns_of(c.text, &error);
    EXPECT_EQ(values.size(), c.records);
    EXPECT_EQ(error, c.error);
  }
}

TEST(ColumnDiversityTest, SameBitsForEveryKernelAndThreadCount) {
  std::mt19937_64 random(11);
  // Dense, sparse with zero rows, and with negative cells; row counts that
  // end inside a block of rows and inside a group of lanes.
  for (int variant = 0; variant < 3; ++variant) {
    std::string text;
    const int rows = 45 + variant, columns = 6 + variant;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < columns; ++c) {
        double v = std::uniform_real_distribution<double>(variant == 2 ? -2 : 0, 10)(random);
        if (variant == 1 && (random() % 3 == 0 || r % 7 == 0)) v = 0;
        if (c != 0) text.push_back(',');
        text.append(std::to_string(v));
      }
      text.push_back('\n');
    }
    SCOPED_TRACE(variant);
    std::string error_scalar, error_vector;
    g_column_vector_kernels_enabled = false;
    auto scalar = columns_of(text, &error_scalar, 1);
    g_column_vector_kernels_enabled = true;
    for (unsigned threads : {1u, 2u, 3u}) {
      auto vector = columns_of(text, &error_vector, threads);
      EXPECT_EQ(error_vector, error_scalar);
      ASSERT_EQ(vector.size(), scalar.size());
      for (std::size_t c = 0; c < scalar.size(); ++c) {
        const double a[] = {scalar[c].QuadraticDiversity, scalar[c].SimpsonDiversity, scalar[c].CombinedDiversity,
                            scalar[c].MeanDisparity, static_cast<double>(scalar[c].PairCount)};
        const double b[] = {vector[c].QuadraticDiversity, vector[c].SimpsonDiversity, vector[c].CombinedDiversity,
                            vector[c].MeanDisparity, static_cast<double>(vector[c].PairCount)};
        for (int f = 0; f < 5; ++f) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(a[f]), std::bit_cast<std::uint64_t>(b[f]))
              << "threads " << threads << " column " << c << " field " << f;
        }
      }
    }
  }
}

TEST(ColumnDiversityTest, UnloadedMatrixIsASubscriptError) {
  try {
    analyze_columns(DataMatrix{}, 2, [](const ColumnValues&, std::size_t) {});
    ADD_FAILURE();
  } catch (const RunError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::SubscriptOutOfRange);
  }
  EXPECT_NO_THROW(analyze_columns(DataMatrix{}, 0, [](const ColumnValues&, std::size_t) {}));
}

}  // namespace
}  // namespace infodiv
