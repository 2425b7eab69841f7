// The group state: placing duration windows during the scan, combining
// states, settling them into sorted lists, and the one summary every query,
// thread range and partial ends in.
#include "group_state.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>

#include "sorted_merge.h"

namespace zyl_profile::detail {
namespace {

// A narrow range of kept values is counted with one bin per value when
// there are at most this many bins per value: walking a bin costs far less
// than a step of a sort.
constexpr std::uint64_t kBinsPerMember = 8;
// 2^16 bins of u32: a quarter megabyte that stays in the core's cache, and
// one bin per value for any group whose durations span less than 65536.
constexpr std::uint32_t kHistogramBins = std::uint32_t{1} << 16;

bool pair_before(const PhaseLongest& left, const PhaseLongest& right) {
  return std::pair(left.phase, left.epoch) <
         std::pair(right.phase, right.epoch);
}

bool cycles_before(const DurationCount& left, const DurationCount& right) {
  return left.cycles < right.cycles;
}

std::size_t total_size(const ChunkedList& first,
                       const std::vector<ChunkedList>& later) {
  std::size_t size = first.size();
  for (const ChunkedList& list : later) size += list.size();
  return size;
}

// Copies the values of `first` and of every list in `later` into `out`.
void gather(const ChunkedList& first, const std::vector<ChunkedList>& later,
            std::vector<std::uint32_t>& out) {
  out.resize(total_size(first, later));
  std::uint32_t* next = out.data();
  first.copy_to(next);
  next += first.size();
  for (const ChunkedList& list : later) {
    list.copy_to(next);
    next += list.size();
  }
}

// Sorts `values` ascending. Long lists go by least significant digit
// first, 11 bits a pass, skipping a pass whose digit all values share (the
// high bits of durations and tile numbers mostly are): a few streaming
// passes instead of a comparison sort's log n, which was most of the time
// of a partial over many wide groups.
void sort_values(std::vector<std::uint32_t>& values,
                 std::vector<std::uint32_t>& spare) {
  const std::size_t end = values.size();
  constexpr std::size_t kRadixFrom = 1024;
  constexpr unsigned kDigitBits = 11;
  constexpr std::uint32_t kDigits = std::uint32_t{1} << kDigitBits;
  if (end < kRadixFrom) {
    std::sort(values.begin(), values.end());
    return;
  }
  spare.resize(std::max(spare.size(), end));
  std::uint32_t* from = values.data();
  std::uint32_t* to = spare.data();
  std::array<std::size_t, kDigits> counts{};
  for (unsigned shift = 0; shift < 32; shift += kDigitBits) {
    counts.fill(0);
    for (std::size_t i = 0; i < end; ++i)
      ++counts[(from[i] >> shift) % kDigits];
    if (counts[(from[0] >> shift) % kDigits] == end) continue;
    std::size_t place = 0;
    for (std::size_t& count : counts) {
      place += count;
      count = place - count;
    }
    for (std::size_t i = 0; i < end; ++i) {
      to[counts[(from[i] >> shift) % kDigits]++] = from[i];
    }
    std::swap(from, to);
  }
  if (from != values.data()) std::copy_n(from, end, values.data());
}

// A group's member durations in ascending order: loose values below the
// counted ones, the counted ones, loose values above. The counted ones are
// `entries`, or the counts as a window or histogram holds them (`counts`,
// one per value from `low`), which spares writing them out for a summary.
// Loose values, in no order, also stay only for a summary, which selects
// its ranks among them instead of sorting them. Their least and greatest
// come from the pass that found them loose: a group too wide for counts is
// all loose values, and each further pass over them (for its minimum, its
// maximum, its longest member) cost a group by tile a tenth of its query.
struct Durations {
  std::span<const DurationCount> entries;
  const std::uint32_t* counts = nullptr;
  std::uint32_t low = 0;
  std::uint32_t bins = 0;
  std::span<std::uint32_t> loose;
  // The least and the greatest loose value, when there is one.
  std::uint32_t loose_low = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t loose_high = 0;
  std::uint64_t members = 0;  // all of them, loose ones included

  [[nodiscard]] std::uint64_t counted() const { return members - loose.size(); }

  // The least and the greatest counted duration; counted() must not be 0.
  [[nodiscard]] std::uint32_t first_counted() const {
    if (counts == nullptr) return entries.front().cycles;
    std::uint32_t bin = 0;
    while (counts[bin] == 0) ++bin;
    return low + bin;
  }
  [[nodiscard]] std::uint32_t last_counted() const {
    if (counts == nullptr) return entries.back().cycles;
    std::uint32_t bin = bins - 1;
    while (counts[bin] == 0) --bin;
    return low + bin;
  }
};

// A group as ascending lists: what a summary is read from and what a
// partial carries (with every duration in `entries`).
struct Settled {
  std::span<const std::uint32_t> tiles;
  std::span<const PhaseLongest> phases;
  Durations durations;
};

// Whether a settled group is summarised, so its counts and loose durations
// may stay as they are, or made a partial, which lists every duration in
// order.
enum class SettleFor : std::uint8_t { Summary = 0, Partial = 1 };

// Calls `visit(span)` for every chunk of the group's kept durations.
template <typename Visit>
void for_each_kept_chunk(const GroupState& group, Visit&& visit) {
  group.durations.for_each_chunk(visit);
  for (const ChunkedList& list : group.later_durations) {
    list.for_each_chunk(visit);
  }
}

// Calls `visit(bin)` for every bin of `counts` that counts something, in
// order. Counts are often sparse (durations spread over a few times as many
// values as a group has members), so a block of empty bins is passed over
// with one test, which the compiler makes a vector compare: the walk over
// the bins was most of the time of a summary.
template <typename Visit>
void for_each_counted(const std::uint32_t* counts, std::uint32_t bins,
                      Visit&& visit) {
  constexpr std::uint32_t kBlock = 8;
  std::uint32_t bin = 0;
  for (; bins - bin >= kBlock; bin += kBlock) {
    std::uint32_t any = 0;
    for (std::uint32_t i = 0; i < kBlock; ++i) any |= counts[bin + i];
    if (any == 0) continue;
    for (std::uint32_t i = 0; i < kBlock; ++i) {
      if (counts[bin + i] != 0) visit(bin + i);
    }
  }
  for (; bin < bins; ++bin) {
    if (counts[bin] != 0) visit(bin);
  }
}

// Returns the member durations of the group. The window's counts or, for a
// narrow range of kept values, a histogram count most members. For a
// summary the counts and the values outside them are returned as they
// stand; otherwise (and whenever settled counts could fall among them) the
// counts are written out as entries to scratch.durations, with the other
// values sorted and merged in with the settled counts. The group is being
// drained, so its window counts the kept values that fall inside it in
// place.
Durations settle_durations(GroupState& group, SettleFor purpose,
                           GroupScratch& scratch) {
  std::uint32_t low = 0;
  std::uint32_t bins = 0;  // `counts` counts [low, low + bins)
  std::uint32_t* counts = nullptr;
  std::uint64_t counted = 0;                         // members in the counts
  std::vector<std::uint32_t>& rest = scratch.loose;  // the others
  std::uint32_t rest_low = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t rest_high = 0;
  rest.clear();
  if (group.window_bins != 0) {
    // Counts stay below 2^32: windows exist only for smaller profiles.
    low = group.window_low;
    bins = group.window_bins;
    counts = group.window;
    gather(group.durations, group.later_durations, rest);
    rest.erase(std::remove_if(rest.begin(), rest.end(),
                              [&](std::uint32_t value) {
                                if (value - low >= bins) {
                                  rest_low = std::min(rest_low, value);
                                  rest_high = std::max(rest_high, value);
                                  return false;
                                }
                                ++counts[value - low];
                                return true;
                              }),
               rest.end());
    counted = std::accumulate(counts, counts + bins, std::uint64_t{0});
  } else {
    std::size_t count = 0;
    std::uint32_t least = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t most = 0;
    for_each_kept_chunk(group, [&](std::span<const std::uint32_t> chunk) {
      count += chunk.size();
      for (const std::uint32_t value : chunk) {
        least = std::min(least, value);
        most = std::max(most, value);
      }
    });
    const std::uint64_t range = std::uint64_t{most} - least + 1;
    if (count != 0 && count <= std::numeric_limits<std::uint32_t>::max() &&
        range <= kHistogramBins && range <= kBinsPerMember * count) {
      // A narrow range (the usual case for one kernel): counted straight
      // from the chunks, nothing copied or sorted.
      low = least;
      bins = static_cast<std::uint32_t>(range);
      scratch.histogram.assign(bins, 0);
      counts = scratch.histogram.data();
      for_each_kept_chunk(group, [&](std::span<const std::uint32_t> chunk) {
        for (const std::uint32_t value : chunk) ++counts[value - low];
      });
      counted = count;
    } else {
      gather(group.durations, group.later_durations, rest);
      rest_low = least;
      rest_high = most;
    }
  }
  Durations result;
  if (purpose == SettleFor::Summary && group.settled_durations.empty()) {
    if (counted != 0) {
      result.counts = counts;
      result.low = low;
      result.bins = bins;
    }
    result.loose = rest;
    result.loose_low = rest_low;
    result.loose_high = rest_high;
    result.members = counted + rest.size();
    return result;
  }
  std::vector<DurationCount>& entries = scratch.durations;
  entries.clear();
  result.members = counted;
  if (rest.empty() && group.settled_durations.empty()) {
    // The counts in order, one bin per value.
    for_each_counted(counts, bins, [&](std::uint32_t bin) {
      entries.push_back(DurationCount{low + bin, counts[bin]});
    });
    result.entries = entries;
    return result;
  }
  sort_values(rest, scratch.spare);
  const auto push = [&](std::uint32_t cycles, std::uint64_t count) {
    if (!entries.empty() && entries.back().cycles == cycles) {
      entries.back().count += count;
    } else {
      entries.push_back(DurationCount{cycles, count});
    }
  };
  // The sorted other values and the settled counts, merged, below `cycles`.
  auto next = rest.cbegin();
  auto settled = group.settled_durations.cbegin();
  const auto push_below = [&](std::uint64_t cycles) {
    while (true) {
      const bool from_rest = next != rest.cend() && *next < cycles;
      const bool from_settled =
          settled != group.settled_durations.cend() && settled->cycles < cycles;
      if (from_rest && (!from_settled || *next <= settled->cycles)) {
        push(*next++, 1);
      } else if (from_settled) {
        push(settled->cycles, settled->count);
        ++settled;
      } else {
        return;
      }
    }
  };
  for_each_counted(counts, bins, [&](std::uint32_t bin) {
    const std::uint32_t cycles = low + bin;
    push_below(cycles);
    push(cycles, counts[bin]);
  });
  push_below(std::uint64_t{1} << 32);
  result.entries = entries;
  result.members += rest.size();
  for (const DurationCount& entry : group.settled_durations) {
    result.members += entry.count;
  }
  return result;
}

// Writes the distinct tiles of the group, ascending, to the front of
// scratch.tiles and returns them.
std::span<const std::uint32_t> settle_tiles(const GroupState& group,
                                            GroupScratch& scratch) {
  std::vector<std::uint32_t>& tiles = scratch.tiles;
  gather(group.tile_runs, group.later_tile_runs, tiles);
  tiles.insert(tiles.end(), group.settled_tiles.begin(),
               group.settled_tiles.end());
  sort_values(tiles, scratch.spare);
  return {tiles.data(),
          static_cast<std::size_t>(std::unique(tiles.begin(), tiles.end()) -
                                   tiles.begin())};
}

// Writes the longest member of each pair of the group, ascending by pair,
// to scratch.phases; `longest` is the group's longest member.
void settle_phases(const GroupState& group, const PhaseLayout& layout,
                   std::uint32_t longest, GroupScratch& scratch) {
  std::vector<PhaseLongest>& pairs = scratch.phases;
  pairs.clear();
  if (layout.one_pair_per_group) {
    // The group is its pair; its longest member is its maximum.
    pairs.push_back(PhaseLongest{static_cast<std::uint32_t>(group.key >> 32),
                                 static_cast<std::uint32_t>(group.key),
                                 longest});
  }
  for (std::uint32_t i = 0; group.phase_row != nullptr && i < layout.pairs;
       ++i) {
    if (group.phase_row[i] == 0) continue;
    pairs.push_back(
        PhaseLongest{i / layout.epochs, i % layout.epochs,
                     static_cast<std::uint32_t>(group.phase_row[i] - 1)});
  }
  group.phases.for_each(
      [&](std::uint32_t phase, std::uint32_t epoch, std::uint32_t cycles) {
        pairs.push_back(PhaseLongest{phase, epoch, cycles});
      });
  pairs.insert(pairs.end(), group.settled_phases.begin(),
               group.settled_phases.end());
  // The row comes out in pair order; the hash table and settled pairs of a
  // combined state need sorting, and a pair held in two places folds into
  // one with the longer member.
  if (!std::is_sorted(pairs.begin(), pairs.end(), pair_before)) {
    std::sort(pairs.begin(), pairs.end(), pair_before);
  }
  auto last = pairs.begin();
  for (auto it = pairs.begin(); it != pairs.end(); ++it) {
    if (last != pairs.begin() && !pair_before(*(last - 1), *it)) {
      (last - 1)->cycles = std::max((last - 1)->cycles, it->cycles);
    } else {
      *last++ = *it;
    }
  }
  pairs.erase(last, pairs.end());
}

// Returns the group as ascending lists: its settled lists themselves when
// no scan added to it, otherwise lists built in `scratch`.
Settled settle(GroupState& group, const PhaseLayout& layout, SettleFor purpose,
               GroupScratch& scratch) {
  if (!group.scanned()) {
    Durations durations;
    durations.entries = group.settled_durations;
    for (const DurationCount& entry : durations.entries) {
      durations.members += entry.count;
    }
    return {group.settled_tiles, group.settled_phases, durations};
  }
  const Durations durations = settle_durations(group, purpose, scratch);
  std::uint32_t longest =
      durations.counted() != 0 ? durations.last_counted() : 0;
  if (!durations.loose.empty()) {
    longest = std::max(longest, durations.loose_high);
  }
  settle_phases(group, layout, longest, scratch);
  return {settle_tiles(group, scratch), scratch.phases, durations};
}

// Loose values at least this many are selected by counting first; fewer
// are selected among directly.
constexpr std::size_t kCountedSelectionFrom = 128;

// Writes the values at `ranks` (ascending, each below values.size()) of
// `values`, which all lie in [low, high], to `found`; reorders `values`.
// Loose values are the wide groups' members (a group by tile is all loose
// values), and selecting among them was most of the time of such a query:
// each selection step is a branch on an unpredictable comparison. Counting
// the values into about one bin per value by their distance from `low`
// finds the bin of each rank, and only the few values of those bins are
// gathered and selected among, exactly.
void select_ranks(std::span<std::uint32_t> values, std::uint32_t low,
                  std::uint32_t high, std::span<const std::size_t> ranks,
                  std::uint32_t* found, std::vector<std::uint32_t>& bins) {
  const auto select_each = [&](std::span<std::uint32_t> part,
                               std::span<const std::size_t> at) {
    // Each selection leaves the values above its rank after it, so the next
    // rank is selected among those alone.
    std::size_t done = 0;
    for (std::size_t i = 0; i < at.size(); ++i) {
      const auto nth = part.begin() + static_cast<std::ptrdiff_t>(at[i]);
      if (at[i] >= done) {
        std::nth_element(part.begin() + static_cast<std::ptrdiff_t>(done), nth,
                         part.end());
        done = at[i] + 1;
      }
      found[i] = *nth;
    }
  };
  constexpr std::size_t kMostRanks = 3;
  if (values.size() < kCountedSelectionFrom || ranks.size() > kMostRanks ||
      values.size() > std::numeric_limits<std::uint32_t>::max()) {
    select_each(values, ranks);
    return;
  }
  const auto bin_count = static_cast<std::uint32_t>(
      std::min<std::size_t>(std::bit_ceil(values.size()), kHistogramBins));
  unsigned shift = 0;
  while (((high - low) >> shift) >= bin_count) ++shift;
  bins.assign(bin_count, 0);
  for (const std::uint32_t value : values) ++bins[(value - low) >> shift];
  // The bin of each rank, and its place among the values of the wanted bins
  // once those are gathered: all of a lower bin's values are below a higher
  // bin's, so the gathered values in order are the wanted bins in order.
  std::array<std::uint32_t, kMostRanks> wanted{};
  std::array<std::size_t, kMostRanks> place{};
  std::size_t before = 0;    // values in the bins below `bin`
  std::size_t gathered = 0;  // of those, values in wanted bins
  std::uint32_t bin = 0;
  bool bin_wanted = false;
  for (std::size_t i = 0; i < ranks.size(); ++i) {
    while (before + bins[bin] <= ranks[i]) {
      before += bins[bin];
      if (bin_wanted) gathered += bins[bin];
      bin_wanted = false;
      ++bin;
    }
    wanted[i] = bin;
    bin_wanted = true;
    place[i] = gathered + (ranks[i] - before);
  }
  for (std::size_t i = ranks.size(); i < kMostRanks; ++i) {
    wanted[i] = wanted[ranks.size() - 1];
  }
  const auto gathered_end =
      std::partition(values.begin(), values.end(), [&](std::uint32_t value) {
        const std::uint32_t of = (value - low) >> shift;
        return of == wanted[0] || of == wanted[1] || of == wanted[2];
      });
  select_each(std::span<std::uint32_t>(values.begin(), gathered_end),
              std::span<const std::size_t>(place.data(), ranks.size()));
}

// Fills the minimum, maximum and percentiles of a group's members, reading
// each rank in the part of the durations it falls in. A loose part is
// selected in, not sorted: a group whose durations spread too wide for
// counts takes a few passes instead of a sort.
void fill_duration_stats(const Durations& durations, GroupSummary& summary,
                         GroupScratch& scratch) {
  const std::uint64_t counted = durations.counted();
  // Loose values lie below or above every counted one, never among them,
  // so the least and the greatest of all are a loose bound or a counted end.
  // Without counts, all are above (nothing to part).
  std::span<std::uint32_t> below;
  std::span<std::uint32_t> above = durations.loose;
  if (counted != 0) {
    const std::uint32_t first = durations.first_counted();
    const auto above_begin =
        std::partition(durations.loose.begin(), durations.loose.end(),
                       [&](std::uint32_t value) { return value < first; });
    below = {durations.loose.begin(), above_begin};
    above = {above_begin, durations.loose.end()};
    summary.minimum_cycles = below.empty() ? first : durations.loose_low;
    summary.maximum_cycles =
        above.empty() ? durations.last_counted() : durations.loose_high;
  } else {
    summary.minimum_cycles = durations.loose_low;
    summary.maximum_cycles = durations.loose_high;
  }
  // The ranks ascending, and the value at each: those below the counted
  // ones, then those among them, then those above.
  const std::array<std::uint64_t, 3> ranks = {
      percentile_rank(durations.members, 50),
      percentile_rank(durations.members, 95),
      percentile_rank(durations.members, 99)};
  std::array<std::uint32_t, 3> values{};
  std::array<std::size_t, 3> in_part{};  // a part's ranks, from its start
  std::size_t i = 0;
  std::size_t part_ranks = 0;
  for (; i < ranks.size() && ranks[i] < below.size(); ++i) {
    in_part[part_ranks++] = ranks[i];
  }
  if (part_ranks != 0) {
    select_ranks(below, durations.loose_low, durations.loose_high,
                 std::span<const std::size_t>(in_part.data(), part_ranks),
                 values.data(), scratch.rank_bins);
  }
  // The counted ones, walked on from where the last rank stopped.
  std::size_t next = 0;      // entry or bin
  std::uint64_t before = 0;  // members of the entries or bins before `next`
  for (; i < ranks.size() && ranks[i] - below.size() < counted; ++i) {
    const std::uint64_t rank = ranks[i] - below.size();
    if (durations.counts == nullptr) {
      const std::span<const DurationCount> entries = durations.entries;
      while (before + entries[next].count <= rank) {
        before += entries[next++].count;
      }
      values[i] = entries[next].cycles;
    } else {
      while (before + durations.counts[next] <= rank) {
        before += durations.counts[next++];
      }
      values[i] = durations.low + static_cast<std::uint32_t>(next);
    }
  }
  const std::size_t first_above = i;
  part_ranks = 0;
  for (; i < ranks.size(); ++i) {
    in_part[part_ranks++] = ranks[i] - below.size() - counted;
  }
  if (part_ranks != 0) {
    select_ranks(above, durations.loose_low, durations.loose_high,
                 std::span<const std::size_t>(in_part.data(), part_ranks),
                 values.data() + first_above, scratch.rank_bins);
  }
  summary.p50_cycles = values[0];
  summary.p95_cycles = values[1];
  summary.p99_cycles = values[2];
}

// The summary of a settled group: the only place a GroupSummary's measures
// are worked out.
GroupSummary summarise(GroupKey key, const GroupState& group,
                       const Settled& lists, std::uint64_t clock_hz,
                       GroupScratch& scratch) {
  GroupSummary summary;
  summary.name = std::move(key.name);
  summary.dimensions = std::move(key.dimensions);
  summary.tile_count = lists.tiles.size();
  summary.phase_count = lists.phases.size();
  for (const PhaseLongest& pair : lists.phases) {
    summary.phase_cycles += pair.cycles;
  }
  summary.work_cycles = group.work_cycles;
  summary.first_offset = group.first_offset;
  summary.last_offset = group.last_offset;
  summary.sample_count = lists.durations.members;
  if (summary.sample_count != 0) {
    fill_duration_stats(lists.durations, summary, scratch);
  }
  summary.phase_ms = cycles_to_ms(summary.phase_cycles, clock_hz);
  if (summary.phase_cycles != 0) {
    summary.average_active_tiles = static_cast<double>(summary.work_cycles) /
                                   static_cast<double>(summary.phase_cycles);
  }
  if (summary.sample_count != 0) {
    summary.mean_cycles = static_cast<double>(summary.work_cycles) /
                          static_cast<double>(summary.sample_count);
  }
  return summary;
}

}  // namespace

// The phase cache points into a vector's buffer; it survives the group table
// growing only because moving keeps the buffer where it is.
static_assert(std::is_nothrow_move_constructible_v<GroupState>);

PhaseLayout::PhaseLayout(const ProfileColumns& columns, const Query& query,
                         std::size_t classes) {
  if (query.group_by == GroupBy::Phase) {
    one_pair_per_group = true;
    return;
  }
  // Rows up to this long, and this many values for all groups together
  // (32 MiB); the row of a group is touched only when the group exists.
  constexpr std::uint64_t kMaxPairs = 4096;
  constexpr std::uint64_t kMaxValues = std::uint64_t{1} << 22;
  // 8 tiles of 4096 places: a few tens of thousands of reads, whatever the
  // length of the tiles.
  constexpr std::size_t kSampledTiles = 8;
  constexpr std::size_t kSampledPerTile = 4096;
  // The bounds come from a sample of the profile: a few tiles spread over
  // it, each read at evenly spaced places from its first sample to its
  // last. A profile walks its phases along every tile, so these see nearly
  // every pair, and a full pass would cost a tenth of the query. The places
  // must span the whole tile: reading only a tile's first samples saw only
  // its first phases once tiles grew long, and the pairs of the later
  // phases (most of a 10^8-sample profile) all went to the hash tables.
  // Pairs the sample misses are still counted, in the hash tables.
  std::uint32_t max_phase = 0;
  std::uint32_t max_epoch = 0;
  const std::size_t tiles = columns.tiles.size();
  const std::size_t sampled_tiles = std::min(tiles, kSampledTiles);
  for (std::size_t t = 0; t < sampled_tiles; ++t) {
    const std::size_t tile_idx =
        sampled_tiles == 1 ? 0 : t * (tiles - 1) / (sampled_tiles - 1);
    const zyl_package::ColumnTile& tile = columns.tiles[tile_idx];
    if (tile.sample_count == 0) continue;
    const std::size_t places =
        std::min<std::size_t>(tile.sample_count, kSampledPerTile);
    for (std::size_t place = 0; place < places; ++place) {
      // Place 0 is the first sample and the last place the last one.
      const std::size_t i =
          tile.first_sample +
          (places == 1 ? 0 : place * (tile.sample_count - 1) / (places - 1));
      max_phase = std::max(max_phase, columns.phase[i]);
      max_epoch = std::max(max_epoch, columns.epoch[i]);
    }
  }
  const std::uint64_t row = (std::uint64_t{max_phase} + 1) * (max_epoch + 1ULL);
  if (row <= kMaxPairs && row * classes <= kMaxValues) {
    phases = max_phase + 1;
    epochs = max_epoch + 1;
    pairs = static_cast<std::uint32_t>(row);
  }
}

bool PhaseLayout::covers(const ProfileColumns& columns, std::size_t first,
                         std::size_t count) const {
  if (pairs == 0) return false;
  const std::uint32_t* phase = columns.phase.data() + first;
  const std::uint32_t* epoch = columns.epoch.data() + first;
  std::uint32_t max_phase = 0;
  std::uint32_t max_epoch = 0;
  for (std::size_t i = 0; i < count; ++i) {
    max_phase = std::max(max_phase, phase[i]);
    max_epoch = std::max(max_epoch, epoch[i]);
  }
  return max_phase < phases && max_epoch < epochs;
}

void GroupState::keep(std::uint32_t sample_duration, ChunkArena& arena) {
  durations.push(sample_duration, arena);
  ++kept;
  kept_low = std::min(kept_low, sample_duration);
  kept_high = std::max(kept_high, sample_duration);
  if (kept < next_placing) return;
  std::uint32_t low = kept_low;
  std::uint32_t high = kept_high;
  if (window_bins != 0) {
    low = std::min(low, window_low);
    high = std::max(high, window_low + (window_bins - 1));
  }
  if (!place_window(low, high, windowed + kept, arena)) {
    // Too wide for the members so far: try again when the kept values have
    // doubled, so the tries cost a constant per kept value.
    next_placing = 2 * kept;
  }
}

bool GroupState::place_window(std::uint32_t low, std::uint32_t high,
                              std::uint64_t members, ChunkArena& arena) {
  const std::uint64_t needed = std::uint64_t{high} - low + 1;
  // A count per value must cost no more room than keeping the members
  // would; a wider group keeps its values, as every group used to.
  if (needed > kMaxWindowBins || needed > members) return false;
  // Spare bins on both sides, as far as the members pay for them, so that
  // durations just outside the range seldom widen the window again.
  const std::uint64_t bins = std::clamp<std::uint64_t>(
      2 * needed, needed, std::min<std::uint64_t>(kMaxWindowBins, members));
  std::uint64_t first = low - std::min<std::uint64_t>(low, (bins - needed) / 2);
  // The last bin must stay a 32-bit duration.
  first = std::min(first, (std::uint64_t{1} << 32) - bins);
  const auto base = static_cast<std::uint32_t>(first);
  std::uint32_t* const counts = arena.take(bins);
  std::fill_n(counts, bins, 0);
  for (std::uint32_t bin = 0; bin < window_bins; ++bin) {
    counts[window_low - base + bin] = window[bin];
  }
  durations.for_each_chunk([&](std::span<const std::uint32_t> chunk) {
    for (const std::uint32_t value : chunk) ++counts[value - base];
  });
  // The old window and the kept chunks stay in the arena, unused: each
  // placing waits for half the members again, so they add up to a small
  // multiple of the last window at most.
  durations.clear();
  window = counts;
  window_low = base;
  window_bins = static_cast<std::uint32_t>(bins);
  windowed = members;
  kept = 0;
  kept_low = 0xffffffffU;
  kept_high = 0;
  next_placing = std::max(kFirstPlacing, members / 2);
  return true;
}

void GroupState::merge_window(const GroupState& other, ChunkArena& arena) {
  if (window_bins == 0) {
    // Its counts live in the other table's arena, which ours has adopted.
    window = other.window;
    window_low = other.window_low;
    window_bins = other.window_bins;
    return;
  }
  const std::uint64_t end =
      std::max(std::uint64_t{window_low} + window_bins,
               std::uint64_t{other.window_low} + other.window_bins);
  const std::uint32_t low = std::min(window_low, other.window_low);
  const std::uint64_t bins = end - low;
  if (bins > kMaxWindowBins) {
    // Windows too far apart to join: the other's members become kept
    // values. Only groups whose durations spread past a window come here.
    for (std::uint32_t bin = 0; bin < other.window_bins; ++bin) {
      for (std::uint32_t n = other.window[bin]; n > 0; --n) {
        durations.push(other.window_low + bin, arena);
      }
    }
    return;
  }
  if (low != window_low || bins != window_bins) {
    std::uint32_t* const counts = arena.take(bins);
    std::fill_n(counts, bins, 0);
    std::copy_n(window, window_bins, counts + (window_low - low));
    window = counts;
    window_low = low;
    window_bins = static_cast<std::uint32_t>(bins);
  }
  for (std::uint32_t bin = 0; bin < other.window_bins; ++bin) {
    window[other.window_low - low + bin] += other.window[bin];
  }
}

GroupState GroupState::from_partial(PartialGroup&& partial) {
  GroupState state;
  state.work_cycles = partial.work_cycles;
  state.first_offset = partial.first_offset;
  state.last_offset = partial.last_offset;
  state.settled_tiles = std::move(partial.tiles);
  state.settled_phases = std::move(partial.phases);
  state.settled_durations = std::move(partial.durations);
  return state;
}

void GroupState::combine(GroupState&& other, const PhaseLayout& layout,
                         ChunkArena& arena) {
  const auto take_lists = [](std::vector<ChunkedList>& into,
                             const ChunkedList& first,
                             const std::vector<ChunkedList>& later) {
    if (!first.empty()) into.push_back(first);
    into.insert(into.end(), later.begin(), later.end());
  };
  take_lists(later_durations, other.durations, other.later_durations);
  take_lists(later_tile_runs, other.tile_runs, other.later_tile_runs);
  if (other.window_bins != 0) merge_window(other, arena);
  phases.merge(other.phases);
  if (other.phase_row != nullptr) {
    for (std::uint32_t i = 0; i < layout.pairs; ++i) {
      if (phase_row != nullptr) {
        phase_row[i] = std::max(phase_row[i], other.phase_row[i]);
      } else if (other.phase_row[i] != 0) {
        // No row here (a state read from a partial): the table holds them.
        phases.add(i / layout.epochs, i % layout.epochs,
                   static_cast<std::uint32_t>(other.phase_row[i] - 1));
      }
    }
  }
  work_cycles += other.work_cycles;
  first_offset = std::min(first_offset, other.first_offset);
  last_offset = std::max(last_offset, other.last_offset);
  settled_tiles =
      merge_sorted(std::move(settled_tiles), std::move(other.settled_tiles),
                   std::less<>(), [](std::uint32_t&, std::uint32_t) {});
  settled_phases =
      merge_sorted(std::move(settled_phases), std::move(other.settled_phases),
                   pair_before, [](PhaseLongest& into, PhaseLongest&& folded) {
                     into.cycles = std::max(into.cycles, folded.cycles);
                   });
  settled_durations = merge_sorted(
      std::move(settled_durations), std::move(other.settled_durations),
      cycles_before, [](DurationCount& into, DurationCount&& folded) {
        into.count += folded.count;
      });
}

GroupSummary GroupState::finish(GroupKey key, const PhaseLayout& layout,
                                std::uint64_t clock_hz,
                                GroupScratch& scratch) && {
  const Settled lists = settle(*this, layout, SettleFor::Summary, scratch);
  return summarise(std::move(key), *this, lists, clock_hz, scratch);
}

void GroupState::to_partial(PartialGroup& partial, const PhaseLayout& layout,
                            GroupScratch& scratch) && {
  partial.work_cycles = work_cycles;
  partial.first_offset = first_offset;
  partial.last_offset = last_offset;
  if (!scanned()) {
    partial.tiles = std::move(settled_tiles);
    partial.phases = std::move(settled_phases);
    partial.durations = std::move(settled_durations);
    return;
  }
  const Settled lists = settle(*this, layout, SettleFor::Partial, scratch);
  partial.tiles.assign(lists.tiles.begin(), lists.tiles.end());
  partial.phases.assign(lists.phases.begin(), lists.phases.end());
  partial.durations.assign(lists.durations.entries.begin(),
                           lists.durations.entries.end());
}

namespace {

std::size_t kept_count(const GroupState& state) {
  return total_size(state.durations, state.later_durations);
}

std::size_t tile_run_count(const GroupState& state) {
  return total_size(state.tile_runs, state.later_tile_runs);
}

}  // namespace

GroupScratch::GroupScratch(std::span<const GroupState> states,
                           const PhaseLayout& layout) {
  if (states.empty()) return;
  // At least one of each, so the count of allocations depends on the number
  // of scratches alone; pages are touched only when used.
  std::size_t most_kept = 1;
  std::size_t most_tiles = 1;
  std::size_t most_durations = 1;
  std::size_t most_phases = 1;
  for (const GroupState& state : states) {
    const std::size_t kept = kept_count(state);
    most_kept = std::max(most_kept, kept);
    most_tiles = std::max(most_tiles,
                          tile_run_count(state) + state.settled_tiles.size());
    most_durations =
        std::max(most_durations,
                 state.window_bins + kept + state.settled_durations.size());
    most_phases = std::max(most_phases, layout.pairs + state.phases.size() +
                                            state.settled_phases.size() + 1);
  }
  loose.reserve(most_kept);
  tiles.reserve(most_tiles);
  spare.reserve(std::max(most_kept, most_tiles));
  durations.reserve(most_durations);
  phases.reserve(most_phases);
  histogram.reserve(kHistogramBins);
  rank_bins.reserve(kHistogramBins);
}

std::size_t settle_cost(const GroupState& state) {
  return kept_count(state) + tile_run_count(state) + state.window_bins +
         state.settled_tiles.size() + state.settled_phases.size() +
         state.settled_durations.size();
}

}  // namespace zyl_profile::detail
