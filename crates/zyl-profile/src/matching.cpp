// Sample classification and matching: kind_of, kind_name, duration and
// matches_query, the per-sample tests that the query scan runs.
#include "matching.h"

#include <algorithm>
#include <limits>
#include <string_view>

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
  if (!query.tiles.empty() && !query.tiles.contains(tile)) return false;
  if (!query.phases.empty() && !query.phases.contains(sample.step.phase)) {
    return false;
  }
  return detail::matches_time(query, offset, sample_duration) &&
         detail::matches_step(query, sample.step);
}

namespace detail {
namespace {

// Beyond this phase number a flat table would cost more than the set.
constexpr std::uint32_t kPhaseTableLimit = 1U << 16;

}  // namespace

bool matches_time(const Query& query, std::uint64_t offset,
                  std::uint32_t sample_duration) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  // Saturate: for offsets near 2^64 (other callers than the scan) a wrapped
  // end would put the interval before its start.
  const std::uint64_t end =
      offset > kMax - sample_duration ? kMax : offset + sample_duration;
  if (query.at_offset) {
    const std::uint64_t point = *query.at_offset;
    if (point < offset || point >= end) return false;
  }
  if (query.from_offset || query.to_offset) {
    // A zero-length sample is an instant: it is in the window when its offset
    // is. A longer one needs its last cycle at or after the window's start.
    const std::uint64_t last = sample_duration == 0 ? offset : end - 1;
    if (query.from_offset && last < *query.from_offset) return false;
    if (query.to_offset && offset >= *query.to_offset) return false;
  }
  return true;
}

bool matches_step(const Query& query, const ProfileStep& step) {
  if (query.kind && *query.kind != step_kind(step)) return false;
  if (query.kernel && step.kernel != *query.kernel) return false;
  if (query.operation_contains &&
      step.operation.find(*query.operation_contains) == std::string::npos) {
    return false;
  }
  return std::all_of(
      query.metadata.begin(), query.metadata.end(),
      [&](const MetadataFilter& filter) { return satisfies(filter, step); });
}

Matcher::Matcher(const Query& query) : query_(query) {
  has_phases_ = !query.phases.empty();
  if (has_phases_) {
    const std::uint32_t largest = *query.phases.rbegin();
    phase_table_.assign(std::min(largest, kPhaseTableLimit - 1) + 1, false);
    for (const std::uint32_t phase : query.phases) {
      if (phase < phase_table_.size()) phase_table_[phase] = true;
    }
  }
  has_time_ = query.at_offset || query.from_offset || query.to_offset;
  has_step_tests_ = query.kind || query.kernel || query.operation_contains ||
                    !query.metadata.empty();
  keeps_everything_ = !has_phases_ && !has_time_ && !has_step_tests_;
}

bool Matcher::keeps_phase(std::uint32_t phase) const {
  if (phase < phase_table_.size()) return phase_table_[phase];
  return phase >= kPhaseTableLimit && query_.phases.contains(phase);
}

}  // namespace detail
}  // namespace zyl_profile
