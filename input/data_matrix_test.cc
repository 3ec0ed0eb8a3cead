#include "input/data_matrix.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/run_error.h"

namespace infodiv {
namespace {

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> out;
  LineReader reader(text);
  while (!reader.at_end()) out.emplace_back(reader.next_line());
  return out;
}

TEST(LineReaderTest, SplitsAtEveryLineEnd) {
  using V = std::vector<std::string>;
  EXPECT_EQ(lines_of(""), V{});
  EXPECT_EQ(lines_of("a"), V{"a"});
  EXPECT_EQ(lines_of("a\n"), V{"a"});
  EXPECT_EQ(lines_of("a\r\nb\r\n"), (V{"a", "b"}));
  EXPECT_EQ(lines_of("a\rb\nc"), (V{"a", "b", "c"}));
  EXPECT_EQ(lines_of("a\n\n"), (V{"a", ""}));
  EXPECT_EQ(lines_of("\n"), V{""});
  EXPECT_EQ(lines_of("\xEF\xBB\xBF" "1,2\n"), V{"1,2"});
}

TEST(LineReaderTest, CountsPieces) {
  EXPECT_EQ(count_pieces(""), 0u);
  EXPECT_EQ(count_pieces(" "), 1u);
  EXPECT_EQ(count_pieces("1,2,3"), 3u);
  EXPECT_EQ(count_pieces("1,2,3,"), 4u);
  EXPECT_EQ(count_pieces(",,"), 3u);
}

TEST(DataMatrixTest, LoadsColumnsAndIgnoresExtraPieces) {
  DataMatrix m = load_data_matrix("1,2,3\r\n4,x,6,7\r\n,8 ,9", 3, "f3.txt");
  ASSERT_EQ(m.columns(), 3u);
  ASSERT_EQ(m.rows(), 3u);
  EXPECT_EQ(m.at(0, 0), 1);
  EXPECT_EQ(m.at(1, 1), 0);
  EXPECT_EQ(m.at(2, 1), 6);
  EXPECT_EQ(m.at(0, 2), 0);
  EXPECT_EQ(m.at(1, 2), 8);
}

TEST(DataMatrixTest, StopsWithLineAndField) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"1,2,3\n4,5\n", "Subscript out of range at in.csv line 2, field 3"},
      {"1,2,3\n\n", "Subscript out of range at in.csv line 2, field 1"},
      {"1,2,3\n\n4,5,6\n", "Subscript out of range at in.csv line 2, field 1"},
      {"1,2,3\n4,1e999,6\n", "Overflow at in.csv line 2, field 2"},
      {"1,2,3\n1e999\n", "Overflow at in.csv line 2, field 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      load_data_matrix(c.text, 3, "in.csv");
      ADD_FAILURE() << "no error";
    } catch (const RunError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace infodiv
