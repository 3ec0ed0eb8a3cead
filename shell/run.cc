#include "shell/run.h"

#include <array>
#include <string>

#include "diversity/closed_form.h"
#include "diversity/column_diversity.h"
#include "input/data_matrix.h"
#include "shell/record_writer.h"
#include "shell/run_error.h"
#include "triples/closed_form.h"
#include "triples/triple_entropies.h"

namespace infodiv {
namespace {

void append_triple_record(std::string& line, const TripleValues& v) {
  const std::array<FieldValue, 11> fields = {
      v.i, v.j, v.k, v.interaction_decimal, v.entropy[0], v.entropy[1],
      v.entropy[2], v.entropy[3], v.entropy[4], v.entropy[5], v.entropy[6]};
  append_record(line, kTripleRecordLayout, fields);
}

void append_column_record(std::string& line, const ColumnValues& v) {
  const std::array<FieldValue, 14> fields = {
      v.ScaledCombinedDiversityDecimal, v.CombinedDiversityDecimal, v.QuadraticEquivalentDecimal,
      v.QuadraticDiversityDecimal,      v.SimpsonDiversityDecimal,  v.stats.ColumnEntropy,
      v.stats.PositiveShare,            v.MeanDisparityDecimal,     v.stats.GiniCoefficient,
      v.stats.CorrectedGini,            v.stats.ColumnTotal,        v.stats.PositiveCount,
      v.PairCount,                      v.MeanDisparityDecimal};
  append_record(line, kColumnRecordLayout, fields);
}

}  // namespace

void run_analysis(const RunPaths& paths, const RunOptions& options) {
  // --only leaves the other phase's file as it is: neither deleted nor created.
  const bool triple_phase = options.only != Phases::ColumnsOnly;
  const bool column_phase = options.only != Phases::TriplesOnly;
  if (triple_phase && file_exists(paths.results)) delete_file(paths.results);
  if (column_phase && file_exists(paths.results2)) delete_file(paths.results2);
  ResultFile results2;
  if (column_phase) results2 = ResultFile(paths.results2);

  std::string text = read_file(paths.input);
  options.control.poll();  // reading a large input takes a while
  const std::string source = display_name(paths.input);
  LineReader first(text);
  if (first.at_end()) throw RunError(ErrorKind::InputPastEndOfFile, source + " line 1");
  const std::size_t columns = count_pieces(first.next_line());

  DataMatrix matrix;
  if (columns >= 3 && triple_phase) {
    // The first visited triple creates results.txt before it loads the input.
    ResultFile results(paths.results);
    matrix = load_data_matrix(text, columns, source);
    options.control.poll();
    std::string().swap(text);
    if (options.fast) {
      // Formatting is most of the fast walk's work: the workers do it.
      analyze_triples_fast(
          matrix, [](const TripleValues& v, std::string& out) { append_triple_record(out, v); },
          [&](std::string_view lines) { results.append(lines); }, options.control, options.threads);
    } else {
      std::string line;
      analyze_triples(matrix, [&](const TripleValues& v) {
        line.clear();
        append_triple_record(line, v);
        results.append(line);
      }, options.control, options.threads);
    }
    results.close();
  } else if (columns >= 3 && column_phase) {
    // Without the triple walk the column phase loads the matrix itself, as
    // the walk's last load would have left it.
    matrix = load_data_matrix(text, columns, source);
    std::string().swap(text);
  }
  if (!column_phase) return;

  std::string line;
  const ColumnSink sink = [&](const ColumnValues& v, std::size_t) {
    line.clear();
    append_column_record(line, v);
    results2.append(line);
  };
  if (options.fast) {
    analyze_columns_fast(matrix, columns, sink, options.control, options.threads);
  } else {
    analyze_columns(matrix, columns, sink, options.control, options.threads);
  }
  results2.close();
}

}  // namespace infodiv
