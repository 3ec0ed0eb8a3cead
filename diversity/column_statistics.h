// Per-column distribution statistics: total, positive count and share,
// proportions, entropy and the Gini coefficients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "shell/run_error.h"

namespace infodiv {

struct ColumnStatistics {
  double ColumnTotal = 0;
  std::int64_t PositiveCount = 0;
  double PositiveShare = 0;
  double ColumnEntropy = 0;
  double SortedSum = 0;
  double GiniCoefficient = 0;
  double CorrectedGini = 0;
};

// Statistics of the column x[0..rows) (rows >= 1), summed in row order.
// Writes the proportion x[r] / ColumnTotal into profile[r * stride] where it
// is > 0, and 0 elsewhere. Returns the error that stops the run at this
// column, if any: "Overflow" (a non-finite sum, proportion, term or
// coefficient), "Column total not positive", or "Division by zero" (the
// corrected Gini of a single row). Does not throw.
std::optional<ErrorKind> column_statistics(const double* x, std::size_t rows, ColumnStatistics& stats,
                                           double* profile, std::size_t stride);

}  // namespace infodiv
