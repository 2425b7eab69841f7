// The three printed forms of a query result: a table for people, the JSON
// object that scripts compare field for field, and RFC 4180 CSV.
#pragma once

#include <string>
#include <string_view>

#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// Appends the JSON form of `report` to `out`: the result's fields in
// declaration order, integers exact, doubles in their shortest round-trip
// form, strings escaped so the text is valid JSON for any bytes.
void append_json(const QueryReport& report, std::string& out);

// Appends the group table (one row per group) as CSV with a header row.
void append_groups_csv(const QueryReport& report, std::string& out);

// Appends the listed samples as CSV with a header row.
void append_samples_csv(const QueryReport& report, std::string& out);

// Appends the human-readable table: totals, the groups, then the listed
// samples when there are any. Strings never reach the terminal raw.
void append_table(const QueryReport& report, std::string& out);

// Returns `text` as JSON string contents (without the quotes): quotes,
// backslashes and control characters escaped, invalid UTF-8 replaced by
// U+FFFD.
[[nodiscard]] std::string json_escape(std::string_view text);

// Returns `text` safe to print on a terminal: control characters (C0, DEL,
// C1), bidirectional overrides and invalid UTF-8 bytes are spelled as
// escapes such as \n, \x1b or \u{202e}; a backslash becomes \\.
[[nodiscard]] std::string terminal_escape(std::string_view text);

// Returns `value` with a comma between each group of three digits.
[[nodiscard]] std::string with_separators(std::uint64_t value);

// Returns the shortest text that reads back as `value`; -0 gives "0", and a
// NaN or an infinity (which the engine never produces) gives "0".
[[nodiscard]] std::string shortest_double(double value);

}  // namespace zyl_profile::cli
