// The matching samples of a query in report order, as trace and export walk
// them, and the small pieces both write: the resolved time window and the
// metadata entries grouped by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// Returns `query` with the window bounds resolved against `report`: a cycle
// count as it is, a percentage of the report's profile span.
[[nodiscard]] Query with_window(Query query,
                                const std::optional<TimeBound>& from,
                                const std::optional<TimeBound>& to,
                                const ProfileReport& report);

// Calls `visit(tile, sample, offset, duration)` for every sample of `report`
// that matches `query`, in report order. `offset` is the sample's place on
// its tile's normalised timeline: start_cycle minus the tile's first
// start_cycle modulo 2^32, so it counts on across a counter wrap.
template <typename Visit>
void for_each_match(const ProfileReport& report, const Query& query,
                    Visit&& visit) {
  for (const TileProfile& tile : report.tiles) {
    if (tile.samples.empty()) continue;
    if (!query.tiles.empty() && !query.tiles.contains(tile.physical_tile)) {
      continue;
    }
    const std::uint32_t base = tile.samples.front().start_cycle;
    for (const CycleSample& sample : tile.samples) {
      const std::uint64_t offset =
          static_cast<std::uint32_t>(sample.start_cycle - base);
      const std::uint32_t length = duration(sample);
      if (matches_query(query, tile.physical_tile, sample, offset, length)) {
        visit(tile, sample, offset, length);
      }
    }
  }
}

// Fills `order` with the indices of `metadata` arranged so that entries of
// one name are adjacent: names in the order they first appear, entries of a
// name in their own order. Reuses `order`'s storage; no quadratic work on
// long lists.
void order_by_name(const std::vector<ProfileMetadata>& metadata,
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
