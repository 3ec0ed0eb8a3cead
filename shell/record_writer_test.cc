#include "shell/record_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>

namespace infodiv {
namespace {

Decimal decimal(double v) { return *Decimal::from_double(v); }

TEST(RecordWriterTest, FormatsFieldsByKind) {
  struct Case {
    FieldValue value;
    const char* text;
  };
  // value                         text
  const Case cases[] = {
      {std::int64_t{0}, "0"},
      {std::int64_t{-12}, "-12"},
      {3.0, "3"},
      {-0.0, "0"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e21, "1e+21"},
      {1.5e-7, "1.5e-07"},
      {decimal(1.5e-7), "0.00000015"},
      {decimal(-2.5e20), "-250000000000000000000"},
      {NoValue{}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::array<FieldValue, 11> fields;
    fields.fill(std::int64_t{1});
    fields[2] = 2.0;
    fields[5] = c.value;
    std::string line;
    append_record(line, kTripleRecordLayout, fields);
    EXPECT_EQ(line, std::string("1,1,2,1,1,") + c.text + ",1,1,1,1,1\r\n");
  }
}

TEST(RecordWriterTest, ColumnLayoutHasFourteenFields) {
  std::array<FieldValue, 14> fields;
  fields.fill(NoValue{});
  fields[6] = 0.5;
  std::string line;
  append_record(line, kColumnRecordLayout, fields);
  EXPECT_EQ(line, ",,,,,,0.5,,,,,,,\r\n");
}

TEST(RecordWriterTest, RejectsFieldsThatDoNotMatchTheLayout) {
  std::array<FieldValue, 11> fields;
  fields.fill(std::int64_t{1});  // field 3 must be a double
  std::string line = "kept";
  EXPECT_THROW(append_record(line, kTripleRecordLayout, fields), std::logic_error);
  std::array<FieldValue, 3> too_few{1.0, 1.0, 1.0};
  EXPECT_THROW(append_record(line, kTripleRecordLayout, too_few), std::logic_error);
  EXPECT_EQ(line, "kept");
}

}  // namespace
}  // namespace infodiv
