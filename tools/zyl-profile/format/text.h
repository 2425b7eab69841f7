// Text for people: display width on a terminal, escaping of
// strings that came from a file, and numbers with thousands separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "zyl_package/text.h"

namespace zyl_profile::cli {

// The package library's decoder: one idea of valid UTF-8 everywhere.
using zyl_package::CodePoint;
using zyl_package::decode_utf8;

// Returns the columns `text` takes on a terminal: 0 for combining marks and
// zero-width characters, 2 for East Asian wide and fullwidth characters and
// emoji, 1 otherwise (an invalid byte counts 1). Meant for text that went
// through terminal_escape, so it holds no control characters.
[[nodiscard]] std::size_t display_width(std::string_view text);

// Returns the longest prefix of `text` that takes at most `width` columns,
// cut at a character boundary.
[[nodiscard]] std::string_view prefix_of_width(std::string_view text,
                                               std::size_t width);

// Returns `text` safe to print on a terminal: control characters (C0, DEL,
// C1), bidirectional overrides and invalid UTF-8 bytes are spelled as
// escapes such as \n, \x1b or \u{202e}; a backslash becomes \\.
[[nodiscard]] std::string terminal_escape(std::string_view text);

// Returns `value` with a comma between each group of three digits.
[[nodiscard]] std::string with_separators(std::uint64_t value);

// Returns `value` with `decimals` digits after the point and separators in
// the integer part; never "-0.00", and a NaN or infinity gives "0".
[[nodiscard]] std::string fixed(double value, int decimals);

}  // namespace zyl_profile::cli
