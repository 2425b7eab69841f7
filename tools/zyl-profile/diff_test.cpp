// The printed forms of a DiffReport: a profile against itself, a slowed
// kernel, new and gone groups, zero bases, the --fail-above threshold and a
// cut table. The comparison itself is tested with the library.
#include "diff.h"

#include <gtest/gtest.h>

#include <string>

#include "format/text.h"
#include "test_support.h"
#include "zyl_package/generate.h"

namespace zyl_profile::cli {
namespace {

using zyl_profile::testing::group;
using zyl_profile::testing::result;

DiffOptions checked(std::optional<std::size_t> limit,
                    zyl_profile::Percentage fail_above) {
  DiffOptions options;
  options.limit = limit;
  options.fail_above = fail_above;
  return options;
}

TEST(AppendDiffTable, AProfileAgainstItselfHasNoChanges) {
  const ProfileReport report =
      zyl_package::generate_report(zyl_package::options_for_total(20000, 32));
  const QueryReport answer =
      zyl_profile::query(zyl_package::to_columns(report), Query{});
  const DiffReport diff =
      diff_results(answer, answer, checked(std::nullopt, {0, 1}));
  std::string table;
  append_diff_table(diff, table, 0);
  // One line instead of a table of zeros.
  EXPECT_EQ(table.rfind("no changes: ", 0), 0U) << table;
  EXPECT_EQ(table.find("status"), std::string::npos) << table;
  EXPECT_NE(table.find("\nno regression above 0%\n"), std::string::npos)
      << table;
}

TEST(AppendDiffTable, ASlowedKernelComesFirstAndRegresses) {
  const QueryReport base = result(
      {group("add", 500), group("matmul_0", 300), group("copy", 90)}, 1000);
  const QueryReport next = result(
      {group("add", 500), group("matmul_0", 600), group("copy", 80)}, 1300);
  const DiffReport diff = diff_results(base, next, checked(3, {5, 1}));
  std::string table;
  append_diff_table(diff, table, 0);
  EXPECT_EQ(table.find("matmul_0"), table.find('\n') + 1) << table;
  EXPECT_NE(table.find("(1 unchanged group not listed"), std::string::npos)
      << table;
  EXPECT_NE(table.find("regressions above 5%:\n  (profile span)\n  matmul_0\n"),
            std::string::npos)
      << table;
}

TEST(AppendDiff, NewGoneZeroBasesAndTheThresholdInEveryForm) {
  const QueryReport base = result({group("kept", 1000), group("gone", 50),
                                   group("zero", 0), group("edge", 200)},
                                  1000);
  const QueryReport next = result({group("kept", 900), group("new", 70),
                                   group("zero", 5), group("edge", 210)},
                                  1100);
  const DiffReport diff =
      diff_results(base, next, checked(std::nullopt, {50, 10}));  // 5%

  std::string json;
  append_diff_json(diff, json);
  EXPECT_NE(json.find(R"("phase_cycles": { "base": 1000, "new": 900, )"
                      R"("change": -100, "change_percent": -10, )"
                      R"("regressed": false })"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("phase_cycles": { "base": 0, "new": 70, "change": )"
                      R"(70, "change_percent": null, "regressed": true })"),
            std::string::npos);
  EXPECT_NE(json.find(R"("regressed_groups": [ "new", "zero" ])"),
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
  append_diff_table(diff, table, 0);
  EXPECT_NE(
      table.find("regressions above 5%:\n  (profile span)\n  new\n  zero\n"),
      std::string::npos)
      << table;
}

TEST(AppendDiffTable, ACutTableSaysHowManyRowsItShowsAndStillRegresses) {
  const QueryReport base = result({group("a", 100), group("b", 10)}, 100);
  const QueryReport next = result({group("a", 90), group("b", 20)}, 100);
  const DiffReport diff = diff_results(base, next, checked(1, {1, 1}));
  std::string table;
  append_diff_table(diff, table, 0);
  EXPECT_NE(table.find("(1 of 2 groups shown)\n"), std::string::npos) << table;
  EXPECT_NE(table.find("regressions above 1%:\n  b\n"), std::string::npos)
      << table;
}

TEST(AppendDiffTable, OnlyRegressionsAndWideNamesStayAligned) {
  // A name measured in bytes would push its row's numbers two columns right.
  const QueryReport base = result({group("a\xc3\xb1"
                                         "adir_\xc3\xbc",
                                         100),
                                   group("b", 10)},
                                  100);
  const QueryReport next = result({group("a\xc3\xb1"
                                         "adir_\xc3\xbc",
                                         190),
                                   group("b", 5)},
                                  100);
  DiffOptions options;
  options.show = DiffShow::Regressions;
  const DiffReport diff = diff_results(base, next, options);
  std::string table;
  append_diff_table(diff, table, 0);
  EXPECT_NE(table.find("(1 of 1 regressions shown; 2 groups in all)"),
            std::string::npos)
      << table;
  const std::size_t header_end = table.find('\n');
  const std::size_t row_end = table.find('\n', header_end + 1);
  const std::string header = table.substr(0, header_end);
  const std::string row =
      table.substr(header_end + 1, row_end - header_end - 1);
  // The "new phase" column ends at the same display column in both lines.
  const std::size_t title_end = header.find("new phase") + 9;
  EXPECT_EQ(display_width(row.substr(0, row.find("190") + 3)), title_end)
      << table;
  options.show = DiffShow::Improvements;
  std::string none;
  append_diff_table(diff_results(base, base, options), none, 0);
  EXPECT_EQ(none.rfind("no changes: ", 0), 0U) << none;
}

}  // namespace
}  // namespace zyl_profile::cli
