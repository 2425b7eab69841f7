// The group stage of a query: which samples share a group (decided once per
// dictionary entry), the table of one scan's group states (group_state.h),
// and the order of the summaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chunked_list.h"
#include "group_state.h"
#include "zyl_profile/partial.h"
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

// The groups of one scan over a range of tiles.
class GroupTable {
 public:
  // `expected_samples` sizes the duration storage: the samples the table
  // may see at most. `profile_samples` is the profile's whole sample count:
  // the tables of all ranges merged must not overflow a 32-bit count.
  GroupTable(const GroupClasses& classes, const PhaseLayout& layout,
             const Query& query, std::size_t expected_samples,
             std::size_t profile_samples);

  // Returns the group of class `group_class`, creating it with
  // `first_offset` when it is new.
  GroupState& of_class(std::uint32_t group_class, std::uint64_t offset) {
    std::uint32_t& index = by_class_[group_class];
    if (index == kNone) index = create(group_class, offset);
    return groups_[index];
  }

  // Returns the group of (phase, epoch), creating it when it is new.
  GroupState& of_phase(std::uint32_t phase, std::uint32_t epoch,
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
  // combining the states of each group and taking over its storage.
  void merge(GroupTable&& later);

  // Drains the table into summaries, in no particular order and not yet cut
  // (finish_groups does both); the groups are finished on up to `threads`
  // threads.
  [[nodiscard]] std::vector<GroupSummary> summaries(std::uint64_t clock_hz,
                                                    unsigned threads = 1) &&;

  // Drains the table into the groups' states in their partial form,
  // ascending by name; the groups are settled on up to `threads` threads.
  [[nodiscard]] std::vector<PartialGroup> partials(unsigned threads = 1) &&;

 private:
  static constexpr std::uint32_t kNone = 0xffffffffU;

  std::uint32_t create(std::uint64_t key, std::uint64_t offset);

  const GroupClasses& classes_;
  const PhaseLayout& layout_;
  const Query& query_;
  std::uint64_t first_placing_;  // next_placing of a new group
  // The phase rows of the groups, one per class, taken as groups are made.
  std::unique_ptr<std::uint64_t[]> phase_rows_;
  ChunkArena arena_;
  std::vector<GroupState> groups_;
  std::vector<std::uint32_t> by_class_;  // class -> group, or kNone
  std::unordered_map<std::uint64_t, std::uint32_t> by_key_;  // phase groups
  // The phase group found last, tried before the hash lookup.
  bool has_last_ = false;
  std::uint64_t last_key_ = 0;
  std::uint32_t last_index_ = 0;
};

// Gives every group its share of the work of all of `groups`, then orders
// them for `sort_by` and cuts them to `limit`. Returns the work of all of
// them, the matched work cycles.
std::uint64_t finish_groups(std::vector<GroupSummary>& groups, SortBy sort_by,
                            std::optional<std::size_t> limit);

}  // namespace zyl_profile::detail
