#include "diversity/column_diversity.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "shell/run_error.h"

namespace infodiv {
namespace {

bool finite(double v) noexcept { return std::fabs(v) <= 1.7976931348623157e308; }

std::string column_place(std::size_t c) { return "column " + std::to_string(c); }

std::string rows_place(std::size_t r, std::size_t s) {
  return "row similarity of rows " + std::to_string(r) + " and " + std::to_string(s);
}

}  // namespace

std::optional<ErrorKind> row_similarity(double g_rs, double g_rr, double g_ss, double& similarity) noexcept {
  if (g_rr > 0 && g_ss > 0) {
    const double product = g_rr * g_ss;
    if (!finite(product)) return ErrorKind::Overflow;
    const double root = std::sqrt(product);
    if (root == 0) return ErrorKind::DivisionByZero;
    similarity = g_rs / root;
    if (!finite(similarity)) return ErrorKind::Overflow;
  } else {
    similarity = 0;
  }
  return std::nullopt;
}

std::optional<ErrorKind> derive_column_values(const ColumnStatistics& stats, const PairSums& sums,
                                              std::size_t rows, ColumnValues& v) {
  v = ColumnValues{};
  v.stats = stats;
  v.PairCount = sums.PairCount;
  if (!finite(sums.simpson) || !finite(sums.quadratic) || !finite(sums.combined)) return ErrorKind::Overflow;
  v.QuadraticDiversity = 2 * sums.quadratic;
  v.SimpsonDiversity = 2 * sums.simpson;
  if (!finite(v.QuadraticDiversity) || !finite(v.SimpsonDiversity)) return ErrorKind::Overflow;
  if (sums.PairCount == 0) return ErrorKind::DivisionByZero;
  const auto count = static_cast<double>(sums.PairCount);
  v.CombinedDiversity = sums.combined / count;
  v.MeanDisparity = sums.disparity / count;
  v.ScaledCombinedDiversity = v.CombinedDiversity * static_cast<double>(rows);
  if (!finite(v.CombinedDiversity) || !finite(v.MeanDisparity) || !finite(v.ScaledCombinedDiversity)) {
    return ErrorKind::Overflow;
  }
  const double complement = 1 - v.QuadraticDiversity;
  if (complement == 0) return ErrorKind::DivisionByZero;
  v.QuadraticEquivalent = 1 / complement;
  if (!finite(v.QuadraticEquivalent)) return ErrorKind::Overflow;

  const double* sources[6] = {&v.QuadraticDiversity, &v.SimpsonDiversity, &v.CombinedDiversity,
                              &v.MeanDisparity, &v.QuadraticEquivalent, &v.ScaledCombinedDiversity};
  Decimal* targets[6] = {&v.QuadraticDiversityDecimal, &v.SimpsonDiversityDecimal, &v.CombinedDiversityDecimal,
                         &v.MeanDisparityDecimal, &v.QuadraticEquivalentDecimal,
                         &v.ScaledCombinedDiversityDecimal};
  for (int f = 0; f < 6; ++f) {
    auto decimal = Decimal::from_double(*sources[f]);
    if (!decimal) return ErrorKind::Overflow;
    *targets[f] = *decimal;
  }
  return std::nullopt;
}

namespace {

// The matrix row by row, for the Gram sums over the columns of two rows.
struct RowMajor {
  std::size_t columns, rows;
  std::vector<double> cells;
  const double* row(std::size_t r) const { return cells.data() + r * columns; }
};

RowMajor to_row_major(const DataMatrix& m) {
  RowMajor out{m.columns(), m.rows(), std::vector<double>(m.columns() * m.rows())};
  for (std::size_t c = 0; c < m.columns(); ++c) {
    const double* x = m.column(c);
    for (std::size_t r = 0; r < m.rows(); ++r) out.cells[r * out.columns + c] = x[r];
  }
  return out;
}

double gram(const double* a, const double* b, std::size_t columns) noexcept {
  double g = 0;
  for (std::size_t c = 0; c < columns; ++c) g = g + a[c] * b[c];
  return g;
}

}  // namespace

void analyze_columns(const DataMatrix& matrix, std::size_t columns, const ColumnSink& emit,
                     const RunControl& control) {
  if (columns == 0) return;
  if (!matrix.loaded()) {
    throw RunError(ErrorKind::SubscriptOutOfRange,
                   "row similarity, row 0, column 0: no matrix was loaded (fewer than three columns)");
  }
  const std::size_t rows = matrix.rows();
  const RowMajor x = to_row_major(matrix);

  // Diagonal of the Gram matrix: every row's sum of squares, column order.
  std::vector<double> diag(rows);
  double largest = 0, smallest_positive = 1;
  for (std::size_t r = 0; r < rows; ++r) {
    double g = 0;
    const double* row = x.row(r);
    for (std::size_t c = 0; c < columns; ++c) g = g + row[c] * row[c];
    if (!finite(g)) throw RunError(ErrorKind::Overflow, "row similarity, sum of squares of row " + std::to_string(r));
    diag[r] = g;
    largest = std::max(largest, g);
    if (g > 0) smallest_positive = std::min(smallest_positive, g);
  }

  // Statistics of the columns up to the first one that stops the run.
  std::vector<ColumnStatistics> stats(columns);
  std::vector<double> profile;  // row-major over the active columns
  std::size_t active = 0;
  std::optional<ErrorKind> stop;
  {
    std::vector<double> scratch(rows);
    std::vector<std::vector<double>> profiles;
    for (; active < columns; ++active) {
      stop = column_statistics(matrix.column(active), rows, stats[active], scratch.data(), 1);
      if (stop) break;
      profiles.push_back(scratch);
    }
    profile.assign(rows * active, 0);
    for (std::size_t c = 0; c < active; ++c) {
      for (std::size_t r = 0; r < rows; ++r) profile[r * active + c] = profiles[c][r];
    }
  }

  // By Cauchy-Schwarz every partial Gram sum of two rows is bounded by the
  // larger diagonal cell, so below this bound no off-diagonal cell can
  // overflow; otherwise look for the first one that does before anything else.
  if (largest > 1e300) {
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t s = r + 1; s < rows; ++s) {
        if (!finite(gram(x.row(r), x.row(s), columns))) throw RunError(ErrorKind::Overflow, rows_place(r, s));
      }
    }
  }
  // Products of diagonal cells in this range neither overflow nor vanish.
  const bool similarity_cannot_fail = largest <= 1e150 && smallest_positive >= 1e-150;

  std::vector<PairSums> sums(active);
  if (active > 0 || !similarity_cannot_fail) {
    std::vector<double> d(active);
    const std::uint64_t total_pairs = static_cast<std::uint64_t>(rows) * (rows - 1) / 2;
    std::uint64_t done_pairs = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      control.poll();
      control.report("columns", done_pairs, total_pairs);
      done_pairs += rows - 1 - r;
      const double* pr = profile.data() + r * active;
      for (std::size_t s = r + 1; s < rows; ++s) {
        const double* ps = profile.data() + s * active;
        double similarity = 0;
        if (auto kind = row_similarity(gram(x.row(r), x.row(s), columns), diag[r], diag[s], similarity)) {
          throw RunError(*kind, rows_place(r, s));
        }
        const double disparity = 1 - similarity;
        for (std::size_t c = 0; c < active; ++c) {
          const double product = pr[c] * ps[c];
          if (product > 0) {
            PairSums& sc = sums[c];
            sc.simpson = sc.simpson + product;
            sc.disparity = sc.disparity + disparity;
            sc.quadratic = sc.quadratic + product * disparity;
            sc.combined = sc.combined + ((1 - stats[c].GiniCoefficient) * disparity) * stats[c].PositiveShare;
            ++sc.PairCount;
          }
        }
      }
    }
  }

  for (std::size_t c = 0; c < active; ++c) {
    ColumnValues values;
    if (auto kind = derive_column_values(stats[c], sums[c], rows, values)) throw RunError(*kind, column_place(c));
    emit(values, c);
  }
  if (stop) throw RunError(*stop, column_place(active));
}

}  // namespace infodiv
