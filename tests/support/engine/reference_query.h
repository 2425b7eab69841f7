// A slow and obvious model of the whole query, for tests and fuzzing only:
// built from the public per-sample record functions and ordered containers,
// sharing nothing with the engine's scan, grouping or selection.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "zyl_profile/query.h"

namespace zyl_profile::testing {

namespace reference_detail {

// A matched sample with everything its place in the listing depends on.
struct Match {
  std::uint32_t duration = 0;
  std::uint32_t tile = 0;
  std::uint64_t offset = 0;
  std::size_t tile_index = 0;
  std::size_t sample_index = 0;
  const CycleSample* sample = nullptr;
};

struct Group {
  GroupKey key;
  std::vector<std::uint32_t> durations;
  std::set<std::uint32_t> tiles;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> phases;
  std::uint64_t work_cycles = 0;
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
};

inline GroupSummary summarise(Group&& group, std::uint64_t clock_hz) {
  GroupSummary summary;
  summary.name = group.key.name;
  summary.dimensions = group.key.dimensions;
  summary.sample_count = group.durations.size();
  summary.tile_count = group.tiles.size();
  summary.phase_count = group.phases.size();
  for (const auto& [pair, longest] : group.phases) {
    summary.phase_cycles += longest;
  }
  summary.phase_ms = cycles_to_ms(summary.phase_cycles, clock_hz);
  summary.work_cycles = group.work_cycles;
  if (summary.phase_cycles != 0) {
    summary.average_active_tiles = static_cast<double>(summary.work_cycles) /
                                   static_cast<double>(summary.phase_cycles);
  }
  summary.mean_cycles = static_cast<double>(summary.work_cycles) /
                        static_cast<double>(summary.sample_count);
  std::sort(group.durations.begin(), group.durations.end());
  summary.p50_cycles = percentile(group.durations, 50);
  summary.p95_cycles = percentile(group.durations, 95);
  summary.p99_cycles = percentile(group.durations, 99);
  summary.minimum_cycles = group.durations.front();
  summary.maximum_cycles = group.durations.back();
  summary.first_offset = group.first_offset;
  summary.last_offset = group.last_offset;
  return summary;
}

// The longest tile timeline of `report`, which a share of the span is of,
// measured sample by sample before any walk.
inline std::uint64_t span_of(const ProfileReport& report) {
  std::uint64_t span = 0;
  for (const TileProfile& tile : report.tiles) {
    for (const CycleSample& sample : tile.samples) {
      const std::uint64_t offset = static_cast<std::uint32_t>(
          sample.start_cycle - tile.samples.front().start_cycle);
      span = std::max(span, offset + duration(sample));
    }
  }
  return span;
}

}  // namespace reference_detail

// Returns what query(report, q) must return, recomputed sample by sample.
// Groups are told apart by their whole key (name and dimensions), so a name
// that stood for two different keys shows up as two groups and fails any
// comparison with the engine, which keys by name.
inline QueryReport reference_query(const ProfileReport& report,
                                   const Query& asked) {
  using reference_detail::Group;
  using reference_detail::Match;
  const Query q = resolve_bounds(asked, reference_detail::span_of(report));
  QueryReport expected;
  expected.clock_hz = report.clock_hz;
  expected.tile_count = report.tiles.size();
  if (q.at_offset) expected.at_offset = q.at_offset->cycles();
  std::vector<Match> matches;
  std::map<std::pair<std::string, std::map<std::string, std::string>>, Group>
      groups;
  for (std::size_t tile_idx = 0; tile_idx < report.tiles.size(); ++tile_idx) {
    const TileProfile& tile = report.tiles[tile_idx];
    if (tile.samples.empty()) continue;
    const std::uint32_t base = tile.samples.front().start_cycle;
    for (std::size_t sample_idx = 0; sample_idx < tile.samples.size();
         ++sample_idx) {
      const CycleSample& sample = tile.samples[sample_idx];
      const std::uint64_t offset =
          static_cast<std::uint32_t>(sample.start_cycle - base);
      const std::uint32_t length = duration(sample);
      ++expected.sample_count;
      expected.profile_span_cycles =
          std::max(expected.profile_span_cycles, offset + length);
      if (!matches_query(q, tile.physical_tile, sample, offset, length)) {
        continue;
      }
      ++expected.matched_sample_count;
      matches.push_back(Match{length, tile.physical_tile, offset, tile_idx,
                              sample_idx, &sample});
      GroupKey key = group_key(q, tile.physical_tile, sample);
      auto [it, inserted] =
          groups.try_emplace(std::pair(key.name, key.dimensions));
      Group& group = it->second;
      if (inserted) {
        group.key = std::move(key);
        group.first_offset = offset;
      }
      group.durations.push_back(length);
      group.tiles.insert(tile.physical_tile);
      std::uint32_t& longest =
          group.phases[{sample.step.phase, sample.step.epoch}];
      longest = std::max(longest, length);
      group.work_cycles += length;
      expected.matched_work_cycles += length;
      group.first_offset = std::min(group.first_offset, offset);
      group.last_offset = std::max(group.last_offset, offset + length);
    }
  }
  expected.profile_span_ms =
      cycles_to_ms(expected.profile_span_cycles, report.clock_hz);
  for (auto& [key, group] : groups) {
    GroupSummary& summary = expected.groups.emplace_back(
        reference_detail::summarise(std::move(group), report.clock_hz));
    if (expected.matched_work_cycles != 0) {
      summary.work_percent = 100.0 * static_cast<double>(summary.work_cycles) /
                             static_cast<double>(expected.matched_work_cycles);
    }
  }
  std::sort(expected.groups.begin(), expected.groups.end(),
            [&](const GroupSummary& left, const GroupSummary& right) {
              return compare_groups(q.sort_by, left, right) < 0;
            });
  if (q.limit && *q.limit < expected.groups.size()) {
    expected.groups.resize(*q.limit);
  }
  // Longest first, then tile, offset and report position: a total order, so
  // the listing is one exact answer.
  std::sort(matches.begin(), matches.end(),
            [](const Match& left, const Match& right) {
              return std::tuple(right.duration, left.tile, left.offset,
                                left.tile_index, left.sample_index) <
                     std::tuple(left.duration, right.tile, right.offset,
                                right.tile_index, right.sample_index);
            });
  const std::size_t listed =
      std::min<std::uint64_t>(q.sample_limit, matches.size());
  for (std::size_t i = 0; i < listed; ++i) {
    const Match& match = matches[i];
    expected.samples.push_back(
        sample_record(match.tile, match.offset, match.duration, *match.sample));
  }
  return expected;
}

}  // namespace zyl_profile::testing
