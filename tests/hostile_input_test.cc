// Hostile inputs and surroundings on the command line: every case ends with
// status 0, or status 1 and one line "infodiv: error: <error> at <where>" that
// names the cause (and the line and field, where there is one); never with a
// signal.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/reliability_test_cli.h"
#include "tests/reliability_test_util.h"

namespace fs = std::filesystem;
using namespace infodiv::testing;
using namespace std::string_literals;

namespace {

constexpr std::string_view kWorked = "1,2,5\n3,0,1\n4,2,2\n";

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/infodiv-hostile-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir_); }

  CliEnding run(const fs::path& input, const fs::path& out_dir) {
    return run_cli(INFODIV_CLI, {input.string(), "--out-dir", out_dir.string(), "-q"});
  }

  fs::path dir_;
};

std::string random_bytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string utf16le_with_bom(std::string_view ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST_F(HostileInputTest, EndsWithResultsOrOneNamedError) {
  // The results of the worked example, written without disturbance.
  write_file(dir_ / "clean.txt", kWorked);
  ASSERT_EQ(run(dir_ / "clean.txt", dir_).status, 0);
  const std::string clean = slurp(dir_ / "results.txt").value();
  const std::string clean2 = slurp(dir_ / "results2.txt").value();

  struct Case {
    const char* name;
    std::optional<std::string> input;  // nullopt: the input path is left as it is
    const char* error;    // after "infodiv: error: ", {in} standing for the input path;
                          // "" for a normal end, "*" for any error
    bool same_as_clean;   // a normal end writes the clean results
  };
  const Case cases[] = {
      {"random binary bytes", random_bytes(4096, 1), "*", false},
      {"random bytes with line ends", random_bytes(4096, 2) + "\n1,2,3\n", "*", false},
      {"NUL bytes inside cells", "1\0x,2,5\n3,0\0\0,1\n4,2,2\0\n"s, "", true},
      {"CR-only line ends", "1,2,5\r3,0,1\r4,2,2\r", "", true},
      {"mixed CR LF and LF", "1,2,5\r\n3,0,1\n4,2,2\r\n", "", true},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + std::string(kWorked), "", true},
      // A UTF-16 line end is CR NUL LF NUL: the NUL between makes a line of its own.
      {"UTF-16 with byte-order mark", utf16le_with_bom("1,2,5\r\n3,0,1\r\n"),
       "Subscript out of range at {in} line 2, field 2", false},
      // "1,5;2,5;3,5" splits at the commas into four pieces.
      {"semicolons and decimal commas", "1,5;2,5;3,5\n2,5;3;4,5\n",
       "Subscript out of range at {in} line 2, field 4", false},
      {"a 5 MB cell of digits", "1,2," + std::string(5'000'000, '7') + "\n3,0,1\n",
       "Overflow at {in} line 1, field 3", false},
      {"a 5 MB cell of blanks", "1,2," + std::string(5'000'000, ' ') + "5\n3,0,1\n4,2,2\n", "", true},
      {"beyond the double range", "1,2,5\n3,-1e309,1\n", "Overflow at {in} line 2, field 2", false},
      {"just beyond the largest double", "1,2,5\n3,0,1.797693134862316e308\n",
       "Overflow at {in} line 2, field 3", false},
  };
  const fs::path input = dir_ / "f3.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(input, *c.input);
    CliEnding ending = run(input, dir_);
    ASSERT_TRUE(ending.exited) << "ended by signal " << ending.status;
    const std::string error = c.error;
    if (error.empty()) {
      EXPECT_EQ(ending.status, 0) << ending.stderr_text;
      EXPECT_EQ(ending.stderr_text, "");
    } else {
      EXPECT_EQ(ending.status, 1);
      EXPECT_TRUE(ending.stderr_text.starts_with("infodiv: error: ")) << ending.stderr_text;
      EXPECT_EQ(std::count(ending.stderr_text.begin(), ending.stderr_text.end(), '\n'), 1) << ending.stderr_text;
      if (error != "*") {
        std::string expected = error;
        expected.replace(expected.find("{in}"), 4, input.string());
        EXPECT_EQ(ending.stderr_text, "infodiv: error: " + expected + "\n");
      }
    }
    const std::string left = slurp(dir_ / "results.txt").value_or("");
    const std::string left2 = slurp(dir_ / "results2.txt").value_or("");
    EXPECT_EQ(malformed_records(left, kTripleFields, kTripleDecimalFields), "");
    EXPECT_EQ(malformed_records(left2, kColumnFields, kColumnDecimalFields), "");
    if (c.same_as_clean) {
      EXPECT_EQ(left, clean);
      EXPECT_EQ(left2, clean2);
    }
  }
}

TEST_F(HostileInputTest, PathsAndFoldersThatCannotServe) {
  write_file(dir_ / "f3.txt", kWorked);
  fs::create_directory(dir_ / "a folder");
  write_file(dir_ / "a file", "x");
  struct Case {
    const char* name;
    fs::path input, out_dir;
    std::string error;  // after "infodiv: error: "
  };
  const Case cases[] = {
      {"input is a folder", dir_ / "a folder", dir_, "Path/File access error at " + (dir_ / "a folder").string()},
      {"missing input", dir_ / "none.txt", dir_, "File not found at " + (dir_ / "none.txt").string()},
      {"missing output folder", dir_ / "f3.txt", dir_ / "none",
       "Path not found at " + (dir_ / "none" / "results2.txt").string()},
      {"output folder is a file", dir_ / "f3.txt", dir_ / "a file",
       "Path not found at " + (dir_ / "a file" / "results2.txt").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CliEnding ending = run(c.input, c.out_dir);
    ASSERT_TRUE(ending.exited) << "ended by signal " << ending.status;
    EXPECT_EQ(ending.status, 1);
    EXPECT_EQ(ending.stderr_text, "infodiv: error: " + c.error + "\n");
  }
  EXPECT_FALSE(fs::exists(dir_ / "none"));
  EXPECT_EQ(slurp(dir_ / "a file"), "x");
}

TEST_F(HostileInputTest, SpacesAndNonAsciiInPaths) {
  const fs::path folder = dir_ / "in put \xC3\xBC\xE2\x9C\x93";
  const fs::path out = dir_ / "r\xC3\xA9sultats du jour";
  fs::create_directory(folder);
  fs::create_directory(out);
  write_file(folder / "f3 \xC3\xA9t\xC3\xA9.txt", kWorked);
  CliEnding ending = run(folder / "f3 \xC3\xA9t\xC3\xA9.txt", out);
  ASSERT_TRUE(ending.exited);
  EXPECT_EQ(ending.status, 0) << ending.stderr_text;
  EXPECT_EQ(record_lines(slurp(out / "results.txt").value_or("")).size(), 1u);
  EXPECT_EQ(record_lines(slurp(out / "results2.txt").value_or("")).size(), 3u);
  // An error names such a path as it is.
  ending = run(folder / "missing \xC3\xA9.txt", out);
  EXPECT_EQ(ending.stderr_text, "infodiv: error: File not found at " + (folder / "missing \xC3\xA9.txt").string() + "\n");
}

TEST_F(HostileInputTest, SecondRunReplacesTheFiles) {
  write_file(dir_ / "f3.txt", kWorked);
  ASSERT_EQ(run(dir_ / "f3.txt", dir_).status, 0);
  const auto first = slurp(dir_ / "results.txt"), first2 = slurp(dir_ / "results2.txt");
  ASSERT_EQ(run(dir_ / "f3.txt", dir_).status, 0);
  EXPECT_EQ(slurp(dir_ / "results.txt"), first);
  EXPECT_EQ(slurp(dir_ / "results2.txt"), first2);
  // A result name taken by a link is replaced, not followed.
  write_file(dir_ / "target", "keep");
  fs::remove(dir_ / "results.txt");
  fs::create_symlink(dir_ / "target", dir_ / "results.txt");
  ASSERT_EQ(run(dir_ / "f3.txt", dir_).status, 0);
  EXPECT_EQ(slurp(dir_ / "target"), "keep");
  EXPECT_FALSE(fs::is_symlink(dir_ / "results.txt"));
  EXPECT_EQ(slurp(dir_ / "results.txt"), first);
}

}  // namespace
