// UTF-8 sequence checks shared by the JSON writer (which must never emit
// invalid text), the reader's error locator (which must point at it) and the
// column checks (a package's strings must be text).
#pragma once

#include <cstddef>
#include <string_view>

namespace zyl_package::detail {

// Returns the length of the valid UTF-8 sequence starting at `text[at]` (a
// byte of 0x80 or more), or 0 when it is not one: stray continuation bytes,
// overlong forms, surrogates, values past U+10FFFF and sequences cut short
// by the end of `text` are not valid.
[[nodiscard]] inline std::size_t utf8_sequence_length(std::string_view text,
                                                      std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (length > text.size() - at) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// Returns true when all of `text` is valid UTF-8 in the sense above.
[[nodiscard]] inline bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace zyl_package::detail
