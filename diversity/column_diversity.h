// Row similarity and the pairwise diversity of every column: the column
// phase of a run, in memory linear in the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "diversity/column_statistics.h"
#include "input/data_matrix.h"
#include "shell/decimal.h"
#include "shell/run_control.h"

namespace infodiv {

// Sums of one column over the row pairs r < s (r ascending, then s), of the
// qualifying pairs (p_r * p_s > 0) only, which are the only pairs that change
// any of them.
struct PairSums {
  double simpson = 0;     // + p_r * p_s
  double disparity = 0;   // + (1 - sim)
  double quadratic = 0;   // + (p_r * p_s) * (1 - sim)
  double combined = 0;    // + ((1 - Gini) * (1 - sim)) * PositiveShare
  std::int64_t PairCount = 0;
};

struct ColumnValues {
  ColumnStatistics stats;
  std::int64_t PairCount = 0;
  double QuadraticDiversity = 0, SimpsonDiversity = 0, CombinedDiversity = 0, MeanDisparity = 0,
         ScaledCombinedDiversity = 0, QuadraticEquivalent = 0;
  Decimal QuadraticDiversityDecimal, SimpsonDiversityDecimal, CombinedDiversityDecimal,
      MeanDisparityDecimal, QuadraticEquivalentDecimal, ScaledCombinedDiversityDecimal;
};

// The derived values of a column from its statistics and pair sums, with the
// six decimal conversions in the run's order. Returns the error that stops
// the run at this column, if any: "Overflow" (a non-finite sum or value, or
// one beyond the decimal range) or "Division by zero" (no qualifying pair, or
// a quadratic diversity of exactly 1). Does not throw.
std::optional<ErrorKind> derive_column_values(const ColumnStatistics& stats, const PairSums& sums,
                                              std::size_t rows, ColumnValues& values);

// The similarity of rows r and s from their Gram cells: g_rs / sqrt(g_rr * g_ss)
// when both diagonal cells are > 0, else 0. Returns "Overflow" or "Division by
// zero" when the product of the diagonal cells is infinite or underflows to 0
// (or the quotient is not finite).
std::optional<ErrorKind> row_similarity(double g_rs, double g_rr, double g_ss, double& similarity) noexcept;

// The Gram cell of rows r and s: the products of their cells added over the
// columns in order.
double gram_cell(const DataMatrix& matrix, std::size_t r, std::size_t s) noexcept;

// Every row's sum of squares over the columns in order (with three spare
// zeros after the last row, for four-lane loads), the largest, and the
// smallest that is > 0 (1 when none is smaller).
struct RowSquares {
  std::vector<double> sums;
  double largest = 0;
  double smallest_positive = 1;
};

// The checks that open a column phase, in the order of the written run:
// reading an unloaded matrix ("Subscript out of range"), a row's sum of
// squares beyond the double range, then the first Gram cell in pair order
// that overflows (both "Overflow"). Polls `control` while it looks.
RowSquares checked_row_squares(const DataMatrix& matrix, const RunControl& control);

// Where a column phase stopped, as error reports name it.
std::string column_place(std::size_t column);
std::string rows_place(std::size_t r, std::size_t s);

using ColumnSink = std::function<void(const ColumnValues& values, std::size_t column)>;

// The column phase of a run: the row similarity of every pair of rows, then
// for each column c = 0..columns-1 its statistics, pair sums and record,
// emitted in column order. `matrix` is the last load of the triple walk, or an
// unloaded matrix when no triple was visited. With `columns` = 0 nothing
// happens. Throws RunError at the first failure in the order of the written
// run: reading an unloaded matrix ("Subscript out of range"), then any
// failure of the row similarity (before any record), then the first failing
// column after the records of the columns before it. The similarities are
// computed on `threads` workers (0: every core); the results are the same for
// every thread count. Polls `control` between blocks of rows.
void analyze_columns(const DataMatrix& matrix, std::size_t columns, const ColumnSink& emit,
                     const RunControl& control = {}, unsigned threads = 1);

// Tests turn the AVX2 kernels off to compare them with the scalar ones.
extern bool g_column_vector_kernels_enabled;

}  // namespace infodiv
