// Checks shared by the reliability tests and the fuzz targets: whether a
// result file holds nothing but complete, well-formed records.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/test_files.h"

namespace infodiv::testing {

inline constexpr std::size_t kTripleFields = 11;
inline constexpr std::size_t kColumnFields = 14;
// Fields written as decimals, which never take an exponent.
inline constexpr std::initializer_list<std::size_t> kTripleDecimalFields = {3};
inline constexpr std::initializer_list<std::size_t> kColumnDecimalFields = {0, 1, 2, 3, 4, 7, 13};

// The lines of `text` without their CR LF; a last line without one is kept
// as it is, so that the check below sees it.
inline std::vector<std::string_view> record_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find("\r\n");
    if (end == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 2);
  }
  return lines;
}

// Empty when every line of `text` ends in CR LF and has `fields` comma-separated
// finite numbers (no exponent in the decimal fields); otherwise what is wrong.
inline std::string malformed_records(std::string_view text, std::size_t fields,
                                     std::initializer_list<std::size_t> decimal_fields) {
  if (!text.empty() && !text.ends_with("\r\n")) return "the last line is not complete";
  std::size_t number = 0;
  for (std::string_view line : record_lines(text)) {
    ++number;
    const std::string where = "line " + std::to_string(number) + " '" + std::string(line) + "': ";
    if (line.find_first_of("\r\n") != std::string_view::npos) return where + "stray line end";
    std::vector<std::string_view> values;
    for (std::size_t start = 0;;) {
      std::size_t comma = line.find(',', start);
      values.push_back(line.substr(start, comma == std::string_view::npos ? comma : comma - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (values.size() != fields) return where + std::to_string(values.size()) + " fields";
    for (std::size_t f = 0; f < values.size(); ++f) {
      double value = 0;
      auto [end, ec] = std::from_chars(values[f].data(), values[f].data() + values[f].size(), value);
      if (values[f].empty() || ec != std::errc() || end != values[f].data() + values[f].size() ||
          !std::isfinite(value)) {
        return where + "field " + std::to_string(f + 1) + " is not a number";
      }
      for (std::size_t d : decimal_fields) {
        if (d == f && values[f].find_first_of("eE") != std::string_view::npos) {
          return where + "field " + std::to_string(f + 1) + " has an exponent";
        }
      }
    }
  }
  return {};
}

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The complete lines among the first `bytes` bytes of `text`.
inline std::string complete_prefix(std::string_view text, std::size_t bytes) {
  if (bytes >= text.size()) return std::string(text);
  std::size_t end = text.rfind('\n', bytes == 0 ? 0 : bytes - 1);
  return end == std::string_view::npos || bytes == 0 ? std::string() : std::string(text.substr(0, end + 1));
}

}  // namespace infodiv::testing
