// diff_results, diff_profiles and the percentages behind --fail-above: a
// profile against itself, a slowed kernel, new and gone groups, zero bases,
// the threshold, both orders and the row filters.
#include "zyl_profile/diff.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "test_support.h"
#include "zyl_package/generate.h"
#include "zyl_profile/percentage.h"

namespace zyl_profile {
namespace {

using testing::group;
using testing::make_report;
using testing::make_tile;
using testing::result;
using testing::timed;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Spelled out: GCC warns on designated initializers that leave a field out.
DiffOptions options(std::optional<std::size_t> limit = std::nullopt,
                    std::optional<Percentage> fail_above = std::nullopt,
                    DiffOrder order = DiffOrder::AbsoluteChange,
                    DiffShow show = DiffShow::All) {
  DiffOptions out;
  out.limit = limit;
  out.fail_above = fail_above;
  out.order = order;
  out.show = show;
  return out;
}

std::vector<std::string> names(const DiffReport& diff) {
  std::vector<std::string> out;
  for (const DiffRow& row : diff.rows) out.push_back(row.name);
  return out;
}

// Makes every sample of `kernel` `factor` times as long.
ProfileReport slowed(ProfileReport report, std::string_view kernel,
                     std::uint32_t factor) {
  for (TileProfile& tile : report.tiles) {
    for (CycleSample& sample : tile.samples) {
      if (sample.step.kernel == kernel) {
        sample.end_cycle = sample.start_cycle + duration(sample) * factor;
      }
    }
  }
  return report;
}

TEST(ParsePercentage, AcceptsExactDecimalsAndRejectsTheRest) {
  struct Row {
    std::string_view text;
    std::optional<Percentage> expected;
  };
  const Row rows[] = {
      {"10", Percentage{10, 1}},
      {"2.5", Percentage{25, 10}},
      {"2.5%", Percentage{25, 10}},
      {"0", Percentage{0, 1}},
      {"150%", Percentage{150, 1}},
      {"0.000001", Percentage{1, 1000000}},
      {"999999999999.999999", Percentage{999999999999999999, 1000000}},
      {"", std::nullopt},
      {"%", std::nullopt},
      {".5", std::nullopt},
      {"5.", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.1234567", std::nullopt},
      {"1%%", std::nullopt},
      {"1e2", std::nullopt},
      {"1000000000000000000", std::nullopt},  // 19 digits
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(parse_percentage(row.text), row.expected);
  }
}

TEST(PercentOf, IsExactRoundsDownAndSaturates) {
  struct Row {
    Percentage percentage;
    std::uint64_t value;
    std::uint64_t expected;
  };
  const Row rows[] = {
      {{25, 1}, 1000, 250},
      {{25, 10}, 1000, 25},
      {{1, 3}, 299, 0},  // rounds down
      {{100, 1}, kMaxU64, kMaxU64},
      {{50, 1}, kMaxU64, kMaxU64 / 2},
      {{333333, 10000}, kMaxU64, 6148908542321825968},  // 33.3333%
      {{200, 1}, kMaxU64 / 2, kMaxU64 - 1},
      {{201, 1}, kMaxU64 / 2, kMaxU64},  // saturates
      {{999999999999999999, 1000000}, 1, 9999999999},
      {{7, 1}, 0, 0},
      {{7, 0}, 100, 0},  // not a valid percentage
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << row.percentage.units << "/" << row.percentage.scale
                 << " of " << row.value);
    EXPECT_EQ(percent_of(row.percentage, row.value), row.expected);
  }
}

TEST(DiffResults, AProfileAgainstItselfHasNoChanges) {
  const ProfileReport report =
      zyl_package::generate_report(zyl_package::options_for_total(20000, 32));
  const QueryReport answer = query(zyl_package::to_columns(report), Query{});
  const DiffReport diff =
      diff_results(answer, answer, options(std::nullopt, Percentage{}));
  EXPECT_FALSE(diff.regressed());
  EXPECT_EQ(diff.changed_count, 0U);
  EXPECT_EQ(diff.group_count, answer.groups.size());
  EXPECT_EQ(diff.shown_count, answer.groups.size());
  for (const DiffRow& row : diff.rows) {
    ASSERT_EQ(row.status, DiffStatus::Same) << row.name;
    ASSERT_EQ(row.phase_cycles.magnitude, 0U);
    ASSERT_EQ(row.phase_cycles.percent, 0.0);
  }
}

TEST(DiffProfiles, ASlowedKernelComesFirstAndRegresses) {
  const ProfileReport base =
      zyl_package::generate_report(zyl_package::options_for_total(20000, 32));
  const ProfileReport next = slowed(base, "matmul_0", 2);
  Query query;
  query.limit = 1;  // must not cut either side before the join
  const DiffReport diff = diff_profiles(zyl_package::to_columns(base),
                                        zyl_package::to_columns(next), query,
                                        query, options(3, Percentage{5, 1}), 2);
  ASSERT_EQ(diff.rows.size(), 3U);
  EXPECT_GT(diff.group_count, 3U);
  const DiffRow& first = diff.rows.front();
  EXPECT_EQ(first.name, "matmul_0");
  EXPECT_EQ(first.status, DiffStatus::Changed);
  EXPECT_FALSE(first.phase_cycles.negative);
  EXPECT_TRUE(first.phase_cycles.regressed);
  EXPECT_EQ(first.sample_count.magnitude, 0U);
  EXPECT_EQ(diff.rows[1].status, DiffStatus::Same);
  // The slowed kernel takes a larger share of the work, so every other
  // group's share shrinks without the group itself changing.
  EXPECT_GT(first.work_percent.next, first.work_percent.base);
  EXPECT_LT(diff.rows[1].work_percent.next, diff.rows[1].work_percent.base);
  EXPECT_TRUE(diff.regressed());
  EXPECT_EQ(diff.regressed_groups.front(), "matmul_0");
}

TEST(DiffProfiles, EachSideKeepsItsOwnWindow) {
  // The same kernels, shifted by 100 cycles in the next profile: a window
  // resolved per side matches the same samples on both.
  const ProfileReport base =
      make_report({make_tile(0, {timed(0, 10, "a"), timed(50, 10, "b")})});
  const ProfileReport next = make_report({make_tile(
      0, {timed(0, 100, "warmup"), timed(100, 10, "a"), timed(150, 10, "b")})});
  Query base_query;
  base_query.from_offset = 0;
  Query next_query;
  next_query.from_offset = 100;
  const DiffReport diff = diff_profiles(zyl_package::to_columns(base),
                                        zyl_package::to_columns(next),
                                        base_query, next_query, options(), 1);
  EXPECT_EQ(names(diff), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(diff.changed_count, 0U);
}

TEST(DiffResults, NewGoneZeroBasesAndTheThreshold) {
  const QueryReport base = result({group("kept", 1000), group("gone", 50),
                                   group("zero", 0), group("edge", 200)},
                                  1000);
  const QueryReport next = result({group("kept", 900), group("new", 70),
                                   group("zero", 5), group("edge", 210)},
                                  1100);
  const DiffReport diff =
      diff_results(base, next, options(std::nullopt, Percentage{50, 10}));
  // |change|: kept 100, new 70, gone 50, edge 10, zero 5.
  EXPECT_EQ(names(diff),
            (std::vector<std::string>{"kept", "new", "gone", "edge", "zero"}));
  const DiffRow& kept = diff.rows[0];
  EXPECT_TRUE(kept.phase_cycles.negative);
  EXPECT_EQ(kept.phase_cycles.percent, -10.0);
  EXPECT_FALSE(kept.phase_cycles.regressed);
  EXPECT_EQ(diff.rows[1].status, DiffStatus::New);
  EXPECT_EQ(diff.rows[1].phase_cycles.percent, std::nullopt);
  EXPECT_TRUE(diff.rows[1].phase_cycles.regressed);  // grew from nothing
  EXPECT_EQ(diff.rows[2].status, DiffStatus::Gone);
  EXPECT_EQ(diff.rows[2].phase_cycles.percent, -100.0);
  EXPECT_FALSE(diff.rows[3].phase_cycles.regressed);  // exactly 5% is not more
  EXPECT_TRUE(diff.rows[4].phase_cycles.regressed);
  EXPECT_TRUE(diff.profile_span_cycles.regressed);  // 10%
  EXPECT_EQ(diff.regressed_groups, (std::vector<std::string>{"new", "zero"}));
}

TEST(DiffResults, ThresholdIsExactForHugeCounts) {
  // 10^19 + 10^12 over 10^19 grew by exactly 1e-5 %: not above that, but
  // above anything smaller. The products would overflow a u64.
  const std::uint64_t big = 10'000'000'000'000'000'000U;
  const QueryReport base = result({group("a", big)}, 1);
  const QueryReport next = result({group("a", big + 1'000'000'000'000)}, 1);
  EXPECT_FALSE(
      diff_results(base, next, options(std::nullopt, Percentage{1, 100000}))
          .regressed());
  EXPECT_TRUE(
      diff_results(base, next, options(std::nullopt, Percentage{9, 1000000}))
          .regressed());
}

TEST(DiffResults, OrdersAndFiltersRows) {
  const QueryReport base =
      result({group("big", 10000), group("small", 10), group("gone", 30),
              group("flat", 40), group("tie_b", 100), group("tie_a", 100),
              group("zero", 0)},
             100);
  const QueryReport next =
      result({group("big", 9000), group("small", 30), group("new", 20),
              group("flat", 40), group("tie_b", 150), group("tie_a", 150),
              group("zero", 0)},
             100);
  struct Row {
    DiffOptions options;
    std::vector<std::string> expected;
    std::size_t shown_count;
  };
  const Row rows[] = {
      // |change|: big 1000, tie_a/tie_b 50, gone 30, small 20, new 20.
      {options(),
       {"big", "tie_a", "tie_b", "gone", "new", "small", "flat", "zero"},
       8},
      // new is unbounded; then small +200%, gone -100%, ties +50%, big -10%.
      {options(std::nullopt, std::nullopt, DiffOrder::RelativeChange),
       {"new", "small", "gone", "tie_a", "tie_b", "big", "flat", "zero"},
       8},
      {options(std::nullopt, std::nullopt, DiffOrder::AbsoluteChange,
               DiffShow::Regressions),
       {"tie_a", "tie_b", "new", "small"},
       4},
      {options(std::nullopt, std::nullopt, DiffOrder::AbsoluteChange,
               DiffShow::Improvements),
       {"big", "gone"},
       2},
      {options(2, std::nullopt, DiffOrder::RelativeChange,
               DiffShow::Regressions),
       {"new", "small"},
       4},
      {options(0), {}, 8},
  };
  for (const Row& row : rows) {
    const DiffReport diff = diff_results(base, next, row.options);
    SCOPED_TRACE(::testing::PrintToString(row.expected));
    EXPECT_EQ(names(diff), row.expected);
    EXPECT_EQ(diff.shown_count, row.shown_count);
    EXPECT_EQ(diff.group_count, 8U);
    EXPECT_EQ(diff.changed_count, 6U);
    EXPECT_EQ(diff.show, row.options.show);
    EXPECT_EQ(diff.order, row.options.order);
  }
}

TEST(DiffResults, FiltersAndLimitHideNoRegression) {
  const QueryReport base = result({group("a", 100), group("b", 10)}, 100);
  const QueryReport next = result({group("a", 90), group("b", 20)}, 100);
  for (const DiffOptions& chosen :
       {options(1, Percentage{1, 1}),
        options(std::nullopt, Percentage{1, 1}, DiffOrder::AbsoluteChange,
                DiffShow::Improvements)}) {
    const DiffReport diff = diff_results(base, next, chosen);
    ASSERT_EQ(names(diff), (std::vector<std::string>{"a"}));
    EXPECT_EQ(diff.group_count, 2U);
    EXPECT_EQ(diff.regressed_groups, (std::vector<std::string>{"b"}));
    EXPECT_TRUE(diff.regressed());
  }
}

}  // namespace
}  // namespace zyl_profile
