// Test-only builders for small literal reports.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zyl_profile/query.h"

namespace zyl_profile::testing {

inline CycleSample make_sample(ProfileStepKind kind, std::uint32_t start,
                               std::uint32_t end, std::string kernel = "k",
                               std::uint32_t phase = 0, std::uint32_t epoch = 0,
                               std::vector<ProfileMetadata> metadata = {},
                               std::string operation = "op") {
  CycleSample sample;
  sample.step.phase = phase;
  sample.step.epoch = epoch;
  sample.step.kind = kind;
  sample.step.kernel = std::move(kernel);
  sample.step.operation = std::move(operation);
  sample.step.metadata = std::move(metadata);
  sample.start_cycle = start;
  sample.end_cycle = end;
  return sample;
}

// A compute sample of `kernel` from `start` lasting `length` cycles.
inline CycleSample timed(std::uint32_t start, std::uint32_t length,
                         std::string kernel = "k", std::uint32_t phase = 0,
                         std::uint32_t epoch = 0) {
  return make_sample(ProfileStepKind::Compute, start, start + length,
                     std::move(kernel), phase, epoch);
}

inline TileProfile make_tile(std::uint32_t physical_tile,
                             std::vector<CycleSample> samples) {
  return TileProfile{physical_tile, std::move(samples)};
}

inline ProfileReport make_report(std::vector<TileProfile> tiles,
                                 std::uint64_t clock_hz = 1000000000) {
  return ProfileReport{clock_hz, std::move(tiles)};
}

// A group of one sample whose phase and work cycles are `phase_cycles`.
inline GroupSummary group(std::string name, std::uint64_t phase_cycles) {
  GroupSummary summary;
  summary.name = std::move(name);
  summary.phase_cycles = phase_cycles;
  summary.work_cycles = phase_cycles;
  summary.sample_count = 1;
  summary.average_active_tiles = 1.0;
  return summary;
}

// An answer holding `groups`, one matched sample each, over a profile
// spanning `span` cycles.
inline QueryReport result(std::vector<GroupSummary> groups,
                          std::uint64_t span) {
  QueryReport report;
  report.groups = std::move(groups);
  report.profile_span_cycles = span;
  report.matched_sample_count = report.groups.size();
  return report;
}

}  // namespace zyl_profile::testing
