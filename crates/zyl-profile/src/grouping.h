// The group stage of a query: which samples share a group (decided once per
// dictionary entry), the running aggregate of each group, the table of one
// scan's groups, and the summaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chunked_list.h"
#include "phase_maxima.h"
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

// Where the groups of one query keep the longest member of each (phase,
// epoch) pair. Profiles number their phases and epochs from 0 up, so most
// have few pairs: each group keeps a flat row of them, indexed by
// phase * epochs + epoch, one load and one store per sample. The row's
// bounds are read off a sample of the profile before the scan; a pair
// outside them (or every pair, when the rows of all groups would take too
// much room) goes to a hash table of the group instead. A pair always lands
// in the same place, so the two together hold each pair once. Grouped by
// phase, a group is a single pair: its longest member is its maximum, and
// nothing is kept during the scan.
struct PhaseLayout {
  PhaseLayout(const ProfileColumns& columns, const Query& query,
              std::size_t classes);

  static constexpr std::uint32_t kNoPair = 0xffffffffU;

  bool one_pair_per_group = false;
  std::uint32_t phases = 0;  // row bounds: phase < phases, epoch < epochs
  std::uint32_t epochs = 0;
  std::uint32_t pairs = 0;  // row length, phases * epochs

  // True when every pair of samples [first, first + count) has its place
  // in the row, so their scan needs no bounds test. Reading their phases
  // and epochs here also brings them into the cache for the scan, which is
  // why the scan asks block by block: a whole long tile no longer fits.
  [[nodiscard]] bool covers(const ProfileColumns& columns, std::size_t first,
                            std::size_t count) const;

  // As above, for every sample of `tile`.
  [[nodiscard]] bool covers(const ProfileColumns& columns,
                            const ColumnTile& tile) const {
    return covers(columns, tile.first_sample, tile.sample_count);
  }

  // Returns the pair's place in the row, or kNoPair.
  [[nodiscard]] std::uint32_t pair(std::uint32_t phase,
                                   std::uint32_t epoch) const {
    return phase < phases && epoch < epochs ? phase * epochs + epoch : kNoPair;
  }
};

// The running aggregate of one group. Its name is not kept: it comes from
// the key when the group is summarised, so the scan never builds a name.
// What the scan updates for every member comes first and fills one cache
// line: the groups of a scan are visited in no predictable order, and each
// line more per member was a cache miss more.
//
// Member durations are counted, not kept, once a group has enough members
// to pay for a window of counts over their range: one count per duration
// value in [window_low, window_low + window_bins). The percentiles stay
// exact (a count per value is the sorted list, compressed), and a group's
// memory then follows the spread of its durations instead of its member
// count, so a profile ten times longer costs no more memory per group and
// no page faults for stored durations. Durations outside the window (and
// all of them before the group has one) are kept in `durations`.
struct alignas(64) Accumulator {
  std::uint32_t* window = nullptr;  // window_bins counts, in the arena
  std::uint32_t window_low = 0;     // duration of window[0]
  std::uint32_t window_bins = 0;    // 0: no window, every duration is kept
  // Longest member per (phase, epoch): a row of `PhaseLayout::pairs`
  // values (the longest + 1; 0 for a pair without members) owned by the
  // table, and the hash table `phases` for the pairs outside the row.
  std::uint64_t* phase_row = nullptr;
  std::uint64_t work_cycles = 0;
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
  // The tile of the last member, or kNoTile before the first: members come
  // in runs on one tile. Wider than a tile number, so kNoTile is none.
  std::uint64_t last_tile = kNoTile;

  // Durations outside the window, any order.
  ChunkedList durations;
  // The member's physical tile, once per run of members on one tile: the
  // distinct tiles are counted when the group is summarised. A set would
  // cost a tree insertion for every (group, tile) pair during the scan.
  ChunkedList tile_runs;
  std::uint64_t key = 0;  // class, or phase key
  PhaseMaxima phases;
  // When the window is placed or widened: the values in `durations` (since
  // the last placing), the members counted in the window when it was last
  // placed, and the count of kept values at which placing is tried next.
  std::uint64_t kept = 0;
  std::uint64_t windowed = 0;
  std::uint64_t next_placing = kFirstPlacing;
  std::uint32_t kept_low = 0xffffffffU;  // range of the kept values
  std::uint32_t kept_high = 0;
  // The lists that parallel workers gathered for this group over later tile
  // ranges. Their values stay where the workers put them and are read when
  // the group is summarised, so merging copies no durations.
  std::vector<ChunkedList> later_durations;
  std::vector<ChunkedList> later_tile_runs;

  static constexpr std::uint64_t kNoTile = ~std::uint64_t{0};
  // A group first tries to place a window when it has kept this many
  // values. After a failed try it waits for the kept values to double,
  // after a placing for half its members again, so placings cost a
  // constant per member.
  static constexpr std::uint64_t kFirstPlacing = 16;
  // Never tried: the table's counts could overflow their 32 bits.
  static constexpr std::uint64_t kNeverPlace = ~std::uint64_t{0};
  // The widest window: 256 KiB of counts.
  static constexpr std::uint32_t kMaxWindowBins = std::uint32_t{1} << 16;

  // How a scan keeps phase maxima: not at all (grouped by phase), in the row
  // at `pair` alone (the tile is covered), or in the row or the hash table.
  enum class Phases : std::uint8_t { None = 0, Row = 1, RowOrTable = 2 };

  // Always inlined: the compiler kept it out of the scan loop, and the call
  // cost the two-thread scan about a tenth of its time.
  template <Phases kPhases>
  [[gnu::always_inline]] void add(std::uint32_t tile, std::uint32_t phase,
                                  std::uint32_t epoch, std::uint32_t pair,
                                  std::uint64_t offset,
                                  std::uint32_t sample_duration,
                                  ChunkArena& arena) {
    if (tile != last_tile) {
      tile_runs.push(tile, arena);
      last_tile = tile;
    }
    // Unsigned: a duration below the window wraps to a large bin and fails
    // the same test as one above it.
    const std::uint32_t bin = sample_duration - window_low;
    if (bin < window_bins) [[likely]] {
      ++window[bin];
    } else {
      keep(sample_duration, arena);
    }
    if constexpr (kPhases == Phases::Row) {
      std::uint64_t& longest = phase_row[pair];
      longest = std::max<std::uint64_t>(longest, sample_duration + 1ULL);
    } else if constexpr (kPhases == Phases::RowOrTable) {
      if (pair != PhaseLayout::kNoPair) {
        std::uint64_t& longest = phase_row[pair];
        longest = std::max<std::uint64_t>(longest, sample_duration + 1ULL);
      } else {
        phases.add(phase, epoch, sample_duration);
      }
    }
    work_cycles += sample_duration;
    first_offset = std::min(first_offset, offset);
    last_offset = std::max(last_offset, offset + sample_duration);
  }

  // Keeps a duration the window does not cover, and places or widens the
  // window when enough such values have come.
  void keep(std::uint32_t sample_duration, ChunkArena& arena);

  // Folds in the aggregate of the same group over later tiles; the lists of
  // `later` must stay valid until the group is summarised. A window that
  // cannot join this one is spread back into kept values from `arena`.
  void merge(Accumulator&& later, std::uint32_t pairs, ChunkArena& arena);

 private:
  // Folds the window of `later` into this group's.
  void merge_window(const Accumulator& later, ChunkArena& arena);
  // Moves the kept values and the old window into a new window over
  // [low, high] when that is narrow enough for the members; returns false
  // and changes nothing otherwise.
  bool place_window(std::uint32_t low, std::uint32_t high,
                    std::uint64_t members, ChunkArena& arena);
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

  // Drains the table into the groups' mergeable states, ascending by name;
  // the groups are converted on up to `threads` threads.
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
  std::vector<Accumulator> groups_;
  std::vector<std::uint32_t> by_class_;  // class -> group, or kNone
  std::unordered_map<std::uint64_t, std::uint32_t> by_key_;  // phase groups
  // The phase group found last, tried before the hash lookup.
  bool has_last_ = false;
  std::uint64_t last_key_ = 0;
  std::uint32_t last_index_ = 0;
};

// Fills the measures a summary derives from its counts: phase_ms, average
// active tiles and mean cycles (a zero divisor gives 0.0).
void fill_ratios(GroupSummary& summary, std::uint64_t clock_hz);

// Orders `groups` for `sort_by` and cuts them to `limit`.
void order_groups(std::vector<GroupSummary>& groups, SortBy sort_by,
                  std::optional<std::size_t> limit);

}  // namespace zyl_profile::detail
