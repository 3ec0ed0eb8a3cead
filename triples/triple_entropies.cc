#include "triples/triple_entropies.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "shell/finite.h"
#include "shell/natural_log.h"
#include "shell/natural_log_avx2.h"
#include "shell/ordered_work.h"
#include "shell/run_error.h"

namespace infodiv {
bool g_triple_vector_kernel_enabled = true;

double column_entropy(const double* x, std::size_t rows, double total, bool& overflow) noexcept {
  const double l2 = ln2();
  double h = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    double p = x[r] / total;
    overflow |= !finite(p);
    if (p > 0) h = h - p * (natural_log(p) / l2);
  }
  overflow |= !finite(h);
  return h;
}

double pair_entropy(const double* a, const double* b, std::size_t rows, double total, bool& overflow) noexcept {
  const double l2 = ln2();
  double h = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    double pa = a[r] / total;
    double pb = b[r] / total;
    overflow |= !finite(pa) || !finite(pb);
    if (pa > 0) h = h - (pa * natural_log(pa)) / l2;
    if (pb > 0) h = h - (pb * natural_log(pb)) / l2;
  }
  overflow |= !finite(h);
  return h;
}

double triple_entropy(const double* a, const double* b, const double* c, std::size_t rows, double total,
                      bool& overflow) noexcept {
  const double l2 = ln2();
  double h = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    double pa = a[r] / total;
    double pb = b[r] / total;
    double pc = c[r] / total;
    overflow |= !finite(pa) || !finite(pb) || !finite(pc);
    if (pa > 0) h = h - (pa * natural_log(pa)) / l2;
    if (pb > 0) h = h - (pb * natural_log(pb)) / l2;
    if (pc > 0) h = h - (pc * natural_log(pc)) / l2;
  }
  overflow |= !finite(h);
  return h;
}

double interaction_information(const double (&e)[7]) noexcept {
  return ((((((e[0] + e[1]) + e[2]) - e[3]) - e[4]) - e[5]) + e[6]);
}

std::string triple_place(std::size_t i, std::size_t j, std::size_t k) {
  return "triple (" + std::to_string(i) + ", " + std::to_string(j) + ", " + std::to_string(k) + ")";
}

VisitTotals visit_totals(double s_i, double s_j, double s_k) noexcept {
  return {{s_i, s_j, s_k, s_i + s_j, s_i + s_k, s_j + s_k, (s_i + s_j) + s_k}};
}

std::optional<ErrorKind> visit_total_failure(const VisitTotals& s, double x_i, double x_j, double x_k) noexcept {
  for (double t : s.t) {
    if (!finite(t)) return ErrorKind::Overflow;
  }
  if (std::find(std::begin(s.t), std::end(s.t), 0.0) == std::end(s.t)) return std::nullopt;
  // The twelve proportions of row 0 in the order that the pass forms them.
  const double cell[12] = {x_i, x_j, x_k, x_i, x_j, x_i, x_k, x_j, x_k, x_i, x_j, x_k};
  const int total_of[12] = {0, 1, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6};
  for (int p = 0; p < 12; ++p) {
    const double divisor = s.t[total_of[p]];
    if (divisor == 0) return ErrorKind::DivisionByZero;
    if (!finite(cell[p] / divisor)) return ErrorKind::Overflow;
  }
  return std::nullopt;
}

bool visit_provably_finite(const VisitTotals& s, double largest_cell, std::size_t rows) noexcept {
  double smallest = std::fabs(s.t[0]);
  for (double t : s.t) smallest = std::min(smallest, std::fabs(t));
  const double bound = largest_cell / smallest;
  if (!(bound <= 1e250)) return false;
  const double term = std::max(0.37, bound > 1 ? bound * std::log(bound) : 0.0) * 1.45 * 1.01;
  const double entropy = 3.0 * static_cast<double>(rows) * term * 1.01;
  return 7.0 * entropy <= 1e28;
}

namespace {

#if defined(__x86_64__)
// acc - (p * ln p) / ln 2 in the lanes where p > 0; acc elsewhere, where no
// logarithm is taken (those lanes take the log of 1 and drop it).
INFODIV_AVX2 inline __m256d subtract_term(__m256d acc, __m256d p, __m256d l2) {
  const __m256d positive = _mm256_cmp_pd(p, _mm256_setzero_pd(), _CMP_GT_OQ);
  const __m256d q = _mm256_blendv_pd(_mm256_set1_pd(1.0), p, positive);
  const __m256d term = _mm256_div_pd(_mm256_mul_pd(q, natural_log_avx2(q)), l2);
  return _mm256_blendv_pd(acc, _mm256_sub_pd(acc, term), positive);
}

// H_ijk for four consecutive k per group of lanes, each lane its own sum in
// row order, with exactly the scalar kernel's operations: proportions of the
// cells of i, j and k against the lane's total, then the three terms in that
// order. Lanes past the last k read the spare zero columns and total 1.
INFODIV_AVX2 void triple_entropies_avx2(const double* rows_data, std::size_t stride, std::size_t rows,
                                        std::size_t i, std::size_t j, std::size_t k_first, std::size_t groups,
                                        const double* totals, double* h) {
  const __m256d l2 = _mm256_set1_pd(ln2());
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = rows_data + r * stride;
    const __m256d xi = _mm256_set1_pd(row[i]);
    const __m256d xj = _mm256_set1_pd(row[j]);
    for (std::size_t g = 0; g < groups; ++g) {
      const __m256d total = _mm256_loadu_pd(totals + 4 * g);
      const __m256d xk = _mm256_loadu_pd(row + k_first + 4 * g);
      const __m256d pa = _mm256_div_pd(xi, total);
      const __m256d pb = _mm256_div_pd(xj, total);
      const __m256d pc = _mm256_div_pd(xk, total);
      __m256d acc = _mm256_loadu_pd(h + 4 * g);
      acc = subtract_term(acc, pa, l2);
      acc = subtract_term(acc, pb, l2);
      acc = subtract_term(acc, pc, l2);
      _mm256_storeu_pd(h + 4 * g, acc);
    }
  }
}
#endif

#if defined(__x86_64__)
// H_ab for four consecutive b per group of lanes, like the triple kernel: the
// proportion of the cell of a, then of b, against the lane's pooled total.
INFODIV_AVX2 void pair_entropies_avx2(const double* rows_data, std::size_t stride, std::size_t rows, std::size_t a,
                                      std::size_t b_first, std::size_t groups, const double* totals, double* h) {
  const __m256d l2 = _mm256_set1_pd(ln2());
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = rows_data + r * stride;
    const __m256d xa = _mm256_set1_pd(row[a]);
    for (std::size_t g = 0; g < groups; ++g) {
      const __m256d total = _mm256_loadu_pd(totals + 4 * g);
      const __m256d pa = _mm256_div_pd(xa, total);
      const __m256d pb = _mm256_div_pd(_mm256_loadu_pd(row + b_first + 4 * g), total);
      __m256d acc = _mm256_loadu_pd(h + 4 * g);
      acc = subtract_term(acc, pa, l2);
      acc = subtract_term(acc, pb, l2);
      _mm256_storeu_pd(h + 4 * g, acc);
    }
  }
}
#endif


// What one walk needs to know about each column: its total in row order and
// the largest magnitude of its cells (for the overflow bound).
struct ColumnFacts {
  double total = 0;
  double max_abs = 0;
};

class TripleWalk {
 public:
  explicit TripleWalk(const DataMatrix& m) : m_(m), n_(m.columns()), rows_(m.rows()), facts_(n_) {
    all_safe_ = true;
    for (std::size_t c = 0; c < n_; ++c) {
      const double* x = m.column(c);
      ColumnFacts& f = facts_[c];
      for (std::size_t r = 0; r < rows_; ++r) {
        f.total = f.total + x[r];
        f.max_abs = std::max(f.max_abs, std::fabs(x[r]));
        all_safe_ &= x[r] >= 0;
      }
      // Pooled totals of up to three columns must stay finite too, or a
      // visit that writes nothing, such as (0, 0, 0), can overflow.
      all_safe_ &= f.total > 0 && f.total <= 0x1p1021;
    }
    single_.assign(n_, 0);
    single_overflow_.assign(n_, false);
    for (std::size_t c = 0; c < n_; ++c) {
      if (finite(facts_[c].total) && facts_[c].total != 0) {
        bool overflow = false;
        single_[c] = column_entropy(m.column(c), rows_, facts_[c].total, overflow);
        single_overflow_[c] = overflow;
      }
    }
  }

  // Entropies of the pairs a < b, one unit per a on the workers.
  void compute_pairs(unsigned workers, bool vector, const RunControl& control) {
    pair_.assign(n_ * n_, 0);
    pair_overflow_.assign(n_ * n_, 0);
    auto compute = [&](std::size_t a, std::size_t) {
      const std::size_t first = a + 1;
      if (first >= n_) return;
#if defined(__x86_64__)
      if (vector) {
        const std::size_t count = n_ - first, groups = (count + 3) / 4;
        std::vector<double> totals(groups * 4, 1.0), h(groups * 4, 0.0);
        for (std::size_t q = 0; q < count; ++q) totals[q] = facts_[a].total + facts_[first + q].total;
        pair_entropies_avx2(padded_.data(), stride_, rows_, a, first, groups, totals.data(), h.data());
        std::copy(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(count),
                  pair_.begin() + static_cast<std::ptrdiff_t>(a * n_ + first));
        return;
      }
#else
      (void)vector;
#endif
      for (std::size_t b = first; b < n_; ++b) {
        double total = facts_[a].total + facts_[b].total;
        if (finite(total) && total != 0) {
          bool overflow = false;
          pair_[a * n_ + b] = pair_entropy(m_.column(a), m_.column(b), rows_, total, overflow);
          pair_overflow_[a * n_ + b] = overflow;
        }
      }
    };
    // Units write disjoint rows of the tables; nothing is left to consume.
    run_in_order(n_, workers, 4 * static_cast<std::size_t>(workers) + 4, compute, [](std::size_t, std::size_t) {},
                 control);
  }

  void run(const TripleSink& emit, const RunControl& control, unsigned threads) {
    if (n_ < 3) return;
    // One unit per pair i < j (j < n - 1): the triple entropies (i, j, k) for
    // every k > j, computed on the workers; the walk itself, with its checks
    // and records, stays on this thread in visit order.
    std::vector<std::pair<std::size_t, std::size_t>> units;
    for (std::size_t i = 0; i + 2 < n_; ++i) {
      for (std::size_t j = i + 1; j + 1 < n_; ++j) units.emplace_back(i, j);
    }
    const bool vector = all_safe_ && cpu_has_avx2() && g_triple_vector_kernel_enabled;
    if (vector) build_padded_rows();
    const unsigned workers = worker_count(threads);
    compute_pairs(workers, vector, control);
    const std::size_t window = 8 * static_cast<std::size_t>(workers) + 8;
    std::vector<UnitResult> slots(window);
    const std::uint64_t total = n_ * (n_ - 1) * (n_ - 2) / 6;
    std::uint64_t done = 0;

    auto compute = [&](std::size_t u, std::size_t slot) {
      compute_unit(units[u].first, units[u].second, vector, slots[slot]);
    };
    auto consume = [&](std::size_t u, std::size_t slot) {
      const auto [i, j] = units[u];
      if (!all_safe_ && j == i + 1) {
        for (std::size_t jj = 0; jj <= i; ++jj) check_unwritten_row(i, jj, 0);
      }
      if (!all_safe_) check_unwritten_row(i, j, 0, j + 1);
      for (std::size_t k = j + 1; k < n_; ++k) emit(written(i, j, k, slots[slot], k - (j + 1)));
      done += n_ - 1 - j;
      control.report("triples", done, total);
    };
    run_in_order(units.size(), workers, window, compute, consume, control);
  }

 private:
  using Totals = VisitTotals;

  Totals totals(std::size_t i, std::size_t j, std::size_t k) const {
    return visit_totals(facts_[i].total, facts_[j].total, facts_[k].total);
  }

  std::optional<ErrorKind> total_failure(std::size_t i, std::size_t j, std::size_t k, const Totals& s) const {
    return visit_total_failure(s, m_.at(i, 0), m_.at(j, 0), m_.at(k, 0));
  }

  bool provably_finite(std::size_t i, std::size_t j, std::size_t k, const Totals& s) const {
    return visit_provably_finite(s, std::max({facts_[i].max_abs, facts_[j].max_abs, facts_[k].max_abs}), rows_);
  }

  std::optional<ErrorKind> unwritten_failure(std::size_t i, std::size_t j, std::size_t k) const {
    Totals s = totals(i, j, k);
    if (auto kind = total_failure(i, j, k, s)) return kind;
    if (provably_finite(i, j, k, s)) return std::nullopt;
    // Evaluate the visit in full, as it would run.
    bool overflow = false;
    double e[7];
    e[0] = column_entropy(m_.column(i), rows_, s.t[0], overflow);
    e[1] = column_entropy(m_.column(j), rows_, s.t[1], overflow);
    e[2] = column_entropy(m_.column(k), rows_, s.t[2], overflow);
    e[3] = pair_entropy(m_.column(i), m_.column(j), rows_, s.t[3], overflow);
    e[4] = pair_entropy(m_.column(i), m_.column(k), rows_, s.t[4], overflow);
    e[5] = pair_entropy(m_.column(j), m_.column(k), rows_, s.t[5], overflow);
    e[6] = triple_entropy(m_.column(i), m_.column(j), m_.column(k), rows_, s.t[6], overflow);
    if (overflow) return ErrorKind::Overflow;
    double interaction = interaction_information(e);
    if (!finite(interaction) || !Decimal::from_double(interaction)) return ErrorKind::Overflow;
    return std::nullopt;
  }

  // Visits (i, j, k) for k in [k_begin, k_end) that write nothing.
  void check_unwritten_row(std::size_t i, std::size_t j, std::size_t k_begin, std::size_t k_end = SIZE_MAX) const {
    k_end = std::min(k_end, n_);
    for (std::size_t k = k_begin; k < k_end; ++k) {
      if (auto kind = unwritten_failure(i, j, k)) throw RunError(*kind, triple_place(i, j, k));
    }
  }

  struct UnitResult {
    std::vector<double> entropy;    // H_ijk for k = j + 1, j + 2, ...
    std::vector<char> overflow;
    std::vector<double> totals;     // scratch for the vector kernel
  };

  bool totals_usable(const Totals& s) const {
    for (double t : s.t) {
      if (!finite(t) || t == 0) return false;
    }
    return true;
  }

  void compute_unit(std::size_t i, std::size_t j, bool vector, UnitResult& out) const {
    const std::size_t count = n_ - 1 - j;
    out.entropy.assign(count, 0);
    out.overflow.assign(count, 0);
#if defined(__x86_64__)
    if (vector) {
      const std::size_t groups = (count + 3) / 4;
      out.totals.assign(groups * 4, 1.0);
      for (std::size_t q = 0; q < count; ++q) out.totals[q] = totals(i, j, j + 1 + q).t[6];
      std::vector<double> h(groups * 4, 0.0);
      triple_entropies_avx2(padded_.data(), stride_, rows_, i, j, j + 1, groups, out.totals.data(), h.data());
      std::copy(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(count), out.entropy.begin());
      return;
    }
#else
    (void)vector;
#endif
    for (std::size_t q = 0; q < count; ++q) {
      const std::size_t k = j + 1 + q;
      Totals s = totals(i, j, k);
      if (!totals_usable(s)) continue;  // the walk stops before it needs this value
      bool overflow = false;
      out.entropy[q] = triple_entropy(m_.column(i), m_.column(j), m_.column(k), rows_, s.t[6], overflow);
      out.overflow[q] = overflow;
    }
  }

  void build_padded_rows() {
    stride_ = n_ + 3;  // three spare zero columns: a partial group of four lanes reads zeros
    padded_.assign(rows_ * stride_, 0.0);
    for (std::size_t c = 0; c < n_; ++c) {
      const double* x = m_.column(c);
      for (std::size_t r = 0; r < rows_; ++r) padded_[r * stride_ + c] = x[r];
    }
  }

  TripleValues written(std::size_t i, std::size_t j, std::size_t k, const UnitResult& unit, std::size_t q) const {
    Totals s = totals(i, j, k);
    if (auto kind = total_failure(i, j, k, s)) throw RunError(*kind, triple_place(i, j, k));
    bool overflow = single_overflow_[i] || single_overflow_[j] || single_overflow_[k] ||
                    pair_overflow_[i * n_ + j] || pair_overflow_[i * n_ + k] || pair_overflow_[j * n_ + k] ||
                    unit.overflow[q];
    if (overflow) throw RunError(ErrorKind::Overflow, triple_place(i, j, k));
    TripleValues v;
    v.i = static_cast<std::int64_t>(i);
    v.j = static_cast<std::int64_t>(j);
    v.k = static_cast<double>(k);
    v.entropy[0] = single_[i];
    v.entropy[1] = single_[j];
    v.entropy[2] = single_[k];
    v.entropy[3] = pair_[i * n_ + j];
    v.entropy[4] = pair_[i * n_ + k];
    v.entropy[5] = pair_[j * n_ + k];
    v.entropy[6] = unit.entropy[q];
    v.interaction = interaction_information(v.entropy);
    auto decimal = finite(v.interaction) ? Decimal::from_double(v.interaction) : std::nullopt;
    if (!decimal) throw RunError(ErrorKind::Overflow, triple_place(i, j, k));
    v.interaction_decimal = *decimal;
    return v;
  }

  const DataMatrix& m_;
  std::size_t n_, rows_;
  std::vector<ColumnFacts> facts_;
  bool all_safe_ = true;
  std::vector<double> single_;
  std::vector<bool> single_overflow_;
  std::vector<double> pair_;
  std::vector<char> pair_overflow_;  // char, not bool: workers write neighbouring cells
  std::vector<double> padded_;  // row-major copy for the vector kernel
  std::size_t stride_ = 0;
};

}  // namespace

void analyze_triples(const DataMatrix& matrix, const TripleSink& emit, const RunControl& control,
                     unsigned threads) {
  TripleWalk walk(matrix);
  walk.run(emit, control, threads);
}

}  // namespace infodiv
