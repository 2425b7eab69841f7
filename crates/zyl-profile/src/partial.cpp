// Partial results: merging the partials of shards, finishing a merged one
// into a report, and their bytes. The partial of one shard is made by the
// scan itself (query.cpp), from the same group states a report is
// summarised from.
#include "zyl_profile/partial.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

#include "grouping.h"
#include "sorted_merge.h"

namespace zyl_profile {
namespace {

bool pair_before(const PhaseLongest& left, const PhaseLongest& right) {
  return std::pair(left.phase, left.epoch) <
         std::pair(right.phase, right.epoch);
}

void merge_group(PartialGroup& into, PartialGroup&& other) {
  into.work_cycles += other.work_cycles;
  into.first_offset = std::min(into.first_offset, other.first_offset);
  into.last_offset = std::max(into.last_offset, other.last_offset);
  into.tiles =
      detail::merge_sorted(std::move(into.tiles), std::move(other.tiles),
                           std::less<>(), [](std::uint32_t&, std::uint32_t) {});
  into.phases = detail::merge_sorted(
      std::move(into.phases), std::move(other.phases), pair_before,
      [](PhaseLongest& kept, PhaseLongest&& folded) {
        kept.cycles = std::max(kept.cycles, folded.cycles);
      });
  into.durations = detail::merge_sorted(
      std::move(into.durations), std::move(other.durations),
      [](const DurationCount& left, const DurationCount& right) {
        return left.cycles < right.cycles;
      },
      [](DurationCount& kept, DurationCount&& folded) {
        kept.count += folded.count;
      });
}

bool name_before(const PartialGroup& left, const PartialGroup& right) {
  // char_traits<char> compares as unsigned char: byte-wise UTF-8 order, the
  // order the scan sorts its partial groups in.
  return left.name < right.name;
}

// Returns the duration at `rank` of the members in ascending order.
std::uint32_t at_rank(const std::vector<DurationCount>& durations,
                      std::uint64_t rank) {
  std::uint64_t before = 0;
  for (const DurationCount& entry : durations) {
    before += entry.count;
    if (rank < before) return entry.cycles;
  }
  return durations.empty() ? 0 : durations.back().cycles;
}

// The summary of a group, by the same rules the scan's summaries follow.
GroupSummary summarise(PartialGroup&& group, std::uint64_t clock_hz) {
  GroupSummary summary;
  summary.name = std::move(group.name);
  summary.dimensions = std::move(group.dimensions);
  summary.tile_count = group.tiles.size();
  summary.phase_count = group.phases.size();
  for (const PhaseLongest& pair : group.phases) {
    summary.phase_cycles += pair.cycles;
  }
  summary.work_cycles = group.work_cycles;
  std::uint64_t count = 0;
  for (const DurationCount& entry : group.durations) count += entry.count;
  summary.sample_count = count;
  if (count != 0) {
    summary.minimum_cycles = group.durations.front().cycles;
    summary.maximum_cycles = group.durations.back().cycles;
    // The rank rule of `percentile`: the lower member between two.
    summary.p50_cycles = at_rank(group.durations, ((count - 1) * 50) / 100);
    summary.p95_cycles = at_rank(group.durations, ((count - 1) * 95) / 100);
    summary.p99_cycles = at_rank(group.durations, ((count - 1) * 99) / 100);
  }
  summary.first_offset = group.first_offset;
  summary.last_offset = group.last_offset;
  detail::fill_ratios(summary, clock_hz);
  return summary;
}

}  // namespace

bool listed_before(const PartialSample& left, const PartialSample& right) {
  const SampleRecord& l = left.record;
  const SampleRecord& r = right.record;
  if (l.duration != r.duration) return l.duration > r.duration;
  if (l.physical_tile != r.physical_tile) {
    return l.physical_tile < r.physical_tile;
  }
  if (l.offset != r.offset) return l.offset < r.offset;
  if (left.shard != right.shard) return left.shard < right.shard;
  return left.sample < right.sample;
}

std::optional<PartialError> merge_partial(PartialResult& into,
                                          PartialResult&& other) {
  if (!(into.query == other.query)) {
    return PartialError{"the partial results answer different queries"};
  }
  if (into.clock_hz != other.clock_hz) {
    return PartialError{
        "the shards disagree on the clock: " + std::to_string(into.clock_hz) +
        " Hz and " + std::to_string(other.clock_hz) + " Hz"};
  }
  std::vector<std::uint64_t> common;
  std::set_intersection(into.shards.begin(), into.shards.end(),
                        other.shards.begin(), other.shards.end(),
                        std::back_inserter(common));
  if (!common.empty()) {
    return PartialError{"shard position " + std::to_string(common.front()) +
                        " is in both partial results: a shard was given "
                        "twice"};
  }
  into.shards =
      detail::merge_sorted(std::move(into.shards), std::move(other.shards),
                           std::less<>(), [](std::uint64_t&, std::uint64_t) {});
  into.tile_count += other.tile_count;
  into.sample_count += other.sample_count;
  into.matched_sample_count += other.matched_sample_count;
  into.profile_span_cycles =
      std::max(into.profile_span_cycles, other.profile_span_cycles);
  into.groups =
      detail::merge_sorted(std::move(into.groups), std::move(other.groups),
                           name_before, merge_group);
  // Positions differ, so no two candidates are equal and the merge is the
  // same whichever side comes first.
  into.samples = detail::merge_sorted(std::move(into.samples),
                                      std::move(other.samples), listed_before,
                                      [](PartialSample&, PartialSample&&) {});
  if (into.samples.size() > into.query.sample_limit) {
    into.samples.resize(into.query.sample_limit);
  }
  return std::nullopt;
}

QueryReport finish_partial(PartialResult&& partial) {
  QueryReport report;
  report.clock_hz = partial.clock_hz;
  report.tile_count = partial.tile_count;
  report.sample_count = partial.sample_count;
  report.matched_sample_count = partial.matched_sample_count;
  report.profile_span_cycles = partial.profile_span_cycles;
  report.profile_span_ms =
      cycles_to_ms(partial.profile_span_cycles, partial.clock_hz);
  if (partial.query.at_offset) {
    report.at_offset = partial.query.at_offset->cycles();
  }
  report.groups.reserve(partial.groups.size());
  for (PartialGroup& group : partial.groups) {
    report.groups.push_back(summarise(std::move(group), partial.clock_hz));
  }
  detail::order_groups(report.groups, partial.query.sort_by,
                       partial.query.limit);
  report.samples.reserve(partial.samples.size());
  for (PartialSample& sample : partial.samples) {
    report.samples.push_back(std::move(sample.record));
  }
  return report;
}

}  // namespace zyl_profile
