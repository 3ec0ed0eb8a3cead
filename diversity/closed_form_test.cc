#include "diversity/closed_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "shell/compensated_sum.h"
#include "shell/run_error.h"

namespace infodiv {
namespace {

struct Outcome {
  std::vector<ColumnValues> records;
  std::string error;  // empty after a normal end
};

enum Mode { kExact, kFast };

Outcome run_phase(const DataMatrix& m, std::size_t columns, Mode mode) {
  Outcome o;
  const ColumnSink sink = [&](const ColumnValues& v, std::size_t) { o.records.push_back(v); };
  try {
    if (mode == kFast) {
      analyze_columns_fast(m, columns, sink);
    } else {
      analyze_columns(m, columns, sink);
    }
  } catch (const RunError& e) {
    o.error = e.what();
  }
  return o;
}

DataMatrix from_rows(const std::vector<std::vector<double>>& rows) {
  const std::size_t columns = rows.empty() ? 0 : rows[0].size();
  std::vector<double> cells(columns * rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < columns; ++c) cells[c * rows.size() + r] = rows[r][c];
  }
  return DataMatrix(columns, rows.size(), std::move(cells));
}

enum class Kind { Dense, Sparse, Negative, NearlyIdenticalRows, NearlyEqualColumns, ZeroRows, FewPositive };
const char* kind_name(Kind k) {
  const char* names[] = {"dense",     "sparse",        "negative cells", "nearly identical rows",
                         "nearly equal columns", "zero rows", "few positive rows"};
  return names[static_cast<int>(k)];
}

DataMatrix random_matrix(Kind kind, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0, 1);
  const std::size_t columns = 2 + rng() % 6;
  const std::size_t rows = 66 + rng() % 300;  // above the exact-loop limit
  std::vector<double> base(columns);
  for (double& b : base) b = 1 + unit(rng) * 10;
  std::vector<std::vector<double>> x(rows, std::vector<double>(columns));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      double v = unit(rng) * 100;
      switch (kind) {
        case Kind::Sparse: v = unit(rng) < 0.7 ? 0 : v; break;
        case Kind::Negative: v = v - 25; break;
        case Kind::NearlyIdenticalRows: v = base[c] * (1 + 1e-9 * unit(rng)); break;
        case Kind::NearlyEqualColumns: v = c == 0 ? v : x[r][0] * (1 + 1e-12 * unit(rng)); break;
        case Kind::ZeroRows: v = r % 3 == 0 ? 0 : v; break;
        case Kind::FewPositive: v = unit(rng) < 0.1 ? v : 0; break;
        default: break;
      }
      x[r][c] = v;
    }
  }
  for (std::size_t c = 0; c < columns; ++c) x[1][c] += 1e4;  // positive totals, >= 2 positive rows
  for (std::size_t c = 0; c < columns; ++c) x[2][c] += 1;
  return from_rows(x);
}

// |fast - exact| <= 1e-12 * max(1, size of the terms) for every field, where
// the size of the terms of a pair sum bounds |1 - sim| by 2. The quadratic
// equivalent 1 / (1 - Q) is held to the error of Q magnified by its
// condition, Q' / (1 - Q) per unit of Q.
TEST(ClosedFormColumnsTest, MatchesTheExactPhaseWithinTheStatedBound) {
  const Kind kinds[] = {Kind::Dense,      Kind::Sparse,   Kind::Negative,   Kind::NearlyIdenticalRows,
                        Kind::NearlyEqualColumns, Kind::ZeroRows, Kind::FewPositive};
  for (Kind kind : kinds) {
    double worst = 0;
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
      SCOPED_TRACE(std::string(kind_name(kind)) + ", seed " + std::to_string(seed));
      std::mt19937_64 rng(seed);
      const DataMatrix m = random_matrix(kind, rng);
      const Outcome exact = run_phase(m, m.columns(), kExact);
      const Outcome fast = run_phase(m, m.columns(), kFast);
      ASSERT_EQ(fast.error, exact.error);
      ASSERT_EQ(fast.records.size(), exact.records.size());
      for (std::size_t c = 0; c < exact.records.size(); ++c) {
        SCOPED_TRACE("column " + std::to_string(c));
        const ColumnValues &e = exact.records[c], &f = fast.records[c];
        EXPECT_EQ(std::memcmp(&f.stats, &e.stats, sizeof e.stats), 0);
        EXPECT_EQ(f.PairCount, e.PairCount);
        const double share = e.stats.PositiveShare * std::fabs(1 - e.stats.GiniCoefficient);
        const double n = static_cast<double>(m.rows());
        const struct {
          const char* name;
          double fast, exact, size;
        } fields[] = {
            {"Simpson", f.SimpsonDiversity, e.SimpsonDiversity, e.SimpsonDiversity},
            {"quadratic", f.QuadraticDiversity, e.QuadraticDiversity, 2 * e.SimpsonDiversity},
            {"mean disparity", f.MeanDisparity, e.MeanDisparity, 2},
            {"combined", f.CombinedDiversity, e.CombinedDiversity, 2 * share},
            {"scaled combined", f.ScaledCombinedDiversity, e.ScaledCombinedDiversity, 2 * share * n},
            {"quadratic equivalent", f.QuadraticEquivalent, e.QuadraticEquivalent,
             e.QuadraticEquivalent * e.QuadraticEquivalent * 2 * e.SimpsonDiversity},
        };
        for (const auto& field : fields) {
          const double error = std::fabs(field.fast - field.exact) / std::max(1.0, std::fabs(field.size));
          EXPECT_LE(error, 1e-12) << field.name;
          worst = std::max(worst, error);
        }
      }
    }
    std::printf("%-22s largest |fast - exact| / max(1, terms): %.2e\n", kind_name(kind), worst);
  }
}

// Proportions below 1.5e-162 make products that underflow to 0: such pairs
// do not qualify, in the closed form as in the exact loop.
TEST(ClosedFormColumnsTest, PairsWhoseProductUnderflowsDoNotQualify) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<std::vector<double>> x;
  for (int r = 0; r < 120; ++r) {
    double tiny = r % 10 == 0 ? 1e-170 * (1 + unit(rng)) : r % 10 == 1 ? 1e-150 : 1 + unit(rng);
    x.push_back({tiny, 1 + unit(rng), 1 + unit(rng)});
  }
  const DataMatrix m = from_rows(x);
  const Outcome exact = run_phase(m, 3, kExact);
  const Outcome fast = run_phase(m, 3, kFast);
  ASSERT_EQ(exact.error, "");
  ASSERT_EQ(fast.error, "");
  EXPECT_LT(exact.records[0].PairCount, 120 * 119 / 2);
  EXPECT_EQ(fast.records[0].PairCount, exact.records[0].PairCount);
  EXPECT_NEAR(fast.records[0].MeanDisparity, exact.records[0].MeanDisparity, 1e-14);
}

TEST(ClosedFormColumnsTest, StopsWhereTheExactPhaseStops) {
  struct Case {
    std::vector<std::vector<double>> rows;
    const char* error;  // of both phases; "" for a normal end
  };
  std::vector<std::vector<double>> tall_one_positive, beyond_decimal;
  for (int r = 0; r < 80; ++r) tall_one_positive.push_back({1, r == 5 ? 1.0 : 0.0, 2});
  // Cells that nearly cancel: a proportion of 2e30 in a column of 100 rows.
  for (int r = 0; r < 100; ++r) beyond_decimal.push_back({1, r == 0 ? 1e34 : r == 1 ? -1e34 : 1.0 + r, 2});
  const Case cases[] = {
      {{{1, 2, 5}, {3, 0, 1}, {4, 2, 2}}, ""},
      {{{1, 2, 3}}, "Division by zero at column 0"},  // a single row: corrected Gini
      {{{1, 2, -1}, {2, 3, -1}}, "Column total not positive at column 2"},
      {{{1, 0, 2}, {2, 3, 1}}, "Division by zero at column 1"},  // one positive row: no pair
      {tall_one_positive, "Division by zero at column 1"},
      {{{1, 2, 3}, {1e200, 1, 1}}, "Overflow at row similarity, sum of squares of row 1"},
      {{{1, 2, 3}, {1e100, 1, 1}, {1e100, 1, 2}}, "Overflow at row similarity of rows 1 and 2"},
      {{{1e-100, 0, 0}, {1, 2, 3}, {1e-100, 0, 0}}, "Division by zero at row similarity of rows 0 and 2"},
      {{{0, 0, 0}, {1, 2, 3}, {2, 1, 1}}, ""},  // a zero row has similarity 0
      {beyond_decimal, "Overflow at column 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const DataMatrix m = from_rows(c.rows);
    const Outcome exact = run_phase(m, m.columns(), kExact);
    const Outcome fast = run_phase(m, m.columns(), kFast);
    EXPECT_EQ(exact.error, c.error);
    EXPECT_EQ(fast.error, c.error);
    ASSERT_EQ(fast.records.size(), exact.records.size());
  }
  const Outcome unloaded = run_phase(DataMatrix(), 2, kFast);
  EXPECT_EQ(unloaded.error, run_phase(DataMatrix(), 2, kExact).error);
}

}  // namespace
}  // namespace infodiv

namespace infodiv {
namespace {

// The records and the stop of the phase do not depend on the worker count.
TEST(ClosedFormColumnsTest, WorkersGiveTheSameRecordsAndStop) {
  auto run_with = [](const DataMatrix& m, unsigned threads) {
    Outcome o;
    try {
      analyze_columns_fast(m, m.columns(), [&](const ColumnValues& v, std::size_t) { o.records.push_back(v); },
                           RunControl{}, threads);
    } catch (const RunError& e) {
      o.error = e.what();
    }
    return o;
  };
  std::mt19937_64 rng(5);
  DataMatrix dense = random_matrix(Kind::Dense, rng);
  // Column 4 of 7 has a negative total: records 0..3, then the stop.
  std::vector<std::vector<double>> rows;
  for (int r = 0; r < 100; ++r) rows.push_back({1.0 + r, 2, 3, 4, r == 0 ? -1e6 : 1.0, 5, 6});
  for (const DataMatrix& m : {dense, from_rows(rows)}) {
    const Outcome one = run_with(m, 1), three = run_with(m, 3);
    EXPECT_EQ(three.error, one.error);
    ASSERT_EQ(three.records.size(), one.records.size());
    for (std::size_t c = 0; c < one.records.size(); ++c) {
      const ColumnValues &a = three.records[c], &b = one.records[c];
      EXPECT_EQ(std::memcmp(&a.stats, &b.stats, sizeof a.stats), 0) << c;
      const double fa[6] = {a.QuadraticDiversity, a.SimpsonDiversity, a.CombinedDiversity, a.MeanDisparity,
                            a.ScaledCombinedDiversity, a.QuadraticEquivalent};
      const double fb[6] = {b.QuadraticDiversity, b.SimpsonDiversity, b.CombinedDiversity, b.MeanDisparity,
                            b.ScaledCombinedDiversity, b.QuadraticEquivalent};
      EXPECT_EQ(std::memcmp(fa, fb, sizeof fa), 0) << c;
      EXPECT_EQ(a.PairCount, b.PairCount);
    }
  }
  EXPECT_EQ(run_with(from_rows(rows), 3).error, "Column total not positive at column 4");
}

}  // namespace
}  // namespace infodiv

namespace infodiv {
namespace {

// Over many nearly identical rows the exact run adds ~n^2/2 nearly equal
// terms, and its sum drifts by up to ~n^2 eps; the closed forms stay within a
// few eps of the pair sums taken with compensation.
TEST(ClosedFormColumnsTest, TracksCompensatedPairSumsOverManyRows) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unit(0, 1);
  const std::size_t rows = 1500;
  std::vector<std::vector<double>> x(rows);
  for (auto& row : x) row = {3 * (1 + 1e-9 * unit(rng)), 1 + 1e-9 * unit(rng), 2 + unit(rng)};
  const DataMatrix m = from_rows(x);
  const Outcome fast = run_phase(m, 3, kFast);
  ASSERT_EQ(fast.error, "");
  for (std::size_t c = 0; c < 3; ++c) {
    SCOPED_TRACE("column " + std::to_string(c));
    ColumnStatistics stats;
    std::vector<double> p(rows);
    ASSERT_FALSE(column_statistics(m.column(c), rows, stats, p.data(), 1));
    CompensatedSum simpson, quadratic, disparity;
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t s = r + 1; s < rows; ++s) {
        double g = 0, grr = 0, gss = 0;
        for (std::size_t k = 0; k < 3; ++k) {
          g = g + m.at(k, r) * m.at(k, s);
          grr = grr + m.at(k, r) * m.at(k, r);
          gss = gss + m.at(k, s) * m.at(k, s);
        }
        const double d = 1 - g / std::sqrt(grr * gss);
        simpson.add(p[r] * p[s]);
        quadratic.add((p[r] * p[s]) * d);
        disparity.add(d);
      }
    }
    const double pairs = static_cast<double>(rows * (rows - 1) / 2);
    EXPECT_NEAR(fast.records[c].SimpsonDiversity, 2 * simpson.value(), 1e-15);
    EXPECT_NEAR(fast.records[c].QuadraticDiversity, 2 * quadratic.value(), 1e-15);
    EXPECT_NEAR(fast.records[c].MeanDisparity, disparity.value() / pairs, 1e-15);
  }
}

}  // namespace
}  // namespace infodiv
