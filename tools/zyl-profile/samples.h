// The small pieces that the commands share around the engine's scan
// (zyl_profile/scan.h): a sample's kind name, and the metadata entries
// grouped by name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/csv.h"
#include "format/json_writer.h"
#include "options.h"
#include "zyl_profile/query.h"
#include "zyl_profile/scan.h"

namespace zyl_profile::cli {

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

}  // namespace zyl_profile::cli
