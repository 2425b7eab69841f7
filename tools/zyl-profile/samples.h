// The small pieces that trace, export and diff share around the engine's
// scan (zyl_profile/scan.h): the resolved time window, a sample's kind name,
// the metadata entries grouped by name, and the text appenders.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "zyl_profile/query.h"
#include "zyl_profile/scan.h"

namespace zyl_profile::cli {

// Returns `query` with the window bounds resolved against `columns`: a
// cycle count as it is, a percentage of the profile span.
[[nodiscard]] Query with_window(Query query,
                                const std::optional<TimeBound>& from,
                                const std::optional<TimeBound>& to,
                                const ProfileColumns& columns);

// Returns the display name of sample `sample`'s kind ("compute" etc.), a
// constant with static lifetime.
[[nodiscard]] std::string_view sample_kind_name(const ProfileColumns& columns,
                                                std::size_t sample);

// Fills `order` with the indices of `metadata` (a list of `columns`)
// arranged so that entries of one name are adjacent: names in the order they
// first appear, entries of a name in their own order. Names are compared as
// text, not as ids, since a package may hold one text under two ids. Reuses
// `order`'s storage; no quadratic work on long lists.
void order_by_name(const ProfileColumns& columns,
                   std::span<const zyl_package::MetadataPair> metadata,
                   std::vector<std::uint32_t>& order);

// Appends `text` as a CSV field: quoted when it holds a comma, a quote or a
// line break, quotes doubled (RFC 4180), bytes kept as they are.
void append_csv_field(std::string_view text, std::string& out);

// Appends `text` as a JSON string, quotes included: raw UTF-8, only quotes,
// backslashes and control characters escaped.
void append_json_string(std::string_view text, std::string& out);

// Appends the decimal digits of `value`.
void append_decimal(std::uint64_t value, std::string& out);

}  // namespace zyl_profile::cli
