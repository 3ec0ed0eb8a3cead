// One writer for both result files. A record kind is described by a
// RecordLayout: two bytes of field count (low byte first), then one kind byte
// per field (kind code in the low 7 bits, 0x80 on the last field, after which
// the line ends).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "shell/decimal.h"

namespace infodiv {

using RecordLayout = std::string_view;

inline constexpr std::uint8_t kAnyValueKind = 12;
inline constexpr std::uint8_t kDoubleKind = 5;

// Column indices i and j, k as a double, the interaction information, then the
// seven entropies.
inline constexpr char kTripleRecordBytes[] = {
    0x0B, 0x00, 0x0C, 0x0C, 0x05, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, '\x8C'};
inline constexpr RecordLayout kTripleRecordLayout{kTripleRecordBytes, sizeof kTripleRecordBytes};

// Six any-value fields, the positive share as a plain double, seven more.
inline constexpr char kColumnRecordBytes[] = {
    0x0E, 0x00, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x05, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, '\x8C'};
inline constexpr RecordLayout kColumnRecordLayout{kColumnRecordBytes, sizeof kColumnRecordBytes};

// A field without a value is written as empty text.
struct NoValue {
  friend bool operator==(NoValue, NoValue) = default;
};
using FieldValue = std::variant<NoValue, std::int64_t, double, Decimal>;

// Appends one record line, CR LF included, to `line`. The fields must match
// the layout in number and kind (a double-kind field holds a double); a
// mismatch is a programming error and throws std::logic_error before anything
// is appended.
void append_record(std::string& line, RecordLayout layout, std::span<const FieldValue> fields);

// The shortest text that reads back to the same double; whole values have no
// decimal point, magnitudes far from 1 use an exponent ("1e+21"), and -0 is
// written as 0.
void append_double(std::string& out, double value);

}  // namespace infodiv
