// Notes on a query's answer: why nothing matched, or which part of the
// question had no effect. A query never fails, so an empty answer or an
// ignored option would otherwise pass without a word.
#pragma once

#include <string>
#include <vector>

#include "zyl_package/profile_columns.h"
#include "zyl_profile/query.h"

namespace zyl_profile {

// Returns one sentence per note on `report`, the answer to `query` over
// `columns` (the query's window resolved to cycles), in a fixed order:
// options without effect, the window, tiles, phases, kind, kernel,
// operation, metadata. Sentences have no final period, no newline and no
// program name, name the query's fields as the command line spells them
// without dashes ("from offset", "metadata key"), and quote at most about
// 200 bytes of any name. Empty when there is nothing to say, as for a query
// that matched what it asked for.
//
// Costs a pass over the tile list and the dictionaries; only when nothing
// matched does it read sample columns, to find which filter is at fault.
// Borrows its inputs for the call; never fails.
[[nodiscard]] std::vector<std::string> explain_query(
    const ProfileColumns& columns, const Query& query,
    const QueryReport& report);

}  // namespace zyl_profile
