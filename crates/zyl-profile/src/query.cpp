// The query pipeline: one walk over every tile and sample, then the group
// summaries, the listed samples and the report's totals.
#include "zyl_profile/query.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "even_ranges.h"
#include "grouping.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

// A matched sample waiting to be listed: its place in the sample columns
// is its report order, the last tie-break of the listing.
struct Candidate {
  std::uint64_t sample = 0;
  std::uint64_t offset = 0;
  std::uint32_t duration = 0;
  std::uint32_t tile = 0;
};

// Longest first, then smaller tile, then smaller offset, then report order:
// a total order, so any sort or selection gives what a stable sort would.
bool listed_before(const Candidate& left, const Candidate& right) {
  if (left.duration != right.duration) return left.duration > right.duration;
  if (left.tile != right.tile) return left.tile < right.tile;
  if (left.offset != right.offset) return left.offset < right.offset;
  return left.sample < right.sample;
}

// Keeps the best `limit` candidates seen so far. Candidates are buffered and
// the buffer is cut back to the best `limit` by selection whenever it fills,
// so memory stays proportional to the limit, not to the matches.
class CandidateList {
 public:
  // `expected_samples` bounds the matches, so the buffer is reserved once
  // and never grows: nothing is reserved in proportion to a huge limit.
  CandidateList(std::size_t limit, std::size_t expected_samples)
      : limit_(limit) {
    constexpr std::size_t kMinSlack = 4096;
    capacity_ = limit > std::numeric_limits<std::size_t>::max() / 2
                    ? std::numeric_limits<std::size_t>::max()
                    : std::max(2 * limit, limit + kMinSlack);
    if (limit > 0) buffer_.reserve(std::min(capacity_, expected_samples));
  }

  [[nodiscard]] bool enabled() const { return limit_ > 0; }

  void add(const Candidate& candidate) {
    // Once a cut has run, anything listed after the worst kept candidate can
    // never be listed: one comparison of durations turns most matches away.
    if (has_worst_ && !listed_before(candidate, worst_)) return;
    buffer_.push_back(candidate);
    if (buffer_.size() >= capacity_) cut();
  }

  void merge(CandidateList&& later) {
    for (const Candidate& candidate : later.buffer_) add(candidate);
  }

  // Returns the kept candidates in listing order.
  [[nodiscard]] std::vector<Candidate> take_sorted() && {
    cut();
    std::sort(buffer_.begin(), buffer_.end(), listed_before);
    return std::move(buffer_);
  }

 private:
  void cut() {
    if (buffer_.size() <= limit_) return;
    const auto kept = static_cast<std::ptrdiff_t>(limit_);
    std::nth_element(buffer_.begin(), buffer_.begin() + kept, buffer_.end(),
                     listed_before);
    buffer_.resize(limit_);
    worst_ = *std::max_element(buffer_.begin(), buffer_.end(), listed_before);
    has_worst_ = true;
  }

  std::size_t limit_ = 0;
  std::size_t capacity_ = 0;
  std::vector<Candidate> buffer_;
  bool has_worst_ = false;
  Candidate worst_;  // the last of the kept candidates, after a cut
};

// What one walk over a contiguous range of tiles produces.
struct RangeScan {
  RangeScan(const detail::GroupClasses& classes,
            const detail::PhaseLayout& layout, const Query& query,
            std::size_t expected_samples, std::size_t profile_samples)
      : groups(classes, layout, query, expected_samples, profile_samples),
        candidates(query.sample_limit, expected_samples) {}

  detail::GroupTable groups;
  CandidateList candidates;
  std::size_t sample_count = 0;
  std::size_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;

  void merge(RangeScan&& later) {
    groups.merge(std::move(later.groups));
    candidates.merge(std::move(later.candidates));
    sample_count += later.sample_count;
    matched_sample_count += later.matched_sample_count;
    profile_span_cycles =
        std::max(profile_span_cycles, later.profile_span_cycles);
  }
};

using Phases = detail::GroupState::Phases;

// Everything one scan reads, prepared once per query.
struct Plan {
  Plan(const ProfileColumns& columns, const Query& query)
      : columns(columns),
        query(query),
        matcher(columns, query),
        classes(columns, query),
        layout(columns, query, classes.count()) {}

  const ProfileColumns& columns;
  const Query& query;
  SampleMatcher matcher;
  detail::GroupClasses classes;
  detail::PhaseLayout layout;
};

// Samples [first, last) of tile `tile_idx`, whose first start_cycle is
// `base`.
struct Block {
  std::size_t tile_idx = 0;
  std::size_t first = 0;
  std::size_t last = 0;
  std::uint32_t base = 0;
};

// Long tiles are scanned in blocks of this many samples, each checked
// against the phase row just before its scan, while its phases and epochs
// are still in the core's cache (64 KiB of them).
constexpr std::size_t kBlockSamples = std::size_t{1} << 13;

// Scans one block into `scan`. The grouping, whether each sample is
// tested and whether candidates are kept are fixed per query, so each
// combination gets a loop without branches for what the query does not use.
template <GroupBy kBy, Phases kPhases, bool kTestEach, bool kList>
void scan_block_into(const Plan& plan, const Block& block, RangeScan& scan) {
  const ProfileColumns& columns = plan.columns;
  const std::size_t tile_idx = block.tile_idx;
  const ColumnTile& tile = columns.tiles[tile_idx];
  const std::uint32_t physical_tile = tile.physical_tile;
  const std::uint32_t* const of_id = plan.classes.of_id().data();
  const std::uint32_t tile_class = kBy == GroupBy::Tile ? of_id[tile_idx] : 0;
  detail::GroupTable& groups = scan.groups;
  detail::ChunkArena& arena = groups.arena();
  std::size_t matched = 0;
  const auto add = [&](std::size_t i, std::uint64_t offset,
                       std::uint32_t sample_duration) {
    ++matched;
    const std::uint32_t phase = columns.phase[i];
    const std::uint32_t epoch = columns.epoch[i];
    detail::GroupState* group = nullptr;
    if constexpr (kBy == GroupBy::Phase) {
      group = &groups.of_phase(phase, epoch, offset);
    } else {
      std::uint32_t group_class = tile_class;
      if constexpr (kBy == GroupBy::Kind) group_class = columns.kind[i];
      if constexpr (kBy == GroupBy::Kernel)
        group_class = of_id[columns.kernel[i]];
      if constexpr (kBy == GroupBy::Operation) {
        group_class = of_id[columns.operation[i]];
      }
      if constexpr (kBy == GroupBy::Metadata) {
        group_class = of_id[columns.metadata[i]];
      }
      group = &groups.of_class(group_class, offset);
    }
    const std::uint32_t pair =
        kPhases == Phases::None ? 0 : plan.layout.pair(phase, epoch);
    group->template add<kPhases>(physical_tile, phase, epoch, pair, offset,
                                 sample_duration, arena);
    if constexpr (kList) {
      scan.candidates.add(Candidate{.sample = i,
                                    .offset = offset,
                                    .duration = sample_duration,
                                    .tile = physical_tile});
    }
  };
  const std::uint64_t span = scan_samples<kTestEach>(
      columns, block.first, block.last, block.base, plan.matcher, add);
  scan.matched_sample_count += matched;
  scan.profile_span_cycles = std::max(scan.profile_span_cycles, span);
}

template <GroupBy kBy, Phases kPhases>
void scan_block_as(const Plan& plan, const Block& block, bool test_each,
                   bool list, RangeScan& scan) {
  if (test_each) {
    list ? scan_block_into<kBy, kPhases, true, true>(plan, block, scan)
         : scan_block_into<kBy, kPhases, true, false>(plan, block, scan);
  } else {
    list ? scan_block_into<kBy, kPhases, false, true>(plan, block, scan)
         : scan_block_into<kBy, kPhases, false, false>(plan, block, scan);
  }
}

template <GroupBy kBy>
void scan_range_by(const Plan& plan, std::size_t begin, std::size_t end,
                   RangeScan& scan) {
  const bool test_each = !plan.matcher.keeps_everything();
  const bool list = scan.candidates.enabled();
  for (std::size_t tile_idx = begin; tile_idx < end; ++tile_idx) {
    const ColumnTile& tile = plan.columns.tiles[tile_idx];
    if (tile.sample_count == 0) continue;
    scan.sample_count += tile.sample_count;
    if (!plan.matcher.keeps_tile(tile.physical_tile)) {
      // A skipped tile's samples still stretch the profile.
      scan.profile_span_cycles =
          std::max(scan.profile_span_cycles, tile_span(plan.columns, tile));
      continue;
    }
    const std::size_t first = tile.first_sample;
    const std::size_t last = first + tile.sample_count;
    const std::uint32_t base = plan.columns.start_cycle[first];
    if constexpr (kBy == GroupBy::Phase) {
      // A phase group is one pair: its maxima need no bookkeeping.
      scan_block_as<kBy, Phases::None>(plan, Block{tile_idx, first, last, base},
                                       test_each, list, scan);
    } else {
      for (std::size_t block_first = first; block_first < last;
           block_first += kBlockSamples) {
        const Block block{tile_idx, block_first,
                          std::min(last, block_first + kBlockSamples), base};
        if (plan.layout.covers(plan.columns, block.first,
                               block.last - block.first)) {
          scan_block_as<kBy, Phases::Row>(plan, block, test_each, list, scan);
        } else {
          scan_block_as<kBy, Phases::RowOrTable>(plan, block, test_each, list,
                                                 scan);
        }
      }
    }
  }
}

void scan_range(const Plan& plan, std::size_t begin, std::size_t end,
                RangeScan& scan) {
  switch (plan.query.group_by) {
    case GroupBy::Kind:
      return scan_range_by<GroupBy::Kind>(plan, begin, end, scan);
    case GroupBy::Kernel:
      return scan_range_by<GroupBy::Kernel>(plan, begin, end, scan);
    case GroupBy::Operation:
      return scan_range_by<GroupBy::Operation>(plan, begin, end, scan);
    case GroupBy::Phase:
      return scan_range_by<GroupBy::Phase>(plan, begin, end, scan);
    case GroupBy::Tile:
      return scan_range_by<GroupBy::Tile>(plan, begin, end, scan);
    case GroupBy::Metadata:
      return scan_range_by<GroupBy::Metadata>(plan, begin, end, scan);
  }
}

QueryReport assemble(const Plan& plan, RangeScan&& scan, unsigned threads) {
  const ProfileColumns& columns = plan.columns;
  QueryReport result;
  result.clock_hz = columns.clock_hz;
  result.tile_count = columns.tiles.size();
  result.sample_count = scan.sample_count;
  result.matched_sample_count = scan.matched_sample_count;
  result.profile_span_cycles = scan.profile_span_cycles;
  result.profile_span_ms =
      cycles_to_ms(scan.profile_span_cycles, columns.clock_hz);
  if (plan.query.at_offset) result.at_offset = plan.query.at_offset->cycles();
  result.groups = std::move(scan.groups).summaries(columns.clock_hz, threads);
  result.matched_work_cycles = detail::finish_groups(
      result.groups, plan.query.sort_by, plan.query.limit);
  const std::vector<Candidate> listed =
      std::move(scan.candidates).take_sorted();
  result.samples.reserve(listed.size());
  for (const Candidate& candidate : listed) {
    result.samples.push_back(sample_record(columns, candidate.tile,
                                           candidate.offset, candidate.duration,
                                           candidate.sample));
  }
  return result;
}

std::size_t count_samples(const ProfileColumns& columns, std::size_t begin,
                          std::size_t end) {
  std::size_t count = 0;
  for (std::size_t tile_idx = begin; tile_idx < end; ++tile_idx) {
    count += columns.tiles[tile_idx].sample_count;
  }
  return count;
}

}  // namespace

SampleRecord sample_record(std::uint32_t tile, std::uint64_t offset,
                           std::uint32_t duration, const CycleSample& sample) {
  const ProfileStep& step = sample.step;
  SampleRecord record;
  record.physical_tile = tile;
  record.offset = offset;
  record.duration = duration;
  record.phase = step.phase;
  record.epoch = step.epoch;
  record.kind = kind_name(sample);
  record.operation = step.operation;
  record.kernel = step.kernel;
  record.metadata.reserve(step.metadata.size());
  for (const ProfileMetadata& entry : step.metadata) {
    record.metadata.push_back(MetadataEntry{entry.name, entry.value});
  }
  return record;
}

SampleRecord sample_record(const ProfileColumns& columns, std::uint32_t tile,
                           std::uint64_t offset, std::uint32_t duration,
                           std::size_t sample) {
  SampleRecord record;
  record.physical_tile = tile;
  record.offset = offset;
  record.duration = duration;
  record.phase = columns.phase[sample];
  record.epoch = columns.epoch[sample];
  record.kind = kind_name(static_cast<StepKind>(columns.kind[sample]));
  record.operation = columns.string(columns.operation[sample]);
  record.kernel = columns.string(columns.kernel[sample]);
  const auto list = columns.list(columns.metadata[sample]);
  record.metadata.reserve(list.size());
  for (const zyl_package::MetadataPair& entry : list) {
    record.metadata.push_back(
        MetadataEntry{std::string(columns.string(entry.name)),
                      std::string(columns.string(entry.value))});
  }
  return record;
}

bool needs_span(const Query& query) {
  const auto is_share = [](const std::optional<TimeBound>& bound) {
    return bound && bound->is_share();
  };
  return is_share(query.at_offset) || is_share(query.from_offset) ||
         is_share(query.to_offset);
}

Query resolve_bounds(Query query, std::uint64_t span) {
  for (std::optional<TimeBound>* bound :
       {&query.at_offset, &query.from_offset, &query.to_offset}) {
    if (*bound) **bound = (*bound)->in_cycles(span);
  }
  return query;
}

QueryReport query(const ProfileReport& report, const Query& query) {
  return zyl_profile::query(zyl_package::to_columns(report), query);
}

QueryReport query(const ProfileReport& report, const Query& query,
                  ParallelOptions options) {
  return zyl_profile::query(zyl_package::to_columns(report), query, options);
}

unsigned query_threads(const ProfileColumns& columns, ParallelOptions options) {
  std::size_t threads = options.threads != 0
                            ? options.threads
                            : std::max(1U, std::thread::hardware_concurrency());
  threads = std::min(threads, columns.tiles.size());
  if (options.min_samples_per_thread > 0) {
    threads = std::min(threads,
                       columns.sample_count() / options.min_samples_per_thread);
  }
  return static_cast<unsigned>(std::max<std::size_t>(threads, 1));
}

namespace {

// Scans the profile for `query` on up to `options.threads` threads and hands
// the plan, the merged scan and the thread count to `finish`.
template <typename Finish>
auto scan_profile(const ProfileColumns& columns, const Query& asked,
                  ParallelOptions options, Finish&& finish) {
  // A share of the span costs a pass of its own, so only a query that has
  // one is copied and resolved.
  std::optional<Query> resolved;
  if (needs_span(asked))
    resolved = resolve_bounds(asked, profile_span(columns));
  const Query& query = resolved ? *resolved : asked;
  const std::size_t tile_count = columns.tiles.size();
  const std::size_t total = columns.sample_count();
  const std::size_t threads = query_threads(columns, options);
  const Plan plan(columns, query);
  if (threads <= 1) {
    RangeScan scan(plan.classes, plan.layout, query, total, total);
    scan_range(plan, 0, tile_count, scan);
    return finish(plan, std::move(scan), 1U);
  }

  // Split the tiles into contiguous ranges of about equal sample counts, so
  // that merging the ranges in order reproduces the sequential walk.
  const std::vector<std::size_t> bounds = detail::even_ranges(
      0, tile_count, threads, total, [&](std::size_t tile_idx) {
        return columns.tiles[tile_idx].sample_count;
      });

  std::vector<RangeScan> scans;
  scans.reserve(bounds.size() - 1);
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    scans.emplace_back(plan.classes, plan.layout, query,
                       count_samples(columns, bounds[i], bounds[i + 1]), total);
  }
  {
    std::vector<std::jthread> workers;
    workers.reserve(scans.size() - 1);
    for (std::size_t i = 1; i < scans.size(); ++i) {
      workers.emplace_back(
          [&, i] { scan_range(plan, bounds[i], bounds[i + 1], scans[i]); });
    }
    scan_range(plan, bounds[0], bounds[1], scans[0]);
  }
  for (std::size_t i = 1; i < scans.size(); ++i) {
    scans[0].merge(std::move(scans[i]));
  }
  return finish(plan, std::move(scans[0]), static_cast<unsigned>(threads));
}

}  // namespace

QueryReport query(const ProfileColumns& columns, const Query& query) {
  return zyl_profile::query(columns, query, ParallelOptions{.threads = 1});
}

QueryReport query(const ProfileColumns& columns, const Query& query,
                  ParallelOptions options) {
  return scan_profile(columns, query, options, assemble);
}

PartialResult query_partial(const ProfileColumns& columns, const Query& query,
                            std::uint64_t shard, ParallelOptions options) {
  return scan_profile(
      columns, query, options,
      [&](const Plan& plan, RangeScan&& scan, unsigned threads) {
        PartialResult partial;
        partial.query = plan.query;
        partial.shards = {shard};
        partial.clock_hz = columns.clock_hz;
        partial.tile_count = columns.tiles.size();
        partial.sample_count = scan.sample_count;
        partial.matched_sample_count = scan.matched_sample_count;
        partial.profile_span_cycles = scan.profile_span_cycles;
        partial.groups = std::move(scan.groups).partials(threads);
        const std::vector<Candidate> listed =
            std::move(scan.candidates).take_sorted();
        partial.samples.reserve(listed.size());
        for (const Candidate& candidate : listed) {
          partial.samples.push_back(PartialSample{
              shard, candidate.sample,
              sample_record(plan.columns, candidate.tile, candidate.offset,
                            candidate.duration, candidate.sample)});
        }
        return partial;
      });
}

}  // namespace zyl_profile
