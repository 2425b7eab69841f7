// Grouping, aggregation and group order: group_key, percentile, cycles_to_ms,
// compare_groups, and the accumulate-then-summarise stage of the query.
#include "grouping.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "name_index.h"

namespace zyl_profile {
namespace {

std::string_view first_metadata_value(const ProfileStep& step,
                                      std::string_view key) {
  for (const ProfileMetadata& entry : step.metadata) {
    if (entry.name == key) return entry.value;
  }
  return kMissingName;
}

std::string_view kernel_group_name(std::string_view kernel) {
  return kernel.empty() ? kNoKernelName : kernel;
}

// The group keys, spelled once for the record and the column paths.
GroupKey named_group(std::string_view name) {
  GroupKey key;
  key.name = name;
  return key;
}

GroupKey phase_group(std::uint32_t phase, std::uint32_t epoch) {
  GroupKey key;
  key.name = "phase " + std::to_string(phase) + "/" + std::to_string(epoch);
  key.dimensions.emplace(kPhaseKey, std::to_string(phase));
  key.dimensions.emplace(kEpochKey, std::to_string(epoch));
  return key;
}

GroupKey tile_group(std::uint32_t tile) {
  GroupKey key;
  key.name = "tile " + std::to_string(tile);
  key.dimensions.emplace(kPhysicalTileKey, std::to_string(tile));
  return key;
}

GroupKey metadata_group(std::string_view metadata_key, std::string_view value) {
  GroupKey key;
  key.name = value;
  key.dimensions.emplace(kMetadataKeyKey, metadata_key);
  key.dimensions.emplace(kMetadataValueKey, value);
  return key;
}

std::strong_ordering compare_names(std::string_view left,
                                   std::string_view right) {
  // char_traits<char> compares as unsigned char: byte-wise UTF-8 order.
  return left.compare(right) <=> 0;
}

}  // namespace

GroupKey group_key(const Query& query, std::uint32_t tile,
                   const CycleSample& sample) {
  const ProfileStep& step = sample.step;
  switch (query.group_by) {
    case GroupBy::Kind:
      return named_group(kind_name(sample));
    case GroupBy::Kernel:
      return named_group(kernel_group_name(step.kernel));
    case GroupBy::Operation:
      return named_group(step.operation);
    case GroupBy::Phase:
      return phase_group(step.phase, step.epoch);
    case GroupBy::Tile:
      return tile_group(tile);
    case GroupBy::Metadata:
      break;
  }
  const std::string_view metadata_key =
      query.metadata_key ? std::string_view(*query.metadata_key) : "";
  return metadata_group(metadata_key, first_metadata_value(step, metadata_key));
}

std::uint32_t percentile(std::span<const std::uint32_t> sorted,
                         std::size_t percentage) {
  if (sorted.empty()) return 0;
  // Clamp so a percentage above 100 cannot index past the list.
  const std::size_t index =
      ((sorted.size() - 1) * std::min<std::size_t>(percentage, 100)) / 100;
  return sorted[index];
}

double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz) {
  if (clock_hz == 0) return 0.0;
  // Multiply first: 49 cycles at 3 Hz give 16333.333333333334, dividing
  // first would give 16333.333333333332.
  return static_cast<double>(cycles) * 1000.0 / static_cast<double>(clock_hz);
}

std::strong_ordering compare_groups(SortBy sort_by, const GroupSummary& left,
                                    const GroupSummary& right) {
  std::strong_ordering primary = std::strong_ordering::equal;
  // "Larger first" is the same comparison with the sides swapped.
  switch (sort_by) {
    case SortBy::PhaseCycles:
      primary = right.phase_cycles <=> left.phase_cycles;
      break;
    case SortBy::WorkCycles:
      primary = right.work_cycles <=> left.work_cycles;
      break;
    case SortBy::MaximumCycles:
      primary = right.maximum_cycles <=> left.maximum_cycles;
      break;
    case SortBy::Samples:
      primary = right.sample_count <=> left.sample_count;
      break;
    case SortBy::Name:
      primary = compare_names(left.name, right.name);
      break;
  }
  if (primary != 0) return primary;
  if (const auto by_offset = left.first_offset <=> right.first_offset;
      by_offset != 0) {
    return by_offset;
  }
  return compare_names(left.name, right.name);
}

namespace detail {
namespace {

// Groups whose durations span a wide range are summarised by counting from
// this many members on, smaller ones by selection: below it, clearing and
// walking the histogram costs more than the selections it saves.
constexpr std::size_t kCountingMembers = std::size_t{1} << 15;
// A narrow range is counted with one bin per value when there are at most
// this many bins per member: walking a bin costs far less than a step of a
// selection.
constexpr std::uint64_t kBinsPerMember = 8;
// 2^16 bins of u32: a quarter megabyte that stays in the core's cache, and
// one bin per value for any group whose durations span less than 65536.
constexpr std::uint32_t kHistogramBins = std::uint32_t{1} << 16;
// A window is summarised in the histogram's room.
static_assert(Accumulator::kMaxWindowBins <= kHistogramBins);

// The ranks, in a sorted list of `count` values, of the percentiles a
// summary reports: the index rule of `percentile`.
struct Ranks {
  explicit Ranks(std::size_t count)
      : p50(rank(count, 50)), p95(rank(count, 95)), p99(rank(count, 99)) {}
  static std::size_t rank(std::size_t count, std::size_t percentage) {
    return ((count - 1) * percentage) / 100;
  }
  std::size_t p50;
  std::size_t p95;
  std::size_t p99;
};

// Small groups: selection instead of a full sort. The percentiles, minimum
// and maximum are order statistics, so nth_element gives exactly the values
// a sorted list would, at a fraction of the cost.
void select_stats(std::span<std::uint32_t> durations, GroupSummary& summary) {
  const Ranks ranks(durations.size());
  const auto at = [&durations](std::size_t index) {
    return durations.begin() + static_cast<std::ptrdiff_t>(index);
  };
  // Each selection leaves everything above its rank behind it, so the next,
  // higher rank is selected among those alone: about 1.6 passes in all.
  std::nth_element(at(0), at(ranks.p50), durations.end());
  if (ranks.p95 > ranks.p50) {
    std::nth_element(at(ranks.p50 + 1), at(ranks.p95), durations.end());
  }
  if (ranks.p99 > ranks.p95) {
    std::nth_element(at(ranks.p95 + 1), at(ranks.p99), durations.end());
  }
  summary.p50_cycles = durations[ranks.p50];
  summary.p95_cycles = durations[ranks.p95];
  summary.p99_cycles = durations[ranks.p99];
  summary.minimum_cycles = *std::min_element(at(0), at(ranks.p50 + 1));
  summary.maximum_cycles = *std::max_element(at(ranks.p99), durations.end());
}

// Where the ranks of a summary fall in a histogram of `bins` bins: the bin
// of each and its place among that bin's values.
struct RankBins {
  std::uint32_t bin[3] = {};
  std::size_t place[3] = {};
};

RankBins find_rank_bins(const std::vector<std::uint32_t>& histogram,
                        std::size_t bins, const Ranks& ranks) {
  const std::size_t wanted[3] = {ranks.p50, ranks.p95, ranks.p99};
  RankBins found;
  std::size_t next = 0;
  std::size_t before = 0;
  for (std::uint32_t bin = 0; bin < bins && next < 3; ++bin) {
    const std::size_t after = before + histogram[bin];
    while (next < 3 && wanted[next] < after) {
      found.bin[next] = bin;
      found.place[next] = wanted[next] - before;
      ++next;
    }
    before = after;
  }
  return found;
}

// Large groups of a wide range: a counting pass instead of selection.
// Durations are binned by their distance from the minimum, 2^shift values
// to a bin, and the values of each wanted bin are then selected exactly. A
// histogram increment is far cheaper than a partition step, which is what
// makes the summaries of a big kernel cheap.
void count_wide_stats(std::span<std::uint32_t> durations, std::uint32_t low,
                      unsigned shift, std::vector<std::uint32_t>& histogram,
                      GroupSummary& summary) {
  histogram.assign(kHistogramBins, 0);
  for (const std::uint32_t value : durations) {
    ++histogram[(value - low) >> shift];
  }
  const RankBins found =
      find_rank_bins(histogram, kHistogramBins, Ranks(durations.size()));
  // Gather each wanted bin's members at the front (the list is our own
  // copy), bins in increasing order, and select within each bin.
  std::uint32_t values[3] = {};
  auto rest = durations.begin();
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint32_t bin = found.bin[i];
    const auto in_bin = [&](std::uint32_t value) {
      return ((value - low) >> shift) == bin;
    };
    auto bin_begin = rest;
    if (i > 0 && bin == found.bin[i - 1]) {
      bin_begin = rest - static_cast<std::ptrdiff_t>(histogram[bin]);
    } else {
      rest = std::partition(rest, durations.end(), in_bin);
    }
    const auto nth = bin_begin + static_cast<std::ptrdiff_t>(found.place[i]);
    std::nth_element(bin_begin, nth, rest);
    values[i] = *nth;
  }
  summary.p50_cycles = values[0];
  summary.p95_cycles = values[1];
  summary.p99_cycles = values[2];
}

// Calls `visit(span)` for every chunk of the group's durations.
template <typename Visit>
void for_each_duration_chunk(const Accumulator& group, Visit&& visit) {
  group.durations.for_each_chunk(visit);
  for (const ChunkedList& list : group.later_durations) {
    list.for_each_chunk(visit);
  }
}

// Copies the values of `first` and of every list in `later` into `out`.
void gather(const ChunkedList& first, const std::vector<ChunkedList>& later,
            std::vector<std::uint32_t>& out) {
  std::size_t size = first.size();
  for (const ChunkedList& list : later) size += list.size();
  out.resize(size);
  std::uint32_t* next = out.data();
  first.copy_to(next);
  next += first.size();
  for (const ChunkedList& list : later) {
    list.copy_to(next);
    next += list.size();
  }
}

// The duration statistics of a group with a window. The members in sorted
// order are the kept values below the window, then the window's values
// (its counts, plus kept values that fell inside it: workers of a parallel
// scan keep what their own window missed), then the kept values above it;
// each rank is read in the part it falls in, so the result is what a
// sorted list of every member gives.
void fill_windowed_stats(const Accumulator& group,
                         std::vector<std::uint32_t>& scratch,
                         std::vector<std::uint32_t>& histogram,
                         GroupSummary& summary) {
  gather(group.durations, group.later_durations, scratch);
  const std::uint32_t low = group.window_low;
  const std::uint32_t bins = group.window_bins;
  const auto inside =
      std::partition(scratch.begin(), scratch.end(),
                     [low](std::uint32_t value) { return value < low; });
  const auto above = std::partition(
      inside, scratch.end(),
      [low, bins](std::uint32_t value) { return value - low < bins; });
  // Counts stay below 2^32: windows exist only for smaller profiles.
  histogram.assign(group.window, group.window + bins);
  for (auto it = inside; it != above; ++it) ++histogram[*it - low];
  std::uint64_t counted = 0;
  std::uint32_t first_bin = bins;
  std::uint32_t last_bin = 0;
  for (std::uint32_t bin = 0; bin < bins; ++bin) {
    if (histogram[bin] == 0) continue;
    counted += histogram[bin];
    first_bin = std::min(first_bin, bin);
    last_bin = bin;
  }
  const std::span<std::uint32_t> below(scratch.begin(), inside);
  const std::span<std::uint32_t> over(above, scratch.end());
  const std::size_t count = below.size() + counted + over.size();
  summary.sample_count = count;
  if (count == 0) return;
  if (!below.empty()) {
    summary.minimum_cycles = *std::min_element(below.begin(), below.end());
  } else if (counted != 0) {
    summary.minimum_cycles = low + first_bin;
  } else {
    summary.minimum_cycles = *std::min_element(over.begin(), over.end());
  }
  if (!over.empty()) {
    summary.maximum_cycles = *std::max_element(over.begin(), over.end());
  } else if (counted != 0) {
    summary.maximum_cycles = low + last_bin;
  } else {
    summary.maximum_cycles = *std::max_element(below.begin(), below.end());
  }
  const auto select = [](std::span<std::uint32_t> part, std::size_t rank) {
    const auto nth = part.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(part.begin(), nth, part.end());
    return *nth;
  };
  const auto value_at = [&](std::size_t rank) {
    if (rank < below.size()) return select(below, rank);
    rank -= below.size();
    if (rank < counted) {
      std::uint64_t before = 0;
      for (std::uint32_t bin = first_bin; bin <= last_bin; ++bin) {
        before += histogram[bin];
        if (rank < before) return low + bin;
      }
    }
    return select(over, rank - counted);
  };
  const Ranks ranks(count);
  summary.p50_cycles = value_at(ranks.p50);
  summary.p95_cycles = value_at(ranks.p95);
  summary.p99_cycles = value_at(ranks.p99);
}

// Fills the member count and the duration statistics of `summary`.
void fill_duration_stats(const Accumulator& group,
                         std::vector<std::uint32_t>& scratch,
                         std::vector<std::uint32_t>& histogram,
                         GroupSummary& summary) {
  if (group.window_bins != 0) {
    fill_windowed_stats(group, scratch, histogram, summary);
    return;
  }
  std::size_t count = 0;
  std::uint32_t low = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t high = 0;
  for_each_duration_chunk(group, [&](std::span<const std::uint32_t> chunk) {
    count += chunk.size();
    for (const std::uint32_t value : chunk) {
      low = std::min(low, value);
      high = std::max(high, value);
    }
  });
  summary.sample_count = count;
  if (count == 0) return;
  summary.minimum_cycles = low;
  summary.maximum_cycles = high;
  // Counts are u32: a group of 2^32 members or more is selected instead.
  const bool countable = count <= std::numeric_limits<std::uint32_t>::max();
  const std::uint64_t bins = std::uint64_t{high - low} + 1;
  if (countable && bins <= kHistogramBins && bins <= kBinsPerMember * count) {
    // A narrow range (the usual case for one kernel): one bin per value,
    // counted straight from the chunks, and the percentiles read off the
    // counts. Nothing is copied or reordered.
    histogram.assign(bins, 0);
    for_each_duration_chunk(group, [&](std::span<const std::uint32_t> chunk) {
      for (const std::uint32_t value : chunk) ++histogram[value - low];
    });
    const RankBins found = find_rank_bins(histogram, bins, Ranks(count));
    summary.p50_cycles = low + found.bin[0];
    summary.p95_cycles = low + found.bin[1];
    summary.p99_cycles = low + found.bin[2];
    return;
  }
  gather(group.durations, group.later_durations, scratch);
  if (countable && count >= kCountingMembers) {
    unsigned shift = 0;
    while (((high - low) >> shift) >= kHistogramBins) ++shift;
    count_wide_stats(scratch, low, shift, histogram, summary);
  } else {
    select_stats(scratch, summary);
  }
}

// `scratch` and `histogram` are reused across groups, so summarising
// allocates only when a group is larger than every one before it.
GroupSummary summarise(GroupKey key, const Accumulator& group,
                       const PhaseLayout& layout, std::uint64_t clock_hz,
                       std::vector<std::uint32_t>& scratch,
                       std::vector<std::uint32_t>& histogram) {
  GroupSummary summary;
  summary.name = std::move(key.name);
  summary.dimensions = std::move(key.dimensions);
  gather(group.tile_runs, group.later_tile_runs, scratch);
  std::sort(scratch.begin(), scratch.end());
  summary.tile_count = static_cast<std::size_t>(
      std::unique(scratch.begin(), scratch.end()) - scratch.begin());
  fill_duration_stats(group, scratch, histogram, summary);
  if (layout.one_pair_per_group) {
    summary.phase_count = 1;
    summary.phase_cycles = summary.maximum_cycles;
  } else {
    for (std::uint32_t i = 0; i < layout.pairs; ++i) {
      if (group.phase_row[i] == 0) continue;
      ++summary.phase_count;
      summary.phase_cycles += group.phase_row[i] - 1;
    }
    summary.phase_count += group.phases.size();
    summary.phase_cycles += group.phases.sum();
  }
  summary.work_cycles = group.work_cycles;
  summary.first_offset = group.first_offset;
  summary.last_offset = group.last_offset;
  fill_ratios(summary, clock_hz);
  return summary;
}

std::size_t kept_count(const Accumulator& group) {
  std::size_t count = group.durations.size();
  for (const ChunkedList& list : group.later_durations) count += list.size();
  return count;
}

std::size_t tile_run_count(const Accumulator& group) {
  std::size_t count = group.tile_runs.size();
  for (const ChunkedList& list : group.later_tile_runs) count += list.size();
  return count;
}

// The most values a group's summary copies into the scratch list.
std::size_t scratch_size(const Accumulator& group) {
  return std::max(kept_count(group), tile_run_count(group));
}

// What summarising a group costs, about: a step per kept value, per tile
// run and per window bin.
std::size_t summary_cost(const Accumulator& group) {
  return kept_count(group) + tile_run_count(group) + group.window_bins;
}

}  // namespace

// The phase cache points into a vector's buffer; it survives the group table
// growing only because moving keeps the buffer where it is.
static_assert(std::is_nothrow_move_constructible_v<Accumulator>);

GroupClasses::GroupClasses(const ProfileColumns& columns, const Query& query)
    : by_(query.group_by) {
  if (query.metadata_key) metadata_key_ = *query.metadata_key;
  NameIndex index;
  // Gives `name` its class: the class of an equal name seen before, or a
  // new one.
  const auto class_of = [&](std::string_view name) {
    const auto [position, inserted] = index.find_or_insert(name, names_.size());
    if (inserted) names_.push_back(name);
    return static_cast<std::uint32_t>(position);
  };
  switch (by_) {
    case GroupBy::Kind:
      for (std::uint8_t kind = 0; kind < 4; ++kind) {
        names_.push_back(kind_name(static_cast<StepKind>(kind)));
      }
      break;
    case GroupBy::Kernel:
    case GroupBy::Operation:
      of_id_.resize(columns.string_count());
      for (std::uint32_t id = 0; id < of_id_.size(); ++id) {
        const std::string_view text = columns.string(id);
        of_id_[id] =
            class_of(by_ == GroupBy::Kernel ? kernel_group_name(text) : text);
      }
      break;
    case GroupBy::Metadata:
      of_id_.resize(columns.list_count());
      for (std::uint32_t id = 0; id < of_id_.size(); ++id) {
        std::string_view value = kMissingName;
        for (const zyl_package::MetadataPair& entry : columns.list(id)) {
          if (columns.string(entry.name) == metadata_key_) {
            value = columns.string(entry.value);
            break;
          }
        }
        of_id_[id] = class_of(value);
      }
      break;
    case GroupBy::Tile: {
      std::unordered_map<std::uint32_t, std::uint32_t> by_number;
      of_id_.resize(columns.tiles.size());
      for (std::size_t i = 0; i < of_id_.size(); ++i) {
        const std::uint32_t number = columns.tiles[i].physical_tile;
        const auto [it, inserted] = by_number.try_emplace(
            number, static_cast<std::uint32_t>(tile_numbers_.size()));
        if (inserted) {
          tile_numbers_.push_back(number);
          names_.emplace_back();
        }
        of_id_[i] = it->second;
      }
      break;
    }
    case GroupBy::Phase:
      break;
  }
}

GroupKey GroupClasses::key(std::uint64_t key) const {
  switch (by_) {
    case GroupBy::Phase:
      return phase_group(static_cast<std::uint32_t>(key >> 32),
                         static_cast<std::uint32_t>(key));
    case GroupBy::Tile:
      return tile_group(tile_numbers_[key]);
    case GroupBy::Metadata:
      return metadata_group(metadata_key_, names_[key]);
    case GroupBy::Kind:
    case GroupBy::Kernel:
    case GroupBy::Operation:
      break;
  }
  return named_group(names_[key]);
}

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

void Accumulator::keep(std::uint32_t sample_duration, ChunkArena& arena) {
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

bool Accumulator::place_window(std::uint32_t low, std::uint32_t high,
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

void Accumulator::merge(Accumulator&& later, std::uint32_t pairs,
                        ChunkArena& arena) {
  later_durations.push_back(later.durations);
  later_durations.insert(later_durations.end(), later.later_durations.begin(),
                         later.later_durations.end());
  later_tile_runs.push_back(later.tile_runs);
  later_tile_runs.insert(later_tile_runs.end(), later.later_tile_runs.begin(),
                         later.later_tile_runs.end());
  if (later.window_bins != 0) merge_window(later, arena);
  phases.merge(later.phases);
  for (std::uint32_t i = 0; i < pairs; ++i) {
    phase_row[i] = std::max(phase_row[i], later.phase_row[i]);
  }
  work_cycles += later.work_cycles;
  first_offset = std::min(first_offset, later.first_offset);
  last_offset = std::max(last_offset, later.last_offset);
}

void Accumulator::merge_window(const Accumulator& later, ChunkArena& arena) {
  if (window_bins == 0) {
    // Its counts live in the later table's arena, which ours has adopted.
    window = later.window;
    window_low = later.window_low;
    window_bins = later.window_bins;
    return;
  }
  const std::uint64_t end =
      std::max(std::uint64_t{window_low} + window_bins,
               std::uint64_t{later.window_low} + later.window_bins);
  const std::uint32_t low = std::min(window_low, later.window_low);
  const std::uint64_t bins = end - low;
  if (bins > kMaxWindowBins) {
    // Windows too far apart to join: the later one's members become kept
    // values. Only groups whose durations spread past a window come here.
    for (std::uint32_t bin = 0; bin < later.window_bins; ++bin) {
      for (std::uint32_t n = later.window[bin]; n > 0; --n) {
        durations.push(later.window_low + bin, arena);
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
  for (std::uint32_t bin = 0; bin < later.window_bins; ++bin) {
    window[later.window_low - low + bin] += later.window[bin];
  }
}

GroupTable::GroupTable(const GroupClasses& classes, const PhaseLayout& layout,
                       const Query& query, std::size_t expected_samples,
                       std::size_t profile_samples)
    // Room for the durations and, at worst, one tile run per sample.
    : classes_(classes),
      layout_(layout),
      query_(query),
      first_placing_(profile_samples <=
                             std::numeric_limits<std::uint32_t>::max()
                         ? Accumulator::kFirstPlacing
                         : Accumulator::kNeverPlace),
      arena_(2 * expected_samples),
      by_class_(classes.count(), kNone) {
  if (layout.pairs != 0) {
    phase_rows_ = std::make_unique_for_overwrite<std::uint64_t[]>(
        classes.count() * layout.pairs);
  }
}

std::uint32_t GroupTable::create(std::uint64_t key, std::uint64_t offset) {
  const auto index = static_cast<std::uint32_t>(groups_.size());
  Accumulator& group = groups_.emplace_back();
  group.key = key;
  group.first_offset = offset;
  group.next_placing = first_placing_;
  if (layout_.pairs != 0) {
    group.phase_row = phase_rows_.get() + std::size_t{index} * layout_.pairs;
    std::fill_n(group.phase_row, layout_.pairs, 0);
  }
  return index;
}

void GroupTable::merge(GroupTable&& later) {
  // The later groups' lists live in its arena: keep its blocks alive here.
  arena_.adopt(std::move(later.arena_));
  has_last_ = false;
  const bool by_phase = query_.group_by == GroupBy::Phase;
  for (Accumulator& group : later.groups_) {
    std::uint32_t* index = nullptr;
    if (by_phase) {
      index = &by_key_.try_emplace(group.key, kNone).first->second;
    } else {
      index = &by_class_[group.key];
    }
    if (*index == kNone) {
      *index = create(group.key, group.first_offset);
    }
    groups_[*index].merge(std::move(group), layout_.pairs, arena_);
  }
}

namespace {

// Calls `work(begin, end)` for contiguous ranges of `groups` of about equal
// summary cost, on up to `threads` threads, the caller's among them.
template <typename Work>
void split_groups(const std::vector<Accumulator>& groups, unsigned threads,
                  Work&& work) {
  if (threads <= 1 || groups.size() < 2) {
    work(std::size_t{0}, groups.size());
    return;
  }
  std::size_t total = 0;
  for (const Accumulator& group : groups) total += summary_cost(group);
  std::vector<std::size_t> bounds{0};
  std::size_t seen = 0;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    seen += summary_cost(groups[i]);
    if (bounds.size() < threads && seen * threads >= total * bounds.size()) {
      bounds.push_back(i + 1);
    }
  }
  bounds.push_back(groups.size());
  std::vector<std::jthread> workers;
  for (std::size_t range = 1; range + 1 < bounds.size(); ++range) {
    workers.emplace_back(work, bounds[range], bounds[range + 1]);
  }
  work(bounds[0], bounds[1]);
}

// The scratch lists a range of groups reuses, sized for the largest group up
// front, so the allocation count does not depend on the order in which
// groups of growing size come. The histogram is reserved whatever the group
// sizes, so the count depends on the number of ranges alone; its pages are
// touched only when used.
struct Scratch {
  Scratch(const std::vector<Accumulator>& groups, std::size_t begin,
          std::size_t end) {
    std::size_t largest = 0;
    for (std::size_t i = begin; i < end; ++i) {
      largest = std::max(largest, scratch_size(groups[i]));
    }
    values.reserve(largest);
    spare.reserve(largest);
    if (begin < end) histogram.reserve(kHistogramBins);
  }
  std::vector<std::uint32_t> values;
  std::vector<std::uint32_t> spare;  // the other half of a radix sort
  std::vector<std::uint32_t> histogram;
};

// Sorts values[begin, end) ascending. Long lists go by least significant
// digit first, 11 bits a pass, skipping a pass whose digit all values
// share (the high bits of durations and tile numbers mostly are): a few
// streaming passes instead of a comparison sort's log n, which was most
// of the time of a partial over many wide groups.
void sort_values(std::vector<std::uint32_t>& values, std::size_t end,
                 std::vector<std::uint32_t>& spare) {
  constexpr std::size_t kRadixFrom = 1024;
  constexpr unsigned kDigitBits = 11;
  constexpr std::uint32_t kDigits = std::uint32_t{1} << kDigitBits;
  if (end < kRadixFrom) {
    std::sort(values.begin(),
              values.begin() + static_cast<std::ptrdiff_t>(end));
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

// Returns every member duration of the group with its count, ascending. The
// window's counts and, for a narrow range of kept values, a histogram count
// most members; only the values outside those are sorted.
// The group is being drained, so its window counts the kept values that
// fall inside it in place.
std::vector<DurationCount> duration_counts(Accumulator& group,
                                           Scratch& scratch) {
  std::vector<std::uint32_t>& kept = scratch.values;
  gather(group.durations, group.later_durations, kept);
  std::uint32_t low = 0;
  std::uint32_t bins = 0;  // `counts` counts [low, low + bins)
  std::uint32_t* counts = nullptr;
  if (group.window_bins != 0) {
    // Counts stay below 2^32: windows exist only for smaller profiles.
    low = group.window_low;
    bins = group.window_bins;
    counts = group.window;
  } else if (!kept.empty() &&
             kept.size() <= std::numeric_limits<std::uint32_t>::max()) {
    const auto [least, most] = std::minmax_element(kept.begin(), kept.end());
    const std::uint64_t range = std::uint64_t{*most} - *least + 1;
    if (range <= kHistogramBins && range <= kBinsPerMember * kept.size()) {
      low = *least;
      bins = static_cast<std::uint32_t>(range);
      scratch.histogram.assign(bins, 0);
      counts = scratch.histogram.data();
    }
  }
  const auto outside_end =
      std::remove_if(kept.begin(), kept.end(), [&](std::uint32_t value) {
        if (value - low >= bins) return false;
        ++counts[value - low];
        return true;
      });
  sort_values(kept, static_cast<std::size_t>(outside_end - kept.begin()),
              scratch.spare);
  std::vector<DurationCount> entries;
  const auto push = [&entries](std::uint32_t cycles, std::uint64_t count) {
    if (!entries.empty() && entries.back().cycles == cycles) {
      entries.back().count += count;
    } else {
      entries.push_back(DurationCount{cycles, count});
    }
  };
  auto next = kept.begin();
  for (std::uint32_t bin = 0; bin < bins; ++bin) {
    if (counts[bin] == 0) continue;
    const std::uint32_t cycles = low + bin;
    while (next != outside_end && *next < cycles) push(*next++, 1);
    push(cycles, counts[bin]);
  }
  while (next != outside_end) push(*next++, 1);
  return entries;
}

// Returns the mergeable state of a group.
PartialGroup partial_group(GroupKey key, Accumulator& group,
                           const PhaseLayout& layout, Scratch& scratch) {
  PartialGroup partial;
  partial.name = std::move(key.name);
  partial.dimensions = std::move(key.dimensions);
  partial.work_cycles = group.work_cycles;
  partial.first_offset = group.first_offset;
  partial.last_offset = group.last_offset;
  gather(group.tile_runs, group.later_tile_runs, scratch.values);
  sort_values(scratch.values, scratch.values.size(), scratch.spare);
  partial.tiles.assign(
      scratch.values.begin(),
      std::unique(scratch.values.begin(), scratch.values.end()));
  partial.durations = duration_counts(group, scratch);
  if (layout.one_pair_per_group) {
    // The group is its pair; its longest member is its maximum.
    partial.phases.push_back(PhaseLongest{
        static_cast<std::uint32_t>(group.key >> 32),
        static_cast<std::uint32_t>(group.key),
        partial.durations.empty() ? 0 : partial.durations.back().cycles});
    return partial;
  }
  for (std::uint32_t i = 0; i < layout.pairs; ++i) {
    if (group.phase_row[i] == 0) continue;
    partial.phases.push_back(
        PhaseLongest{i / layout.epochs, i % layout.epochs,
                     static_cast<std::uint32_t>(group.phase_row[i] - 1)});
  }
  group.phases.for_each(
      [&](std::uint32_t phase, std::uint32_t epoch, std::uint32_t longest) {
        partial.phases.push_back(PhaseLongest{phase, epoch, longest});
      });
  // A pair is kept in the row or in the table, never both.
  std::sort(partial.phases.begin(), partial.phases.end(),
            [](const PhaseLongest& left, const PhaseLongest& right) {
              return std::pair(left.phase, left.epoch) <
                     std::pair(right.phase, right.epoch);
            });
  return partial;
}

}  // namespace

std::vector<GroupSummary> GroupTable::summaries(std::uint64_t clock_hz,
                                                unsigned threads) && {
  std::vector<GroupSummary> result(groups_.size());
  split_groups(groups_, threads, [&](std::size_t begin, std::size_t end) {
    Scratch scratch(groups_, begin, end);
    for (std::size_t i = begin; i < end; ++i) {
      const Accumulator& group = groups_[i];
      result[i] = summarise(classes_.key(group.key), group, layout_, clock_hz,
                            scratch.values, scratch.histogram);
    }
  });
  groups_.clear();
  order_groups(result, query_.sort_by, query_.limit);
  return result;
}

std::vector<PartialGroup> GroupTable::partials(unsigned threads) && {
  std::vector<PartialGroup> result(groups_.size());
  split_groups(groups_, threads, [&](std::size_t begin, std::size_t end) {
    Scratch scratch(groups_, begin, end);
    for (std::size_t i = begin; i < end; ++i) {
      Accumulator& group = groups_[i];
      result[i] =
          partial_group(classes_.key(group.key), group, layout_, scratch);
    }
  });
  groups_.clear();
  std::sort(result.begin(), result.end(),
            [](const PartialGroup& left, const PartialGroup& right) {
              return compare_names(left.name, right.name) < 0;
            });
  return result;
}

void fill_ratios(GroupSummary& summary, std::uint64_t clock_hz) {
  summary.phase_ms = cycles_to_ms(summary.phase_cycles, clock_hz);
  if (summary.phase_cycles != 0) {
    summary.average_active_tiles = static_cast<double>(summary.work_cycles) /
                                   static_cast<double>(summary.phase_cycles);
  }
  if (summary.sample_count != 0) {
    summary.mean_cycles = static_cast<double>(summary.work_cycles) /
                          static_cast<double>(summary.sample_count);
  }
}

void order_groups(std::vector<GroupSummary>& groups, SortBy sort_by,
                  std::optional<std::size_t> limit) {
  const auto goes_first = [sort_by](const GroupSummary& l,
                                    const GroupSummary& r) {
    return compare_groups(sort_by, l, r) < 0;
  };
  // The order is total (names are unique), so a partial sort of the kept
  // prefix gives the same list as sorting everything and cutting.
  if (limit && *limit < groups.size()) {
    const auto kept = static_cast<std::ptrdiff_t>(*limit);
    std::partial_sort(groups.begin(), groups.begin() + kept, groups.end(),
                      goes_first);
    groups.resize(*limit);
  } else {
    std::sort(groups.begin(), groups.end(), goes_first);
  }
}

}  // namespace detail
}  // namespace zyl_profile
