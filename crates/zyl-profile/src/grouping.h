// The group stage of a query: the running aggregate of each group, the table
// that finds a sample's group without allocating, and the summaries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chunked_list.h"
#include "name_index.h"
#include "phase_maxima.h"
#include "zyl_profile/query.h"

namespace zyl_profile::detail {

// The running aggregate of one group. The group's name and dimensions are
// not kept: they are rebuilt from the sample that created the group when the
// group is summarised, so the scan never allocates a name.
struct Accumulator {
  std::uint32_t key_tile = 0;               // tile of the creating sample
  const CycleSample* key_sample = nullptr;  // the creating sample
  ChunkedList durations;                    // every member, any order
  // The member's physical tile, once per run of members on one tile: the
  // distinct tiles are counted when the group is summarised. A set would
  // cost a tree insertion for every (group, tile) pair during the scan.
  ChunkedList tile_runs;
  PhaseMaxima phases;  // longest member per (phase, epoch)
  std::uint64_t work_cycles = 0;
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;

  // The tile of the last member: members come in runs on one tile.
  std::uint32_t last_tile = 0;
  // The lists that parallel workers gathered for this group over later tile
  // ranges. Their values stay where the workers put them and are read when
  // the group is summarised, so merging copies no durations.
  std::vector<ChunkedList> later_durations;
  std::vector<ChunkedList> later_tile_runs;

  void add(std::uint32_t tile, const ProfileStep& step, std::uint64_t offset,
           std::uint32_t sample_duration, ChunkArena& arena);
  // Folds in the aggregate of the same group over later tiles; the lists of
  // `later` must stay valid until the group is summarised.
  void merge(Accumulator&& later);
};

// The group table of one query: one accumulator per distinct group name.
// Names that come from a string of the report are looked up by a view into
// the report; the numbered groupings (kind, phase, tile) by their numbers.
class GroupTable {
 public:
  // `expected_samples` sizes the duration storage: the samples the table
  // may see at most.
  GroupTable(const Query& query, std::size_t expected_samples);

  void add(std::uint32_t tile, const CycleSample& sample, std::uint64_t offset,
           std::uint32_t sample_duration);

  // Folds in a table built from later tiles of the same report and query,
  // taking over its storage.
  void merge(GroupTable&& later);

  // Drains the table into summaries, ordered for `query.sort_by` and cut to
  // `query.limit`; the groups are summarised on up to `threads` threads.
  [[nodiscard]] std::vector<GroupSummary> summaries(std::uint64_t clock_hz,
                                                    unsigned threads = 1) &&;

 private:
  Accumulator& find_or_create(std::uint32_t tile, const CycleSample& sample,
                              std::uint64_t offset);
  Accumulator& create(std::uint32_t tile, const CycleSample& sample,
                      std::uint64_t offset);
  [[nodiscard]] std::string_view name_key(const CycleSample& sample) const;
  [[nodiscard]] std::uint64_t number_key(std::uint32_t tile,
                                         const CycleSample& sample) const;
  [[nodiscard]] bool keyed_by_name() const;

  const Query& query_;
  std::string_view metadata_key_;
  ChunkArena arena_;
  std::vector<Accumulator> groups_;
  NameIndex by_name_;
  std::unordered_map<std::uint64_t, std::size_t> by_number_;
  // The last group found, tried before the hash lookup.
  bool has_last_ = false;
  std::string_view last_name_;
  std::uint64_t last_number_ = 0;
  std::size_t last_index_ = 0;
};

}  // namespace zyl_profile::detail
