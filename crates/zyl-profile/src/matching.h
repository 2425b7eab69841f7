// The per-sample tests prepared once per query, so the scan does per-query
// work (set lookups, absent filters) only once instead of once per sample.
#pragma once

#include <cstdint>
#include <vector>

#include "zyl_profile/query.h"

namespace zyl_profile::detail {

// True when the sample's time interval [offset, offset + duration) passes the
// point and window tests of `query`.
[[nodiscard]] bool matches_time(const Query& query, std::uint64_t offset,
                                std::uint32_t sample_duration);

// True when the step passes the kind, kernel, operation and metadata tests.
[[nodiscard]] bool matches_step(const Query& query, const ProfileStep& step);

// `matches_query`, split so that the scan can test a tile once for all its
// samples. `matches` gives the same answer as matches_query for every sample
// of a tile for which `keeps_tile` is true.
class Matcher {
 public:
  explicit Matcher(const Query& query);

  [[nodiscard]] bool keeps_tile(std::uint32_t tile) const {
    return query_.tiles.empty() || query_.tiles.contains(tile);
  }

  // True when every sample of a kept tile matches: the scan can skip testing.
  [[nodiscard]] bool keeps_everything() const { return keeps_everything_; }

  [[nodiscard]] bool matches(const CycleSample& sample, std::uint64_t offset,
                             std::uint32_t sample_duration) const {
    const ProfileStep& step = sample.step;
    if (has_phases_ && !keeps_phase(step.phase)) return false;
    if (has_time_ && !matches_time(query_, offset, sample_duration)) {
      return false;
    }
    return !has_step_tests_ || matches_step(query_, step);
  }

 private:
  [[nodiscard]] bool keeps_phase(std::uint32_t phase) const;

  const Query& query_;
  // Phases below this bound are looked up in a flat table; the rest in the set.
  std::vector<bool> phase_table_;
  bool has_phases_ = false;
  bool has_time_ = false;
  bool has_step_tests_ = false;
  bool keeps_everything_ = false;
};

}  // namespace zyl_profile::detail
