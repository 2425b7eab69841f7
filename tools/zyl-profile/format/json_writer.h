// The one JSON writer of the tool: query results, diffs, traces and JSON
// lines all go through it, so every string is escaped the same way and every
// number has one spelling.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zyl_package/text.h"

namespace zyl_profile::cli {

// The package library's escaper: one spelling of every string in JSON.
using zyl_package::append_json_string;

// Appends the decimal digits of `value`.
void append_decimal(std::uint64_t value, std::string& out);

// Returns the shortest text that reads back as `value`; -0 gives "0", and a
// NaN or an infinity (which the engine never produces) gives "0".
[[nodiscard]] std::string shortest_double(double value);

// How a container spreads over lines. Compact: `{"a":1,"b":2}`. Inline:
// `{ "a": 1, "b": 2 }`. Block: one item per line, indented two spaces per
// level. Lines: one compact item per line, not indented (for millions of
// events, where indentation would be most of the file).
enum class JsonLayout : std::uint8_t {
  Compact = 0,
  Inline = 1,
  Block = 2,
  Lines = 3
};

// Appends JSON to a string, placing commas, colons and line breaks. The
// caller may empty the string at any point (to flush it to a file): the
// writer keeps only the nesting, not the text. Misuse (a value where a key is
// due, closing what is not open) is a programmer error.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  JsonWriter& begin_object(JsonLayout layout = JsonLayout::Compact);
  JsonWriter& begin_array(JsonLayout layout = JsonLayout::Compact);
  JsonWriter& end();  // closes the innermost open container

  JsonWriter& key(std::string_view name);
  JsonWriter& string(std::string_view value);
  JsonWriter& number(std::uint64_t value);
  JsonWriter& number_text(std::string_view digits);  // e.g. "0.077"
  JsonWriter& real(double value);                    // shortest round trip
  JsonWriter& boolean(bool value);
  JsonWriter& null();

  // A key and its value in one call.
  template <typename T>
  JsonWriter& field(std::string_view name, const T& value) {
    key(name);
    return put(value);
  }

  [[nodiscard]] std::string& out() { return out_; }

 private:
  struct Level {
    JsonLayout layout;
    bool object;
    bool empty = true;
  };

  JsonWriter& put(std::string_view value) { return string(value); }
  JsonWriter& put(const std::string& value) { return string(value); }
  JsonWriter& put(const char* value) { return string(value); }
  JsonWriter& put(double value) { return real(value); }
  JsonWriter& put(bool value) { return boolean(value); }
  template <typename Integer>
  JsonWriter& put(Integer value) {
    return number(static_cast<std::uint64_t>(value));
  }

  void separate(Level& level);  // the comma and line break before an item
  void before_value();
  JsonWriter& open(char bracket, bool object, JsonLayout layout);
  void break_line(std::size_t depth);

  std::string& out_;
  std::vector<Level> levels_;
  bool after_key_ = false;
};

}  // namespace zyl_profile::cli
