// Fuzzes the query: decodes a report and a query from the input, runs the
// sequential and the parallel query and checks every result against the
// invariants of a query result and against a plain recomputation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "zyl_profile/query.h"

namespace {

using zyl_fuzz::ByteReader;
using namespace zyl_profile;

// A tile this long makes the candidate list cut its buffer (it keeps 4096
// candidates beyond the limit before selecting), which short tiles never
// reach. One such tile per report keeps the runs fast.
constexpr std::size_t kLongTileSamples = 4400;

Query decode_query(ByteReader& in) {
  Query q;
  const std::uint8_t flags = in.byte();
  const std::uint8_t lists = in.byte();
  q.group_by = static_cast<GroupBy>(in.byte() % 6);
  q.sort_by = static_cast<SortBy>(in.byte() % 5);
  // 4 is outside the enumeration: it must match nothing, not misbehave.
  if ((flags & 0x01) != 0) q.kind = static_cast<StepKind>(in.byte() % 5);
  if ((flags & 0x02) != 0) q.kernel = in.text();
  if ((flags & 0x04) != 0) q.operation_contains = in.text();
  if ((flags & 0x08) != 0) q.at_offset = in.number();
  if ((flags & 0x10) != 0) q.limit = in.number();
  if ((flags & 0x20) != 0) q.from_offset = in.number();
  if ((flags & 0x40) != 0) q.to_offset = in.number();
  if ((flags & 0x80) != 0) q.metadata_key = in.text();
  for (int i = lists % 4; i > 0; --i) {
    q.tiles.insert(static_cast<std::uint32_t>(in.number()));
  }
  for (int i = (lists >> 2) % 4; i > 0; --i) {
    q.phases.insert(static_cast<std::uint32_t>(in.number()));
  }
  for (int i = (lists >> 4) % 3; i > 0; --i) {
    MetadataFilter filter;
    filter.name = in.text();
    if ((in.byte() & 1) != 0) filter.value = in.text();
    q.metadata.push_back(std::move(filter));
  }
  if ((lists & 0x40) != 0) q.sample_limit = in.number();
  return q;
}

CycleSample decode_sample(ByteReader& in, std::uint32_t& previous_end) {
  CycleSample sample;
  const std::uint8_t mode = in.byte();
  sample.start_cycle =
      (mode & 0x01) != 0
          ? in.u32()
          : previous_end + static_cast<std::uint32_t>(in.byte() % 4);
  std::uint32_t length = 0;
  switch ((mode >> 1) % 4) {
    case 0:
      length = in.byte();
      break;
    case 1:
      length = in.u16();
      break;
    case 2:
      length = in.u32();  // an arbitrary end: a wrap or a huge duration
      break;
    default:
      break;  // zero length
  }
  sample.end_cycle = sample.start_cycle + length;
  previous_end = sample.end_cycle;
  ProfileStep& step = sample.step;
  step.phase = (mode & 0x10) != 0 ? static_cast<std::uint32_t>(in.number())
                                  : in.byte() % 3;
  step.epoch = (mode & 0x20) != 0 ? in.u32() : in.byte() % 2;
  step.local_index = in.byte();
  // A kind byte outside the enumeration is reachable only through a cast but
  // must still read as a valid kind.
  step.kind = static_cast<zyl_package::ProfileStepKind>(in.byte() % 5);
  step.operation = in.text();
  step.kernel = in.text();
  for (int i = (mode >> 6) % 4; i > 0; --i) {
    ProfileMetadata entry;
    entry.name = in.text();
    entry.value = in.text();
    step.metadata.push_back(std::move(entry));
  }
  return sample;
}

ProfileReport decode_report(ByteReader& in) {
  ProfileReport report;
  report.clock_hz = in.number();
  const std::size_t tile_count = in.byte() % 7;
  bool made_long_tile = false;
  for (std::size_t tile_idx = 0; tile_idx < tile_count; ++tile_idx) {
    TileProfile tile;
    const std::uint8_t header = in.byte();
    // Few distinct tile numbers, so that repeated tiles are common.
    tile.physical_tile = (header & 0x80) != 0
                             ? static_cast<std::uint32_t>(in.number())
                             : header % 4;
    std::uint32_t previous_end = in.u32();
    const std::size_t decoded = in.byte() % 9;
    for (std::size_t i = 0; i < decoded; ++i) {
      tile.samples.push_back(decode_sample(in, previous_end));
    }
    if ((header & 0x40) != 0 && !tile.samples.empty() && !made_long_tile) {
      made_long_tile = true;
      // Repeat the pattern further along the timeline: many equal durations
      // exercise every tie-break of the sample order.
      for (std::size_t i = decoded; i < kLongTileSamples; ++i) {
        CycleSample copy = tile.samples[i % decoded];
        const std::uint32_t length = duration(copy);
        copy.start_cycle = previous_end + static_cast<std::uint32_t>(i % 3);
        copy.end_cycle = copy.start_cycle + length;
        previous_end = copy.end_cycle;
        tile.samples.push_back(std::move(copy));
      }
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

// A matched sample as the reference model sees it.
struct Match {
  std::uint32_t duration = 0;
  std::uint32_t tile = 0;
  std::uint64_t offset = 0;
  std::size_t tile_index = 0;
  std::size_t sample_index = 0;
  const CycleSample* sample = nullptr;
};

struct ExpectedGroup {
  GroupKey key;
  std::vector<std::uint32_t> durations;
  std::set<std::uint32_t> tiles;
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> phases;
  std::uint64_t work_cycles = 0;
  std::uint64_t first_offset = 0;
  std::uint64_t last_offset = 0;
};

GroupSummary summarise(ExpectedGroup&& group, std::uint64_t clock_hz) {
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

// Recomputes the whole result the slow and obvious way, from the public
// per-sample functions.
QueryReport recompute(const ProfileReport& report, const Query& q) {
  QueryReport expected;
  expected.clock_hz = report.clock_hz;
  expected.tile_count = report.tiles.size();
  expected.at_offset = q.at_offset;
  std::vector<Match> matches;
  std::map<std::string, ExpectedGroup> groups;
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
      auto [it, inserted] = groups.try_emplace(key.name);
      ExpectedGroup& group = it->second;
      if (inserted) {
        group.key = std::move(key);
        group.first_offset = offset;
      } else {
        FUZZ_CHECK(group.key == key);  // one name, one set of dimensions
      }
      group.durations.push_back(length);
      group.tiles.insert(tile.physical_tile);
      std::uint32_t& longest =
          group.phases[{sample.step.phase, sample.step.epoch}];
      longest = std::max(longest, length);
      group.work_cycles += length;
      group.first_offset = std::min(group.first_offset, offset);
      group.last_offset = std::max(group.last_offset, offset + length);
    }
  }
  expected.profile_span_ms =
      cycles_to_ms(expected.profile_span_cycles, report.clock_hz);
  for (auto& [name, group] : groups) {
    expected.groups.push_back(summarise(std::move(group), report.clock_hz));
  }
  std::sort(expected.groups.begin(), expected.groups.end(),
            [&](const GroupSummary& left, const GroupSummary& right) {
              return compare_groups(q.sort_by, left, right) < 0;
            });
  if (q.limit && *q.limit < expected.groups.size()) {
    expected.groups.resize(*q.limit);
  }
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

// The invariants that hold for any result, whatever the report.
void check_invariants(const Query& q, const QueryReport& result) {
  FUZZ_CHECK(result.matched_sample_count <= result.sample_count);
  std::size_t grouped = 0;
  for (const GroupSummary& group : result.groups) {
    grouped += group.sample_count;
    FUZZ_CHECK(group.sample_count > 0);
    FUZZ_CHECK(group.tile_count >= 1 && group.tile_count <= group.sample_count);
    FUZZ_CHECK(group.phase_count >= 1 &&
               group.phase_count <= group.sample_count);
    FUZZ_CHECK(group.phase_cycles <= group.work_cycles);
    FUZZ_CHECK(group.minimum_cycles <= group.p50_cycles);
    FUZZ_CHECK(group.p50_cycles <= group.p95_cycles);
    FUZZ_CHECK(group.p95_cycles <= group.p99_cycles);
    FUZZ_CHECK(group.p99_cycles <= group.maximum_cycles);
    FUZZ_CHECK(group.maximum_cycles <= group.phase_cycles);
    FUZZ_CHECK(group.first_offset <= group.last_offset);
    FUZZ_CHECK(group.last_offset <= result.profile_span_cycles);
    FUZZ_CHECK(group.mean_cycles >= group.minimum_cycles &&
               group.mean_cycles <= group.maximum_cycles);
  }
  if (!q.limit) FUZZ_CHECK(grouped == result.matched_sample_count);
  FUZZ_CHECK(grouped <= result.matched_sample_count);
  if (q.limit) FUZZ_CHECK(result.groups.size() <= *q.limit);
  for (std::size_t i = 1; i < result.groups.size(); ++i) {
    FUZZ_CHECK(
        compare_groups(q.sort_by, result.groups[i - 1], result.groups[i]) < 0);
  }
  FUZZ_CHECK(result.samples.size() <= q.sample_limit);
  FUZZ_CHECK(result.samples.size() <= result.matched_sample_count);
  for (std::size_t i = 1; i < result.samples.size(); ++i) {
    const SampleRecord& left = result.samples[i - 1];
    const SampleRecord& right = result.samples[i];
    FUZZ_CHECK(std::tuple(right.duration, left.physical_tile, left.offset) <=
               std::tuple(left.duration, right.physical_tile, right.offset));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  ByteReader in(data, size);
  const Query q = decode_query(in);
  const ProfileReport report = decode_report(in);

  const QueryReport sequential = query(report, q);
  check_invariants(q, sequential);
  FUZZ_CHECK(sequential == recompute(report, q));
  // A minimum of 0 samples per thread splits even the tiniest report, so the
  // parallel merge is what runs here rather than the sequential fallback.
  FUZZ_CHECK(query(report, q, ParallelOptions{2, 0}) == sequential);
  FUZZ_CHECK(query(report, q, ParallelOptions{3, 0}) == sequential);
  return 0;
}
