// The input matrix and its reader. The reader parses text that the platform
// layer has read; it opens no file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace infodiv {

// Cells indexed [column][row], stored column after column. A matrix that was
// never loaded has no cells (loaded() is false).
class DataMatrix {
 public:
  DataMatrix() = default;
  DataMatrix(std::size_t columns, std::size_t rows, std::vector<double> column_major)
      : columns_(columns), rows_(rows), cells_(std::move(column_major)), loaded_(true) {}

  bool loaded() const noexcept { return loaded_; }
  std::size_t columns() const noexcept { return columns_; }
  std::size_t rows() const noexcept { return rows_; }
  double at(std::size_t column, std::size_t row) const noexcept { return cells_[column * rows_ + row]; }
  // Rows 0..rows()-1 of one column, contiguous.
  const double* column(std::size_t c) const noexcept { return cells_.data() + c * rows_; }

 private:
  std::size_t columns_ = 0;
  std::size_t rows_ = 0;
  std::vector<double> cells_;
  bool loaded_ = false;
};

// Splits text into lines. A line ends at LF, CR LF or a lone CR; the end of
// the text ends the last line, and a line end at the very end of the text
// starts no further line. A UTF-8 byte-order mark at the start is skipped.
class LineReader {
 public:
  explicit LineReader(std::string_view text);
  bool at_end() const noexcept { return pos_ >= text_.size(); }
  // The next line without its line end. Call only when !at_end().
  std::string_view next_line() noexcept;
  // 1-based number of the line that next_line() returned last.
  std::size_t line_number() const noexcept { return line_number_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_number_ = 0;
};

// The number of comma-separated pieces of a line: every "," starts a new piece
// and an empty line has none.
std::size_t count_pieces(std::string_view line) noexcept;

// Loads the whole text as a matrix of `columns` columns, one row per line.
// Piece c of each line is the value of column c; extra pieces are ignored.
// Throws RunError "Subscript out of range" at the first missing piece of a
// short line (an empty line has none), and "Overflow" for a number beyond the
// double range, each naming `source` with the line and field (both from 1).
// The text must hold at least one line.
DataMatrix load_data_matrix(std::string_view text, std::size_t columns, std::string_view source);

}  // namespace infodiv
