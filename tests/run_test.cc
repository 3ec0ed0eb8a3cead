// End-to-end runs of the command line: the files left behind, exit status and
// the error line for every place where a run can stop.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

using infodiv::testing::slurp;

struct Outcome {
  int status;
  std::string stderr_text;
  std::optional<std::string> results, results2;
};

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/infodiv-run-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write_input(std::string_view text) { std::ofstream(dir_ / "f3.txt", std::ios::binary) << text; }

  Outcome run(const std::string& extra_args = "") {
    std::string command = std::string(INFODIV_CLI) + " '" + (dir_ / "f3.txt").string() + "' --out-dir '" +
                          dir_.string() + "' " + extra_args + " 2>'" + (dir_ / "stderr").string() + "'";
    int raw = std::system(command.c_str());
    Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir_ / "stderr").value_or(""),
              slurp(dir_ / "results.txt"), slurp(dir_ / "results2.txt")};
    fs::remove(dir_ / "stderr");
    return o;
  }

  fs::path dir_;
};

std::size_t line_count(const std::optional<std::string>& text) {
  if (!text) return 0;
  std::size_t n = 0;
  for (std::size_t at = text->find("\r\n"); at != std::string::npos; at = text->find("\r\n", at + 2)) ++n;
  return n;
}

TEST_F(RunTest, StopsWithTheFilesThatTheRunLeaves) {
  struct Case {
    const char* name;
    std::optional<std::string> input;  // nullopt: no input file
    const char* error;                 // after "infodiv: error: ", before " at"; "" for a normal end
    std::optional<std::size_t> results_lines;  // nullopt: results.txt absent
    std::size_t results2_lines;
  };
  const Case cases[] = {
      {"missing input", std::nullopt, "File not found", std::nullopt, 0},
      {"empty input", "", "Input past end of file", std::nullopt, 0},
      {"one column", "1\n2\n", "Subscript out of range", std::nullopt, 0},
      {"two columns", "1,2\n3,4\n", "Subscript out of range", std::nullopt, 0},
      {"empty first line", "\n1,2,3\n", "", std::nullopt, 0},
      {"short later line", "1,2,3\n4,5\n", "Subscript out of range", 0, 0},
      {"blank last line", "1,2,3\n4,5,6\n\n", "Subscript out of range", 0, 0},
      {"trailing comma", "1,2,3,\n4,5,6,\n", "Division by zero", 0, 0},
      {"single line", "1,2,3\n", "Division by zero", 1, 0},
      {"negative column total", "1,2,-1\n2,3,-1\n", "Column total not positive", 1, 2},
      {"one positive row", "1,0,2\n2,3,1\n", "Division by zero", 1, 1},
      {"number beyond double", "1,2,3\n4,1e400,6\n", "Overflow", 0, 0},
      {"complete", "1,2,5\r\n3,0,1\r\n4,2,2\r\n", "", 1, 3},
  };
  // The fast mode stops at the same places.
  for (const char* mode : {"", "--fast"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " " + mode);
      fs::remove(dir_ / "f3.txt");
      if (c.input) write_input(*c.input);
      Outcome o = run(mode);
      if (*c.error == '\0') {
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.stderr_text, "");
      } else {
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.stderr_text.rfind(std::string("infodiv: error: ") + c.error + " at ", 0), 0u) << o.stderr_text;
        EXPECT_EQ(std::count(o.stderr_text.begin(), o.stderr_text.end(), '\n'), 1);
      }
      EXPECT_EQ(o.results.has_value(), c.results_lines.has_value());
      if (c.results_lines) {
        EXPECT_EQ(line_count(o.results), *c.results_lines);
      }
      ASSERT_TRUE(o.results2.has_value());
      EXPECT_EQ(line_count(o.results2), c.results2_lines);
    }
  }
}

TEST_F(RunTest, ErrorsNameWhereTheyHappened) {
  write_input("1,2,3\n4,5\n");
  EXPECT_EQ(run().stderr_text,
            "infodiv: error: Subscript out of range at " + (dir_ / "f3.txt").string() + " line 2, field 3\n");
  write_input("1,2,3,\n4,5,6,\n");
  EXPECT_EQ(run().stderr_text, "infodiv: error: Division by zero at triple (0, 0, 3)\n");
  write_input("1,2,-1\n2,3,-1\n");
  EXPECT_EQ(run().stderr_text, "infodiv: error: Column total not positive at column 2\n");
}

TEST_F(RunTest, ReplacesTheFilesOfAnEarlierRun) {
  std::ofstream(dir_ / "results.txt") << "old\r\n";
  std::ofstream(dir_ / "results2.txt") << "old\r\n";
  write_input("1,2\n");
  Outcome o = run();
  EXPECT_EQ(o.status, 1);
  EXPECT_FALSE(o.results.has_value());
  EXPECT_EQ(o.results2, "");
}

TEST_F(RunTest, WorkedExampleWritesOneTripleAndThreeColumns) {
  write_input("1,2,5\n3,0,1\n4,2,2\n");
  Outcome o = run();
  ASSERT_EQ(o.status, 0) << o.stderr_text;
  ASSERT_TRUE(o.results.has_value());
  EXPECT_EQ(o.results->rfind("0,1,2,-0.150295639", 0), 0u) << *o.results;
  EXPECT_NE(o.results->find(",1,"), std::string::npos);  // H_j is exactly 1
  EXPECT_EQ(line_count(o.results2), 3u);
  // Fields 8 and 14 of every column record are the same decimal.
  std::istringstream lines(*o.results2);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::stringstream s(line.substr(0, line.size() - 1));
    for (std::string f; std::getline(s, f, ',');) fields.push_back(f);
    ASSERT_EQ(fields.size(), 14u) << line;
    EXPECT_EQ(fields[7], fields[13]);
  }
}

TEST_F(RunTest, OnlyOnePhaseLeavesTheOtherFileAsItIs) {
  write_input("1,2,5\n3,0,1\n4,2,2\n2,2,1\n");
  const Outcome both = run();
  ASSERT_EQ(both.status, 0) << both.stderr_text;
  for (const char* mode : {"", "--fast "}) {
    SCOPED_TRACE(mode);
    std::ofstream(dir_ / "results2.txt") << "old\r\n";
    Outcome o = run(std::string(mode) + "--only triples");
    EXPECT_EQ(o.status, 0) << o.stderr_text;
    EXPECT_EQ(o.results2, "old\r\n");
    EXPECT_EQ(line_count(o.results), 1u);
    if (*mode == '\0') {
      EXPECT_EQ(o.results, both.results);
    }

    fs::remove(dir_ / "results.txt");
    o = run(std::string(mode) + "--only columns");
    EXPECT_EQ(o.status, 0) << o.stderr_text;
    EXPECT_FALSE(o.results.has_value());
    EXPECT_EQ(line_count(o.results2), 3u);
    if (*mode == '\0') {
      EXPECT_EQ(o.results2, both.results2);
    }
  }
  // The column phase keeps its stop for fewer than three columns; the
  // triple walk alone has nothing to do.
  write_input("1,2\n3,4\n");
  EXPECT_EQ(run("--only columns").stderr_text.rfind("infodiv: error: Subscript out of range at ", 0), 0u);
  fs::remove(dir_ / "results2.txt");
  Outcome o = run("--only triples");
  EXPECT_EQ(o.status, 0);
  EXPECT_FALSE(o.results.has_value());
  EXPECT_FALSE(o.results2.has_value());
}

TEST_F(RunTest, FastModeWritesTheSameRecordsUpToRounding) {
  write_input("1,2,5,0.5\n3,0,1,7\n4,2,2,1e-3\n2,-1,1,2\n");
  const Outcome exact = run();
  const Outcome fast = run("--fast");
  ASSERT_EQ(exact.status, 0) << exact.stderr_text;
  ASSERT_EQ(fast.status, 0) << fast.stderr_text;
  for (auto files : {std::pair(exact.results, fast.results), std::pair(exact.results2, fast.results2)}) {
    std::istringstream e(*files.first), f(*files.second);
    std::string el, fl;
    std::size_t lines = 0;
    while (std::getline(e, el)) {
      ASSERT_TRUE(std::getline(f, fl));
      ++lines;
      std::stringstream es(el), fs_(fl);
      for (std::string ef, ff; std::getline(es, ef, ',');) {
        ASSERT_TRUE(std::getline(fs_, ff, ','));
        EXPECT_NEAR(std::stod(ff), std::stod(ef), 1e-12 * std::max(1.0, std::fabs(std::stod(ef)))) << el;
      }
    }
    EXPECT_FALSE(std::getline(f, fl));
    EXPECT_GT(lines, 0u);
  }
}

TEST_F(RunTest, UsageErrorsExitTwo) {
  EXPECT_EQ(run("--no-such-option").status, 2);
  int raw = std::system((std::string(INFODIV_CLI) + " --help >/dev/null").c_str());
  EXPECT_EQ(WEXITSTATUS(raw), 0);
}

}  // namespace
