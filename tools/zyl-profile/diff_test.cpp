// diff_results and its printed forms: a profile against itself, a slowed
// kernel, new and gone groups, zero bases and the --fail-above threshold.
#include "diff.h"

#include <gtest/gtest.h>

#include <string>

#include "zyl_package/generate.h"

namespace zyl_profile::cli {
namespace {

GroupSummary group(std::string name, std::uint64_t phase_cycles,
                   std::uint64_t work_cycles = 0) {
  GroupSummary summary;
  summary.name = std::move(name);
  summary.phase_cycles = phase_cycles;
  summary.work_cycles = work_cycles == 0 ? phase_cycles : work_cycles;
  summary.sample_count = 1;
  summary.average_active_tiles = 1.0;
  return summary;
}

QueryReport result(std::vector<GroupSummary> groups, std::uint64_t span) {
  QueryReport report;
  report.groups = std::move(groups);
  report.profile_span_cycles = span;
  report.matched_sample_count = report.groups.size();
  return report;
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

TEST(DiffResults, AProfileAgainstItselfHasNoChanges) {
  const ProfileReport report =
      zyl_package::generate_report(zyl_package::options_for_total(20000, 32));
  const QueryReport answer =
      zyl_profile::query(zyl_package::to_columns(report), Query{});
  const DiffReport diff =
      diff_results(answer, answer, std::nullopt, Percentage{0, 1});
  EXPECT_FALSE(diff.regressed());
  EXPECT_EQ(diff.changed_count, 0U);
  EXPECT_EQ(diff.group_count, answer.groups.size());
  for (const DiffRow& row : diff.rows) {
    ASSERT_EQ(row.status, DiffStatus::Same) << row.name;
    ASSERT_EQ(row.phase_cycles.magnitude, 0U);
    ASSERT_EQ(row.phase_cycles.percent, 0.0);
  }
  std::string table;
  append_diff_table(diff, table);
  EXPECT_NE(table.find("\nno changes\nno regression above 0%\n"),
            std::string::npos)
      << table;
}

TEST(DiffResults, ASlowedKernelComesFirstAndRegresses) {
  const ProfileReport base =
      zyl_package::generate_report(zyl_package::options_for_total(20000, 32));
  const ProfileReport next = slowed(base, "matmul_0", 2);
  const DiffReport diff =
      diff_results(zyl_profile::query(zyl_package::to_columns(base), Query{}),
                   zyl_profile::query(zyl_package::to_columns(next), Query{}),
                   3, Percentage{5, 1});
  ASSERT_EQ(diff.rows.size(), 3U);
  const DiffRow& first = diff.rows.front();
  EXPECT_EQ(first.name, "matmul_0");
  EXPECT_EQ(first.status, DiffStatus::Changed);
  EXPECT_FALSE(first.phase_cycles.negative);
  EXPECT_TRUE(first.phase_cycles.regressed);
  EXPECT_EQ(first.sample_count.magnitude, 0U);
  EXPECT_EQ(diff.rows[1].status, DiffStatus::Same);
  EXPECT_TRUE(diff.regressed());
  EXPECT_EQ(diff.regressed_groups.front(), "matmul_0");

  std::string table;
  append_diff_table(diff, table);
  EXPECT_EQ(table.find("matmul_0"), table.find('\n') + 1) << table;
  EXPECT_NE(table.find("regression: grew by more than 5%: "),
            std::string::npos);
}

TEST(DiffResults, NewGoneZeroBasesAndTheThreshold) {
  const QueryReport base = result({group("kept", 1000), group("gone", 50),
                                   group("zero", 0), group("edge", 200)},
                                  1000);
  const QueryReport next = result({group("kept", 900), group("new", 70),
                                   group("zero", 5), group("edge", 210)},
                                  1100);
  const DiffReport diff =
      diff_results(base, next, std::nullopt, Percentage{50, 10});  // 5%
  std::vector<std::string> names;
  for (const DiffRow& row : diff.rows) names.push_back(row.name);
  // |change|: kept 100, new 70, gone 50, edge 10, zero 5.
  EXPECT_EQ(names,
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

  std::string json;
  append_diff_json(diff, json);
  EXPECT_NE(json.find(R"("phase_cycles": {"base": 1000, "new": 900, )"
                      R"("change": -100, "change_percent": -10, )"
                      R"("regressed": false})"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("phase_cycles": {"base": 0, "new": 70, "change": )"
                      R"(70, "change_percent": null, "regressed": true})"),
            std::string::npos);
  EXPECT_NE(json.find("\"fail_above_percent\": 5,"), std::string::npos);

  std::string csv;
  append_diff_csv(diff, csv);
  EXPECT_NE(csv.find("\r\nnew,new,phase_cycles,0,70,70,,true\r\n"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find("\r\n(total),total,profile_span_cycles,1000,1100,100,10,"
                     "true\r\n"),
            std::string::npos);

  std::string table;
  append_diff_table(diff, table);
  EXPECT_NE(table.find("regression: grew by more than 5%: the profile span, "
                       "new, zero\n"),
            std::string::npos)
      << table;
}

TEST(DiffResults, LimitCutsRowsButNotTheRegressionCheck) {
  const QueryReport base = result({group("a", 100), group("b", 10)}, 100);
  const QueryReport next = result({group("a", 90), group("b", 20)}, 100);
  const DiffReport diff = diff_results(base, next, 1, Percentage{1, 1});
  ASSERT_EQ(diff.rows.size(), 1U);
  EXPECT_EQ(diff.rows[0].name, "a");
  EXPECT_EQ(diff.group_count, 2U);
  EXPECT_EQ(diff.regressed_groups, (std::vector<std::string>{"b"}));
  EXPECT_TRUE(diff.regressed());
}

}  // namespace
}  // namespace zyl_profile::cli
