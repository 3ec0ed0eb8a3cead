// The fast mode of the column phase: the pair sums of every column from sums
// over its rows instead of sums over its row pairs.
//
// With u_r = row r / its Euclidean norm (a row whose sum of squares is 0 stays
// 0, as its similarity is 0), the similarity of two rows is u_r . u_s. Over
// the m rows P of a column whose proportion p_r is > 0 (the qualifying pairs
// are the pairs of P, see below), with V = sum p_r u_r and W = sum u_r:
//
//   sum_{r<s} p_r p_s sim(r, s) = (|V|^2 - sum p_r^2 |u_r|^2) / 2
//   sum_{r<s} sim(r, s)         = (|W|^2 - sum |u_r|^2) / 2
//   sum_{r<s} p_r p_s           = sum_s p_s (sum_{r<s} p_r)
//
// so the quadratic sum is the third minus the first, the disparity sum is
// m(m-1)/2 minus the second, and the combined sum is
// ((1 - Gini) * disparity sum) * PositiveShare: O(m * columns) per column.
//
// Accuracy: every sum over rows is compensated, so the differences above lose
// only what the cancellation of two nearly equal sums must lose: an absolute
// error of a few units of 2^-53 times |V|^2 (<= (sum p)^2) or |W|^2 (<= m^2).
// For nearly identical rows the disparity sum is tiny beside m^2 and is then
// known to about eps * m^2 absolutely, which is eps per pair: the exact run's
// own 1 - sim carries as much. A column with few positive rows takes the exact
// pair loop instead (bit-identical to the exact run).
//
// A pair qualifies when the double product p_r * p_s is > 0: both are
// positive and the product does not underflow to 0. Products can underflow
// only for proportions below 2^-537 (about 1.5e-162); such pairs are found in
// the sorted proportions and taken out of the count and the disparity sum.
#pragma once

#include <cstddef>
#include <vector>

#include "diversity/column_diversity.h"
#include "input/data_matrix.h"
#include "shell/run_control.h"

namespace infodiv {

// Rows scaled to unit length, row-major, and their squared lengths.
struct UnitRows {
  std::size_t columns = 0, rows = 0;
  std::vector<double> cells;    // u_r at cells[r * columns ...]
  std::vector<double> length2;  // |u_r|^2: 1 up to rounding, 0 for a zero row
  const double* row(std::size_t r) const noexcept { return cells.data() + r * columns; }
};

// u_r = x_r / sqrt(g_r) for g_r > 0, else 0, where g_r is the row's sum of
// squares (in column order, as the exact run forms it). Does not throw.
UnitRows unit_rows(const DataMatrix& matrix, const std::vector<double>& sums_of_squares);

// The pair sums of one column with proportions profile[0..rows) (0 where not
// positive) by the closed forms above. Does not throw.
PairSums closed_form_pair_sums(const double* profile, const UnitRows& unit, const ColumnStatistics& stats);

// The column phase of a run by the closed forms: the same records, order and
// stops as analyze_columns, in time O(columns * (rows log rows + non-zeros *
// columns)) and memory linear in the input. Throws RunError like
// analyze_columns: an unloaded matrix, then a sum of squares or Gram cell
// beyond the double range or a failing similarity (first in pair order, before
// any record), then the first failing column after the records before it.
// Columns are computed on `threads` workers (0: every core) and emitted in
// order on the calling thread; the results do not depend on the thread count.
// Polls `control` between columns.
void analyze_columns_fast(const DataMatrix& matrix, std::size_t columns, const ColumnSink& emit,
                          const RunControl& control = {}, unsigned threads = 1);

}  // namespace infodiv
