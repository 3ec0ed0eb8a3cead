// Fuzzes a whole run on the input bytes: it ends normally or with a named
// RunError, and both result files hold only complete, well-formed records in
// order. The literal reference run and the same run on several workers must
// leave the same bytes and stop with the same error; run with closed forms it
// must agree within a loose tolerance wherever both runs end normally.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "input/data_matrix.h"
#include "shell/run.h"
#include "shell/run_error.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/reference/reference.h"
#include "tests/reliability_test_util.h"

namespace fs = std::filesystem;
using namespace infodiv::testing;

namespace {

// Small shapes keep every run short: at most 8 columns, 64 rows.
constexpr std::size_t kMaxColumns = 8;
constexpr std::size_t kMaxRows = 64;
// Exact and closed-form results agree to this relative distance (or
// absolutely, near 0): closed forms round differently, never by much.
constexpr double kFastTolerance = 1e-6;
// Closed forms multiply cells with cells and with their logarithms; where such
// a product leaves the normal range (a subnormal cell, or two cells beyond
// 1e150) it loses digits that the exact order of operations keeps, so
// exact and fast results are compared only for cells that are 0 or within
// these magnitudes.
constexpr double kFastSmallest = 1e-150;
constexpr double kFastLargest = 1e150;

const fs::path& scratch() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "infodiv-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    std::atexit([] { std::error_code ignored; fs::remove_all(scratch(), ignored); });
    return fs::path(pattern);
  }();
  return dir;
}

struct Ending {
  bool normal;
  std::string error;
  std::optional<std::string> results, results2;
};

Ending run_into(const fs::path& out, const fs::path& input, unsigned threads, bool fast, std::size_t columns) {
  fs::create_directories(out);
  infodiv::RunOptions options;
  options.threads = threads;
  options.fast = fast;
  bool normal = true;
  std::string error;
  try {
    infodiv::run_analysis(infodiv::paths_in(input, out), options);
  } catch (const infodiv::RunError& e) {
    normal = false;
    error = e.what();
    const std::string name(infodiv::error_name(e.kind()));
    FUZZ_CHECK(name != "Unknown error");
    FUZZ_CHECK(std::string_view(e.what()).starts_with(name + " at "));
    FUZZ_CHECK(e.kind() != infodiv::ErrorKind::Interrupted);
  }
  Ending ending{normal, error, slurp(out / "results.txt"), slurp(out / "results2.txt")};
  FUZZ_CHECK(ending.results2.has_value());
  FUZZ_CHECK(malformed_records(*ending.results2, kColumnFields, kColumnDecimalFields).empty());
  if (ending.results) {
    FUZZ_CHECK(malformed_records(*ending.results, kTripleFields, kTripleDecimalFields).empty());
    // Records come in ascending order of (i, j, k), i < j < k < columns.
    long previous[3] = {-1, -1, -1};
    for (std::string_view line : record_lines(*ending.results)) {
      long index[3] = {};
      const char* p = line.data();
      for (long& x : index) p = std::from_chars(p, line.data() + line.size(), x).ptr + 1;
      FUZZ_CHECK(index[0] < index[1] && index[1] < index[2] && index[2] < static_cast<long>(columns));
      FUZZ_CHECK(std::lexicographical_compare(previous, previous + 3, index, index + 3));
      std::copy(index, index + 3, previous);
    }
  }
  if (normal) {
    const std::size_t triples = columns >= 3 ? columns * (columns - 1) * (columns - 2) / 6 : 0;
    FUZZ_CHECK(record_lines(ending.results.value_or("")).size() == triples);
    FUZZ_CHECK(record_lines(*ending.results2).size() == columns);
  }
  return ending;
}

bool within_fast_range(std::string_view text, std::size_t columns) {
  const infodiv::DataMatrix matrix = infodiv::load_data_matrix(text, columns, "fuzz input");
  for (std::size_t c = 0; c < matrix.columns(); ++c) {
    for (std::size_t r = 0; r < matrix.rows(); ++r) {
      const double cell = std::fabs(matrix.at(c, r));
      if (cell != 0 && (cell < kFastSmallest || cell > kFastLargest)) return false;
    }
  }
  return true;
}

bool close_enough(std::string_view a, std::string_view b) {
  double x = 0, y = 0;
  std::from_chars(a.data(), a.data() + a.size(), x);
  std::from_chars(b.data(), b.data() + b.size(), y);
  return std::fabs(x - y) <= kFastTolerance * std::max({1.0, std::fabs(x), std::fabs(y)});
}

void check_agreement(const std::optional<std::string>& exact, const std::optional<std::string>& fast) {
  FUZZ_CHECK(exact.has_value() == fast.has_value());
  if (!exact) return;
  const auto exact_lines = record_lines(*exact), fast_lines = record_lines(*fast);
  FUZZ_CHECK(exact_lines.size() == fast_lines.size());
  for (std::size_t l = 0; l < exact_lines.size(); ++l) {
    std::string_view a = exact_lines[l], b = fast_lines[l];
    for (;;) {
      std::size_t ca = a.find(','), cb = b.find(',');
      if (!close_enough(a.substr(0, ca), b.substr(0, cb))) {
        std::fprintf(stderr, "exact: %.*s\nfast:  %.*s\n", static_cast<int>(exact_lines[l].size()),
                     exact_lines[l].data(), static_cast<int>(fast_lines[l].size()), fast_lines[l].data());
        FUZZ_CHECK(!"exact and fast results differ");
      }
      if (ca == std::string_view::npos || cb == std::string_view::npos) {
        FUZZ_CHECK(ca == cb);
        break;
      }
      a.remove_prefix(ca + 1);
      b.remove_prefix(cb + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t columns = 0, rows = 0;
  infodiv::LineReader lines(text);
  if (!lines.at_end()) columns = infodiv::count_pieces(lines.next_line()), rows = 1;
  while (!lines.at_end() && rows <= kMaxRows) lines.next_line(), ++rows;
  if (columns > kMaxColumns || rows > kMaxRows) return -1;  // not worth keeping

  const fs::path input = scratch() / "f3.txt";
  write_file(input, text);
  const Ending exact = run_into(scratch() / "exact", input, 1, false, columns);
  const fs::path literal = scratch() / "literal";
  fs::create_directories(literal);
  const infodiv::reference::Outcome reference = infodiv::reference::run_literal(infodiv::paths_in(input, literal));
  FUZZ_CHECK(reference.stopped != exact.normal);
  FUZZ_CHECK(exact.error.starts_with(reference.error + (reference.stopped ? " at " : "")));
  FUZZ_CHECK(slurp(literal / "results.txt") == exact.results);
  FUZZ_CHECK(slurp(literal / "results2.txt") == exact.results2);
  // More workers than columns or cores: every way of splitting the work.
  const Ending workers = run_into(scratch() / "workers", input, 3, false, columns);
  FUZZ_CHECK(workers.normal == exact.normal && workers.error == exact.error);
  FUZZ_CHECK(workers.results == exact.results && workers.results2 == exact.results2);
  const Ending fast = run_into(scratch() / "fast", input, 1, true, columns);
  if (exact.normal && fast.normal && columns > 0 && within_fast_range(text, columns)) {
    check_agreement(exact.results, fast.results);
    check_agreement(exact.results2, fast.results2);
  }
  return 0;
}
