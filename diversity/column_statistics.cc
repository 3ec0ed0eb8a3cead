#include "diversity/column_statistics.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "shell/finite.h"
#include "shell/natural_log.h"

namespace infodiv {
std::optional<ErrorKind> column_statistics(const double* x, std::size_t rows, ColumnStatistics& st,
                                           double* profile, std::size_t stride) {
  st = ColumnStatistics{};
  for (std::size_t r = 0; r < rows; ++r) {
    st.ColumnTotal = st.ColumnTotal + x[r];
    if (x[r] > 0) ++st.PositiveCount;
  }
  if (!finite(st.ColumnTotal)) return ErrorKind::Overflow;
  if (!(st.ColumnTotal > 0)) return ErrorKind::ColumnTotalNotPositive;

  const double n = static_cast<double>(rows);
  st.PositiveShare = static_cast<double>(st.PositiveCount) / n;

  const double l2 = ln2();
  bool overflow = false;
  for (std::size_t r = 0; r < rows; ++r) {
    double q = x[r] / st.ColumnTotal;
    overflow |= !finite(q);
    if (q > 0) {
      profile[r * stride] = q;
      st.ColumnEntropy = st.ColumnEntropy - (q * natural_log(q)) / l2;
    } else {
      profile[r * stride] = 0;
    }
  }
  if (overflow || !finite(st.ColumnEntropy)) return ErrorKind::Overflow;

  std::vector<double> sorted(x, x + rows);
  for (double v : sorted) st.SortedSum = st.SortedSum + v;
  // Equal neighbours keep their order, as in the exchange sort that this
  // replaces, so the sorted array and the Gini sum are the same.
  std::stable_sort(sorted.begin(), sorted.end());

  double g = 0;
  const auto count = static_cast<std::int64_t>(rows);
  for (std::int64_t m = 1; m <= count; ++m) {
    const auto weight = static_cast<double>((2 * m - count) - 1);
    g = g + sorted[static_cast<std::size_t>(m - 1)] * weight;
  }
  const double denominator = n * st.SortedSum;
  if (!finite(g) || !finite(denominator)) return ErrorKind::Overflow;
  st.GiniCoefficient = g / denominator;
  if (!finite(st.GiniCoefficient)) return ErrorKind::Overflow;
  const double scaled = n * st.GiniCoefficient;
  if (!finite(scaled)) return ErrorKind::Overflow;
  const double last_row = static_cast<double>(rows - 1);
  if (last_row == 0) return ErrorKind::DivisionByZero;
  st.CorrectedGini = scaled / last_row;
  if (!finite(st.CorrectedGini)) return ErrorKind::Overflow;
  return std::nullopt;
}

}  // namespace infodiv
