// Tests of the runner's command line and of selection by name.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "zyl_harness/runner.h"

namespace zyl_harness {
namespace {

ParsedOptions parse(std::vector<std::string_view> args) {
  return parse_options(args);
}

TEST(ParseOptions, ReadsEveryOptionInBothSpellings) {
  const ParsedOptions parsed =
      parse({"a", "--exact", "--skip", "s1", "--skip=s2", "--test-threads", "3",
             "--list", "--", "--b"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const RunOptions& options = *parsed.options;
  EXPECT_EQ(options.filters, (std::vector<std::string>{"a", "--b"}));
  EXPECT_EQ(options.skips, (std::vector<std::string>{"s1", "s2"}));
  EXPECT_TRUE(options.exact);
  EXPECT_TRUE(options.list);
  EXPECT_FALSE(options.help);
  EXPECT_EQ(options.test_threads, std::optional<unsigned>(3));

  const ParsedOptions equals = parse({"--test-threads=1", "-h"});
  ASSERT_TRUE(equals.options) << equals.error;
  EXPECT_EQ(equals.options->test_threads, std::optional<unsigned>(1));
  EXPECT_TRUE(equals.options->help);
  EXPECT_FALSE(parse({}).options->test_threads);
}

TEST(ParseOptions, RejectsWithAReasonNamingTheCulprit) {
  const struct {
    std::vector<std::string_view> args;
    std::string_view reason;
  } rows[] = {
      {{"--bogus"}, "unrecognized option '--bogus'"},
      {{"-x"}, "unrecognized option '-x'"},
      {{"--skip"}, "option '--skip' needs a value"},
      {{"--test-threads"}, "option '--test-threads' needs a value"},
      {{"--test-threads", "0"}, "found '0'"},
      {{"--test-threads", "-2"}, "found '-2'"},
      {{"--test-threads", "2x"}, "found '2x'"},
      {{"--test-threads="}, "found ''"},
      {{"--test-threads", "99999999999"}, "found '99999999999'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.front());
    const ParsedOptions parsed = parse(row.args);
    EXPECT_FALSE(parsed.options);
    EXPECT_NE(parsed.error.find(row.reason), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
  }
}

TEST(IsSelected, FiltersAnySkipsAllExactMeansWholeNames) {
  const struct {
    std::vector<std::string_view> args;
    std::string_view name;
    bool selected;
  } rows[] = {
      {{}, "tests::a", true},
      {{"a"}, "tests::a", true},
      {{"zz", "ts::"}, "tests::a", true},
      {{"zz"}, "tests::a", false},
      {{"--exact", "tests::"}, "tests::a", false},
      {{"--exact", "tests::a"}, "tests::a", true},
      {{"--skip", "a"}, "tests::a", false},
      {{"tests", "--skip", "zz", "--skip", "::a"}, "tests::a", false},
      {{"--exact", "--skip", "a"}, "tests::a", true},
      {{"--exact", "--skip", "tests::a"}, "tests::a", false},
  };
  for (const auto& row : rows) {
    const ParsedOptions parsed = parse(row.args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(is_selected(*parsed.options, row.name), row.selected)
        << ::testing::PrintToString(row.args);
  }
}

}  // namespace
}  // namespace zyl_harness
