#include "shell/record_writer.h"

#include <charconv>
#include <stdexcept>

namespace infodiv {

void append_double(std::string& out, double value) {
  if (value == 0) value = 0;  // -0 reads as 0
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

namespace {

void append_integer(std::string& out, std::int64_t value) {
  char text[24];
  auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

void append_field(std::string& out, const FieldValue& field) {
  if (const auto* i = std::get_if<std::int64_t>(&field)) {
    append_integer(out, *i);
  } else if (const auto* d = std::get_if<double>(&field)) {
    append_double(out, *d);
  } else if (const auto* dec = std::get_if<Decimal>(&field)) {
    dec->append_text(out);
  }
}

}  // namespace

void append_record(std::string& line, RecordLayout layout, std::span<const FieldValue> fields) {
  if (layout.size() < 2) throw std::logic_error("record layout too short");
  const auto* bytes = reinterpret_cast<const unsigned char*>(layout.data());
  const std::size_t count = bytes[0] | (std::size_t{bytes[1]} << 8);
  if (layout.size() != count + 2 || fields.size() != count) {
    throw std::logic_error("record does not match its layout");
  }
  for (std::size_t f = 0; f < count; ++f) {
    const unsigned kind = bytes[2 + f] & 0x7Fu;
    const bool last = (bytes[2 + f] & 0x80u) != 0;
    if (last != (f + 1 == count) || (kind != kAnyValueKind && kind != kDoubleKind) ||
        (kind == kDoubleKind && !std::holds_alternative<double>(fields[f]))) {
      throw std::logic_error("record does not match its layout");
    }
  }
  for (std::size_t f = 0; f < count; ++f) {
    if (f != 0) line.push_back(',');
    append_field(line, fields[f]);
  }
  line.append("\r\n");
}

}  // namespace infodiv
