// The engine's scan over a columnar profile: the matcher a query prepares
// once, and the walk that places every sample on its tile's timeline and
// hands the matching ones on. The query and every tool that selects samples
// walk the profile through these two, so they can never disagree on which
// samples a query matches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zyl_package/profile_columns.h"
#include "zyl_profile/query.h"

namespace zyl_profile {

using zyl_package::ColumnTile;
using zyl_package::ProfileColumns;

// The point and window tests of a query, its bounds read once into plain
// cycles: the scan tests every sample against them, and the record matcher
// uses the same test, so the two cannot disagree on the window. The query's
// bounds must be resolved (in cycles).
class TimeTest {
 public:
  explicit TimeTest(const Query& query);

  // True when the sample's interval [offset, offset + duration) passes.
  [[nodiscard]] bool passes(std::uint64_t offset,
                            std::uint32_t sample_duration) const {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    // Saturate: for offsets near 2^64 (other callers than the scan) a
    // wrapped end would put the interval before its start.
    const std::uint64_t end =
        offset > kMax - sample_duration ? kMax : offset + sample_duration;
    if (has_at_ && (at_ < offset || at_ >= end)) return false;
    // A zero-length sample is an instant: it is in the window when its
    // offset is. A longer one needs its last cycle at or after the start.
    const std::uint64_t last = sample_duration == 0 ? offset : end - 1;
    if (has_from_ && last < from_) return false;
    return !has_to_ || offset < to_;
  }

  [[nodiscard]] bool tests_anything() const {
    return has_at_ || has_from_ || has_to_;
  }

 private:
  std::uint64_t at_ = 0;
  std::uint64_t from_ = 0;
  std::uint64_t to_ = 0;
  bool has_at_ = false;
  bool has_from_ = false;
  bool has_to_ = false;
};

// `matches_query` prepared for one query over one columnar profile. The
// string tests (kernel, operation substring, metadata conditions) are decided
// once per dictionary entry, so the scan tests a sample with a few table
// reads. Borrows both arguments for its lifetime.
class SampleMatcher {
 public:
  SampleMatcher(const ProfileColumns& columns, const Query& query);

  [[nodiscard]] bool keeps_tile(std::uint32_t physical_tile) const {
    return query_.tiles.empty() || query_.tiles.contains(physical_tile);
  }

  // True when every sample of a kept tile matches: the scan can skip testing.
  [[nodiscard]] bool keeps_everything() const { return keeps_everything_; }

  // True when sample `sample` of a kept tile, starting at `offset` on its
  // tile's timeline and lasting `sample_duration`, passes every filter.
  [[nodiscard]] bool matches(std::size_t sample, std::uint64_t offset,
                             std::uint32_t sample_duration) const {
    if (has_kind_ && columns_.kind[sample] != kind_) return false;
    if (has_kernel_ && kernel_ok_[columns_.kernel[sample]] == 0) return false;
    if (has_operation_ && operation_ok_[columns_.operation[sample]] == 0) {
      return false;
    }
    if (has_phases_ && !keeps_phase(columns_.phase[sample])) return false;
    if (has_time_ && !time_.passes(offset, sample_duration)) return false;
    return !has_metadata_ || list_ok_[columns_.metadata[sample]] != 0;
  }

 private:
  [[nodiscard]] bool keeps_phase(std::uint32_t phase) const;

  const ProfileColumns& columns_;
  const Query& query_;
  TimeTest time_;
  std::uint8_t kind_ = 0;
  // One byte per string id (kernel, operation) or list id (metadata): 1 when
  // that entry passes the test.
  std::vector<std::uint8_t> kernel_ok_;
  std::vector<std::uint8_t> operation_ok_;
  std::vector<std::uint8_t> list_ok_;
  // Phases below its size are looked up here, the rest in the query's set.
  std::vector<std::uint8_t> phase_ok_;
  bool has_kind_ = false;
  bool has_kernel_ = false;
  bool has_operation_ = false;
  bool has_phases_ = false;
  bool has_time_ = false;
  bool has_metadata_ = false;
  bool keeps_everything_ = false;
};

// Walks samples [first, last) of one tile in list order: computes each
// one's offset (start_cycle minus `base`, the tile's first start_cycle,
// modulo 2^32: offsets count on across a counter wrap) and duration, and
// calls `visit(sample, offset, duration)` for each. Returns the largest end
// offset of those samples, 0 for none.
template <typename Visit>
std::uint64_t walk_samples(const ProfileColumns& columns, std::size_t first,
                           std::size_t last, std::uint32_t base,
                           Visit&& visit) {
  const std::uint32_t* const start = columns.start_cycle.data();
  const std::uint32_t* const end = columns.end_cycle.data();
  std::uint64_t span = 0;
  for (std::size_t i = first; i < last; ++i) {
    // Subtract in u32 before widening: a wrap of the counter must not turn
    // into a distance of nearly 2^32 (offsets) or 2^64 (durations).
    const std::uint64_t offset = static_cast<std::uint32_t>(start[i] - base);
    const std::uint32_t sample_duration = end[i] - start[i];
    span = std::max(span, offset + sample_duration);
    visit(i, offset, sample_duration);
  }
  return span;
}

// Walks every sample of one tile as walk_samples does, and returns the
// tile's span, the largest end offset of its samples. The tile must have
// samples.
template <typename Visit>
std::uint64_t walk_tile(const ProfileColumns& columns, const ColumnTile& tile,
                        Visit&& visit) {
  const std::size_t first = tile.first_sample;
  return walk_samples(columns, first, first + tile.sample_count,
                      columns.start_cycle[first], visit);
}

// As walk_samples, but calls `visit` only for the samples that match; the
// span still counts every sample. The tile must be kept by the matcher.
// `kTestEach` is false when the matcher keeps everything: the loop then
// carries no test at all.
template <bool kTestEach, typename Visit>
std::uint64_t scan_samples(const ProfileColumns& columns, std::size_t first,
                           std::size_t last, std::uint32_t base,
                           const SampleMatcher& matcher, Visit&& visit) {
  return walk_samples(
      columns, first, last, base,
      [&](std::size_t sample, std::uint64_t offset,
          std::uint32_t sample_duration) {
        if constexpr (kTestEach) {
          if (!matcher.matches(sample, offset, sample_duration)) {
            return;
          }
        }
        visit(sample, offset, sample_duration);
      });
}

// As scan_samples, over every sample of one tile.
template <bool kTestEach, typename Visit>
std::uint64_t scan_tile(const ProfileColumns& columns, const ColumnTile& tile,
                        const SampleMatcher& matcher, Visit&& visit) {
  const std::size_t first = tile.first_sample;
  return scan_samples<kTestEach>(columns, first, first + tile.sample_count,
                                 columns.start_cycle[first], matcher, visit);
}

// Returns the span of one tile: the largest end offset of its samples, 0
// for a tile without samples.
[[nodiscard]] std::uint64_t tile_span(const ProfileColumns& columns,
                                      const ColumnTile& tile);

// Returns the length of the longest tile timeline of the profile.
[[nodiscard]] std::uint64_t profile_span(const ProfileColumns& columns);

// Calls `visit(tile_index, sample, offset, duration)` for every sample that
// matches `query`, tiles in report order and samples in list order.
template <typename Visit>
void for_each_match(const ProfileColumns& columns, const Query& query,
                    Visit&& visit) {
  const SampleMatcher matcher(columns, query);
  for (std::size_t tile_idx = 0; tile_idx < columns.tiles.size(); ++tile_idx) {
    const ColumnTile& tile = columns.tiles[tile_idx];
    if (tile.sample_count == 0 || !matcher.keeps_tile(tile.physical_tile)) {
      continue;
    }
    const auto on_match = [&](std::size_t sample, std::uint64_t offset,
                              std::uint32_t sample_duration) {
      visit(tile_idx, sample, offset, sample_duration);
    };
    if (matcher.keeps_everything()) {
      scan_tile<false>(columns, tile, matcher, on_match);
    } else {
      scan_tile<true>(columns, tile, matcher, on_match);
    }
  }
}

// Returns the listed form of sample `sample` of `columns`, copying its
// strings and metadata.
[[nodiscard]] SampleRecord sample_record(const ProfileColumns& columns,
                                         std::uint32_t tile,
                                         std::uint64_t offset,
                                         std::uint32_t duration,
                                         std::size_t sample);

}  // namespace zyl_profile
