// A slow and obvious model of the phase balance, for tests and fuzzing
// only: ordered maps over the report's records, the per-sample record
// functions to match, and nothing of the engine's cells or tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "reference_query.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/query.h"

namespace zyl_profile::testing {

namespace reference_detail {

// One tile's matched samples in one pair.
struct TileInPair {
  std::uint32_t physical_tile = 0;
  std::map<StepKind, std::uint64_t> cycles;
  std::map<std::string, std::uint64_t> compute_by_kernel;
  bool any_synchronization = false;

  [[nodiscard]] std::uint64_t of(StepKind kind) const {
    const auto it = cycles.find(kind);
    return it == cycles.end() ? 0 : it->second;
  }
  [[nodiscard]] std::uint64_t busy() const {
    return of(StepKind::Compute) + of(StepKind::Exchange);
  }
};

struct Pair {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool seen = false;
  std::map<std::size_t, TileInPair> tiles;  // by report position
};

}  // namespace reference_detail

// Returns what phase_balance must return for `report`, recomputed sample
// by sample; a tile is a report position.
inline PhaseBalance reference_phase_balance(const ProfileReport& report,
                                            const Query& asked) {
  using reference_detail::Pair;
  using reference_detail::TileInPair;
  const Query q = resolve_bounds(asked, reference_detail::span_of(report));
  PhaseBalance expected;
  expected.clock_hz = report.clock_hz;
  std::map<std::pair<std::uint32_t, std::uint32_t>, Pair> pairs;
  for (std::size_t position = 0; position < report.tiles.size(); ++position) {
    const TileProfile& tile = report.tiles[position];
    for (const CycleSample& sample : tile.samples) {
      const std::uint64_t offset = static_cast<std::uint32_t>(
          sample.start_cycle - tile.samples.front().start_cycle);
      const std::uint32_t length = duration(sample);
      if (!matches_query(q, tile.physical_tile, sample, offset, length)) {
        continue;
      }
      ++expected.matched_sample_count;
      Pair& pair = pairs[{sample.step.phase, sample.step.epoch}];
      if (!pair.seen || offset < pair.start) pair.start = offset;
      if (!pair.seen || offset + length > pair.end) pair.end = offset + length;
      pair.seen = true;
      TileInPair& in_pair = pair.tiles[position];
      in_pair.physical_tile = tile.physical_tile;
      const StepKind kind = kind_of(sample);
      in_pair.cycles[kind] += length;
      if (kind == StepKind::Synchronization) in_pair.any_synchronization = true;
      if (kind == StepKind::Compute) {
        in_pair.compute_by_kernel[sample.step.kernel] += length;
      }
    }
  }
  for (const auto& [key, pair] : pairs) {
    PhaseRow row;
    row.phase = key.first;
    row.epoch = key.second;
    row.start = pair.start;
    row.end = pair.end;
    row.span = pair.end - pair.start;
    row.tiles = pair.tiles.size();
    bool any_synchronization = false;
    std::vector<std::uint64_t> busy;
    const TileInPair* slowest = nullptr;
    for (const auto& [position, in_pair] : pair.tiles) {
      row.compute_cycles += in_pair.of(StepKind::Compute);
      row.exchange_cycles += in_pair.of(StepKind::Exchange);
      row.synchronization_cycles += in_pair.of(StepKind::Synchronization);
      row.idle_cycles += in_pair.of(StepKind::Idle);
      any_synchronization = any_synchronization || in_pair.any_synchronization;
      busy.push_back(in_pair.busy());
      // Positions ascend, so a later tile wins only by more busy cycles or
      // by a smaller physical tile.
      if (slowest == nullptr || in_pair.busy() > slowest->busy() ||
          (in_pair.busy() == slowest->busy() &&
           in_pair.physical_tile < slowest->physical_tile)) {
        slowest = &in_pair;
      }
    }
    row.busy_cycles = row.compute_cycles + row.exchange_cycles;
    row.slowest_tile = slowest->physical_tile;
    row.slowest_busy_cycles = slowest->busy();
    // The map walks names byte-wise ascending, so a later kernel replaces
    // the one chosen only by running longer.
    bool first = true;
    std::uint64_t most = 0;
    for (const auto& [kernel, cycles] : slowest->compute_by_kernel) {
      if (first || cycles > most) {
        most = cycles;
        row.slowest_kernel = kernel;
      }
      first = false;
    }
    row.mean_busy_cycles =
        static_cast<double>(row.busy_cycles) / static_cast<double>(row.tiles);
    std::sort(busy.begin(), busy.end());
    row.median_busy_cycles = busy[(busy.size() - 1) / 2];
    if (any_synchronization) {
      row.wait_measure = WaitMeasure::Synchronization;
      row.wait_cycles = row.synchronization_cycles;
    } else {
      row.wait_measure = WaitMeasure::Imbalance;
      for (const std::uint64_t tile_busy : busy) {
        row.wait_cycles += row.slowest_busy_cycles - tile_busy;
      }
    }
    expected.totals.wait_cycles += row.wait_cycles;
    expected.totals.busy_cycles += row.busy_cycles;
    expected.totals.tile_cycles += row.span * row.tiles;
    expected.rows.push_back(std::move(row));
  }
  std::stable_sort(expected.rows.begin(), expected.rows.end(),
                   [](const PhaseRow& left, const PhaseRow& right) {
                     return left.wait_cycles > right.wait_cycles;
                   });
  return expected;
}

}  // namespace zyl_profile::testing
