#include "input/data_matrix.h"

#include <cstring>

#include "input/leading_number.h"
#include "shell/run_error.h"

namespace infodiv {

LineReader::LineReader(std::string_view text) : text_(text) {
  if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
}

std::string_view LineReader::next_line() noexcept {
  const std::size_t start = pos_;
  std::size_t end = start;
  while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
  pos_ = end;
  if (pos_ < text_.size()) {
    if (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
    ++pos_;
  }
  ++line_number_;
  return text_.substr(start, end - start);
}

std::size_t count_pieces(std::string_view line) noexcept {
  if (line.empty()) return 0;
  std::size_t pieces = 1;
  for (char c : line) pieces += c == ',';
  return pieces;
}

namespace {

std::string field_place(std::string_view source, std::size_t line, std::size_t field) {
  return std::string(source) + " line " + std::to_string(line) + ", field " + std::to_string(field);
}

}  // namespace

DataMatrix load_data_matrix(std::string_view text, std::size_t columns, std::string_view source) {
  LineReader reader(text);
  std::vector<double> row_major;
  std::size_t rows = 0;
  while (!reader.at_end()) {
    std::string_view line = reader.next_line();
    std::size_t piece_start = 0;
    for (std::size_t c = 0; c < columns; ++c) {
      if (line.empty() || piece_start > line.size()) {
        throw RunError(ErrorKind::SubscriptOutOfRange, field_place(source, reader.line_number(), c + 1));
      }
      std::size_t comma = line.find(',', piece_start);
      std::size_t piece_end = comma == std::string_view::npos ? line.size() : comma;
      LeadingNumber number = leading_number(line.substr(piece_start, piece_end - piece_start));
      if (number.status == NumberStatus::OutOfRange) {
        throw RunError(ErrorKind::Overflow, field_place(source, reader.line_number(), c + 1));
      }
      row_major.push_back(number.value);
      // Past the last piece, the next start lies beyond the line's end.
      piece_start = comma == std::string_view::npos ? line.size() + 1 : comma + 1;
    }
    ++rows;
  }
  std::vector<double> column_major(row_major.size());
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) column_major[c * rows + r] = row_major[r * columns + c];
  }
  return DataMatrix(columns, rows, std::move(column_major));
}

}  // namespace infodiv
