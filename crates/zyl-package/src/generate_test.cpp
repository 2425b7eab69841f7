// Tests of the synthetic report generator: reproducible, exact in size, and
// shaped like a real profile (every kind, wraps, shared kernels, gaps).
#include "zyl_package/generate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zyl_package {
namespace {

std::uint64_t sample_count(const ProfileReport& report) {
  std::uint64_t count = 0;
  for (const auto& tile : report.tiles) count += tile.samples.size();
  return count;
}

TEST(GenerateReport, SameSeedGivesTheSameReportAndAnotherSeedDoesNot) {
  GenerateOptions options = options_for_total(20000, 64);
  options.seed = 42;
  const ProfileReport first = generate_report(options);
  EXPECT_EQ(generate_report(options), first);
  options.seed = 43;
  EXPECT_NE(generate_report(options), first);
}

TEST(GenerateReport, HoldsExactlyTheRequestedSamplesOverTheRequestedTiles) {
  struct Row {
    std::uint64_t total;
    std::uint32_t tiles;
  };
  for (const Row row :
       {Row{0, 1472}, Row{1, 1}, Row{10000, 1472}, Row{12345, 7}, Row{999, 1},
        Row{5, 16}, Row{3, 2000}, Row{100000, 1472}}) {
    SCOPED_TRACE(std::to_string(row.total) + " over " +
                 std::to_string(row.tiles));
    const ProfileReport report =
        generate_report(options_for_total(row.total, row.tiles));
    EXPECT_EQ(report.tiles.size(), row.tiles);
    EXPECT_EQ(sample_count(report), row.total);
  }
  GenerateOptions plain;
  plain.tiles = 30;
  plain.samples_per_tile = 17;
  EXPECT_EQ(sample_count(generate_report(plain)), 30U * 17U);
}

TEST(GenerateReport, LooksLikeARealProfile) {
  const ProfileReport report = generate_report(options_for_total(200000));
  std::set<ProfileStepKind> kinds;
  std::map<std::string, std::uint64_t> kernel_uses;
  std::size_t wrapped_tiles = 0;
  std::size_t empty_tiles = 0;
  std::size_t empty_kernels = 0;
  std::size_t repeated_names = 0;
  std::uint32_t largest_gap = 0;
  std::set<std::uint32_t> phases;
  for (const auto& tile : report.tiles) {
    if (tile.samples.empty()) ++empty_tiles;
    bool wrapped = false;
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
      const CycleSample& sample = tile.samples[i];
      kinds.insert(sample.step.kind);
      phases.insert(sample.step.phase);
      if (sample.end_cycle < sample.start_cycle ||
          (i > 0 && sample.start_cycle < tile.samples[i - 1].start_cycle)) {
        wrapped = true;
      }
      if (i > 0) {
        largest_gap = std::max(
            largest_gap, sample.start_cycle - tile.samples[i - 1].end_cycle);
      }
      if (sample.step.kernel.empty()) {
        ++empty_kernels;
      } else {
        ++kernel_uses[sample.step.kernel];
      }
      const auto& metadata = sample.step.metadata;
      if (sample.step.kind != ProfileStepKind::Idle) {
        EXPECT_GE(metadata.size(), 1U);
        EXPECT_LE(metadata.size(), 3U);
      }
      if (metadata.size() == 3 && metadata[0].name == metadata[2].name) {
        ++repeated_names;
      }
    }
    if (wrapped) ++wrapped_tiles;
  }
  EXPECT_EQ(kinds.size(), 4U);
  EXPECT_GT(wrapped_tiles, 0U);
  EXPECT_GT(empty_tiles, 0U);
  EXPECT_LT(empty_tiles, report.tiles.size() / 20);
  EXPECT_GT(empty_kernels, 0U);
  EXPECT_GT(repeated_names, 0U);
  EXPECT_EQ(phases.size(), 24U);
  // Samples follow each other on a tile with small gaps (modulo 2^32).
  EXPECT_LT(largest_gap, 16U);
  // Hundreds of kernels, a few of them used far more than the typical one.
  ASSERT_GT(kernel_uses.size(), 200U);
  std::vector<std::uint64_t> uses;
  for (const auto& [name, count] : kernel_uses) uses.push_back(count);
  std::sort(uses.rbegin(), uses.rend());
  EXPECT_GT(uses.front(), 10 * uses[uses.size() / 2]);
}

TEST(GenerateReport, RunsTheSameKernelsSideBySideWithinAPhase) {
  const ProfileReport report = generate_report(options_for_total(50000, 100));
  // For each (phase, position in phase), how many tiles ran the most common
  // kernel there: most busy tiles should agree.
  std::map<std::pair<std::uint32_t, std::uint32_t>,
           std::map<std::string, std::size_t>>
      by_slot;
  for (const auto& tile : report.tiles) {
    for (const auto& sample : tile.samples) {
      if (sample.step.kind != ProfileStepKind::Compute) continue;
      ++by_slot[{sample.step.phase, sample.step.local_index}]
               [sample.step.kernel];
    }
  }
  std::size_t agreeing = 0;
  std::size_t total = 0;
  for (const auto& [slot, kernels] : by_slot) {
    std::size_t best = 0;
    for (const auto& [kernel, count] : kernels) {
      best = std::max(best, count);
      total += count;
    }
    agreeing += best;
  }
  EXPECT_GT(agreeing * 2, total);
}

TEST(GenerateReport, DegenerateOptionsStayBounded) {
  GenerateOptions options = options_for_total(500, 3);
  options.kernels = 0;
  options.operations = 0;
  options.phases = 0;
  options.epochs = 0;
  const ProfileReport report = generate_report(options);
  EXPECT_EQ(sample_count(report), 500U);
  for (const auto& tile : report.tiles) {
    for (const auto& sample : tile.samples) {
      EXPECT_TRUE(sample.step.kernel.empty());
      EXPECT_TRUE(sample.step.operation.empty());
      EXPECT_EQ(sample.step.phase, 0U);
      EXPECT_EQ(sample.step.epoch, 0U);
    }
  }
  options.phases = UINT32_MAX;
  options.kernels = UINT32_MAX;
  EXPECT_EQ(sample_count(generate_report(options)), 500U);
}

}  // namespace
}  // namespace zyl_package
