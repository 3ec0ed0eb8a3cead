// The fast mode of the triple walk: every entropy of a TripleRecord from a few
// numbers per column, in O(1) per triple instead of three logarithms per row.
//
// A pooled entropy over a set C of columns with pooled total S != 0 takes the
// cells whose proportion x / S is > 0, i.e. the cells with the sign of S. With
// a = |x|, |S| and, for each column c, its mass M_c = sum of a over those cells
// and its spread B_c = sum of q ln q over them, q = a / M_c (B_c <= 0):
//
//   H = -sum (a/|S|) log2(a/|S|)
//     = (1 / ln 2) * sum over c in C of [ -w_c B_c  -  w_c ln w_c ],
//     w_c = M_c / |S|.
//
// The spread is kept over the proportions q, not the cells a, so that tiny
// (even subnormal) cells keep their precision: a ln q would be subnormal.
//
// This is P ln|S| - A over |S| ln 2 (P the mass, A = sum a ln a) regrouped per
// column around the column's own mass, so that nothing cancels: for
// non-negative data w_c <= 1 and every term is >= 0 (it is the grouping rule
// H_ij = w_i H_i + w_j H_j + h(w_i, w_j)); the spreads are sums of terms of
// one sign; ln takes the ratio w_c, never ln M_c - ln|S|. With cells of both
// signs w_c can exceed 1 and terms of both signs meet, as they do in the exact
// sum, whose terms are then as large. The one-column entropy is the same form
// with one column, where w_c = M_c / S_c is 1 up to rounding for a column of
// one sign.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "input/data_matrix.h"
#include "shell/run_control.h"
#include "triples/triple_entropies.h"

namespace infodiv {

// The cells of one sign of a column, as magnitudes a = |x|.
struct SignedMass {
  double mass = 0;     // sum of a, compensated
  double spread = 0;   // sum of q ln q, q = a / mass, compensated; <= 0
  double largest = 0;  // largest a
};

struct ColumnMoments {
  double total = 0;    // sum of the cells in row order, as the exact walk adds them
  double max_abs = 0;  // largest |x| of any sign
  SignedMass positive, negative;
};

// Moments of the column x[0..rows): one logarithm per non-zero cell.
// Does not throw.
ColumnMoments column_moments(const double* x, std::size_t rows) noexcept;

// The base-2 entropy of the pooled cells of `count` columns whose pooled total
// is `total` (finite, non-zero), by the form above; the columns' terms are
// added in the order given. Infinite or NaN when a mass ratio leaves the
// double range. Does not throw.
double pooled_entropy(const ColumnMoments* const* columns, std::size_t count, double total) noexcept;

// Formats one record onto `out`; called on worker threads, so it touches
// nothing but `out`.
using TripleFormat = std::function<void(const TripleValues&, std::string& out)>;
// Receives the text of consecutive records, on the calling thread, in order.
using TextSink = std::function<void(std::string_view text)>;

// The triple walk of a run by the closed forms: the same visits, records,
// order and stops as analyze_triples (a zero total stops at the first visit
// that divides by it; a non-finite total, proportion or term, or an
// interaction information beyond the decimal range, with "Overflow"), with
// values equal to the exact ones up to rounding. Costs O(columns * rows) for
// the moments, O(1) per written triple and a few comparisons per unwritten
// visit. The values and their text are made on `threads` workers (0: every
// core), a few thousand records ahead of `write`; the text written before a
// failure is that of every record before it. Polls `control` between units.
void analyze_triples_fast(const DataMatrix& matrix, const TripleFormat& format, const TextSink& write,
                          const RunControl& control, unsigned threads);

// The same walk on the calling thread, handing each record's values to `emit`.
void analyze_triples_fast(const DataMatrix& matrix, const TripleSink& emit, const RunControl& control = {});

}  // namespace infodiv
