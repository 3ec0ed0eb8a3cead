// The run: everything that happens after "Run" is pressed, on given paths.
#pragma once

#include "shell/platform.h"
#include "shell/run_control.h"

namespace infodiv {

enum class Phases { Both, TriplesOnly, ColumnsOnly };

struct RunOptions {
  unsigned threads = 0;          // worker threads; 0 means every core
  bool fast = false;             // closed forms instead of the exact order
  Phases only = Phases::Both;    // skip a phase and leave its file out
  RunControl control;            // progress and interruption
};

// Deletes the old result files, creates results2, reads the first input line
// for the column count, writes one TripleRecord per column triple i < j < k to
// results and one ColumnRecord per column to results2. Throws RunError at the
// first failure; every record written before it stays complete in its file.
void run_analysis(const RunPaths& paths, const RunOptions& options = {});

}  // namespace infodiv
