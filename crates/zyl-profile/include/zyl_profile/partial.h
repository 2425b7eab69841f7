// Many shards, one answer. A profile may be kept as several reports whose
// tiles, concatenated in a given order, form the whole. A query's work on one
// shard ends in a `PartialResult`: what its summaries and listing need and no
// more (each group's distinct tiles, longest member per phase pair and
// duration counts; the shard's best listing candidates; its totals). Partials
// serialise to bytes, so they can be made where the files are and merged
// elsewhere, and merge exactly in any order: finishing the merge of every
// shard's partial gives what the query over one report of all their tiles
// gives, bit for bit.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "zyl_package/outcome.h"
#include "zyl_profile/query.h"

namespace zyl_profile {

// The longest member of a group in one (phase, epoch) pair.
struct PhaseLongest {
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::uint32_t cycles = 0;

  bool operator==(const PhaseLongest&) const = default;
};

// How many members of a group lasted `cycles`.
struct DurationCount {
  std::uint32_t cycles = 0;
  std::uint64_t count = 0;

  bool operator==(const DurationCount&) const = default;
};

// One group's state: enough to summarise it exactly and to merge it with the
// same group of other shards.
struct PartialGroup {
  std::string name;
  std::map<std::string, std::string> dimensions;
  std::uint64_t work_cycles = 0;
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
  std::vector<std::uint32_t> tiles;      // distinct physical tiles, ascending
  std::vector<PhaseLongest> phases;      // ascending by (phase, epoch)
  std::vector<DurationCount> durations;  // ascending by cycles, counts > 0

  bool operator==(const PartialGroup&) const = default;
};

// A candidate for the listing, with its place in the concatenated report:
// the last tie-break of the listing order is report order, which across
// shards is (shard, sample).
struct PartialSample {
  std::uint64_t shard = 0;   // position of its shard in the given order
  std::uint64_t sample = 0;  // index in its shard's sample columns
  SampleRecord record;

  bool operator==(const PartialSample&) const = default;
};

// The state of one query over one or more shards.
struct PartialResult {
  Query query;  // the question; only partials of the same one merge
  std::vector<std::uint64_t> shards;  // positions covered, ascending
  std::uint64_t clock_hz = 0;
  std::uint64_t tile_count = 0;
  std::uint64_t sample_count = 0;
  std::uint64_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;
  std::vector<PartialGroup> groups;  // ascending by name, byte-wise
  // The best `query.sample_limit` candidates, in listing order.
  std::vector<PartialSample> samples;

  bool operator==(const PartialResult&) const = default;
};

// Why two partials do not merge, or why bytes are not a partial.
struct PartialError {
  std::string message;

  [[nodiscard]] const std::string& to_string() const { return message; }
};

// The listing order of candidates: longest first, then the smaller tile,
// then the smaller offset, then report order, (shard, sample). A total
// order on the candidates of shards at distinct positions.
[[nodiscard]] bool listed_before(const PartialSample& left,
                                 const PartialSample& right);

// Returns the partial of `query` over `columns`, the shard at position
// `shard` in the order the shards concatenate. Runs on up to
// `options.threads` threads and never fails; the columns must be valid.
[[nodiscard]] PartialResult query_partial(const ProfileColumns& columns,
                                          const Query& query,
                                          std::uint64_t shard,
                                          ParallelOptions options = {});

// Folds `other` into `into`. Fails, leaving `into` unchanged, when the two
// were made for different queries, disagree on the clock, or cover a shard
// position in common (a shard given twice would count its samples twice).
[[nodiscard]] zyl_package::Outcome<void, PartialError> merge_partial(
    PartialResult& into, PartialResult&& other);

// Returns the report of a partial: the groups summarised, ordered and cut to
// the query's limit, the candidates listed. Never fails.
[[nodiscard]] QueryReport finish_partial(PartialResult&& partial);

// Returns the partial as bytes: a versioned, self-describing encoding that
// parse_partial reads back equal, on any machine, ending in a checksum of
// all the bytes before it.
[[nodiscard]] std::string serialise_partial(const PartialResult& partial);

// Reads bytes written by serialise_partial. Bytes that are not such a
// partial (truncated, damaged, another version, or crafted to pass the
// checksum) give an error naming the byte offset and what was wrong there,
// never an exception. Nothing in them can make the reader allocate more
// than a small multiple of their size: a count gets no memory the bytes
// after it could not fill, and an element of a byte or two becomes a record
// or a set's node of some tens of bytes at most.
[[nodiscard]] zyl_package::Outcome<PartialResult, PartialError> parse_partial(
    std::string_view bytes);

}  // namespace zyl_profile
