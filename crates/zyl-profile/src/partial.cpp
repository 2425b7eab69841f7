// Partial results: merging the partials of shards and finishing a merged one
// into a report. The partial of one shard is made by the scan itself
// (query.cpp); its groups are group states settled, and they combine and
// finish as the group states of one scan do.
#include "zyl_profile/partial.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "group_state.h"
#include "grouping.h"
#include "sorted_merge.h"

namespace zyl_profile {
namespace {

bool name_before(const PartialGroup& left, const PartialGroup& right) {
  // char_traits<char> compares as unsigned char: byte-wise UTF-8 order, the
  // order the scan sorts its partial groups in.
  return left.name < right.name;
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

zyl_package::Outcome<void, PartialError> merge_partial(PartialResult& into,
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
  // A group in both is combined as a group state: the combine that joins
  // the thread ranges of one scan.
  const detail::PhaseLayout settled_layout;
  detail::ChunkArena arena(0);
  detail::GroupScratch scratch;
  into.groups = detail::merge_sorted(
      std::move(into.groups), std::move(other.groups), name_before,
      [&](PartialGroup& kept, PartialGroup&& folded) {
        detail::GroupState state =
            detail::GroupState::from_partial(std::move(kept));
        state.combine(detail::GroupState::from_partial(std::move(folded)),
                      settled_layout, arena);
        std::move(state).to_partial(kept, settled_layout, scratch);
      });
  // Positions differ, so no two candidates are equal and the merge is the
  // same whichever side comes first.
  into.samples = detail::merge_sorted(std::move(into.samples),
                                      std::move(other.samples), listed_before,
                                      [](PartialSample&, PartialSample&&) {});
  if (into.samples.size() > into.query.sample_limit) {
    into.samples.resize(into.query.sample_limit);
  }
  return {};
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
  const detail::PhaseLayout settled_layout;
  detail::GroupScratch scratch;
  for (PartialGroup& group : partial.groups) {
    GroupKey key{std::move(group.name), std::move(group.dimensions)};
    report.groups.push_back(
        detail::GroupState::from_partial(std::move(group))
            .finish(std::move(key), settled_layout, partial.clock_hz, scratch));
  }
  report.matched_work_cycles = detail::finish_groups(
      report.groups, partial.query.sort_by, partial.query.limit);
  report.samples.reserve(partial.samples.size());
  for (PartialSample& sample : partial.samples) {
    report.samples.push_back(std::move(sample.record));
  }
  return report;
}

}  // namespace zyl_profile
