#include "triples/closed_form.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "shell/finite.h"
#include "shell/compensated_sum.h"
#include "shell/natural_log.h"
#include "shell/ordered_work.h"
#include "shell/run_error.h"

namespace infodiv {

ColumnMoments column_moments(const double* x, std::size_t rows) noexcept {
  ColumnMoments m;
  CompensatedSum positive, negative;
  for (std::size_t r = 0; r < rows; ++r) {
    m.total = m.total + x[r];
    const double a = std::fabs(x[r]);
    m.max_abs = std::max(m.max_abs, a);
    if (x[r] > 0) {
      positive.add(a);
      m.positive.largest = std::max(m.positive.largest, a);
    } else if (x[r] < 0) {
      negative.add(a);
      m.negative.largest = std::max(m.negative.largest, a);
    }
  }
  m.positive.mass = positive.value();
  m.negative.mass = negative.value();
  // Second pass: a / mass <= 1, so every term has the same sign.
  CompensatedSum positive_spread, negative_spread;
  for (std::size_t r = 0; r < rows; ++r) {
    if (x[r] > 0) {
      const double q = x[r] / m.positive.mass;
      if (q > 0) positive_spread.add(q * natural_log(q));
    } else if (x[r] < 0) {
      const double q = -x[r] / m.negative.mass;
      if (q > 0) negative_spread.add(q * natural_log(q));
    }
  }
  m.positive.spread = positive_spread.value();
  m.negative.spread = negative_spread.value();
  return m;
}

double pooled_entropy(const ColumnMoments* const* columns, std::size_t count, double total) noexcept {
  const bool positive = total > 0;
  const double s = std::fabs(total);
  double h = 0;
  for (std::size_t c = 0; c < count; ++c) {
    const SignedMass& side = positive ? columns[c]->positive : columns[c]->negative;
    if (side.mass == 0) continue;
    const double w = side.mass / s;
    if (!finite(w)) return w;  // the logarithm takes finite arguments only
    const double grouping = w > 0 ? -(w * natural_log(w)) : 0;
    h = h + (-(w * side.spread) + grouping);
  }
  return h / ln2();
}

namespace {

// The visit logic of the exact walk over moments instead of rows.
class FastTripleWalk {
 public:
  explicit FastTripleWalk(const DataMatrix& m) : m_(m), n_(m.columns()), rows_(m.rows()) {
    moments_.reserve(n_);
    all_safe_ = true;
    for (std::size_t c = 0; c < n_; ++c) {
      moments_.push_back(column_moments(m.column(c), rows_));
      const ColumnMoments& cm = moments_.back();
      // Pooled totals of up to three columns must stay finite too, or a
      // visit that writes nothing, such as (0, 1, 1), can overflow.
      all_safe_ &= cm.negative.largest == 0 && cm.total > 0 && cm.total <= 0x1p1021;
    }
    single_.assign(n_, 0);
    for (std::size_t c = 0; c < n_; ++c) {
      const double t = moments_[c].total;
      if (finite(t) && t != 0) single_[c] = entropy_of({c}, t);
    }
    pair_.assign(n_ * n_, 0);
    for (std::size_t a = 0; a < n_; ++a) {
      for (std::size_t b = a + 1; b < n_; ++b) {
        const double t = moments_[a].total + moments_[b].total;
        if (finite(t) && t != 0) pair_[a * n_ + b] = entropy_of({a, b}, t);
      }
    }
  }

  // The walk in units of one (i, j) and every k, computed (values and
  // record text) on the workers and written in order on the calling thread,
  // where a unit's failure is thrown after the unit's earlier records.
  void run(const TripleFormat& format, const TextSink& write, const RunControl& control, unsigned threads) {
    if (n_ < 3) return;
    const std::size_t last = n_ - 1;
    // With all_safe_ no visit with j <= i can write or fail: only the units
    // i < j remain, unit_start[i] being the first of row i.
    std::vector<std::size_t> unit_start(last - 1);
    std::size_t units = 0;
    for (std::size_t i = 0; i + 1 < last; ++i) {
      unit_start[i] = units;
      units += all_safe_ ? last - 1 - i : last;
    }
    auto unit_pair = [&](std::size_t u) {
      const auto row = std::upper_bound(unit_start.begin(), unit_start.end(), u) - 1;
      const auto i = static_cast<std::size_t>(row - unit_start.begin());
      return std::pair(i, u - *row + (all_safe_ ? i + 1 : 0));
    };
    struct Slot {
      std::string text;
      std::optional<ErrorKind> error;
      std::size_t k = 0;
    };
    const unsigned workers = worker_count(threads);
    const std::size_t window = 8 * static_cast<std::size_t>(workers) + 8;
    std::vector<Slot> slots(window);
    const std::uint64_t total = n_ * (n_ - 1) * (n_ - 2) / 6;
    std::uint64_t done = 0;
    auto compute = [&](std::size_t u, std::size_t slot) {
      Slot& out = slots[slot];
      out.text.clear();
      out.error.reset();
      const auto [i, j] = unit_pair(u);
      for (std::size_t k = 0; k <= last && !out.error; ++k) {
        out.k = k;
        if (i < j && j < k) {
          TripleValues v;
          out.error = written(i, j, k, v);
          if (!out.error) format(v, out.text);
        } else if (!all_safe_) {
          out.error = unwritten_failure(i, j, k);
        }
      }
    };
    auto consume = [&](std::size_t u, std::size_t slot) {
      const Slot& out = slots[slot];
      if (!out.text.empty()) write(out.text);
      const auto [i, j] = unit_pair(u);
      if (out.error) throw RunError(*out.error, triple_place(i, j, out.k));
      if (i < j) {
        done += last - j;
        control.report("triples", done, total);
      }
    };
    run_in_order(units, workers, window, compute, consume, control);
  }

 private:
  using Totals = VisitTotals;

  double entropy_of(std::initializer_list<std::size_t> cs, double total) const {
    const ColumnMoments* cols[3];
    std::size_t count = 0;
    for (std::size_t c : cs) cols[count++] = &moments_[c];
    return pooled_entropy(cols, count, total);
  }

  Totals totals(std::size_t i, std::size_t j, std::size_t k) const {
    return visit_totals(moments_[i].total, moments_[j].total, moments_[k].total);
  }

  // As in the exact walk; depends on no rounding of any entropy.
  std::optional<ErrorKind> total_failure(std::size_t i, std::size_t j, std::size_t k, const Totals& s) const {
    return visit_total_failure(s, m_.at(i, 0), m_.at(j, 0), m_.at(k, 0));
  }

  bool provably_finite(std::size_t i, std::size_t j, std::size_t k, const Totals& s) const {
    return visit_provably_finite(s, std::max({moments_[i].max_abs, moments_[j].max_abs, moments_[k].max_abs}), rows_);
  }

  // Whether the largest proportion of column c over `total`, or its term,
  // leaves the double range. The largest |x| / |total| is the largest |p| of
  // the exact pass, since division rounds monotonically; the largest term
  // belongs to the largest positive p.
  bool proportion_overflows(std::size_t c, double total, bool form_a) const {
    const ColumnMoments& cm = moments_[c];
    if (!finite(cm.max_abs / total)) return true;
    const double a = total > 0 ? cm.positive.largest : cm.negative.largest;
    const double p = a / std::fabs(total);
    if (!(p > 1)) return false;
    const double term = form_a ? p * (natural_log(p) / ln2()) : (p * natural_log(p)) / ln2();
    return !finite(term);
  }

  // Evaluates a visit whose totals passed: its proportions, terms, entropies
  // and interaction information; fills `e` and returns the failure, if any.
  std::optional<ErrorKind> evaluate(std::size_t i, std::size_t j, std::size_t k, const Totals& s,
                                    double (&e)[7]) const {
    const std::size_t col[12] = {i, j, k, i, j, i, k, j, k, i, j, k};
    const int total_of[12] = {0, 1, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6};
    for (int p = 0; p < 12; ++p) {
      if (proportion_overflows(col[p], s.t[total_of[p]], p < 3)) return ErrorKind::Overflow;
    }
    e[0] = entropy_of({i}, s.t[0]);
    e[1] = entropy_of({j}, s.t[1]);
    e[2] = entropy_of({k}, s.t[2]);
    e[3] = entropy_of({i, j}, s.t[3]);
    e[4] = entropy_of({i, k}, s.t[4]);
    e[5] = entropy_of({j, k}, s.t[5]);
    e[6] = entropy_of({i, j, k}, s.t[6]);
    for (double v : e) {
      if (!finite(v)) return ErrorKind::Overflow;
    }
    return std::nullopt;
  }

  std::optional<ErrorKind> unwritten_failure(std::size_t i, std::size_t j, std::size_t k) const {
    Totals s = totals(i, j, k);
    if (auto kind = total_failure(i, j, k, s)) return kind;
    if (provably_finite(i, j, k, s)) return std::nullopt;
    double e[7];
    if (auto kind = evaluate(i, j, k, s, e)) return kind;
    double interaction = interaction_information(e);
    if (!finite(interaction) || !Decimal::from_double(interaction)) return ErrorKind::Overflow;
    return std::nullopt;
  }

  std::optional<ErrorKind> written(std::size_t i, std::size_t j, std::size_t k, TripleValues& v) const {
    Totals s = totals(i, j, k);
    if (auto kind = total_failure(i, j, k, s)) return kind;
    v.i = static_cast<std::int64_t>(i);
    v.j = static_cast<std::int64_t>(j);
    v.k = static_cast<double>(k);
    if (all_safe_ || provably_finite(i, j, k, s)) {
      v.entropy[0] = single_[i];
      v.entropy[1] = single_[j];
      v.entropy[2] = single_[k];
      v.entropy[3] = pair_[i * n_ + j];
      v.entropy[4] = pair_[i * n_ + k];
      v.entropy[5] = pair_[j * n_ + k];
      v.entropy[6] = entropy_of({i, j, k}, s.t[6]);
      if (!finite(v.entropy[6])) return ErrorKind::Overflow;
    } else if (auto kind = evaluate(i, j, k, s, v.entropy)) {
      return kind;
    }
    v.interaction = interaction_information(v.entropy);
    auto decimal = finite(v.interaction) ? Decimal::from_double(v.interaction) : std::nullopt;
    if (!decimal) return ErrorKind::Overflow;
    v.interaction_decimal = *decimal;
    return std::nullopt;
  }

  const DataMatrix& m_;
  std::size_t n_, rows_;
  std::vector<ColumnMoments> moments_;
  bool all_safe_ = true;
  std::vector<double> single_;
  std::vector<double> pair_;
};

}  // namespace

void analyze_triples_fast(const DataMatrix& matrix, const TripleFormat& format, const TextSink& write,
                          const RunControl& control, unsigned threads) {
  FastTripleWalk walk(matrix);
  walk.run(format, write, control, threads);
}

void analyze_triples_fast(const DataMatrix& matrix, const TripleSink& emit, const RunControl& control) {
  // One thread: every unit is computed and then consumed on this thread, so
  // the records reach `emit` in order.
  analyze_triples_fast(
      matrix, [&](const TripleValues& v, std::string&) { emit(v); }, [](std::string_view) {}, control, 1);
}

}  // namespace infodiv
