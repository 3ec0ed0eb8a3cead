#include "diversity/closed_form.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "shell/finite.h"
#include "shell/compensated_sum.h"
#include "shell/ordered_work.h"
#include "shell/run_error.h"

namespace infodiv {
namespace {

// Below this many positive rows a column takes the exact pair loop: its
// m(m-1)/2 pairs cost at most m/2 = 32 times the closed form's m rows.
constexpr std::size_t kExactPairRows = 64;

// Rows per block of plain double sums before they join the compensated ones.
constexpr std::size_t kBlockRows = 32;

double dot(const double* a, const double* b, std::size_t n) noexcept {
  CompensatedSum sum;
  for (std::size_t c = 0; c < n; ++c) sum.add(a[c] * b[c]);
  return sum.value();
}

// The exact run's pair loop restricted to the rows of P, which are the only
// rows whose pairs change a sum: bit-identical sums.
// Its similarities cannot fail: the phase checked every pair before.
PairSums exact_pair_sums(const DataMatrix& m, const std::vector<std::size_t>& positive, const double* profile,
                         const std::vector<double>& diag, const ColumnStatistics& stats) {
  PairSums sc;
  for (std::size_t a = 0; a < positive.size(); ++a) {
    const std::size_t r = positive[a];
    for (std::size_t b = a + 1; b < positive.size(); ++b) {
      const std::size_t s = positive[b];
      const double product = profile[r] * profile[s];
      if (!(product > 0)) continue;
      double similarity = 0;
      row_similarity(gram_cell(m, r, s), diag[r], diag[s], similarity);
      const double disparity = 1 - similarity;
      sc.simpson = sc.simpson + product;
      sc.disparity = sc.disparity + disparity;
      sc.quadratic = sc.quadratic + product * disparity;
      sc.combined = sc.combined + ((1 - stats.GiniCoefficient) * disparity) * stats.PositiveShare;
      ++sc.PairCount;
    }
  }
  return sc;
}

// Pairs of P whose product of proportions underflows to 0: their count and
// the sum of their similarities. Only proportions q with q * q == 0 can be
// the smaller factor of such a pair; in ascending order of q, the partners of
// each row that underflow with it form a prefix of those.
struct Underflow {
  std::int64_t pairs = 0;
  double similarity = 0;
};

Underflow underflowing_pairs(const std::vector<std::size_t>& positive, const double* profile,
                             const UnitRows& unit) {
  std::vector<std::size_t> order(positive);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return profile[a] < profile[b]; });
  std::size_t small = 0;
  while (small < order.size() && profile[order[small]] * profile[order[small]] == 0) ++small;
  Underflow out;
  if (small == 0) return out;
  const std::size_t n = unit.columns;
  std::vector<CompensatedSum> running(n);
  std::vector<double> prefix((small + 1) * n, 0);  // prefix[k]: sum of u over order[0..k)
  for (std::size_t a = 0; a < small; ++a) {
    for (std::size_t c = 0; c < n; ++c) {
      running[c].add(unit.row(order[a])[c]);
      prefix[(a + 1) * n + c] = running[c].value();
    }
  }
  CompensatedSum similarity;
  for (std::size_t b = 0; b < order.size(); ++b) {
    const double qb = profile[order[b]];
    auto first_positive = std::partition_point(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(small),
                                               [&](std::size_t a) { return profile[a] * qb == 0; });
    const auto f = static_cast<std::size_t>(first_positive - order.begin());
    if (f == 0) break;  // larger proportions underflow with none
    const std::size_t k = std::min(f, b);
    out.pairs += static_cast<std::int64_t>(k);
    similarity.add(dot(unit.row(order[b]), prefix.data() + k * n, n));
  }
  out.similarity = similarity.value();
  return out;
}

}  // namespace

UnitRows unit_rows(const DataMatrix& matrix, const std::vector<double>& sums_of_squares) {
  UnitRows u;
  u.columns = matrix.columns();
  u.rows = matrix.rows();
  u.cells.assign(u.columns * u.rows, 0);
  u.length2.assign(u.rows, 0);
  std::vector<double> norm(u.rows, 0);
  for (std::size_t r = 0; r < u.rows; ++r) norm[r] = std::sqrt(sums_of_squares[r]);
  for (std::size_t c = 0; c < u.columns; ++c) {
    const double* x = matrix.column(c);
    for (std::size_t r = 0; r < u.rows; ++r) {
      if (sums_of_squares[r] > 0) u.cells[r * u.columns + c] = x[r] / norm[r];
    }
  }
  for (std::size_t r = 0; r < u.rows; ++r) u.length2[r] = dot(u.row(r), u.row(r), u.columns);
  return u;
}

PairSums closed_form_pair_sums(const double* profile, const UnitRows& unit, const ColumnStatistics& stats) {
  const std::size_t n = unit.columns;
  std::vector<std::size_t> positive;
  for (std::size_t r = 0; r < unit.rows; ++r) {
    if (profile[r] > 0) positive.push_back(r);
  }
  const std::size_t m = positive.size();

  CompensatedSum simpson, before, weighted_length, length;
  std::vector<CompensatedSum> v(n), w(n);
  std::vector<double> block_v(n), block_w(n);
  for (std::size_t start = 0; start < m; start += kBlockRows) {
    std::fill(block_v.begin(), block_v.end(), 0.0);
    std::fill(block_w.begin(), block_w.end(), 0.0);
    const std::size_t end = std::min(m, start + kBlockRows);
    for (std::size_t a = start; a < end; ++a) {
      const std::size_t r = positive[a];
      const double p = profile[r];
      simpson.add(p * before.value());
      before.add(p);
      weighted_length.add((p * p) * unit.length2[r]);
      length.add(unit.length2[r]);
      const double* u = unit.row(r);
      for (std::size_t c = 0; c < n; ++c) {
        block_v[c] = block_v[c] + p * u[c];
        block_w[c] = block_w[c] + u[c];
      }
    }
    for (std::size_t c = 0; c < n; ++c) {
      v[c].add(block_v[c]);
      w[c].add(block_w[c]);
    }
  }
  CompensatedSum v2, w2;
  for (std::size_t c = 0; c < n; ++c) {
    const double vc = v[c].value(), wc = w[c].value();
    v2.add(vc * vc);
    w2.add(wc * wc);
  }
  const double weighted_similarity = (v2.value() - weighted_length.value()) / 2;
  double similarity = (w2.value() - length.value()) / 2;
  const auto count = static_cast<std::int64_t>(m);
  std::int64_t pairs = count * (count > 0 ? count - 1 : 0) / 2;

  if (m > 0) {
    const double smallest = profile[*std::min_element(positive.begin(), positive.end(),
                                                      [&](std::size_t a, std::size_t b) {
                                                        return profile[a] < profile[b];
                                                      })];
    if (smallest * smallest == 0) {
      Underflow lost = underflowing_pairs(positive, profile, unit);
      pairs -= lost.pairs;
      similarity -= lost.similarity;
    }
  }

  PairSums sums;
  sums.simpson = simpson.value();
  sums.quadratic = sums.simpson - weighted_similarity;
  sums.disparity = static_cast<double>(pairs) - similarity;
  sums.combined = ((1 - stats.GiniCoefficient) * sums.disparity) * stats.PositiveShare;
  sums.PairCount = pairs;
  return sums;
}

void analyze_columns_fast(const DataMatrix& matrix, std::size_t columns, const ColumnSink& emit,
                          const RunControl& control, unsigned threads) {
  if (columns == 0) return;
  const RowSquares squares = checked_row_squares(matrix, control);
  const std::vector<double>& diag = squares.sums;
  const double largest = squares.largest, smallest_positive = squares.smallest_positive;
  const std::size_t rows = matrix.rows();

  // A similarity fails when g_r * g_s overflows or underflows to 0; the
  // product grows with g_s, so the suffix extremes say which rows have such a
  // partner, and the first pair in pair order is found by one scan.
  if (!(largest <= 1e150 && smallest_positive >= 1e-150)) {
    std::vector<double> after_max(rows + 1, 0), after_min(rows + 1, 0);
    for (std::size_t r = rows; r-- > 0;) {
      after_max[r] = std::max(after_max[r + 1], diag[r]);
      after_min[r] = diag[r] > 0 && (after_min[r + 1] == 0 || diag[r] < after_min[r + 1]) ? diag[r] : after_min[r + 1];
    }
    for (std::size_t r = 0; r < rows; ++r) {
      if (!(diag[r] > 0) || after_max[r + 1] == 0) continue;
      if (finite(diag[r] * after_max[r + 1]) && diag[r] * after_min[r + 1] != 0) continue;
      for (std::size_t s = r + 1; s < rows; ++s) {
        double similarity = 0;
        if (auto kind = row_similarity(gram_cell(matrix, r, s), diag[r], diag[s], similarity)) {
          throw RunError(*kind, rows_place(r, s));
        }
      }
    }
  }

  // Columns are independent: each is computed on a worker and written in
  // order, its failure thrown after the records of the columns before it.
  const UnitRows unit = unit_rows(matrix, diag);
  struct Slot {
    std::vector<double> profile;
    ColumnValues values;
    std::optional<ErrorKind> error;
  };
  const unsigned workers = worker_count(threads);
  const std::size_t window = 2 * static_cast<std::size_t>(workers) + 2;
  std::vector<Slot> slots(window);
  auto compute = [&](std::size_t c, std::size_t slot) {
    Slot& out = slots[slot];
    out.profile.resize(rows);
    ColumnStatistics stats;
    out.error = column_statistics(matrix.column(c), rows, stats, out.profile.data(), 1);
    if (out.error) return;
    std::vector<std::size_t> positive;
    for (std::size_t r = 0; r < rows && positive.size() <= kExactPairRows; ++r) {
      if (out.profile[r] > 0) positive.push_back(r);
    }
    const PairSums sums = positive.size() <= kExactPairRows
                              ? exact_pair_sums(matrix, positive, out.profile.data(), diag, stats)
                              : closed_form_pair_sums(out.profile.data(), unit, stats);
    out.error = derive_column_values(stats, sums, rows, out.values);
  };
  auto consume = [&](std::size_t c, std::size_t slot) {
    const Slot& out = slots[slot];
    if (out.error) throw RunError(*out.error, column_place(c));
    emit(out.values, c);
    control.report("columns", c + 1, columns);
  };
  run_in_order(columns, workers, window, compute, consume, control);
}

}  // namespace infodiv
