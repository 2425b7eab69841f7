// The state of one group, kept the way a database keeps an aggregate's
// state: `add` for each member during the scan, `combine` with the state of
// the same group over other tiles (another thread's range) or from another
// shard's partial, exact whatever the order, and `finish` once into the
// group's summary. A partial's group is this state settled into sorted
// lists, so every way to an answer goes through the same three steps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "chunked_list.h"
#include "phase_maxima.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/query.h"
#include "zyl_profile/scan.h"

namespace zyl_profile::detail {

// Returns the place, in an ascending list of `count` values, of the value
// reported as its `percentage` percentile: ((count - 1) * percentage) / 100,
// the lower member when the rank falls between two. A percentage above 100
// counts as 100, and an empty list gives 0.
[[nodiscard]] constexpr std::uint64_t percentile_rank(
    std::uint64_t count, std::uint64_t percentage) {
  return count == 0
             ? 0
             : ((count - 1) * std::min<std::uint64_t>(percentage, 100)) / 100;
}

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
  // No row: the layout of states read from partials, which hold their pairs
  // settled.
  PhaseLayout() = default;
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

struct GroupScratch;

// The state of one group. Its name is not kept: it comes from the key when
// the group is finished, so the scan never builds a name. What the scan
// updates for every member comes first and fills one cache line: the groups
// of a scan are visited in no predictable order, and each line more per
// member was a cache miss more.
//
// Member durations are counted, not kept, once a group has enough members
// to pay for a window of counts over their range: one count per duration
// value in [window_low, window_low + window_bins). The percentiles stay
// exact (a count per value is the sorted list, compressed), and a group's
// memory then follows the spread of its durations instead of its member
// count, so a profile ten times longer costs no more memory per group and
// no page faults for stored durations. Durations outside the window (and
// all of them before the group has one) are kept in `durations`.
//
// A state read from a partial holds its group settled instead, in the
// settled_* lists, ordered as PartialGroup orders them. Finishing reads them
// as they are; a state from a scan is first settled into lists of the same
// form, so every state ends in the same summary.
struct alignas(64) GroupState {
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
  // distinct tiles are counted when the group is settled. A set would cost
  // a tree insertion for every (group, tile) pair during the scan.
  ChunkedList tile_runs;
  std::uint64_t key = 0;  // class, or phase key, in the scan's table
  PhaseMaxima phases;
  // When the window is placed or widened: the values in `durations` (since
  // the last placing), the members counted in the window when it was last
  // placed, and the count of kept values at which placing is tried next.
  std::uint64_t kept = 0;
  std::uint64_t windowed = 0;
  std::uint64_t next_placing = kFirstPlacing;
  std::uint32_t kept_low = 0xffffffffU;  // range of the kept values
  std::uint32_t kept_high = 0;
  // The lists of the states combined into this one. Their values stay where
  // the scans put them and are read when the group is settled, so combining
  // copies no durations. Only lists with values are kept.
  std::vector<ChunkedList> later_durations;
  std::vector<ChunkedList> later_tile_runs;
  // The group as settled lists, from partials: distinct tiles ascending,
  // the longest member per pair ascending by (phase, epoch), and duration
  // counts ascending by cycles.
  std::vector<std::uint32_t> settled_tiles;
  std::vector<PhaseLongest> settled_phases;
  std::vector<DurationCount> settled_durations;

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

  // Returns the state of a partial's group: its totals and settled lists,
  // taken over. The name and dimensions stay with the caller.
  [[nodiscard]] static GroupState from_partial(PartialGroup&& partial);

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

  // Folds in the state of the same group over other members: later tiles of
  // the same scan, or other shards. Exact, and the finished summary does not
  // depend on the order of the combines. Both states' rows follow `layout`.
  // The lists of `other` stay where they are and must stay valid until this
  // state is finished; a window that cannot join this one's is spread back
  // into kept values taken from `arena`.
  void combine(GroupState&& other, const PhaseLayout& layout,
               ChunkArena& arena);

  // Returns the summary of the group named by `key`, its rows read by
  // `layout`, its times at `clock_hz`. Drains the state.
  [[nodiscard]] GroupSummary finish(GroupKey key, const PhaseLayout& layout,
                                    std::uint64_t clock_hz,
                                    GroupScratch& scratch) &&;

  // Settles the state into the totals and lists of `partial`, the form it
  // crosses to other processes in; the name and dimensions are left alone.
  // Drains the state.
  void to_partial(PartialGroup& partial, const PhaseLayout& layout,
                  GroupScratch& scratch) &&;

  // True when members were added by a scan (every member's tile starts a
  // run), false for a state holding settled lists only.
  [[nodiscard]] bool scanned() const {
    return !tile_runs.empty() || !later_tile_runs.empty();
  }

 private:
  // Folds the window of `other` into this group's.
  void merge_window(const GroupState& other, ChunkArena& arena);
  // Moves the kept values and the old window into a new window over
  // [low, high] when that is narrow enough for the members; returns false
  // and changes nothing otherwise.
  bool place_window(std::uint32_t low, std::uint32_t high,
                    std::uint64_t members, ChunkArena& arena);
};

// The lists that settling states reuses, one per thread. Sized up front for
// the largest of the states it will settle, so the allocations depend on
// neither the order of the groups nor the number of samples; a default one
// holds nothing, enough for states read from partials, which are settled
// already.
struct GroupScratch {
  GroupScratch() = default;
  GroupScratch(std::span<const GroupState> states, const PhaseLayout& layout);

  std::vector<std::uint32_t> loose;  // kept durations no count holds
  std::vector<std::uint32_t> tiles;
  std::vector<std::uint32_t> spare;  // the other half of a radix sort
  std::vector<std::uint32_t> histogram;
  std::vector<std::uint32_t> rank_bins;  // where a summary's ranks fall
  std::vector<DurationCount> durations;
  std::vector<PhaseLongest> phases;
};

// What settling a state costs, about: a step per kept value, per tile run,
// per window bin and per settled entry. Spreads the states over threads.
[[nodiscard]] std::size_t settle_cost(const GroupState& state);

}  // namespace zyl_profile::detail
