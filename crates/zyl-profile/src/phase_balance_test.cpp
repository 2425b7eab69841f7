// Tests of the phase balance: literal profiles pin the slowest tile, its
// kernel, the median and both measures of the wait; random profiles answer
// as the reference model does, from records or columns, on any number of
// threads, and as shard files or concatenated files.
#include "zyl_profile/phase_balance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "random_cases.h"
#include "reference_phase_balance.h"
#include "zyl_package/report_io.h"
#include "zyl_package/shards.h"
#include "zyl_profile/profile_set.h"

namespace zyl_profile {
namespace {

namespace fs = std::filesystem;
using testing::make_report;
using testing::make_sample;
using testing::make_tile;
using testing::reference_phase_balance;
using testing::timed;
using testing::varied_query;
using testing::varied_report;
using zyl_package::to_columns;

constexpr auto kSync = ProfileStepKind::Synchronization;
constexpr auto kExchange = ProfileStepKind::Exchange;
constexpr auto kIdle = ProfileStepKind::Idle;

PhaseBalance balance_of(const ProfileReport& report, const Query& q = {}) {
  return phase_balance(to_columns(report), q);
}

fs::path scratch(const std::string& name) {
  const fs::path folder =
      fs::path(::testing::TempDir()) / "phase_balance" / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

TEST(PhaseBalance, SlowestTileKernelAndMedianBreakTiesAsDefined) {
  // Busy cycles 10, 10, 4 and 6: physical tiles 7 and 2 tie, and the
  // smaller physical tile wins though it comes later. On tile 2 kernels
  // "b" and "a" tie on compute cycles, and exchange counts as busy.
  const ProfileReport report = make_report({
      make_tile(7, {timed(100, 10, "z")}),
      make_tile(2, {timed(50, 4, "b"), timed(54, 4, "a"),
                    make_sample(kExchange, 58, 60, "a")}),
      make_tile(9, {timed(0, 4, "k")}),
      make_tile(4, {timed(0, 6, "k"), make_sample(kIdle, 6, 20, "k")}),
  });
  const PhaseBalance balance = balance_of(report);
  ASSERT_EQ(balance.rows.size(), 1U);
  const PhaseRow& row = balance.rows[0];
  EXPECT_EQ(row.tiles, 4U);
  EXPECT_EQ(row.slowest_tile, 2U);
  EXPECT_EQ(row.slowest_busy_cycles, 10U);
  EXPECT_EQ(row.slowest_kernel, "a");
  EXPECT_EQ(row.compute_cycles, 28U);
  EXPECT_EQ(row.exchange_cycles, 2U);
  EXPECT_EQ(row.idle_cycles, 14U);
  EXPECT_EQ(row.busy_cycles, 30U);
  EXPECT_EQ(row.median_busy_cycles, 6U);  // the lower of 6 and 10
  EXPECT_DOUBLE_EQ(row.mean_busy_cycles, 7.5);
  EXPECT_EQ(row.wait_measure, WaitMeasure::Imbalance);
  EXPECT_EQ(row.wait_cycles, 10U);  // 4 x 10 - 30
  EXPECT_EQ(row.start, 0U);
  EXPECT_EQ(row.end, 20U);  // tile 4's idle sample ends last
  EXPECT_EQ(row.span, 20U);
  EXPECT_EQ(balance.totals, (PhaseTotals{10, 30, 80}));
  EXPECT_EQ(balance.matched_sample_count, 7U);
}

TEST(PhaseBalance, SynchronizationSamplesAreTheWaitWhenAPairHasThem) {
  // Phase 1 synchronises: its wait is the cycles the tiles spent in
  // synchronization (2 + 6), not the imbalance (2 x 8 - 12). Phase 2 does
  // not, and waits 2 x 9 - 10: as long, so it comes second by phase. Asking
  // only for compute leaves phase 1 without synchronization samples.
  const ProfileReport report = make_report({
      make_tile(0, {timed(0, 8, "k", 1), make_sample(kSync, 8, 10, "", 1),
                    timed(10, 9, "k", 2)}),
      make_tile(1, {timed(0, 4, "m", 1), make_sample(kSync, 4, 10, "", 1),
                    timed(10, 1, "m", 2)}),
  });
  const PhaseBalance balance = balance_of(report);
  ASSERT_EQ(balance.rows.size(), 2U);
  EXPECT_EQ(balance.rows[0].phase, 1U);
  EXPECT_EQ(balance.rows[0].wait_measure, WaitMeasure::Synchronization);
  EXPECT_EQ(balance.rows[0].wait_cycles, 8U);
  EXPECT_EQ(balance.rows[0].synchronization_cycles, 8U);
  EXPECT_EQ(balance.rows[0].slowest_kernel, "k");
  EXPECT_EQ(balance.rows[1].phase, 2U);
  EXPECT_EQ(balance.rows[1].wait_measure, WaitMeasure::Imbalance);
  EXPECT_EQ(balance.rows[1].wait_cycles, 8U);
  EXPECT_EQ(balance.totals, (PhaseTotals{16, 22, 38}));

  Query compute_only;
  compute_only.kind = StepKind::Compute;
  const PhaseBalance computed = balance_of(report, compute_only);
  ASSERT_EQ(computed.rows.size(), 2U);
  EXPECT_EQ(computed.rows[0].phase, 2U);  // now it waits longer
  EXPECT_EQ(computed.rows[1].phase, 1U);
  EXPECT_EQ(computed.rows[1].wait_measure, WaitMeasure::Imbalance);
  EXPECT_EQ(computed.rows[1].wait_cycles, 4U);
}

TEST(PhaseBalance, CountsAcrossACounterWrap) {
  // The tile starts 6 cycles before the counter wraps; its second sample
  // crosses the wrap and its third starts after it.
  const ProfileReport report = make_report({
      make_tile(
          3, {timed(4294967290U, 2, "k", 0, 5),
              make_sample(ProfileStepKind::Compute, 4294967294U, 4, "k", 0, 5),
              timed(10, 5, "j", 0, 5)}),
  });
  const PhaseBalance balance = balance_of(report);
  ASSERT_EQ(balance.rows.size(), 1U);
  const PhaseRow& row = balance.rows[0];
  EXPECT_EQ(row.epoch, 5U);
  EXPECT_EQ(row.start, 0U);
  EXPECT_EQ(row.end, 21U);
  EXPECT_EQ(row.compute_cycles, 13U);
  EXPECT_EQ(row.slowest_kernel, "k");
  EXPECT_EQ(row.wait_cycles, 0U);
  EXPECT_EQ(balance.totals.tile_cycles, 21U);
}

TEST(PhaseBalance, MedianIsExactWhenATilesBusyCyclesPass32Bits) {
  // Two samples of 3e9 cycles make one tile's busy cycles 6e9, past what
  // 32 bits hold. Busy per tile, ascending: 10, 20, 5e9, 6e9, 7e9, so the
  // lower median is one of the large ones; with two more small tiles it
  // is a small one. Several threads split the small ones between scans.
  const auto twice = [](std::uint32_t physical, std::uint32_t half) {
    return make_tile(physical, {timed(0, half), timed(half, half)});
  };
  std::vector<TileProfile> tiles = {
      twice(0, 3000000000U), make_tile(1, {timed(0, 10)}),
      twice(2, 3500000000U), make_tile(3, {timed(0, 20)}),
      twice(4, 2500000000U)};
  for (unsigned threads = 1; threads <= 3; ++threads) {
    const PhaseBalance large =
        phase_balance(to_columns(make_report(tiles)), Query{}, {threads, 1});
    ASSERT_EQ(large.rows.size(), 1U);
    EXPECT_EQ(large.rows[0].median_busy_cycles, 5000000000U) << threads;
    EXPECT_EQ(large.rows[0].slowest_busy_cycles, 7000000000U) << threads;
  }
  tiles.push_back(make_tile(5, {timed(0, 30)}));
  tiles.push_back(make_tile(6, {timed(0, 40)}));
  for (unsigned threads = 1; threads <= 3; ++threads) {
    const PhaseBalance small =
        phase_balance(to_columns(make_report(tiles)), Query{}, {threads, 1});
    ASSERT_EQ(small.rows.size(), 1U);
    EXPECT_EQ(small.rows[0].median_busy_cycles, 40U) << threads;
  }
}

TEST(PhaseBalance, FiltersThatMatchNothingGiveNoRows) {
  const ProfileReport report =
      make_report({make_tile(0, {timed(0, 5)}), make_tile(1, {})}, 1234);
  Query q;
  q.kernel = "absent";
  EXPECT_EQ(balance_of(report, q), (PhaseBalance{1234, 0, {}, {}}));
  q = Query{};
  q.tiles = {1};
  EXPECT_EQ(balance_of(report, q), (PhaseBalance{1234, 0, {}, {}}));
  EXPECT_EQ(balance_of(make_report({}, 1)), (PhaseBalance{1, 0, {}, {}}));
}

TEST(PhaseBalance, AnswersAsTheReferenceOnAnyThreadCount) {
  std::mt19937 rng(41);
  for (int round = 0; round < 400; ++round) {
    const ProfileReport report = varied_report(rng);
    const ProfileColumns columns = to_columns(report);
    const Query q = varied_query(rng);
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const PhaseBalance expected = reference_phase_balance(report, q);
    for (unsigned threads = 1; threads <= 3; ++threads) {
      EXPECT_EQ(phase_balance(columns, q, {threads, 1}), expected)
          << threads << " threads";
    }
  }
}

TEST(PhaseBalance, SetsOfFilesAnswerAsTheWholeProfile) {
  std::mt19937 rng(43);
  const fs::path folder = scratch("sets");
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const ProfileReport report = varied_report(rng);
    const ProfileColumns columns = to_columns(report);
    // Built by append: g++ 12 warns falsely on "p" + std::string.
    std::string prefix = (folder / "p").string();
    prefix += std::to_string(round);
    std::vector<fs::path> paths;
    const auto written = zyl_package::write_shard_set(
        columns, 2 + round % 2, [&](std::size_t index, std::size_t) {
          paths.push_back(prefix + "-" + std::to_string(index) + ".zpk");
          return paths.back();
        });
    ASSERT_TRUE(written.ok()) << written.error().to_string();
    const Loaded<ProfileSet> shards = ProfileSet::open(paths);
    ASSERT_TRUE(shards.ok()) << shards.error().to_string();
    for (int i = 0; i < 3; ++i) {
      const Query q = varied_query(rng);
      const Loaded<PhaseBalance> answer =
          phase_balance(shards.value(), q, {2, 1});
      ASSERT_TRUE(answer.ok()) << answer.error().to_string();
      EXPECT_EQ(answer.value(), reference_phase_balance(report, q));
    }
  }
}

TEST(PhaseBalance, ConcatenatedFilesKeepRepeatedTilesApart) {
  // Two runs of the same tiles read as one profile: each tile position is
  // its own tile, so the pair has four tiles, not two.
  const ProfileReport run = make_report(
      {make_tile(0, {timed(0, 6)}), make_tile(1, {timed(0, 2)})}, 5);
  const fs::path folder = scratch("concatenated");
  std::vector<fs::path> paths = {folder / "a.zpk", folder / "b.zpk"};
  for (const fs::path& path : paths) {
    const auto saved = zyl_package::write_report(
        run, path, zyl_package::ReportFormat::Package);
    ASSERT_TRUE(saved.ok()) << saved.error().to_string();
  }
  OpenOptions options;
  options.concatenate = true;
  const Loaded<ProfileSet> set = ProfileSet::open(paths, options);
  ASSERT_TRUE(set.ok()) << set.error().to_string();
  const Loaded<PhaseBalance> answer = phase_balance(set.value(), Query{});
  ASSERT_TRUE(answer.ok()) << answer.error().to_string();
  ProfileReport both = run;
  both.tiles.insert(both.tiles.end(), run.tiles.begin(), run.tiles.end());
  EXPECT_EQ(answer.value(), reference_phase_balance(both, Query{}));
  ASSERT_EQ(answer.value().rows.size(), 1U);
  EXPECT_EQ(answer.value().rows[0].tiles, 4U);
  EXPECT_EQ(answer.value().rows[0].wait_cycles, 8U);  // 4 x 6 - 16

  // Files on different clocks are not one profile's timeline.
  const ProfileReport other = make_report({make_tile(0, {timed(0, 1)})}, 6);
  const auto saved = zyl_package::write_report(
      other, paths[1], zyl_package::ReportFormat::Package);
  ASSERT_TRUE(saved.ok()) << saved.error().to_string();
  const Loaded<ProfileSet> mixed = ProfileSet::open(paths, options);
  ASSERT_TRUE(mixed.ok()) << mixed.error().to_string();
  const Loaded<PhaseBalance> refused = phase_balance(mixed.value(), Query{});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().file, paths[1].string());
  EXPECT_NE(refused.error().message.find("clock"), std::string::npos);
}

}  // namespace
}  // namespace zyl_profile
