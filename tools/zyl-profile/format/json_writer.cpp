// JSON text: escaping, numbers, and the writer that places the punctuation.
#include "json_writer.h"

#include <fmt/format.h>

#include <cassert>
#include <charconv>  // std::to_chars
#include <cmath>

#include "sample_fields.h"
#include "text.h"

namespace zyl_profile::cli {

void append_decimal(std::uint64_t value, std::string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_end_offset(std::uint64_t offset, std::uint32_t duration,
                       std::string& out) {
  const std::uint64_t end = offset + duration;
  if (end >= offset) {
    append_decimal(end, out);
    return;
  }
  // The sum wrapped: it is 2^64 + end, and end < 2^32, so the digits are
  // those of 18446744073709551616 plus a small number.
  __extension__ using Uint128 = unsigned __int128;
  Uint128 value = (Uint128{1} << 64) + end;
  char digits[40];
  std::size_t count = 0;
  while (value > 0) {
    digits[count++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  }
  while (count > 0) out += digits[--count];
}

std::string shortest_double(double value) {
  if (!std::isfinite(value) || value == 0.0) return "0";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

void JsonWriter::break_line(std::size_t depth) {
  out_ += '\n';
  out_.append(2 * depth, ' ');
}

void JsonWriter::separate(Level& level) {
  const bool first = level.empty;
  level.empty = false;
  switch (level.layout) {
    case JsonLayout::Compact:
      if (!first) out_ += ',';
      break;
    case JsonLayout::Inline:
      out_ += first ? " " : ", ";
      break;
    case JsonLayout::Block:
      if (!first) out_ += ',';
      break_line(levels_.size());
      break;
    case JsonLayout::Lines:
      out_ += first ? "\n" : ",\n";
      break;
  }
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;
  assert(!levels_.back().object && "a value inside an object needs a key");
  separate(levels_.back());
}

JsonWriter& JsonWriter::key(std::string_view name) {
  assert(!levels_.empty() && levels_.back().object && !after_key_);
  Level& level = levels_.back();
  separate(level);
  append_json_string(name, out_);
  const bool compact =
      level.layout == JsonLayout::Compact || level.layout == JsonLayout::Lines;
  out_ += compact ? ":" : ": ";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::open(char bracket, bool object, JsonLayout layout) {
  before_value();
  out_ += bracket;
  levels_.push_back(Level{layout, object});
  return *this;
}

JsonWriter& JsonWriter::begin_object(JsonLayout layout) {
  return open('{', true, layout);
}

JsonWriter& JsonWriter::begin_array(JsonLayout layout) {
  return open('[', false, layout);
}

JsonWriter& JsonWriter::end() {
  assert(!levels_.empty() && !after_key_);
  const Level level = levels_.back();
  levels_.pop_back();
  if (!level.empty) {
    switch (level.layout) {
      case JsonLayout::Compact:
        break;
      case JsonLayout::Inline:
        out_ += ' ';
        break;
      case JsonLayout::Block:
        break_line(levels_.size());
        break;
      case JsonLayout::Lines:
        out_ += '\n';
        break;
    }
  }
  out_ += level.object ? '}' : ']';
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view value) {
  before_value();
  append_json_string(value, out_);
  return *this;
}

JsonWriter& JsonWriter::number(std::uint64_t value) {
  before_value();
  append_decimal(value, out_);
  return *this;
}

JsonWriter& JsonWriter::number_text(std::string_view digits) {
  before_value();
  out_ += digits;
  return *this;
}

JsonWriter& JsonWriter::real(double value) {
  before_value();
  out_ += shortest_double(value);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  before_value();
  out_ += "null";
  return *this;
}

}  // namespace zyl_profile::cli
