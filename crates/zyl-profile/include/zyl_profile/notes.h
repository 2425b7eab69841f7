// Notes on a query's answer: why nothing matched, or which part of the
// question had no effect. A query never fails, so an empty answer or an
// ignored option would otherwise pass without a word.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
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

// What the notes need to know of a profile besides its answer. Gathered
// from each shard of a profile and merged, they are what the whole profile
// would give, so a sharded answer carries the whole file's notes. Names are
// kept as distinct text in ascending byte order, whatever ids a shard gave
// them.
struct NoteFacts {
  std::uint64_t sample_count = 0;
  // Grouping by metadata: whether an entry carries the key as its name.
  bool key_found = false;
  // Distinct metadata names, for a near name when a key or condition names
  // none of them.
  std::vector<std::string> entry_names;
  // Physical tiles that have samples, when the query keeps some tiles.
  std::vector<std::uint32_t> tiles;

  // Gathered only for an empty answer, to find the filter at fault.
  bool empty_answer = false;
  bool window_alone = false;  // some sample passes the window by itself
  std::vector<std::uint32_t> phases_seen;  // the query's phases present
  std::vector<std::uint32_t> phases;       // phases present, the first
                                           // kMaxListedPhases + 1 at most
  std::array<std::uint64_t, 4> kinds{};    // samples per StepKind
  bool kernel_found = false;
  std::vector<std::string> kernels;  // kernels present, when not found
  bool operation_found = false;
  std::optional<std::string> folded_operation;  // the text equal to the
                                                // pattern but for case
  // Per metadata condition of the query, in its order.
  struct Condition {
    bool name_found = false;
    bool pair_found = false;
    std::vector<std::string> values;  // the name's values, when unmatched
  };
  std::vector<Condition> conditions;
};

// Distinct phases listed in "phases with samples" before the list is left
// out.
inline constexpr std::size_t kMaxListedPhases = std::size_t{1} << 16;

// Returns the facts of `columns` that explain_query needs for `query` (its
// bounds in cycles); with `empty_answer` also those that tell which filter
// matched nothing, which read sample columns.
[[nodiscard]] NoteFacts gather_note_facts(const ProfileColumns& columns,
                                          const Query& query,
                                          bool empty_answer);

// Folds the facts of another shard into `into`; the order does not matter.
void merge_note_facts(NoteFacts& into, NoteFacts&& other);

// As explain_query above, from the facts of the whole profile.
[[nodiscard]] std::vector<std::string> explain_query(const NoteFacts& facts,
                                                     const Query& query,
                                                     const QueryReport& report);

}  // namespace zyl_profile
