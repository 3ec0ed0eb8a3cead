// The engine against the literal reference run: seeded random inputs of every
// shape that matters, each run through both into separate folders, must give
// byte-identical results.txt and results2.txt and the same stopping error.
// The bundled example is also pinned by golden files through the command line.
//
// To replay one seed of a sweep: INFODIV_SEED=<seed> build/bin/differential_test
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "shell/platform.h"
#include "shell/run.h"
#include "shell/run_error.h"
#include "tests/reference/reference.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

using infodiv::testing::slurp;

// Control characters made visible, so that a failing input can be pasted back.
std::string escaped(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(ch));
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  out += escaped(text);
  out += '"';
  return out;
}

std::string shown(const std::optional<std::string>& file) { return file ? quoted(*file) : "(absent)"; }

// Where two versions of a result file part: the first differing line of each.
std::string first_difference(const std::optional<std::string>& engine, const std::optional<std::string>& reference) {
  if (!engine || !reference) return "engine " + shown(engine) + "\nreference " + shown(reference);
  std::size_t line = 1;
  std::size_t start = 0;
  for (;;) {
    const std::size_t a = engine->find('\n', start);
    const std::size_t b = reference->find('\n', start);
    const std::string ea = engine->substr(start, a == std::string::npos ? std::string::npos : a - start + 1);
    const std::string rb = reference->substr(start, b == std::string::npos ? std::string::npos : b - start + 1);
    if (ea != rb) {
      return "line " + std::to_string(line) + ":\n  engine    \"" + escaped(ea) + "\"\n  reference \"" +
             escaped(rb) + "\"";
    }
    if (a == std::string::npos) return "no difference";
    start = a + 1;
    ++line;
  }
}

// A scratch folder with the input and one output folder per implementation.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/infodiv-differential-XXXXXX";
    dir_ = mkdtemp(pattern);
    fs::create_directory(dir_ / "engine");
    fs::create_directory(dir_ / "reference");
  }
  ~Scratch() { fs::remove_all(dir_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const fs::path& dir() const { return dir_; }

  // Runs both on `input` (nullopt: no input file) and returns "" when they
  // agree, else a description of the first disagreement.
  std::string compare(const std::optional<std::string>& input, unsigned threads, bool old_results) {
    const fs::path input_path = dir_ / "f3.txt";
    fs::remove(input_path);
    if (input) std::ofstream(input_path, std::ios::binary) << *input;
    for (const char* side : {"engine", "reference"}) {
      fs::remove(dir_ / side / "results.txt");
      fs::remove(dir_ / side / "results2.txt");
      if (old_results) {
        std::ofstream(dir_ / side / "results.txt") << "old\r\n";
        std::ofstream(dir_ / side / "results2.txt") << "old\r\n";
      }
    }

    std::string engine_error;
    infodiv::RunOptions options;
    options.threads = threads;
    try {
      infodiv::run_analysis(infodiv::paths_in(input_path, dir_ / "engine"), options);
    } catch (const infodiv::RunError& e) {
      engine_error = std::string(infodiv::error_name(e.kind()));
    }
    const infodiv::reference::Outcome reference =
        infodiv::reference::run_literal(infodiv::paths_in(input_path, dir_ / "reference"));

    std::string report;
    if (engine_error != reference.error) {
      report += "error: engine \"" + engine_error + "\", reference \"" + reference.error + "\"\n";
    }
    for (const char* name : {"results.txt", "results2.txt"}) {
      const std::optional<std::string> e = slurp(dir_ / "engine" / name);
      const std::optional<std::string> r = slurp(dir_ / "reference" / name);
      if (e != r) report += std::string(name) + " differs at " + first_difference(e, r) + "\n";
    }
    return report;
  }

 private:
  fs::path dir_;
};

// ---------------------------------------------------------------------------
// Seeded input generation.

struct Gen {
  explicit Gen(std::uint64_t seed) : engine(seed) {}
  int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine); }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine); }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[static_cast<std::size_t>(between(0, static_cast<int>(from.size()) - 1))];
  }
  std::mt19937_64 engine;
};

using Cells = std::vector<std::vector<std::string>>;  // [row][column], as text

// A non-negative number: mostly small integers, sometimes with a fraction.
std::string non_negative(Gen& g) {
  if (g.chance(0.75)) return std::to_string(g.between(0, 30));
  return std::to_string(g.between(0, 30)) + "." + std::to_string(g.between(0, 999));
}

std::string negative_or_not(Gen& g) {
  if (!g.chance(0.3)) return non_negative(g);
  std::string text = "-";
  text += std::to_string(g.between(1, 20));
  return text;
}

Cells grid(Gen& g, int rows, int columns, const std::function<std::string(Gen&)>& cell) {
  Cells cells(static_cast<std::size_t>(rows));
  for (std::vector<std::string>& row : cells) {
    for (int c = 0; c < columns; ++c) row.push_back(cell(g));
  }
  return cells;
}

// Field text that exercises the leading-number rule: blanks anywhere, units,
// signs, exponents complete or not, quotes and words that read 0.
std::string decorated(Gen& g) {
  const std::vector<std::string> forms = {
      "3.5kg", " 7 ", "\t2", "1 2", "+4", ".5", "5.", "-.5e-2", "1E1", "2e", "3e+", "1e-1x", "\"4\"", "abc",
      "", "-0", "0.0", "1.2.3", "--1", "+-2", "e5", ".", "-", "2 .5", "0x10", "1,5", "7e0 ", "9..1",
      "\v3", "\xC2\xA0" "5", "1e99999", "1e-99999", "00012.50", "-0.0e-0", "inf", "nan", "1d2"};
  std::string text = g.chance(0.5) ? non_negative(g) : g.pick(forms);
  if (g.chance(0.15)) text = " " + text;
  if (g.chance(0.15)) text += "\t";
  return text;
}

// Cells of extreme magnitude, `rate` of them: overflow at the load, in a
// sum, a square or a product of proportions; underflow to zero or to
// subnormals.
std::string extreme(Gen& g, double rate) {
  const std::vector<std::string> forms = {
      "1e300", "-1e300", "1e308", "1.7976931348623157e308", "1.7976931348623159e308", "1e400", "-1e400", "1e-400",
      "5e-324", "2e-324", "3e-324", "1e-310", "1e-100", "1e154", "1e155", "1e200", "1e-200", "8.98846567431158e307"};
  return g.chance(rate) ? g.pick(forms) : non_negative(g);
}

enum class Category {
  Dense,
  Sparse,
  Negative,
  ZeroColumn,
  TrailingComma,
  Ragged,
  BlankLine,
  SingleLine,
  FewColumns,
  EmptyFirstLine,
  IdenticalRows,
  ZeroRows,
  Magnitudes,
  Cancelling,
  Text,
  kCount
};

const char* name(Category c) {
  static const char* const names[] = {"dense",      "sparse",           "negative",       "zero column",
                                      "trailing comma", "ragged",       "blank line",     "single line",
                                      "1-2 columns", "empty first line", "identical rows", "zero rows",
                                      "magnitudes", "cancelling",       "text"};
  return names[static_cast<int>(c)];
}

struct Size {
  int max_rows;
  int max_columns;
};

// The cells of one input of the category; an empty row is an empty line.
Cells make_cells(Category category, Gen& g, Size size) {
  const int rows = g.between(1, size.max_rows);
  const int columns = g.between(3, size.max_columns);
  const auto any_row = [&](const Cells& cells) {
    return static_cast<std::size_t>(g.between(0, static_cast<int>(cells.size()) - 1));
  };
  switch (category) {
    case Category::Dense:
      return grid(g, rows, columns, non_negative);
    case Category::Sparse:
      return grid(g, rows, columns, [](Gen& gen) { return gen.chance(0.5) ? std::string("0") : non_negative(gen); });
    case Category::Negative:
      return grid(g, rows, columns, negative_or_not);
    case Category::ZeroColumn: {
      Cells cells = grid(g, rows, columns, non_negative);
      const std::size_t zero = static_cast<std::size_t>(g.between(0, columns - 1));
      for (std::vector<std::string>& row : cells) row[zero] = g.pick(std::vector<std::string>{"0", "", "x", "-0"});
      return cells;
    }
    case Category::TrailingComma: {
      Cells cells = grid(g, rows, columns, non_negative);
      const bool every_line = g.chance(0.7);
      for (std::size_t r = 0; r < cells.size(); ++r) {
        if (every_line || r == 0 || g.chance(0.5)) cells[r].push_back("");
      }
      return cells;
    }
    case Category::Ragged: {
      Cells cells = grid(g, std::max(rows, 2), columns, non_negative);
      for (std::size_t r = 1; r < cells.size(); ++r) {
        if (g.chance(0.3)) cells[r].resize(static_cast<std::size_t>(g.between(1, columns - 1)));
        else if (g.chance(0.3)) cells[r].push_back(non_negative(g));
      }
      return cells;
    }
    case Category::BlankLine: {
      Cells cells = grid(g, rows, columns, non_negative);
      cells.insert(cells.begin() + g.between(1, static_cast<int>(cells.size())), std::vector<std::string>{});
      return cells;
    }
    case Category::SingleLine:
      return grid(g, 1, columns, negative_or_not);
    case Category::FewColumns:
      return grid(g, rows, g.between(1, 2), non_negative);
    case Category::EmptyFirstLine: {
      Cells cells = grid(g, rows - 1, columns, non_negative);
      cells.insert(cells.begin(), std::vector<std::string>{});
      return cells;
    }
    case Category::IdenticalRows: {
      Cells cells = grid(g, 1, columns, non_negative);
      const bool multiples = g.chance(0.5);  // parallel rows: similarity 1 up to rounding
      for (int r = 1; r < rows; ++r) {
        std::vector<std::string> row = cells[0];
        if (multiples) {
          for (std::string& cell : row) {
            cell += 'e';
            cell += std::to_string(g.between(0, 2));
          }
        }
        cells.push_back(row);
      }
      return cells;
    }
    case Category::ZeroRows: {
      Cells cells = grid(g, rows, columns, non_negative);
      for (std::vector<std::string>& row : cells) {
        if (g.chance(0.4)) row.assign(static_cast<std::size_t>(columns), "0");
      }
      return cells;
    }
    case Category::Magnitudes: {
      const double rate = g.pick(std::vector<double>{0.02, 0.05, 0.15});
      Cells cells = grid(g, rows, columns, [rate](Gen& gen) { return extreme(gen, rate); });
      // Two rows of tiny values: positive diagonal Gram values whose product
      // underflows to 0, a division by zero in the similarities.
      if (g.chance(0.3)) {
        for (int twice = 0; twice < 2; ++twice) {
          cells[any_row(cells)].assign(static_cast<std::size_t>(columns), "1e-100");
        }
      }
      return cells;
    }
    case Category::Cancelling: {
      // Columns whose big cells nearly cancel: tiny totals, huge proportions,
      // decimal fields far out of range or just inside it.
      Cells cells =
          grid(g, std::max(rows, 4), columns, [](Gen& gen) { return gen.chance(0.2) ? "0" : non_negative(gen); });
      const int cancelling = g.between(1, 2);
      for (int n = 0; n < cancelling; ++n) {
        const std::size_t c = static_cast<std::size_t>(g.between(0, columns - 1));
        std::string big = "1e";
        big += std::to_string(g.pick(std::vector<int>{5, 8, 13, 15, 17, 20, 26, 27, 100, 154, 155}));
        // In the first three rows the big cells cancel exactly and the total
        // is that of the small ones; further down a small cell can vanish
        // into a big partial sum.
        std::vector<std::size_t> at;
        if (g.chance(0.5)) at = {0, 1, 2};
        std::shuffle(at.begin(), at.end(), g.engine);
        while (at.size() < 3) {
          const std::size_t r = any_row(cells);
          if (std::find(at.begin(), at.end(), r) == at.end()) at.push_back(r);
        }
        cells[at[0]][c] = big;
        cells[at[1]][c] = big;
        cells[at[2]][c] = big;
        cells[at[2]][c][0] = '2';
        cells[at[2]][c].insert(0, 1, '-');
      }
      return cells;
    }
    case Category::Text:
      return grid(g, rows, columns, decorated);
    case Category::kCount:
      break;
  }
  return {};
}

// The file text: a line end style per file (sometimes mixed), the last line
// end present or not, now and then a byte-order mark.
std::string render(const Cells& cells, Gen& g) {
  const std::vector<std::string> ends = {"\n", "\r\n", "\r"};
  const int style = g.between(0, 3);  // 3: mixed
  std::string text = g.chance(0.1) ? "\xEF\xBB\xBF" : "";
  for (std::size_t r = 0; r < cells.size(); ++r) {
    for (std::size_t c = 0; c < cells[r].size(); ++c) {
      if (c > 0) text += ',';
      text += cells[r][c];
    }
    if (r + 1 < cells.size() || g.chance(0.75)) {
      text += style == 3 ? g.pick(ends) : ends[static_cast<std::size_t>(style)];
    }
  }
  return text;
}

// Replays only INFODIV_SEED when it is set.
std::optional<std::uint64_t> replay_seed() {
  const char* text = std::getenv("INFODIV_SEED");
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::strtoull(text, nullptr, 10);
}

void sweep(std::uint64_t first_seed, std::uint64_t count, Size size) {
  Scratch scratch;
  const std::optional<std::uint64_t> only = replay_seed();
  int failures = 0;
  for (std::uint64_t seed = first_seed; seed < first_seed + count && failures < 5; ++seed) {
    if (only && seed != *only) continue;
    Gen g(seed);
    const Category category = static_cast<Category>(seed % static_cast<std::uint64_t>(Category::kCount));
    const Cells cells = make_cells(category, g, size);
    const std::string input = render(cells, g);
    const unsigned threads = seed % 3 == 0 ? 1 : 2;
    const std::string report = scratch.compare(input, threads, g.chance(0.2));
    if (!report.empty()) {
      ++failures;
      ADD_FAILURE() << "seed " << seed << " (" << name(category) << ", " << threads << " threads), input \""
                    << escaped(input) << "\"\n"
                    << report;
    }
  }
}

TEST(DifferentialTest, HandPickedInputs) {
  // input (nullopt: no input file)
  const std::optional<std::string> inputs[] = {
      std::nullopt,
      "",
      "\xEF\xBB\xBF",
      "\n",
      "\r",
      "\r\n1,2,3\r\n",
      "1\n2\n",
      "1,2\n3,4\n",
      "1,2,5\n3,0,1\n4,2,2\n",
      "\xEF\xBB\xBF" "1,2,5\r\n3,0,1\r\n4,2,2\r\n",
      "1,2,5\r3,0,1\r4,2,2",
      "1,2,3\n4,5\n",
      "1,2,3\n4,5,6\n\n",
      "1,2,3\n\n4,5,6\n",
      "1,2,3,\n4,5,6,\n",
      "1,2,3\n",
      "1,2,-1\n2,3,-1\n",
      "1,0,2\n2,3,1\n",
      "3,1,1\n-1,1,2\n",
      "1,1,1\n1,1,1\n1,1,1\n",
      "1,1,1\n2,2,2\n3,3,3\n",
      "0,0,0\n1,2,3\n4,5,6\n",
      "-0,1,2\n1,-0,3\n2,3,-0\n",
      " 1 , 2kg,\t3\n\"4\",.5e1,+6\n1 2,-.5e-2,7E1\n",
      "1,2,3\n4,1e400,6\n",
      "1,2,3\n4,1.7976931348623159e308,6\n",
      "1e308,1,2\n1e308,3,4\n",
      "1,2,3\n4,1e200,6\n",
      "1e-100,1e-100,1e-100\n1e-100,1e-100,1e-100\n1,2,3\n",
      "5e-324,1,2\n1,5e-324,3\n2,3,5e-324\n",
      "1,1e-200,1e-300\n",       // interaction -3e-98: a decimal 0 without sign
      "1,1e-200,1e-222\n",       // interaction -7.3e-21, rounded at the 28th place
      "4.45e26,1,2\n4.45e26,3,4\n-8.9e26,5,6\n1,7,8\n",  // interaction beyond the decimal range at (0, 0, 0) only
      "4.3e26,1,2\n4.3e26,3,4\n-8.6e26,5,6\n1,7,8\n",    // inside it, up to the column phase
      "1e15,1,1\n1e15,2,1\n-2e15,3,1\n1,1,1\n",
      "1e27,1,1\n-1e27,2,1\n1,3,1\n",
      "1,2,3,4,5\n5,4,3,2,1\n1,3,5,2,4\n0,1,0,1,0\n",
  };
  Scratch scratch;
  for (const std::optional<std::string>& input : inputs) {
    SCOPED_TRACE(input ? quoted(*input) : "no input file");
    EXPECT_EQ(scratch.compare(input, 2, true), "");
  }
}

// A visit that writes nothing but pools a column with itself past the double
// range stops the run there, before any record: such inputs must not take the
// shortcut that skips those visits.
TEST(DifferentialTest, OverflowOnVisitsThatWriteNothing) {
  // input                                            first failing visit of the literal run
  const std::string inputs[] = {
      "1,2,3\n4,1.7976931348623157e308,6\n",          // (0, 1, 1): S_jk = 2 x DBL_MAX
      "8.98846567431158e307,1,2\n1,2,3\n",            // (0, 0, 0): S_ij = 2 x 2^1023
      "1,1e308,2,3\n2,1,3,1\n3,1,4,1\n",             // (0, 1, 1)
  };
  Scratch scratch;
  for (const std::string& input : inputs) {
    SCOPED_TRACE(quoted(input));
    EXPECT_EQ(scratch.compare(input, 2, false), "");
  }
}

// Paths that cannot be read or written: the same error and the same files.
TEST(DifferentialTest, UnusablePaths) {
  struct Case {
    const char* name;
    const char* folder_at;  // what is made a folder ("" for nothing)
    bool out_dir_exists;
  };
  const Case cases[] = {
      {"output folder missing", "", false},
      {"results.txt is a folder", "results.txt", true},
      {"results2.txt is a folder", "results2.txt", true},
      {"input is a folder", "f3.txt", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    std::string errors[2];
    std::optional<std::string> files[2][2];
    const char* const sides[] = {"engine", "reference"};
    for (int side = 0; side < 2; ++side) {
      const fs::path base = scratch.dir() / sides[side];
      const fs::path out = c.out_dir_exists ? base : base / "missing";
      std::ofstream(base / "input.txt", std::ios::binary) << "1,2,5\n3,0,1\n4,2,2\n";
      const fs::path input = std::string_view(c.folder_at) == "f3.txt" ? base / "f3.txt" : base / "input.txt";
      if (*c.folder_at != '\0') fs::create_directory(base / c.folder_at);
      const infodiv::RunPaths paths = infodiv::paths_in(input, out);
      if (side == 0) {
        try {
          infodiv::run_analysis(paths);
        } catch (const infodiv::RunError& e) {
          errors[side] = std::string(infodiv::error_name(e.kind()));
        }
      } else {
        errors[side] = infodiv::reference::run_literal(paths).error;
      }
      files[side][0] = fs::is_regular_file(paths.results) ? slurp(paths.results) : std::nullopt;
      files[side][1] = fs::is_regular_file(paths.results2) ? slurp(paths.results2) : std::nullopt;
    }
    EXPECT_NE(errors[1], "");
    EXPECT_EQ(errors[0], errors[1]);
    EXPECT_EQ(files[0][0], files[1][0]);
    EXPECT_EQ(files[0][1], files[1][1]);
  }
}

TEST(DifferentialTest, ShortSeededSweep) { sweep(1, 330, {8, 6}); }

TEST(DifferentialSlowTest, LongSeededSweep) { sweep(1000000, 15000, {25, 9}); }

// ---------------------------------------------------------------------------
// The bundled example, pinned by golden files that the reference wrote.
// INFODIV_UPDATE_GOLDEN=1 rewrites them from the reference.

const fs::path kGolden = INFODIV_GOLDEN;
const fs::path kExample = fs::path(INFODIV_EXAMPLES) / "f3.txt";

TEST(GoldenTest, ReferenceWritesTheGoldenFiles) {
  Scratch scratch;
  const infodiv::reference::Outcome outcome =
      infodiv::reference::run_literal(infodiv::paths_in(kExample, scratch.dir() / "reference"));
  ASSERT_FALSE(outcome.stopped) << outcome.error;
  for (const char* name : {"results.txt", "results2.txt"}) {
    SCOPED_TRACE(name);
    const std::optional<std::string> written = slurp(scratch.dir() / "reference" / name);
    ASSERT_TRUE(written.has_value());
    const char* update = std::getenv("INFODIV_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") std::ofstream(kGolden / name, std::ios::binary) << *written;
    EXPECT_EQ(first_difference(written, slurp(kGolden / name)), "no difference");
  }
}

TEST(GoldenTest, CommandLineReproducesTheGoldenFiles) {
  Scratch scratch;
  const fs::path out = scratch.dir() / "engine";
  const std::string command =
      std::string(INFODIV_CLI) + " '" + kExample.string() + "' --out-dir '" + out.string() + "'";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  ASSERT_EQ(WEXITSTATUS(raw), 0);
  for (const char* name : {"results.txt", "results2.txt"}) {
    SCOPED_TRACE(name);
    const std::optional<std::string> golden = slurp(kGolden / name);
    ASSERT_TRUE(golden.has_value());
    EXPECT_EQ(first_difference(slurp(out / name), golden), "no difference");
  }
}

// The README shows the first line of each golden file; it must not drift.
TEST(GoldenTest, ReadmeShowsTheFirstLines) {
  const std::optional<std::string> readme = slurp(fs::path(INFODIV_EXAMPLES) / ".." / "README.md");
  ASSERT_TRUE(readme.has_value());
  for (const char* name : {"results.txt", "results2.txt"}) {
    SCOPED_TRACE(name);
    const std::string golden = slurp(kGolden / name).value_or("");
    const std::string first = golden.substr(0, golden.find("\r\n"));
    EXPECT_NE(readme->find(first + "\n"), std::string::npos) << first;
  }
}

}  // namespace
