// The query pipeline: one walk over every tile and sample, then the group
// summaries, the listed samples and the report's totals.
#include "zyl_profile/query.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "grouping.h"
#include "matching.h"

namespace zyl_profile {
namespace {

// A matched sample waiting to be listed. `offset_and_tile_index` packs the
// offset (always below 2^32) above the tile's position in the report, so one
// comparison orders by offset and then by report order across tiles; within
// one tile the sample's address follows list order.
struct Candidate {
  const CycleSample* sample = nullptr;
  std::uint64_t offset_and_tile_index = 0;
  std::uint32_t duration = 0;
  std::uint32_t tile = 0;
};

// Longest first, then smaller tile, then smaller offset, then report order:
// a total order, so any sort or selection gives what a stable sort would.
bool listed_before(const Candidate& left, const Candidate& right) {
  if (left.duration != right.duration) return left.duration > right.duration;
  if (left.tile != right.tile) return left.tile < right.tile;
  if (left.offset_and_tile_index != right.offset_and_tile_index) {
    return left.offset_and_tile_index < right.offset_and_tile_index;
  }
  return std::less<>()(left.sample, right.sample);
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
  }

  std::size_t limit_ = 0;
  std::size_t capacity_ = 0;
  std::vector<Candidate> buffer_;
};

// What one walk over a contiguous range of tiles produces.
struct Partial {
  Partial(const Query& query, std::size_t expected_samples)
      : groups(query, expected_samples),
        candidates(query.sample_limit, expected_samples) {}

  detail::GroupTable groups;
  CandidateList candidates;
  std::size_t sample_count = 0;
  std::size_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;

  void merge(Partial&& later) {
    groups.merge(std::move(later.groups));
    candidates.merge(std::move(later.candidates));
    sample_count += later.sample_count;
    matched_sample_count += later.matched_sample_count;
    profile_span_cycles =
        std::max(profile_span_cycles, later.profile_span_cycles);
  }
};

// Walks one tile. `kTestEach` is false when the matcher keeps every sample,
// `kList` when candidates are kept; both are fixed per query, so the loop
// carries no per-sample branches for features the query does not use.
template <bool kTestEach, bool kList>
void scan_tile(const TileProfile& tile, std::size_t tile_index,
               const detail::Matcher& matcher, Partial& partial) {
  const std::vector<CycleSample>& samples = tile.samples;
  const std::uint32_t base = samples.front().start_cycle;
  const std::uint32_t physical_tile = tile.physical_tile;
  std::uint64_t tile_span = 0;
  std::size_t matched = 0;
  for (const CycleSample& sample : samples) {
    // Subtract in u32 before widening: offsets count across a counter wrap.
    const std::uint64_t offset =
        static_cast<std::uint32_t>(sample.start_cycle - base);
    const std::uint32_t sample_duration = duration(sample);
    tile_span = std::max(tile_span, offset + sample_duration);
    if constexpr (kTestEach) {
      if (!matcher.matches(sample, offset, sample_duration)) continue;
    }
    ++matched;
    partial.groups.add(physical_tile, sample, offset, sample_duration);
    if constexpr (kList) {
      partial.candidates.add(Candidate{
          .sample = &sample,
          .offset_and_tile_index = (offset << 32) | tile_index,
          .duration = sample_duration,
          .tile = physical_tile,
      });
    }
  }
  partial.matched_sample_count += matched;
  partial.profile_span_cycles =
      std::max(partial.profile_span_cycles, tile_span);
}

// The span of a tile the query skips: its samples still stretch the profile.
std::uint64_t tile_span(const TileProfile& tile) {
  const std::uint32_t base = tile.samples.front().start_cycle;
  std::uint64_t span = 0;
  for (const CycleSample& sample : tile.samples) {
    const std::uint64_t offset =
        static_cast<std::uint32_t>(sample.start_cycle - base);
    span = std::max(span, offset + duration(sample));
  }
  return span;
}

void scan_range(const ProfileReport& report, const Query& query,
                std::size_t begin, std::size_t end, Partial& partial) {
  const detail::Matcher matcher(query);
  const bool test_each = !matcher.keeps_everything();
  const bool list = partial.candidates.enabled();
  for (std::size_t tile_idx = begin; tile_idx < end; ++tile_idx) {
    const TileProfile& tile = report.tiles[tile_idx];
    if (tile.samples.empty()) continue;
    partial.sample_count += tile.samples.size();
    if (!matcher.keeps_tile(tile.physical_tile)) {
      partial.profile_span_cycles =
          std::max(partial.profile_span_cycles, tile_span(tile));
    } else if (test_each) {
      list ? scan_tile<true, true>(tile, tile_idx, matcher, partial)
           : scan_tile<true, false>(tile, tile_idx, matcher, partial);
    } else {
      list ? scan_tile<false, true>(tile, tile_idx, matcher, partial)
           : scan_tile<false, false>(tile, tile_idx, matcher, partial);
    }
  }
}

QueryReport assemble(const ProfileReport& report, const Query& query,
                     Partial&& partial, unsigned threads) {
  QueryReport result;
  result.clock_hz = report.clock_hz;
  result.tile_count = report.tiles.size();
  result.sample_count = partial.sample_count;
  result.matched_sample_count = partial.matched_sample_count;
  result.profile_span_cycles = partial.profile_span_cycles;
  result.profile_span_ms =
      cycles_to_ms(partial.profile_span_cycles, report.clock_hz);
  result.at_offset = query.at_offset;
  result.groups = std::move(partial.groups).summaries(report.clock_hz, threads);
  const std::vector<Candidate> listed =
      std::move(partial.candidates).take_sorted();
  result.samples.reserve(listed.size());
  for (const Candidate& candidate : listed) {
    result.samples.push_back(
        sample_record(candidate.tile, candidate.offset_and_tile_index >> 32,
                      candidate.duration, *candidate.sample));
  }
  return result;
}

std::size_t count_samples(const ProfileReport& report, std::size_t begin,
                          std::size_t end) {
  std::size_t count = 0;
  for (std::size_t tile_idx = begin; tile_idx < end; ++tile_idx) {
    count += report.tiles[tile_idx].samples.size();
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

QueryReport query(const ProfileReport& report, const Query& query) {
  Partial partial(query, count_samples(report, 0, report.tiles.size()));
  scan_range(report, query, 0, report.tiles.size(), partial);
  return assemble(report, query, std::move(partial), 1);
}

QueryReport query(const ProfileReport& report, const Query& query,
                  ParallelOptions options) {
  const std::size_t total = count_samples(report, 0, report.tiles.size());
  std::size_t threads = options.threads != 0
                            ? options.threads
                            : std::max(1U, std::thread::hardware_concurrency());
  threads = std::min(threads, report.tiles.size());
  if (options.min_samples_per_thread > 0) {
    threads = std::min(threads, total / options.min_samples_per_thread);
  }
  if (threads <= 1) return zyl_profile::query(report, query);

  // Split the tiles into contiguous ranges of about equal sample counts, so
  // that merging the ranges in order reproduces the sequential walk.
  std::vector<std::size_t> bounds{0};
  std::size_t seen = 0;
  for (std::size_t tile_idx = 0; tile_idx < report.tiles.size(); ++tile_idx) {
    seen += report.tiles[tile_idx].samples.size();
    const std::size_t range = bounds.size();
    if (range < threads && seen * threads >= total * range) {
      bounds.push_back(tile_idx + 1);
    }
  }
  bounds.push_back(report.tiles.size());

  std::vector<Partial> partials;
  partials.reserve(bounds.size() - 1);
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    partials.emplace_back(query,
                          count_samples(report, bounds[i], bounds[i + 1]));
  }
  {
    std::vector<std::jthread> workers;
    workers.reserve(partials.size() - 1);
    for (std::size_t i = 1; i < partials.size(); ++i) {
      workers.emplace_back([&, i] {
        scan_range(report, query, bounds[i], bounds[i + 1], partials[i]);
      });
    }
    scan_range(report, query, bounds[0], bounds[1], partials[0]);
  }
  for (std::size_t i = 1; i < partials.size(); ++i) {
    partials[0].merge(std::move(partials[i]));
  }
  return assemble(report, query, std::move(partials[0]),
                  static_cast<unsigned>(threads));
}

}  // namespace zyl_profile
