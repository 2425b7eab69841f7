// The JSON form of a report, as the rest of the library sees it: a parser
// over a padded buffer, so a file read once can be parsed in place.
#pragma once

#include <cstddef>
#include <string_view>

#include "zyl_package/load_result.h"

namespace zyl_package::detail {

// Bytes that must be readable (any value) after the end of a buffer handed to
// parse_report_json; the parser's SIMD loads may read that far.
inline constexpr std::size_t kJsonPadding = 64;

// Parses the JSON form in `data[0, size)`; `capacity` (at least size +
// kJsonPadding) is how much of `data` may be read. A leading byte-order mark
// is skipped; positions in errors still count it. `file_name` only labels
// errors.
[[nodiscard]] LoadResult parse_report_json(const char* data, std::size_t size,
                                           std::size_t capacity,
                                           std::string_view file_name,
                                           const ReadLimits& limits);

}  // namespace zyl_package::detail
