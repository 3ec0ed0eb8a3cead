#include "triples/closed_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "shell/run_error.h"

namespace infodiv {
namespace {

struct Outcome {
  std::vector<TripleValues> records;
  std::string error;  // empty after a normal end
};

enum Mode { kExact, kFast };

Outcome walk(const DataMatrix& m, Mode mode) {
  Outcome o;
  const TripleSink sink = [&](const TripleValues& v) { o.records.push_back(v); };
  try {
    if (mode == kFast) {
      analyze_triples_fast(m, sink);
    } else {
      analyze_triples(m, sink);
    }
  } catch (const RunError& e) {
    o.error = e.what();
  }
  return o;
}

DataMatrix from_columns(const std::vector<std::vector<double>>& columns) {
  std::vector<double> cells;
  for (const auto& c : columns) cells.insert(cells.end(), c.begin(), c.end());
  return DataMatrix(columns.size(), columns.empty() ? 0 : columns[0].size(), std::move(cells));
}

// Sum of |p log2 p| over the positive proportions of the pooled columns: the
// size of the terms that the exact entropy adds.
double term_magnitude(const DataMatrix& m, std::initializer_list<std::size_t> cs) {
  double total = 0;
  for (std::size_t c : cs) {
    double s = 0;
    for (std::size_t r = 0; r < m.rows(); ++r) s = s + m.at(c, r);
    total = cs.size() == 1 ? s : total + s;
  }
  if (cs.size() == 3) {  // (S_i + S_j) + S_k, as the walk adds them
    auto it = cs.begin();
    double s[3];
    for (int e = 0; e < 3; ++e, ++it) {
      s[e] = 0;
      for (std::size_t r = 0; r < m.rows(); ++r) s[e] = s[e] + m.at(*it, r);
    }
    total = (s[0] + s[1]) + s[2];
  }
  double magnitude = 0;
  for (std::size_t c : cs) {
    for (std::size_t r = 0; r < m.rows(); ++r) {
      double p = m.at(c, r) / total;
      if (p > 0) magnitude += std::fabs(p * std::log2(p));
    }
  }
  return magnitude;
}

// Matrices of the kinds where the closed forms could lose accuracy.
enum class Kind { Dense, Sparse, Negative, NearlyEqualColumns, WideRange, Tall };
const char* kind_name(Kind k) {
  const char* names[] = {"dense", "sparse", "negative cells", "nearly equal columns", "wide range", "tall"};
  return names[static_cast<int>(k)];
}

DataMatrix random_matrix(Kind kind, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0, 1);
  const std::size_t columns = kind == Kind::Tall ? 4 : 7;
  const std::size_t rows = kind == Kind::Tall ? 20000 : 1 + rng() % 60;
  std::vector<std::vector<double>> cols(columns, std::vector<double>(rows));
  for (std::size_t c = 0; c < columns; ++c) {
    for (std::size_t r = 0; r < rows; ++r) {
      double x = unit(rng) * 100;
      switch (kind) {
        case Kind::Sparse: x = unit(rng) < 0.8 ? 0 : x; break;
        case Kind::Negative: x = x - 30; break;
        case Kind::NearlyEqualColumns: x = c == 0 ? x : cols[0][r] * (1 + 1e-12 * unit(rng)); break;
        case Kind::WideRange: x = std::pow(10.0, 60 * unit(rng) - 30); break;
        default: break;
      }
      cols[c][r] = x;
    }
  }
  if (kind == Kind::Negative) cols[2][0] += 1e3;  // every total away from 0
  if (kind == Kind::Sparse) {
    for (auto& c : cols) c[0] = 1;  // no zero column
  }
  return from_columns(cols);
}

// |fast - exact| <= 1e-12 * max(1, size of the exact terms) for every field.
TEST(ClosedFormTriplesTest, MatchesTheExactWalkWithinTheStatedBound) {
  const Kind kinds[] = {Kind::Dense, Kind::Sparse, Kind::Negative, Kind::NearlyEqualColumns, Kind::WideRange,
                        Kind::Tall};
  for (Kind kind : kinds) {
    double worst = 0;
    for (std::uint64_t seed = 1; seed <= (kind == Kind::Tall ? 2u : 40u); ++seed) {
      SCOPED_TRACE(std::string(kind_name(kind)) + ", seed " + std::to_string(seed));
      std::mt19937_64 rng(seed);
      const DataMatrix m = random_matrix(kind, rng);
      const Outcome exact = walk(m, kExact);
      const Outcome fast = walk(m, kFast);
      ASSERT_EQ(fast.error, exact.error);
      ASSERT_EQ(fast.records.size(), exact.records.size());
      for (std::size_t t = 0; t < exact.records.size(); ++t) {
        const TripleValues &e = exact.records[t], &f = fast.records[t];
        ASSERT_EQ(std::tie(f.i, f.j, f.k), std::tie(e.i, e.j, e.k));
        const auto i = static_cast<std::size_t>(e.i), j = static_cast<std::size_t>(e.j),
                   k = static_cast<std::size_t>(e.k);
        const double size[7] = {term_magnitude(m, {i}),    term_magnitude(m, {j}),    term_magnitude(m, {k}),
                                term_magnitude(m, {i, j}), term_magnitude(m, {i, k}), term_magnitude(m, {j, k}),
                                term_magnitude(m, {i, j, k})};
        double interaction_size = 0;
        for (int h = 0; h < 7; ++h) {
          const double error = std::fabs(f.entropy[h] - e.entropy[h]) / std::max(1.0, size[h]);
          EXPECT_LE(error, 1e-12) << "entropy " << h << " of (" << i << ", " << j << ", " << k << ")";
          worst = std::max(worst, error);
          interaction_size += size[h];
        }
        const double error = std::fabs(f.interaction - e.interaction) / std::max(1.0, interaction_size);
        EXPECT_LE(error, 1e-12) << "interaction of (" << i << ", " << j << ", " << k << ")";
        worst = std::max(worst, error);
      }
    }
    std::printf("%-22s largest |fast - exact| / max(1, terms): %.2e\n", kind_name(kind), worst);
  }
}

TEST(ClosedFormTriplesTest, StopsWhereTheExactWalkStops) {
  struct Case {
    std::vector<std::vector<double>> columns;  // each a list of rows
    const char* error;                         // of both walks; "" for a normal end
  };
  const Case cases[] = {
      {{{1, 3, 4}, {2, 0, 2}, {5, 1, 2}}, ""},
      {{{1, 4}, {2, 5}, {3, 6}, {0, 0}}, "Division by zero at triple (0, 0, 3)"},
      {{{1, 4}, {2, 5}, {3, 6}, {1, -1}, {2, 2}}, "Division by zero at triple (0, 0, 3)"},
      {{{1, 4}, {-1, -4}, {3, 6}, {2, 2}}, "Division by zero at triple (0, 0, 1)"},  // S_0 + S_1 = 0
      {{{1, 4}, {2, 5}, {3, 6}, {-2, -4}, {2, 2}}, ""},  // (S_0 + S_0) + S_3 = 4: only i <= j pools twice
      {{{3, -1}, {2, 1}, {-1, 1}, {2, 2}}, "Division by zero at triple (0, 0, 2)"},
      {{{1e-300, -1e-300}, {1, 2}, {3e300, 1e300}}, "Division by zero at triple (0, 0, 0)"},
      {{{1e308, 1e308}, {1, 2}, {3, 1}}, "Overflow at triple (0, 0, 0)"},         // total beyond range
      {{{1e300, -1e300, 1e-10}, {1, 2, 1}, {1, 2, 3}}, "Overflow at triple (0, 0, 0)"},  // proportion
      {{{1, 2, 3}, {1, 2, 1}, {1e30, -1e30, 1}}, "Overflow at triple (0, 0, 2)"},  // beyond the decimal
      {{{1}, {2}, {3}}, ""},  // a single row
      {{{1, 4}, {2, 1.7976931348623157e308}, {3, 6}}, "Overflow at triple (0, 1, 1)"},  // S_jk on no record
  };
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    SCOPED_TRACE("case " + std::to_string(n));
    const DataMatrix m = from_columns(cases[n].columns);
    const Outcome exact = walk(m, kExact);
    const Outcome fast = walk(m, kFast);
    EXPECT_EQ(exact.error, cases[n].error);
    EXPECT_EQ(fast.error, cases[n].error);
    EXPECT_EQ(fast.records.size(), exact.records.size());
  }
}

TEST(ClosedFormTriplesTest, NegativeCellsAndSingleRowEntropies) {
  // The cells 3 and -1 give the single entropy -1.5 log2 1.5; a column of
  // negative total takes its negative cells: -4 / -3 = 4/3.
  const DataMatrix m = from_columns({{3, -1}, {-4, 1}, {2, 2}});
  const Outcome fast = walk(m, kFast);
  ASSERT_EQ(fast.error, "");
  ASSERT_EQ(fast.records.size(), 1u);
  const double expected = -1.5 * std::log2(1.5);
  EXPECT_NEAR(fast.records[0].entropy[0], expected, 1e-15);
  EXPECT_NEAR(fast.records[0].entropy[1], -4.0 / 3 * std::log2(4.0 / 3), 1e-15);
  EXPECT_NEAR(fast.records[0].entropy[2], 1, 1e-15);
}

TEST(ClosedFormTriplesTest, SubnormalCellsKeepTheirPrecision) {
  // A cell times its logarithm would be subnormal; the spread is kept over
  // proportions instead, so a column of two equal tiny cells still has 1 bit.
  const DataMatrix m = from_columns({{1, 1}, {1, 2}, {1e-320, 1e-320}});
  const Outcome exact = walk(m, kExact), fast = walk(m, kFast);
  ASSERT_EQ(fast.error, "");
  ASSERT_EQ(fast.records.size(), 1u);
  for (int e = 0; e < 7; ++e) EXPECT_NEAR(fast.records[0].entropy[e], exact.records[0].entropy[e], 1e-12) << e;
  EXPECT_NEAR(fast.records[0].interaction, exact.records[0].interaction, 1e-12);
}

}  // namespace
}  // namespace infodiv

namespace infodiv {
namespace {

// The text and the stop of the walk do not depend on the worker count.
TEST(ClosedFormTriplesTest, WorkersWriteTheSameTextAndStop) {
  auto text_of = [](const DataMatrix& m, unsigned threads) {
    std::string text;
    const TripleFormat format = [](const TripleValues& v, std::string& out) {
      char buffer[64];
      for (double field : {double(v.i), double(v.j), v.k, v.interaction}) {
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, field).ptr);
        out.push_back(',');
      }
      out.push_back('\n');
    };
    try {
      analyze_triples_fast(m, format, [&](std::string_view lines) { text += lines; }, RunControl{}, threads);
    } catch (const RunError& e) {
      text += e.what();
    }
    return text;
  };
  std::mt19937_64 rng(11);
  for (Kind kind : {Kind::Dense, Kind::Negative}) {
    DataMatrix m = random_matrix(kind, rng);
    EXPECT_EQ(text_of(m, 3), text_of(m, 1));
  }
  // A zero total met at (1, 0, 5) after the records with i = 0.
  std::vector<std::vector<double>> columns(9, std::vector<double>{1, 2});
  columns[5] = {1, -1};
  columns[1] = {-1, -2};
  const DataMatrix m = from_columns(columns);
  const std::string one = text_of(m, 1);
  EXPECT_EQ(text_of(m, 3), one);
  EXPECT_NE(one.find("Division by zero at triple"), std::string::npos) << one;
}

}  // namespace
}  // namespace infodiv
