// Entropies of column triples and their interaction information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "input/data_matrix.h"
#include "shell/decimal.h"
#include "shell/run_control.h"
#include "shell/run_error.h"

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

// "triple (i, j, k)": where a walk stopped, as error reports name it.
std::string triple_place(std::size_t i, std::size_t j, std::size_t k);

// The seven totals of a visit (i, j, k): S_i, S_j, S_k, S_ij, S_ik, S_jk and
// S_ijk = (S_i + S_j) + S_k.
struct VisitTotals {
  double t[7];
};
VisitTotals visit_totals(double s_i, double s_j, double s_k) noexcept;

// The failure, if any, of a visit's totals and of the proportions of its row
// 0 (cells x_i, x_j, x_k), where a zero total fails first: "Overflow" for a
// non-finite total or proportion before it, else "Division by zero". Every
// later failure of a visit is an overflow. Does not throw.
std::optional<ErrorKind> visit_total_failure(const VisitTotals& s, double x_i, double x_j, double x_k) noexcept;

// True when no proportion, term or entropy of a visit can overflow and its
// interaction information stays inside the decimal range: every |p| is at
// most B = largest |cell| / smallest |total|, so every |term| is at most
// max(1/e, B ln B) / ln 2 and every entropy at most 3 rows times that.
bool visit_provably_finite(const VisitTotals& s, double largest_cell, std::size_t rows) noexcept;

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
