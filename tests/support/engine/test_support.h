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

}  // namespace zyl_profile::testing
