// Grouping, aggregation and group order: group_key, percentile, cycles_to_ms,
// compare_groups, and the accumulate-then-summarise stage of the query.
#include "grouping.h"

#include <algorithm>
#include <limits>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace zyl_profile {
namespace {

std::string_view first_metadata_value(const ProfileStep& step,
                                      std::string_view key) {
  for (const ProfileMetadata& entry : step.metadata) {
    if (entry.name == key) return entry.value;
  }
  return kMissingName;
}

std::string_view kernel_group_name(const ProfileStep& step) {
  return step.kernel.empty() ? kNoKernelName : std::string_view(step.kernel);
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
  GroupKey key;
  switch (query.group_by) {
    case GroupBy::Kind:
      key.name = kind_name(sample);
      break;
    case GroupBy::Kernel:
      key.name = kernel_group_name(step);
      break;
    case GroupBy::Operation:
      key.name = step.operation;
      break;
    case GroupBy::Phase:
      key.name = "phase " + std::to_string(step.phase) + "/" +
                 std::to_string(step.epoch);
      key.dimensions.emplace(kPhaseKey, std::to_string(step.phase));
      key.dimensions.emplace(kEpochKey, std::to_string(step.epoch));
      break;
    case GroupBy::Tile:
      key.name = "tile " + std::to_string(tile);
      key.dimensions.emplace(kPhysicalTileKey, std::to_string(tile));
      break;
    case GroupBy::Metadata: {
      const std::string_view metadata_key =
          query.metadata_key ? std::string_view(*query.metadata_key) : "";
      key.name = first_metadata_value(step, metadata_key);
      key.dimensions.emplace(kMetadataKeyKey, metadata_key);
      key.dimensions.emplace(kMetadataValueKey, key.name);
      break;
    }
  }
  return key;
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

// Groups from this many members are summarised by counting (count_stats),
// smaller ones by selection: below it, clearing and walking the histogram
// costs more than the selections it saves.
constexpr std::size_t kCountingMembers = std::size_t{1} << 15;
// 2^16 bins of u32: a quarter megabyte that stays in the core's cache, and
// one bin per value for any group whose durations span less than 65536.
constexpr std::uint32_t kHistogramBins = std::uint32_t{1} << 16;

std::uint64_t phase_key(const ProfileStep& step) {
  return (static_cast<std::uint64_t>(step.phase) << 32) | step.epoch;
}

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

// Large groups: a counting pass instead of selection. Durations are binned
// by their distance from the minimum. When the range fits the histogram
// (the usual case) each bin holds one value and the percentiles are read off
// the counts; otherwise the values of each wanted bin are selected exactly. A
// histogram increment is far cheaper than a partition step, which is what makes
// the summaries of a big kernel cheap.
void count_stats(std::span<std::uint32_t> durations,
                 std::vector<std::uint32_t>& histogram, GroupSummary& summary) {
  std::uint32_t low = durations[0];
  std::uint32_t high = durations[0];
  for (const std::uint32_t value : durations) {
    low = std::min(low, value);
    high = std::max(high, value);
  }
  summary.minimum_cycles = low;
  summary.maximum_cycles = high;
  unsigned shift = 0;
  while (((high - low) >> shift) >= kHistogramBins) ++shift;
  histogram.assign(kHistogramBins, 0);
  for (const std::uint32_t value : durations)
    ++histogram[(value - low) >> shift];

  // Walk the bins once, noting the bin of each rank and its place there.
  const Ranks ranks(durations.size());
  const std::size_t wanted[3] = {ranks.p50, ranks.p95, ranks.p99};
  std::uint32_t bin_of[3] = {};
  std::size_t place_in_bin[3] = {};
  std::size_t next = 0;
  std::size_t before = 0;
  for (std::uint32_t bin = 0; bin < kHistogramBins && next < 3; ++bin) {
    const std::size_t after = before + histogram[bin];
    while (next < 3 && wanted[next] < after) {
      bin_of[next] = bin;
      place_in_bin[next] = wanted[next] - before;
      ++next;
    }
    before = after;
  }

  std::uint32_t values[3] = {};
  if (shift == 0) {
    for (std::size_t i = 0; i < 3; ++i) values[i] = low + bin_of[i];
  } else {
    // Gather each wanted bin's members at the front (the list is our own
    // copy), bins in increasing order, and select within each bin.
    auto rest = durations.begin();
    for (std::size_t i = 0; i < 3; ++i) {
      const std::uint32_t bin = bin_of[i];
      const auto in_bin = [&](std::uint32_t value) {
        return ((value - low) >> shift) == bin;
      };
      auto bin_begin = rest;
      if (i > 0 && bin == bin_of[i - 1]) {
        bin_begin = rest - static_cast<std::ptrdiff_t>(histogram[bin]);
      } else {
        rest = std::partition(rest, durations.end(), in_bin);
      }
      const auto nth = bin_begin + static_cast<std::ptrdiff_t>(place_in_bin[i]);
      std::nth_element(bin_begin, nth, rest);
      values[i] = *nth;
    }
  }
  summary.p50_cycles = values[0];
  summary.p95_cycles = values[1];
  summary.p99_cycles = values[2];
}

// Fills the duration statistics of `summary` from the unsorted `durations`,
// which it may reorder.
void fill_duration_stats(std::span<std::uint32_t> durations,
                         std::vector<std::uint32_t>& histogram,
                         GroupSummary& summary) {
  if (durations.empty()) return;
  // Counts are u32: a group of 2^32 members or more is selected instead.
  if (durations.size() >= kCountingMembers &&
      durations.size() <= std::numeric_limits<std::uint32_t>::max()) {
    count_stats(durations, histogram, summary);
  } else {
    select_stats(durations, summary);
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

// `scratch` and `histogram` are reused across groups, so summarising
// allocates only when a group is larger than every one before it.
GroupSummary summarise(GroupKey key, const Accumulator& group,
                       std::uint64_t clock_hz,
                       std::vector<std::uint32_t>& scratch,
                       std::vector<std::uint32_t>& histogram) {
  GroupSummary summary;
  summary.name = std::move(key.name);
  summary.dimensions = std::move(key.dimensions);
  gather(group.tile_runs, group.later_tile_runs, scratch);
  std::sort(scratch.begin(), scratch.end());
  summary.tile_count = static_cast<std::size_t>(
      std::unique(scratch.begin(), scratch.end()) - scratch.begin());
  gather(group.durations, group.later_durations, scratch);
  summary.sample_count = scratch.size();
  summary.phase_count = group.phases.size();
  summary.phase_cycles = group.phases.sum();
  summary.phase_ms = cycles_to_ms(summary.phase_cycles, clock_hz);
  summary.work_cycles = group.work_cycles;
  if (summary.phase_cycles != 0) {
    summary.average_active_tiles = static_cast<double>(summary.work_cycles) /
                                   static_cast<double>(summary.phase_cycles);
  }
  if (summary.sample_count != 0) {
    summary.mean_cycles = static_cast<double>(summary.work_cycles) /
                          static_cast<double>(summary.sample_count);
  }
  fill_duration_stats(scratch, histogram, summary);
  summary.first_offset = group.first_offset;
  summary.last_offset = group.last_offset;
  return summary;
}

std::size_t member_count(const Accumulator& group) {
  std::size_t count = group.durations.size();
  for (const ChunkedList& list : group.later_durations) count += list.size();
  return count;
}

}  // namespace

// The phase cache points into a vector's buffer; it survives the group table
// growing only because moving keeps the buffer where it is.
static_assert(std::is_nothrow_move_constructible_v<Accumulator>);

void Accumulator::add(std::uint32_t tile, const ProfileStep& step,
                      std::uint64_t offset, std::uint32_t sample_duration,
                      ChunkArena& arena) {
  if (durations.size() == 0 || tile != last_tile) {
    tile_runs.push(tile, arena);
    last_tile = tile;
  }
  durations.push(sample_duration, arena);
  phases.add(step.phase, step.epoch, sample_duration);
  work_cycles += sample_duration;
  first_offset = std::min(first_offset, offset);
  last_offset = std::max(last_offset, offset + sample_duration);
}

void Accumulator::merge(Accumulator&& later) {
  later_durations.push_back(later.durations);
  later_durations.insert(later_durations.end(), later.later_durations.begin(),
                         later.later_durations.end());
  later_tile_runs.push_back(later.tile_runs);
  later_tile_runs.insert(later_tile_runs.end(), later.later_tile_runs.begin(),
                         later.later_tile_runs.end());
  phases.merge(later.phases);
  work_cycles += later.work_cycles;
  first_offset = std::min(first_offset, later.first_offset);
  last_offset = std::max(last_offset, later.last_offset);
}

GroupTable::GroupTable(const Query& query, std::size_t expected_samples)
    // Room for the durations and, at worst, one tile run per sample.
    : query_(query), arena_(2 * expected_samples) {
  if (query.metadata_key) metadata_key_ = *query.metadata_key;
}

bool GroupTable::keyed_by_name() const {
  return query_.group_by == GroupBy::Kernel ||
         query_.group_by == GroupBy::Operation ||
         query_.group_by == GroupBy::Metadata;
}

std::string_view GroupTable::name_key(const CycleSample& sample) const {
  switch (query_.group_by) {
    case GroupBy::Kernel:
      return kernel_group_name(sample.step);
    case GroupBy::Operation:
      return sample.step.operation;
    case GroupBy::Metadata:
      return first_metadata_value(sample.step, metadata_key_);
    default:
      return {};
  }
}

std::uint64_t GroupTable::number_key(std::uint32_t tile,
                                     const CycleSample& sample) const {
  switch (query_.group_by) {
    case GroupBy::Kind:
      return static_cast<std::uint64_t>(kind_of(sample));
    case GroupBy::Phase:
      return phase_key(sample.step);
    case GroupBy::Tile:
      return tile;
    default:
      return 0;
  }
}

Accumulator& GroupTable::create(std::uint32_t tile, const CycleSample& sample,
                                std::uint64_t offset) {
  Accumulator& group = groups_.emplace_back();
  group.key_tile = tile;
  group.key_sample = &sample;
  group.first_offset = offset;
  return group;
}

Accumulator& GroupTable::find_or_create(std::uint32_t tile,
                                        const CycleSample& sample,
                                        std::uint64_t offset) {
  if (keyed_by_name()) {
    const std::string_view name = name_key(sample);
    if (has_last_ && same_name(name, last_name_)) return groups_[last_index_];
    const auto [index, inserted] =
        by_name_.find_or_insert(name, groups_.size());
    if (inserted) create(tile, sample, offset);
    has_last_ = true;
    last_name_ = name;
    last_index_ = index;
  } else {
    const std::uint64_t number = number_key(tile, sample);
    if (has_last_ && number == last_number_) return groups_[last_index_];
    auto [it, inserted] = by_number_.try_emplace(number, groups_.size());
    if (inserted) create(tile, sample, offset);
    has_last_ = true;
    last_number_ = number;
    last_index_ = it->second;
  }
  return groups_[last_index_];
}

void GroupTable::add(std::uint32_t tile, const CycleSample& sample,
                     std::uint64_t offset, std::uint32_t sample_duration) {
  find_or_create(tile, sample, offset)
      .add(tile, sample.step, offset, sample_duration, arena_);
}

void GroupTable::merge(GroupTable&& later) {
  // The later groups' lists live in its arena: keep its blocks alive here.
  arena_.adopt(std::move(later.arena_));
  has_last_ = false;
  for (Accumulator& group : later.groups_) {
    const CycleSample& sample = *group.key_sample;
    std::size_t index = groups_.size();
    bool inserted = false;
    if (keyed_by_name()) {
      std::tie(index, inserted) =
          by_name_.find_or_insert(name_key(sample), index);
    } else {
      const std::uint64_t number = number_key(group.key_tile, sample);
      std::tie(std::ignore, inserted) = by_number_.try_emplace(number, index);
      if (!inserted) index = by_number_.find(number)->second;
    }
    if (inserted) {
      groups_.push_back(std::move(group));
    } else {
      groups_[index].merge(std::move(group));
    }
  }
}

std::vector<GroupSummary> GroupTable::summaries(std::uint64_t clock_hz,
                                                unsigned threads) && {
  std::vector<GroupSummary> result(groups_.size());
  const auto summarise_range = [&](std::size_t begin, std::size_t end) {
    // Sized for the largest group up front, so the allocation count does not
    // depend on the order in which groups of growing size come.
    std::size_t largest = 0;
    for (std::size_t i = begin; i < end; ++i) {
      largest = std::max(largest, member_count(groups_[i]));
    }
    std::vector<std::uint32_t> scratch;
    scratch.reserve(largest);
    // Reserved whatever the group sizes, so the allocation count depends on
    // the number of ranges alone; its pages are touched only when used.
    std::vector<std::uint32_t> histogram;
    if (begin < end) histogram.reserve(kHistogramBins);
    for (std::size_t i = begin; i < end; ++i) {
      const Accumulator& group = groups_[i];
      result[i] =
          summarise(group_key(query_, group.key_tile, *group.key_sample), group,
                    clock_hz, scratch, histogram);
    }
  };
  if (threads <= 1 || groups_.size() < 2) {
    summarise_range(0, groups_.size());
  } else {
    // Contiguous ranges of about equal member counts: the selections cost
    // in proportion to the members.
    std::size_t total = 0;
    for (const Accumulator& group : groups_) total += member_count(group);
    std::vector<std::size_t> bounds{0};
    std::size_t seen = 0;
    for (std::size_t i = 0; i < groups_.size(); ++i) {
      seen += member_count(groups_[i]);
      if (bounds.size() < threads && seen * threads >= total * bounds.size()) {
        bounds.push_back(i + 1);
      }
    }
    bounds.push_back(groups_.size());
    std::vector<std::jthread> workers;
    for (std::size_t range = 1; range + 1 < bounds.size(); ++range) {
      workers.emplace_back(summarise_range, bounds[range], bounds[range + 1]);
    }
    summarise_range(bounds[0], bounds[1]);
  }
  groups_.clear();
  const auto goes_first = [sort_by = query_.sort_by](const GroupSummary& l,
                                                     const GroupSummary& r) {
    return compare_groups(sort_by, l, r) < 0;
  };
  // The order is total (names are unique), so a partial sort of the kept
  // prefix gives the same list as sorting everything and cutting.
  if (query_.limit && *query_.limit < result.size()) {
    const auto kept = static_cast<std::ptrdiff_t>(*query_.limit);
    std::partial_sort(result.begin(), result.begin() + kept, result.end(),
                      goes_first);
    result.resize(*query_.limit);
  } else {
    std::sort(result.begin(), result.end(), goes_first);
  }
  return result;
}

}  // namespace detail
}  // namespace zyl_profile
