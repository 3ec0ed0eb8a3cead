// Entropies of column triples and their interaction information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "input/data_matrix.h"
#include "shell/decimal.h"
#include "shell/run_control.h"

namespace infodiv {

// The values of one TripleRecord, in record order after the indices:
// H_i, H_j, H_k, H_ij, H_ik, H_jk, H_ijk.
struct TripleValues {
  std::int64_t i = 0, j = 0;
  double k = 0;
  double interaction = 0;
  Decimal interaction_decimal;
  double entropy[7] = {};
};

// Entropy of one column (form A: p * (ln p / ln 2)), of two pooled columns
// a then b per row (form B: (p * ln p) / ln 2), and of three pooled columns.
// Rows ascend; proportions are cell / total; only proportions > 0 contribute.
// `overflow` is set when a proportion or the sum is not finite. No checks of
// the totals: the caller has made sure that they are finite and non-zero.
double column_entropy(const double* x, std::size_t rows, double total, bool& overflow) noexcept;
double pair_entropy(const double* a, const double* b, std::size_t rows, double total, bool& overflow) noexcept;
double triple_entropy(const double* a, const double* b, const double* c, std::size_t rows, double total,
                      bool& overflow) noexcept;

// ((((((H_i + H_j) + H_k) - H_ij) - H_ik) - H_jk) + H_ijk), left to right.
double interaction_information(const double (&entropy)[7]) noexcept;

// Tests turn the AVX2 kernel off to compare it with the scalar one.
extern bool g_triple_vector_kernel_enabled;

using TripleSink = std::function<void(const TripleValues&)>;

// The triple walk of a run over a loaded matrix: visits i = 0..n-3,
// j = 0..n-2, k = 0..n-1 (n columns) in this nesting, and calls `emit` for
// every visit with i < j < k, in order, with its values. Throws RunError
// ("Division by zero" for a zero total, "Overflow" for a non-finite sum,
// total, proportion, term or interaction, or one beyond the decimal range)
// at the first visit that fails, written or not, naming the triple; every
// record before it has been emitted. Visits that write nothing are skipped
// where they provably cannot fail. The triple entropies are computed on
// `threads` workers (0: every core); the records and the error are the same
// for every thread count. Polls `control` between pairs (i, j).
void analyze_triples(const DataMatrix& matrix, const TripleSink& emit, const RunControl& control = {},
                     unsigned threads = 1);

}  // namespace infodiv
