// The run: everything that happens after "Run" is pressed, on given paths.
#pragma once

#include "shell/platform.h"

namespace infodiv {

struct RunOptions {
  // Placeholder for later options (threads, progress, modes).
};

// Deletes the old result files, creates results2, reads the first input line
// for the column count, writes one TripleRecord per column triple i < j < k to
// results and one ColumnRecord per column to results2. Throws RunError at the
// first failure; every record written before it stays complete in its file.
void run_analysis(const RunPaths& paths, const RunOptions& options = {});

}  // namespace infodiv
