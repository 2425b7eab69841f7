// The group stage of a query: which samples share a group (decided once per
// dictionary entry), the running aggregate of each group, the table of one
// scan's groups, and the summaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chunked_list.h"
#include "phase_maxima.h"
#include "zyl_profile/scan.h"

namespace zyl_profile::detail {

// The grouping of one query over one columnar profile. Every sample falls
// into a class, a small number standing for its group: the string or list
// id's class for kernel, operation and metadata groupings (ids whose group
// names are equal share a class, so the scan groups by numbers and never
// compares a name), the kind, or the tile's class. Grouping by phase keys a
// group by (phase << 32 | epoch) instead, which the table hashes.
class GroupClasses {
 public:
  GroupClasses(const ProfileColumns& columns, const Query& query);

  // Number of classes; for GroupBy::Phase, 0 (keys are open-ended).
  [[nodiscard]] std::size_t count() const { return names_.size(); }

  // Class of a sample by its string id (kernel, operation), list id
  // (metadata) or tile index (tile); the scan picks the column.
  [[nodiscard]] const std::vector<std::uint32_t>& of_id() const {
    return of_id_;
  }

  // Returns the name and dimensions of the group of `key` (a class, or for
  // GroupBy::Phase a phase key).
  [[nodiscard]] GroupKey key(std::uint64_t key) const;

 private:
  GroupBy by_;
  std::string_view metadata_key_;
  std::vector<std::uint32_t> of_id_;
  std::vector<std::string_view> names_;  // per class; numbers for kind, tile
  std::vector<std::uint32_t> tile_numbers_;  // per class, grouping by tile
};

// The running aggregate of one group. Its name is not kept: it comes from
// the key when the group is summarised, so the scan never builds a name.
struct Accumulator {
  std::uint64_t key = 0;  // class, or phase key
  ChunkedList durations;  // every member, any order
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

  void add(std::uint32_t tile, std::uint32_t phase, std::uint32_t epoch,
           std::uint64_t offset, std::uint32_t sample_duration,
           ChunkArena& arena) {
    if (durations.size() == 0 || tile != last_tile) {
      tile_runs.push(tile, arena);
      last_tile = tile;
    }
    durations.push(sample_duration, arena);
    phases.add(phase, epoch, sample_duration);
    work_cycles += sample_duration;
    first_offset = std::min(first_offset, offset);
    last_offset = std::max(last_offset, offset + sample_duration);
  }

  // Folds in the aggregate of the same group over later tiles; the lists of
  // `later` must stay valid until the group is summarised.
  void merge(Accumulator&& later);
};

// The groups of one scan over a range of tiles.
class GroupTable {
 public:
  // `expected_samples` sizes the duration storage: the samples the table
  // may see at most.
  GroupTable(const GroupClasses& classes, const Query& query,
             std::size_t expected_samples);

  // Returns the group of class `group_class`, creating it with
  // `first_offset` when it is new.
  Accumulator& of_class(std::uint32_t group_class, std::uint64_t offset) {
    std::uint32_t& index = by_class_[group_class];
    if (index == kNone) index = create(group_class, offset);
    return groups_[index];
  }

  // Returns the group of (phase, epoch), creating it when it is new.
  Accumulator& of_phase(std::uint32_t phase, std::uint32_t epoch,
                        std::uint64_t offset) {
    const std::uint64_t key = (std::uint64_t{phase} << 32) | epoch;
    if (has_last_ && key == last_key_) return groups_[last_index_];
    const auto [it, inserted] =
        by_key_.try_emplace(key, static_cast<std::uint32_t>(groups_.size()));
    if (inserted) create(key, offset);
    has_last_ = true;
    last_key_ = key;
    last_index_ = it->second;
    return groups_[last_index_];
  }

  [[nodiscard]] ChunkArena& arena() { return arena_; }

  // Folds in a table built from later tiles of the same profile and query,
  // taking over its storage.
  void merge(GroupTable&& later);

  // Drains the table into summaries, ordered for `query.sort_by` and cut to
  // `query.limit`; the groups are summarised on up to `threads` threads.
  [[nodiscard]] std::vector<GroupSummary> summaries(std::uint64_t clock_hz,
                                                    unsigned threads = 1) &&;

 private:
  static constexpr std::uint32_t kNone = 0xffffffffU;

  std::uint32_t create(std::uint64_t key, std::uint64_t offset);

  const GroupClasses& classes_;
  const Query& query_;
  ChunkArena arena_;
  std::vector<Accumulator> groups_;
  std::vector<std::uint32_t> by_class_;  // class -> group, or kNone
  std::unordered_map<std::uint64_t, std::uint32_t> by_key_;  // phase groups
  // The phase group found last, tried before the hash lookup.
  bool has_last_ = false;
  std::uint64_t last_key_ = 0;
  std::uint32_t last_index_ = 0;
};

}  // namespace zyl_profile::detail
