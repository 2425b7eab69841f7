// Sample classification and matching: kind_of, kind_name, duration and
// matches_query over the records, and the SampleMatcher the scan tests
// columns with, its string tests decided once per dictionary entry. Both
// read the window through matches_time, so they cannot disagree on it.
#include "matching.h"

#include <algorithm>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

StepKind step_kind(const ProfileStep& step) {
  switch (step.kind) {
    case ProfileStepKind::Compute:
      return StepKind::Compute;
    case ProfileStepKind::Synchronization:
      return StepKind::Synchronization;
    case ProfileStepKind::Idle:
      return StepKind::Idle;
    case ProfileStepKind::Exchange:
      break;
  }
  return StepKind::Exchange;
}

bool satisfies(const MetadataFilter& filter, const ProfileStep& step) {
  return std::any_of(step.metadata.begin(), step.metadata.end(),
                     [&](const ProfileMetadata& entry) {
                       return entry.name == filter.name &&
                              (!filter.value || entry.value == *filter.value);
                     });
}

}  // namespace

StepKind kind_of(const CycleSample& sample) { return step_kind(sample.step); }

std::string_view kind_name(StepKind kind) {
  // The two enumerations share their discriminants, and the names live with
  // the report records so that files and results spell them alike.
  return zyl_package::step_kind_name(static_cast<ProfileStepKind>(kind));
}

std::string_view kind_name(const CycleSample& sample) {
  return kind_name(kind_of(sample));
}

std::uint32_t duration(const CycleSample& sample) {
  // Subtract in u32: the counter wraps, and widening first would turn a wrap
  // into a duration of nearly 2^64.
  return sample.end_cycle - sample.start_cycle;
}

bool matches_query(const Query& query, std::uint32_t tile,
                   const CycleSample& sample, std::uint64_t offset,
                   std::uint32_t sample_duration) {
  // The tests have no side effects, so their order only decides the cost:
  // the cheap ones first, the metadata scan (a list inside a list) last.
  const ProfileStep& step = sample.step;
  if (query.kind && *query.kind != step_kind(step)) return false;
  if (query.kernel && step.kernel != *query.kernel) return false;
  if (query.operation_contains &&
      step.operation.find(*query.operation_contains) == std::string::npos) {
    return false;
  }
  if (!query.tiles.empty() && !query.tiles.contains(tile)) return false;
  if (!query.phases.empty() && !query.phases.contains(step.phase)) {
    return false;
  }
  if (!detail::matches_time(query, offset, sample_duration)) return false;
  return std::all_of(
      query.metadata.begin(), query.metadata.end(),
      [&](const MetadataFilter& filter) { return satisfies(filter, step); });
}

namespace detail {

bool matches_time(const Query& query, std::uint64_t offset,
                  std::uint32_t sample_duration) {
  return TimeTest(query).passes(offset, sample_duration);
}

}  // namespace detail

namespace {

// Beyond this phase number a flat table would cost more than the set.
constexpr std::uint32_t kPhaseTableLimit = 1U << 16;

// One byte per dictionary entry: 1 when `passes(entry)`.
template <typename Passes>
std::vector<std::uint8_t> decide_each(std::size_t count, Passes&& passes) {
  std::vector<std::uint8_t> table(count);
  for (std::size_t i = 0; i < count; ++i) {
    table[i] = passes(static_cast<std::uint32_t>(i)) ? 1 : 0;
  }
  return table;
}

}  // namespace

TimeTest::TimeTest(const Query& query)
    : has_at_(query.at_offset.has_value()),
      has_from_(query.from_offset.has_value()),
      has_to_(query.to_offset.has_value()) {
  if (has_at_) at_ = query.at_offset->cycles();
  if (has_from_) from_ = query.from_offset->cycles();
  if (has_to_) to_ = query.to_offset->cycles();
}

SampleMatcher::SampleMatcher(const ProfileColumns& columns, const Query& query)
    : columns_(columns), query_(query), time_(query) {
  if (query.kind) {
    has_kind_ = true;
    kind_ = static_cast<std::uint8_t>(*query.kind);
  }
  if (query.kernel) {
    has_kernel_ = true;
    kernel_ok_ = decide_each(columns.string_count(), [&](std::uint32_t id) {
      return columns.string(id) == *query.kernel;
    });
  }
  // The empty pattern is in every name: no test at all.
  if (query.operation_contains && !query.operation_contains->empty()) {
    has_operation_ = true;
    operation_ok_ = decide_each(columns.string_count(), [&](std::uint32_t id) {
      return columns.string(id).find(*query.operation_contains) !=
             std::string_view::npos;
    });
  }
  if (!query.metadata.empty()) {
    has_metadata_ = true;
    list_ok_ = decide_each(columns.list_count(), [&](std::uint32_t id) {
      const std::span<const zyl_package::MetadataPair> list = columns.list(id);
      return std::all_of(
          query.metadata.begin(), query.metadata.end(),
          [&](const MetadataFilter& filter) {
            return std::any_of(
                list.begin(), list.end(),
                [&](const zyl_package::MetadataPair& entry) {
                  return columns.string(entry.name) == filter.name &&
                         (!filter.value ||
                          columns.string(entry.value) == *filter.value);
                });
          });
    });
  }
  if (!query.phases.empty()) {
    has_phases_ = true;
    const std::uint32_t largest = *query.phases.rbegin();
    phase_ok_.assign(std::min(largest, kPhaseTableLimit - 1) + 1, 0);
    for (const std::uint32_t phase : query.phases) {
      if (phase < phase_ok_.size()) phase_ok_[phase] = 1;
    }
  }
  has_time_ = time_.tests_anything();
  keeps_everything_ = !has_kind_ && !has_kernel_ && !has_operation_ &&
                      !has_phases_ && !has_time_ && !has_metadata_;
}

bool SampleMatcher::keeps_phase(std::uint32_t phase) const {
  if (phase < phase_ok_.size()) return phase_ok_[phase] != 0;
  return phase >= kPhaseTableLimit && query_.phases.contains(phase);
}

std::uint64_t tile_span(const ProfileColumns& columns, const ColumnTile& tile) {
  if (tile.sample_count == 0) return 0;
  return walk_tile(columns, tile,
                   [](std::size_t, std::uint64_t, std::uint32_t) {});
}

std::uint64_t profile_span(const ProfileColumns& columns) {
  std::uint64_t span = 0;
  for (const ColumnTile& tile : columns.tiles) {
    span = std::max(span, tile_span(columns, tile));
  }
  return span;
}

}  // namespace zyl_profile
