// The deliberately literal run: the oracle that the engine is checked against.
//
// It does everything the slow way the run is written down: it deletes the old
// result files, opens results2 for the whole run, reads the first input line
// for LastColumn, walks every one of the (n - 2)(n - 1)n visits in the nested
// order, re-reading and re-parsing the input and opening and closing results
// at every visit, computes each visit in full whether it writes or not, holds
// GramMatrix and SimilarityMatrix whole (rows x rows), sorts each column with
// the exchange sort, and does every double operation in its written order and
// grouping. It shares no code with the engine beyond the natural logarithm
// and the error names, so that the two can only agree by both being right.
//
// Slow on purpose (cubic in the columns times the input size): only tests and
// benchmarks link it.
#pragma once

#include <optional>
#include <string>

#include "shell/platform.h"

namespace infodiv::reference {

struct Outcome {
  bool stopped = false;
  std::string error;  // the stopping error's name, e.g. "Division by zero"; empty after a normal end
};

// Runs the whole analysis on `paths` and leaves results and results2 byte for
// byte as the run does, also when it stops: every record appended before the
// stop is complete, results exists only if some triple was visited. A
// run-stopping error is reported in the Outcome, never thrown.
//
// Stops (the first failing operation in the written order wins):
//   "Division by zero"    a double division by 0 (0/0 included);
//   "Overflow"            a +, -, *, /, sqrt whose result is not finite, an
//                         input number beyond the double range, a decimal
//                         conversion out of range;
//   "Subscript out of range"  a missing field, an empty line, a read of
//                         DataMatrix that was never loaded (1 or 2 columns);
//   "Column total not positive", "File not found", "Input past end of file".
Outcome run_literal(const RunPaths& paths);

// The text of `value` once converted to the 96-bit decimal type: the shortest
// round-trip digits of the double, rounded half to even to at most 28 places
// after the point, in plain positional notation ("-" only for a non-zero
// value, no trailing zeros, no point for whole values, zero is "0"). nullopt
// when the value is not finite or its magnitude exceeds
// 79228162514264337593543950335.
std::optional<std::string> decimal_text(double value);

}  // namespace infodiv::reference
