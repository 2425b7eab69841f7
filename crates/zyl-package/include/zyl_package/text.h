// UTF-8 text as every writer in the project treats it: one decoder and one
// JSON string escaper, so the report writer, the tool's JSON, CSV and page
// writers and the terminal all agree on what is valid text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zyl_package {

// One decoded UTF-8 sequence: its code point and length, or length 0 when
// the bytes at the position are not valid UTF-8 (stray continuation bytes,
// overlong forms, surrogates, values past U+10FFFF and sequences cut short
// by the end of the text).
struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;
};

// Decodes the sequence that starts at `pos` (< text.size()).
[[nodiscard]] CodePoint decode_utf8(std::string_view text, std::size_t pos);

// Appends `text` to `out` as a JSON string: valid UTF-8 passes through as
// it is, the quote, the backslash and control characters are escaped, and a
// byte that is not part of valid UTF-8 becomes \ufffd, so the output is
// always readable JSON whatever the bytes.
void append_json_string(std::string_view text, std::string& out);

}  // namespace zyl_package
