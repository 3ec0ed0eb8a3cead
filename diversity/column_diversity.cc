#include "diversity/column_diversity.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <cmath>
#include <string>
#include <vector>

#include "shell/finite.h"
#include "shell/natural_log_avx2.h"
#include "shell/ordered_work.h"
#include "shell/run_error.h"

namespace infodiv {

std::string column_place(std::size_t c) { return "column " + std::to_string(c); }

std::string rows_place(std::size_t r, std::size_t s) {
  return "row similarity of rows " + std::to_string(r) + " and " + std::to_string(s);
}

double gram_cell(const DataMatrix& matrix, std::size_t r, std::size_t s) noexcept {
  double g = 0;
  for (std::size_t c = 0; c < matrix.columns(); ++c) g = g + matrix.at(c, r) * matrix.at(c, s);
  return g;
}

RowSquares checked_row_squares(const DataMatrix& matrix, const RunControl& control) {
  if (!matrix.loaded()) {
    throw RunError(ErrorKind::SubscriptOutOfRange,
                   "row similarity, row 0, column 0: no matrix was loaded (fewer than three columns)");
  }
  const std::size_t rows = matrix.rows();
  RowSquares out;
  out.sums.assign(rows + 3, 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    double g = 0;
    for (std::size_t c = 0; c < matrix.columns(); ++c) g = g + matrix.at(c, r) * matrix.at(c, r);
    if (!finite(g)) throw RunError(ErrorKind::Overflow, "row similarity, sum of squares of row " + std::to_string(r));
    out.sums[r] = g;
    out.largest = std::max(out.largest, g);
    if (g > 0) out.smallest_positive = std::min(out.smallest_positive, g);
  }
  // By Cauchy-Schwarz a partial Gram sum of rows r and s stays within
  // sqrt(g_r g_s) up to rounding, so only two rows whose sums of squares both
  // exceed 1e300 can overflow their cell; such rows are taken in pair order.
  if (out.largest > 1e300) {
    std::vector<std::size_t> huge;
    for (std::size_t r = 0; r < rows; ++r) {
      if (out.sums[r] > 1e300) huge.push_back(r);
    }
    for (std::size_t a = 0; a < huge.size(); ++a) {
      control.poll();
      for (std::size_t b = a + 1; b < huge.size(); ++b) {
        if (!finite(gram_cell(matrix, huge[a], huge[b]))) {
          throw RunError(ErrorKind::Overflow, rows_place(huge[a], huge[b]));
        }
      }
    }
  }
  return out;
}

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

constexpr std::size_t kBlockRows = 8;

// The columns with three spare zero cells after the last row, so that four
// lanes starting at any row stay inside.
struct PaddedColumns {
  std::size_t columns, rows, stride;
  std::vector<double> cells;
  const double* column(std::size_t c) const { return cells.data() + c * stride; }
};

PaddedColumns pad_columns(const DataMatrix& m, std::size_t columns) {
  PaddedColumns out{columns, m.rows(), m.rows() + 3, {}};
  out.cells.assign(columns * out.stride, 0.0);
  for (std::size_t c = 0; c < columns; ++c) {
    std::copy(m.column(c), m.column(c) + m.rows(), out.cells.begin() + static_cast<std::ptrdiff_t>(c * out.stride));
  }
  return out;
}

double gram(const PaddedColumns& x, std::size_t r, std::size_t s) noexcept {
  double g = 0;
  for (std::size_t c = 0; c < x.columns; ++c) g = g + x.column(c)[r] * x.column(c)[s];
  return g;
}

struct PairFailure {
  ErrorKind kind;
  std::size_t r, s;
};

// Similarities of rows r in [r0, r1) with every later row s, stored at
// sims[(r - r0) * stride + s]. With `checked`, every pair is checked in pair
// order and the first failure is returned; otherwise the caller has shown that
// none can fail.
std::optional<PairFailure> block_similarities_scalar(const PaddedColumns& x, const double* diag, std::size_t r0,
                                                     std::size_t r1, double* sims) {
  for (std::size_t r = r0; r < r1; ++r) {
    double* out = sims + (r - r0) * x.stride;
    for (std::size_t s = r + 1; s < x.rows; ++s) {
      if (auto kind = row_similarity(gram(x, r, s), diag[r], diag[s], out[s])) return PairFailure{*kind, r, s};
    }
  }
  return std::nullopt;
}

#if defined(__x86_64__)
// The same sums and quotients four pairs at a time: lanes are the rows s,
// s + 1, s + 2, s + 3, and each lane adds its column products in column
// order, exactly like gram(); four rows r share each load.
INFODIV_AVX2 void block_similarities_avx2(const PaddedColumns& x, const double* diag, std::size_t r0,
                                          std::size_t r1, double* sims) {
  const __m256d zero = _mm256_setzero_pd();
  auto similarity = [&](__m256d g, std::size_t r, std::size_t s) INFODIV_AVX2 {
    const __m256d dr = _mm256_set1_pd(diag[r]);
    const __m256d ds = _mm256_loadu_pd(diag + s);
    const __m256d both = _mm256_and_pd(_mm256_cmp_pd(dr, zero, _CMP_GT_OQ), _mm256_cmp_pd(ds, zero, _CMP_GT_OQ));
    const __m256d v = _mm256_div_pd(g, _mm256_sqrt_pd(_mm256_mul_pd(dr, ds)));
    return _mm256_blendv_pd(zero, v, both);
  };
  std::size_t r = r0;
  for (; r + 4 <= r1; r += 4) {
    for (std::size_t s = r + 1; s < x.rows; s += 4) {
      __m256d g0 = zero, g1 = zero, g2 = zero, g3 = zero;
      for (std::size_t c = 0; c < x.columns; ++c) {
        const double* col = x.column(c);
        const __m256d xs = _mm256_loadu_pd(col + s);
        g0 = _mm256_add_pd(g0, _mm256_mul_pd(_mm256_set1_pd(col[r]), xs));
        g1 = _mm256_add_pd(g1, _mm256_mul_pd(_mm256_set1_pd(col[r + 1]), xs));
        g2 = _mm256_add_pd(g2, _mm256_mul_pd(_mm256_set1_pd(col[r + 2]), xs));
        g3 = _mm256_add_pd(g3, _mm256_mul_pd(_mm256_set1_pd(col[r + 3]), xs));
      }
      // Lanes with s <= r are computed and never read.
      _mm256_storeu_pd(sims + (r - r0) * x.stride + s, similarity(g0, r, s));
      _mm256_storeu_pd(sims + (r + 1 - r0) * x.stride + s, similarity(g1, r + 1, s));
      _mm256_storeu_pd(sims + (r + 2 - r0) * x.stride + s, similarity(g2, r + 2, s));
      _mm256_storeu_pd(sims + (r + 3 - r0) * x.stride + s, similarity(g3, r + 3, s));
    }
  }
  for (; r < r1; ++r) {
    for (std::size_t s = r + 1; s < x.rows; s += 4) {
      __m256d g = zero;
      for (std::size_t c = 0; c < x.columns; ++c) {
        const double* col = x.column(c);
        g = _mm256_add_pd(g, _mm256_mul_pd(_mm256_set1_pd(col[r]), _mm256_loadu_pd(col + s)));
      }
      _mm256_storeu_pd(sims + (r - r0) * x.stride + s, similarity(g, r, s));
    }
  }
}
#endif

// Per-column state of the pair pass, four columns to a group; spare columns
// have zero proportions and never qualify.
struct PairState {
  std::size_t groups = 0, width = 0;  // width = 4 * groups
  std::vector<double> profile;        // row-major, `width` per row
  std::vector<double> one_minus_gini, share;
  std::vector<double> simpson, disparity, quadratic, combined, count;
};

// Adds the pairs (r, s), r in [r0, r1), s > r, in pair order to every
// column's sums. Only qualifying pairs (p_r * p_s > 0) change a sum.
void accumulate_scalar(PairState& st, const double* sims, std::size_t stride, std::size_t rows, std::size_t r0,
                       std::size_t r1, std::size_t g0, std::size_t g1) {
  for (std::size_t r = r0; r < r1; ++r) {
    const double* sim = sims + (r - r0) * stride;
    const double* pr = st.profile.data() + r * st.width;
    for (std::size_t c = 4 * g0; c < 4 * g1; ++c) {
      if (!(pr[c] > 0)) continue;
      for (std::size_t s = r + 1; s < rows; ++s) {
        const double product = pr[c] * st.profile[s * st.width + c];
        if (product > 0) {
          const double d = 1 - sim[s];
          st.simpson[c] = st.simpson[c] + product;
          st.disparity[c] = st.disparity[c] + d;
          st.quadratic[c] = st.quadratic[c] + product * d;
          st.combined[c] = st.combined[c] + (st.one_minus_gini[c] * d) * st.share[c];
          st.count[c] = st.count[c] + 1;
        }
      }
    }
  }
}

#if defined(__x86_64__)
// K groups of four columns for one row r against every later row s. A lane
// that does not qualify adds +0 (its term masked to zero), which leaves the
// sum unchanged: a sum that starts at +0 never becomes -0. Several groups per
// pass keep several independent sums in flight.
template <int K>
INFODIV_AVX2 void accumulate_groups_avx2(PairState& st, const double* sim, std::size_t rows, std::size_t r,
                                         std::size_t c0) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d pr[K], omg[K], share[K], simpson[K], disparity[K], quadratic[K], combined[K], count[K];
  for (int k = 0; k < K; ++k) {
    const std::size_t c = c0 + 4 * static_cast<std::size_t>(k);
    pr[k] = _mm256_loadu_pd(st.profile.data() + r * st.width + c);
    omg[k] = _mm256_loadu_pd(st.one_minus_gini.data() + c);
    share[k] = _mm256_loadu_pd(st.share.data() + c);
    simpson[k] = _mm256_loadu_pd(st.simpson.data() + c);
    disparity[k] = _mm256_loadu_pd(st.disparity.data() + c);
    quadratic[k] = _mm256_loadu_pd(st.quadratic.data() + c);
    combined[k] = _mm256_loadu_pd(st.combined.data() + c);
    count[k] = _mm256_loadu_pd(st.count.data() + c);
  }
  const double* ps = st.profile.data() + (r + 1) * st.width + c0;
  for (std::size_t s = r + 1; s < rows; ++s, ps += st.width) {
    const __m256d d = _mm256_set1_pd(1 - sim[s]);
    for (int k = 0; k < K; ++k) {
      const __m256d product = _mm256_mul_pd(pr[k], _mm256_loadu_pd(ps + 4 * k));
      const __m256d q = _mm256_cmp_pd(product, zero, _CMP_GT_OQ);
      simpson[k] = _mm256_add_pd(simpson[k], _mm256_and_pd(product, q));
      disparity[k] = _mm256_add_pd(disparity[k], _mm256_and_pd(d, q));
      quadratic[k] = _mm256_add_pd(quadratic[k], _mm256_and_pd(_mm256_mul_pd(product, d), q));
      combined[k] = _mm256_add_pd(combined[k], _mm256_and_pd(_mm256_mul_pd(_mm256_mul_pd(omg[k], d), share[k]), q));
      count[k] = _mm256_add_pd(count[k], _mm256_and_pd(one, q));
    }
  }
  for (int k = 0; k < K; ++k) {
    const std::size_t c = c0 + 4 * static_cast<std::size_t>(k);
    _mm256_storeu_pd(st.simpson.data() + c, simpson[k]);
    _mm256_storeu_pd(st.disparity.data() + c, disparity[k]);
    _mm256_storeu_pd(st.quadratic.data() + c, quadratic[k]);
    _mm256_storeu_pd(st.combined.data() + c, combined[k]);
    _mm256_storeu_pd(st.count.data() + c, count[k]);
  }
}

INFODIV_AVX2 void accumulate_avx2(PairState& st, const double* sims, std::size_t stride, std::size_t rows,
                                  std::size_t r0, std::size_t r1, std::size_t g0, std::size_t g1) {
  const __m256d zero = _mm256_setzero_pd();
  auto any_positive = [&](std::size_t r, std::size_t g) INFODIV_AVX2 {
    const __m256d pr = _mm256_loadu_pd(st.profile.data() + r * st.width + 4 * g);
    return _mm256_movemask_pd(_mm256_cmp_pd(pr, zero, _CMP_GT_OQ)) != 0;
  };
  for (std::size_t r = r0; r < r1; ++r) {
    const double* sim = sims + (r - r0) * stride;
    std::size_t g = g0;
    for (; g + 2 <= g1; g += 2) {
      const bool first = any_positive(r, g), second = any_positive(r, g + 1);
      if (first && second) {
        accumulate_groups_avx2<2>(st, sim, rows, r, 4 * g);
      } else if (first) {
        accumulate_groups_avx2<1>(st, sim, rows, r, 4 * g);
      } else if (second) {
        accumulate_groups_avx2<1>(st, sim, rows, r, 4 * (g + 1));
      }
    }
    if (g < g1 && any_positive(r, g)) accumulate_groups_avx2<1>(st, sim, rows, r, 4 * g);
  }
}
#endif

// The similarities of one block of rows, or the first failure among them.
struct SimilarityBlock {
  std::vector<double> sims;
  std::optional<PairFailure> failure;
};

// The pair pass on `threads` threads (the calling one included). Every thread
// owns a contiguous range of column groups and adds every block to its groups'
// sums in block order, so each sum takes the pairs in order. The similarities
// of a block are computed once, by the first thread that reaches it, into a
// ring of slots; a slot is reused when every thread has added its block. A
// failure of the similarities is thrown on the calling thread when it reaches
// that block, so the first one in pair order is reported.
template <class Similarities, class Accumulate, class Progress>
void pair_pass(std::size_t blocks, std::size_t groups, unsigned threads, Similarities similarities,
               Accumulate accumulate, Progress progress, const RunControl& control) {
  if (threads <= 1 || blocks <= 1) {
    SimilarityBlock block;
    for (std::size_t b = 0; b < blocks; ++b) {
      control.poll();
      similarities(b, block);
      if (block.failure) throw RunError(block.failure->kind, rows_place(block.failure->r, block.failure->s));
      accumulate(b, block, 0, groups);
      progress(b);
    }
    return;
  }
  struct Slot {
    SimilarityBlock block;
    std::size_t unit = 0;
    int state = 0;  // 0 free, 1 being computed, 2 ready
    unsigned done = 0;
  };
  const std::size_t window = 4 * static_cast<std::size_t>(threads);
  std::vector<Slot> slots(window);
  for (std::size_t w = 0; w < window; ++w) slots[w].unit = w;
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  std::exception_ptr failure;

  auto run_thread = [&](unsigned t) {
    const std::size_t g0 = groups * t / threads, g1 = groups * (t + 1) / threads;
    for (std::size_t b = 0; b < blocks; ++b) {
      Slot& slot = slots[b % window];
      bool compute = false;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stop || (slot.unit == b && slot.state != 1); });
        if (stop) return;
        if (slot.state == 0) {
          slot.state = 1;
          compute = true;
        }
      }
      if (compute) {
        similarities(b, slot.block);
        std::lock_guard lock(mutex);
        slot.state = 2;
        changed.notify_all();
      }
      if (slot.block.failure) {
        if (t != 0) return;  // the calling thread reports it
        throw RunError(slot.block.failure->kind, rows_place(slot.block.failure->r, slot.block.failure->s));
      }
      accumulate(b, slot.block, g0, g1);
      if (t == 0) {
        progress(b);
        control.poll();
      }
      std::lock_guard lock(mutex);
      if (++slot.done == threads) {
        slot.unit = b + window;
        slot.state = 0;
        slot.done = 0;
        changed.notify_all();
      }
    }
  };

  std::vector<std::thread> pool;
  auto finish = [&](bool stopping) {
    if (stopping) {
      std::lock_guard lock(mutex);
      stop = true;
    }
    changed.notify_all();
    for (std::thread& th : pool) th.join();
  };
  try {
    for (unsigned t = 1; t < threads; ++t) {
      pool.emplace_back([&, t] {
        try {
          run_thread(t);
        } catch (...) {
          std::lock_guard lock(mutex);
          if (!failure) failure = std::current_exception();
          stop = true;
          changed.notify_all();
        }
      });
    }
    run_thread(0);
  } catch (...) {
    finish(true);
    throw;
  }
  finish(false);  // the other threads still add their groups of the last blocks
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

bool g_column_vector_kernels_enabled = true;

void analyze_columns(const DataMatrix& matrix, std::size_t columns, const ColumnSink& emit,
                     const RunControl& control, unsigned threads) {
  if (columns == 0) return;
  const RowSquares squares = checked_row_squares(matrix, control);
  const std::vector<double>& diag = squares.sums;
  const double largest = squares.largest, smallest_positive = squares.smallest_positive;
  const std::size_t rows = matrix.rows();
  const PaddedColumns x = pad_columns(matrix, columns);

  // Statistics of the columns up to the first one that stops the run.
  std::vector<ColumnStatistics> stats(columns);
  PairState st;
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
    st.groups = (active + 3) / 4;
    st.width = 4 * st.groups;
    st.profile.assign(rows * st.width, 0.0);
    for (std::size_t c = 0; c < active; ++c) {
      for (std::size_t r = 0; r < rows; ++r) st.profile[r * st.width + c] = profiles[c][r];
    }
    st.one_minus_gini.assign(st.width, 0.0);
    st.share.assign(st.width, 0.0);
    for (std::size_t c = 0; c < active; ++c) {
      st.one_minus_gini[c] = 1 - stats[c].GiniCoefficient;
      st.share[c] = stats[c].PositiveShare;
    }
    st.simpson.assign(st.width, 0.0);
    st.disparity.assign(st.width, 0.0);
    st.quadratic.assign(st.width, 0.0);
    st.combined.assign(st.width, 0.0);
    st.count.assign(st.width, 0.0);
  }

  // Products of diagonal cells in this range neither overflow nor vanish.
  const bool similarity_cannot_fail = largest <= 1e150 && smallest_positive >= 1e-150;
  const bool vector = cpu_has_avx2() && g_column_vector_kernels_enabled;

  if (active > 0 || !similarity_cannot_fail) {
    const std::size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
    const std::uint64_t total_pairs = static_cast<std::uint64_t>(rows) * (rows - 1) / 2;
    std::uint64_t done_pairs = 0;
    auto similarities = [&](std::size_t b, SimilarityBlock& out) {
      const std::size_t r0 = b * kBlockRows, r1 = std::min(rows, r0 + kBlockRows);
      out.sims.resize(kBlockRows * x.stride);
      out.failure.reset();
#if defined(__x86_64__)
      if (vector && similarity_cannot_fail) {
        block_similarities_avx2(x, diag.data(), r0, r1, out.sims.data());
        return;
      }
#endif
      out.failure = block_similarities_scalar(x, diag.data(), r0, r1, out.sims.data());
    };
    auto accumulate = [&](std::size_t b, const SimilarityBlock& in, std::size_t g0, std::size_t g1) {
      if (g0 == g1) return;
      const std::size_t r0 = b * kBlockRows, r1 = std::min(rows, r0 + kBlockRows);
#if defined(__x86_64__)
      if (vector) {
        accumulate_avx2(st, in.sims.data(), x.stride, rows, r0, r1, g0, g1);
        return;
      }
#endif
      accumulate_scalar(st, in.sims.data(), x.stride, rows, r0, r1, g0, g1);
    };
    auto progress = [&](std::size_t b) {
      const std::size_t r0 = b * kBlockRows, r1 = std::min(rows, r0 + kBlockRows);
      for (std::size_t r = r0; r < r1; ++r) done_pairs += rows - 1 - r;
      control.report("columns", done_pairs, total_pairs);
    };
    pair_pass(blocks, st.groups, worker_count(threads), similarities, accumulate, progress, control);
  }

  for (std::size_t c = 0; c < active; ++c) {
    PairSums sums{st.simpson[c], st.disparity[c], st.quadratic[c], st.combined[c],
                  static_cast<std::int64_t>(st.count[c])};
    ColumnValues values;
    if (auto kind = derive_column_values(stats[c], sums, rows, values)) throw RunError(*kind, column_place(c));
    emit(values, c);
  }
  if (stop) throw RunError(*stop, column_place(active));
}

}  // namespace infodiv
