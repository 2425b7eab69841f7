// A slow and obvious model of the occupancy, for tests and fuzzing only:
// every matched sample of the report's records against every cell of its
// row, kernels tallied in ordered maps by name, nothing of the engine's
// scan, runs or tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "zyl_profile/occupancy.h"
#include "zyl_profile/query.h"

namespace zyl_profile::testing {

// Returns the occupancy of the samples `query` (bounds in cycles) matches
// in `report`, over the frame of `shape` (its rows and time edges, which
// the model takes as given), with the top `top_kernels` kernels of each
// cell when that is above 0.
inline Occupancy reference_occupancy(const ProfileReport& report,
                                     const Query& query, const Occupancy& shape,
                                     std::size_t top_kernels) {
  Occupancy expected;
  expected.clock_hz = shape.clock_hz;
  expected.from_cycles = shape.from_cycles;
  expected.to_cycles = shape.to_cycles;
  expected.time_edges = shape.time_edges;
  expected.rows = shape.rows;
  const std::size_t columns = shape.columns();
  const std::size_t cells = shape.rows.size() * columns;
  expected.cycles.assign(cells * kStepKinds, 0);
  std::vector<std::map<std::string, std::uint64_t>> kernels(cells);
  std::map<std::pair<std::uint32_t, std::uint32_t>, PhaseStart> starts;
  for (std::size_t row = 0; row < shape.rows.size(); ++row) {
    const TileBin& bin = shape.rows[row];
    for (std::size_t t = bin.first_tile; t <= bin.last_tile; ++t) {
      const TileProfile& tile = report.tiles[t];
      if (tile.samples.empty()) continue;
      const std::uint32_t base = tile.samples.front().start_cycle;
      std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> first;
      for (const CycleSample& sample : tile.samples) {
        const std::uint64_t offset =
            static_cast<std::uint32_t>(sample.start_cycle - base);
        const std::uint32_t length = duration(sample);
        if (!matches_query(query, tile.physical_tile, sample, offset, length)) {
          continue;
        }
        const auto pair = std::pair(sample.step.phase, sample.step.epoch);
        const auto [it, inserted] = first.try_emplace(pair, offset);
        if (!inserted) it->second = std::min(it->second, offset);
        for (std::size_t column = 0; column < columns; ++column) {
          const std::uint64_t low =
              std::max(offset, expected.time_edges[column]);
          const std::uint64_t high =
              std::min(offset + length, expected.time_edges[column + 1]);
          if (low >= high) continue;
          const std::size_t cell = row * columns + column;
          expected.cycles[cell * kStepKinds +
                          static_cast<std::size_t>(kind_of(sample))] +=
              high - low;
          expected.work_cycles += high - low;
          kernels[cell][sample.step.kernel] += high - low;
        }
      }
      for (const auto& [pair, start] : first) {
        auto [it, inserted] = starts.try_emplace(
            pair, PhaseStart{pair.first, pair.second, start, start, 0});
        it->second.earliest = std::min(it->second.earliest, start);
        it->second.latest = std::max(it->second.latest, start);
        ++it->second.tile_count;
      }
    }
  }
  for (const auto& [pair, start] : starts) {
    expected.phase_starts.push_back(start);
  }
  if (top_kernels == 0) return expected;
  // Each cell's kernels, most cycles first, then by name; the first
  // `top_kernels` are listed by name until the table is known.
  std::vector<std::vector<std::pair<std::string, std::uint64_t>>> listed(cells);
  std::set<std::string> names;
  for (std::size_t cell = 0; cell < cells; ++cell) {
    std::vector<std::pair<std::string, std::uint64_t>> all(
        kernels[cell].begin(), kernels[cell].end());
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& left, const auto& right) {
                       return left.second > right.second;
                     });
    std::uint64_t total = 0;
    for (const auto& [name, cycles] : all) total += cycles;
    if (all.size() > top_kernels) all.resize(top_kernels);
    for (const auto& [name, cycles] : all) {
      names.insert(name);
      total -= cycles;
    }
    listed[cell] = std::move(all);
    expected.other_kernel_cycles.push_back(total);
  }
  expected.kernel_names.assign(names.begin(), names.end());
  expected.kernel_offsets.push_back(0);
  for (const auto& cell : listed) {
    for (const auto& [name, cycles] : cell) {
      const auto at = std::lower_bound(expected.kernel_names.begin(),
                                       expected.kernel_names.end(), name);
      expected.cell_kernels.push_back(CellKernel{
          static_cast<std::uint32_t>(at - expected.kernel_names.begin()),
          cycles});
    }
    expected.kernel_offsets.push_back(expected.cell_kernels.size());
  }
  return expected;
}

}  // namespace zyl_profile::testing
