// Tests of the bulk-synchronous generator model: supersteps that line up on
// every tile's own timeline, a barrier that waits for the slowest tile, and
// the slow kernels and straggler tiles a user plants to look for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "zyl_package/generate.h"

namespace zyl_package {
namespace {

GenerateOptions bsp_options(std::uint32_t tiles, std::uint32_t per_tile) {
  GenerateOptions options;
  options.model = GenerateModel::BulkSynchronous;
  options.tiles = tiles;
  options.samples_per_tile = per_tile;
  options.seed = 7;
  return options;
}

std::uint64_t sample_count(const ProfileReport& report) {
  std::uint64_t count = 0;
  for (const auto& tile : report.tiles) count += tile.samples.size();
  return count;
}

using StepKey = std::pair<std::uint32_t, std::uint32_t>;  // phase, epoch

// Per superstep, per tile: the tile's samples with offsets from the tile's
// first sample (u32 differences, as the counter wraps).
struct StepSamples {
  std::uint32_t first_start = 0;
  std::uint32_t compute_end = 0;  // end of the last compute or idle sample
  std::uint32_t sync_start = 0;
  std::uint32_t sync_end = 0;
  std::uint32_t computes = 0;
  std::uint32_t syncs = 0;
  std::uint64_t busy = 0;  // compute and exchange cycles
};

std::map<StepKey, std::map<std::uint32_t, StepSamples>> by_step(
    const ProfileReport& report) {
  std::map<StepKey, std::map<std::uint32_t, StepSamples>> steps;
  for (const auto& tile : report.tiles) {
    if (tile.samples.empty()) continue;
    const std::uint32_t origin = tile.samples.front().start_cycle;
    for (const auto& sample : tile.samples) {
      const StepKey key{sample.step.phase, sample.step.epoch};
      const bool first = steps[key].count(tile.physical_tile) == 0;
      StepSamples& s = steps[key][tile.physical_tile];
      const std::uint32_t start = sample.start_cycle - origin;
      const std::uint32_t end = sample.end_cycle - origin;
      if (first) s.first_start = start;
      if (sample.step.kind == ProfileStepKind::Compute ||
          sample.step.kind == ProfileStepKind::Exchange) {
        s.busy += end - start;
      }
      if (sample.step.kind == ProfileStepKind::Compute ||
          sample.step.kind == ProfileStepKind::Idle) {
        ++s.computes;
        s.compute_end = end;
      } else if (sample.step.kind == ProfileStepKind::Synchronization) {
        ++s.syncs;
        s.sync_start = start;
        s.sync_end = end;
      }
    }
  }
  return steps;
}

TEST(BulkSynchronous, SameSeedGivesTheSameReportAndAnotherSeedDoesNot) {
  GenerateOptions options = bsp_options(32, 60);
  const ProfileReport first = generate_report(options);
  EXPECT_EQ(generate_report(options), first);
  options.seed = 8;
  EXPECT_NE(generate_report(options), first);
  options.seed = 7;
  options.model = GenerateModel::Independent;
  EXPECT_NE(generate_report(options), first);
}

TEST(BulkSynchronous, HoldsExactlyTheRequestedSamples) {
  for (const std::uint64_t total : {0U, 1U, 5U, 999U, 12345U, 20000U}) {
    for (const std::uint32_t tiles : {1U, 7U, 64U}) {
      SCOPED_TRACE(std::to_string(total) + " over " + std::to_string(tiles));
      GenerateOptions options = options_for_total(total, tiles);
      options.model = GenerateModel::BulkSynchronous;
      const ProfileReport report = generate_report(options);
      EXPECT_EQ(sample_count(report), total);
      EXPECT_EQ(generated_sample_count(options), total);
      EXPECT_EQ(report.tiles.size(), tiles);
    }
  }
}

TEST(BulkSynchronous, SuperstepsStartAndReleaseTogetherOnEveryTile) {
  GenerateOptions options = bsp_options(48, 100);
  options.phases = 5;
  const auto steps = by_step(generate_report(options));
  // 100 samples at most 6 to a superstep: 17 supersteps, 5 phases each epoch.
  ASSERT_EQ(steps.size(), 17U);
  EXPECT_EQ(steps.count({1, 3}), 1U);  // the last superstep
  EXPECT_EQ(steps.count({2, 3}), 0U);
  for (const auto& [key, tiles] : steps) {
    SCOPED_TRACE("phase " + std::to_string(key.first) + " epoch " +
                 std::to_string(key.second));
    ASSERT_EQ(tiles.size(), 48U);
    const StepSamples& any = tiles.begin()->second;
    std::uint32_t slowest = 0;
    for (const auto& [tile, s] : tiles) {
      EXPECT_EQ(s.first_start, any.first_start) << "tile " << tile;
      EXPECT_EQ(s.sync_end, any.sync_end) << "tile " << tile;
      EXPECT_EQ(s.syncs, 1U);
      // Five or six samples each, yet the same kernels on every tile.
      EXPECT_EQ(s.computes, any.computes) << "tile " << tile;
      EXPECT_GE(s.computes, 1U);
      EXPECT_LE(s.computes, 3U);
      EXPECT_EQ(s.sync_start, s.compute_end);
      slowest = std::max(slowest, s.compute_end);
    }
    EXPECT_EQ(any.sync_end, slowest + kBarrierCycles);
  }
}

TEST(BulkSynchronous, ShapeSaysWhichPhasesAndEpochsTheReportHolds) {
  struct Row {
    GenerateOptions options;
    SuperstepShape shape;
  };
  GenerateOptions fewer_steps_than_phases = bsp_options(48, 100);
  GenerateOptions uneven = options_for_total(7 * 61 + 3, 7);
  uneven.phases = 4;
  GenerateOptions no_tiles = bsp_options(0, 100);
  GenerateOptions ten_per_step = bsp_options(5, 60);
  ten_per_step.phases = 1;
  const std::vector<Row> rows{
      {fewer_steps_than_phases, {17, 17, 1}},  // 24 phases asked for
      {uneven, {11, 4, 3}},  // 62 samples on the fullest tiles
      {no_tiles, {0, 0, 0}},
      {ten_per_step, {10, 1, 10}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.shape.supersteps) + " supersteps");
    EXPECT_EQ(bulk_synchronous_shape(row.options), row.shape);
    GenerateOptions options = row.options;
    options.model = GenerateModel::BulkSynchronous;
    const auto steps = by_step(generate_report(options));
    std::map<std::uint32_t, int> phases;
    std::uint32_t last_epoch = 0;
    for (const auto& [key, tiles] : steps) {
      ++phases[key.first];
      last_epoch = std::max(last_epoch, key.second);
    }
    EXPECT_EQ(steps.size(), row.shape.supersteps);
    EXPECT_EQ(phases.size(), row.shape.phases);
    if (!steps.empty()) {
      EXPECT_EQ(last_epoch + 1U, row.shape.epochs);
    }
  }
}

TEST(BulkSynchronous, EachPhaseRunsTheSameKernelsInEveryEpoch) {
  GenerateOptions options = bsp_options(8, 120);
  options.phases = 4;
  std::map<std::uint32_t, std::map<std::uint32_t, std::vector<std::string>>>
      kernels;  // phase -> epoch -> kernels of tile 0 in order
  const ProfileReport report = generate_report(options);
  for (const auto& sample : report.tiles[0].samples) {
    if (sample.step.kind != ProfileStepKind::Compute) continue;
    kernels[sample.step.phase][sample.step.epoch].push_back(sample.step.kernel);
  }
  ASSERT_EQ(kernels.size(), 4U);
  for (const auto& [phase, epochs] : kernels) {
    SCOPED_TRACE("phase " + std::to_string(phase));
    EXPECT_GE(epochs.size(), 4U);  // an idle superstep may drop one
    for (const auto& [epoch, names] : epochs) {
      EXPECT_EQ(names, epochs.begin()->second) << "epoch " << epoch;
    }
  }
}

TEST(BulkSynchronous, StragglerTileHoldsUpEverySuperstepItComputesIn) {
  // Uneven counts: tiles hold five or six samples in a superstep, and the
  // ones with more must not look busier for it.
  GenerateOptions options = options_for_total(64 * 117 + 29, 64);
  options.model = GenerateModel::BulkSynchronous;
  options.seed = 7;
  options.stragglers = {{37, 1.5}};
  const auto steps = by_step(generate_report(options));
  std::uint32_t computed = 0;
  for (const auto& [key, tiles] : steps) {
    const StepSamples& straggler = tiles.at(37);
    std::uint32_t slowest = 0;
    std::uint64_t busiest = 0;
    for (const auto& [tile, s] : tiles) {
      slowest = std::max(slowest, s.compute_end);
      if (tile != 37) busiest = std::max(busiest, s.busy);
    }
    // Idle supersteps aside, a half-again slower tile is always the last
    // to reach the barrier and the busiest.
    if (straggler.compute_end - straggler.first_start > 300) {
      ++computed;
      EXPECT_EQ(straggler.compute_end, slowest);
      EXPECT_GT(straggler.busy, busiest);
    }
  }
  EXPECT_GE(computed, 15U);
}

// A tile that ran one kernel twice in a superstep would do the work of two
// tiles side by side, and a kernel's average active tiles (work cycles over
// phase cycles) could then exceed the tile count.
TEST(BulkSynchronous, NoTileRunsAKernelTwiceInOneSuperstep) {
  struct Shape {
    const char* name;
    std::uint32_t tiles;
    std::uint64_t total;
    std::uint32_t kernels;
    std::uint32_t phases;
    bool planted;
  };
  for (const Shape& shape :
       {Shape{"default tables", 64, 64 * 100, 300, 24, false},
        Shape{"uneven counts, planted", 48, 48 * 97 + 11, 300, 5, true},
        Shape{"one kernel", 16, 3000, 1, 4, false},
        Shape{"two kernels, planted", 24, 5000, 2, 3, true},
        Shape{"three kernels", 9, 2000, 3, 1, false},
        Shape{"few samples", 30, 30 * 7 + 4, 300, 24, false}}) {
    SCOPED_TRACE(shape.name);
    GenerateOptions options = options_for_total(shape.total, shape.tiles);
    options.model = GenerateModel::BulkSynchronous;
    options.kernels = shape.kernels;
    options.phases = shape.phases;
    if (shape.planted) {
      options.slow_kernels = {{"matmul_0", 1.5}, {"conv_1", 2.0}};
      options.stragglers = {{3, 1.5}};
    }
    const ProfileReport report = generate_report(options);
    EXPECT_EQ(sample_count(report), shape.total);
    // (tile, phase, epoch) -> kernels computed there.
    std::map<std::pair<std::uint32_t, StepKey>, std::vector<std::string>> ran;
    std::uint64_t computes = 0;
    for (const auto& tile : report.tiles) {
      for (const auto& sample : tile.samples) {
        if (sample.step.kind != ProfileStepKind::Compute) continue;
        ++computes;
        auto& kernels =
            ran[{tile.physical_tile, {sample.step.phase, sample.step.epoch}}];
        EXPECT_EQ(
            std::count(kernels.begin(), kernels.end(), sample.step.kernel), 0)
            << sample.step.kernel << " again on tile " << tile.physical_tile
            << " in phase " << sample.step.phase << " epoch "
            << sample.step.epoch;
        kernels.push_back(sample.step.kernel);
      }
    }
    EXPECT_GT(computes, shape.total / 10);
  }
}

TEST(BulkSynchronous, SlowKernelScalesOnlyItsOwnComputeSamples) {
  GenerateOptions plain = bsp_options(16, 90);
  plain.phases = 3;  // the kernel recurs in five epochs
  const ProfileReport before = generate_report(plain);
  // Pick the kernel of the first compute sample so the test follows the
  // generated tables rather than guessing a name.
  std::string target;
  for (const auto& sample : before.tiles[0].samples) {
    if (sample.step.kind == ProfileStepKind::Compute) {
      target = sample.step.kernel;
      break;
    }
  }
  ASSERT_FALSE(target.empty());
  GenerateOptions slowed = plain;
  slowed.slow_kernels = {{target, 2.0}, {"no_such_kernel", 3.0}};
  const ProfileReport after = generate_report(slowed);
  ASSERT_EQ(sample_count(after), sample_count(before));
  std::uint32_t scaled = 0;
  for (std::size_t t = 0; t < before.tiles.size(); ++t) {
    for (std::size_t i = 0; i < before.tiles[t].samples.size(); ++i) {
      const CycleSample& b = before.tiles[t].samples[i];
      const CycleSample& a = after.tiles[t].samples[i];
      if (b.step.kind != ProfileStepKind::Compute) continue;
      const std::uint32_t was = b.end_cycle - b.start_cycle;
      const std::uint32_t now = a.end_cycle - a.start_cycle;
      if (b.step.kernel == target) {
        ++scaled;
        EXPECT_EQ(now, was * 2);
      } else {
        EXPECT_EQ(now, was);
      }
    }
  }
  EXPECT_GT(scaled, 50U);
}

TEST(BulkSynchronous, FactorsAreIgnoredByTheIndependentModel) {
  GenerateOptions options = options_for_total(5000, 16);
  const ProfileReport plain = generate_report(options);
  options.stragglers = {{3, 2.0}};
  options.slow_kernels = {{"matmul_0", 2.0}};
  EXPECT_EQ(generate_report(options), plain);
}

}  // namespace
}  // namespace zyl_package
