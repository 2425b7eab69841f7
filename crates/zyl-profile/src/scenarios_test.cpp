// Tests of the scenario table and fixture: the descriptors must keep pointing
// at the scenarios' names, so a tool that jumps to a test lands on it.
#include "scenarios.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace tests {
namespace {

std::vector<std::string> source_lines(std::string_view relative_path) {
  std::ifstream in(std::filesystem::path(ZYL_REPO_ROOT) / relative_path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ScenarioTable, HoldsTheThreeScenariosInNameOrder) {
  std::vector<std::string_view> names;
  for (const zyl_harness::TestDescriptor& test : test_table()) {
    names.push_back(test.name);
    EXPECT_FALSE(test.ignored);
    EXPECT_FALSE(test.ignore_reason);
    EXPECT_FALSE(test.expected_to_fail);
    EXPECT_EQ(test.kind, zyl_harness::TestKind::UnitTest);
    EXPECT_NE(test.function, nullptr);
  }
  EXPECT_EQ(names, (std::vector<std::string_view>{
                       "tests::filters_by_normalized_time_and_metadata_across_"
                       "counter_wrap",
                       "tests::groups_by_semantic_metadata_value",
                       "tests::groups_parallel_samples_by_kernel"}));
}

TEST(ScenarioTable, DescriptorsPointAtTheScenarioDeclarations) {
  const std::vector<std::string> lines = source_lines(kScenarioSource);
  ASSERT_FALSE(lines.empty()) << "cannot read " << kScenarioSource;
  for (const zyl_harness::TestDescriptor& test : test_table()) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(test.source_file, kScenarioSource);
    EXPECT_EQ(test.end_line, test.start_line);
    ASSERT_GE(test.start_line, 1U);
    ASSERT_LE(test.start_line, lines.size());
    ASSERT_GE(test.start_column, 1U);
    ASSERT_GE(test.end_column, test.start_column);
    const std::string& line = lines[test.start_line - 1];
    ASSERT_LE(test.end_column - 1, line.size()) << line;
    const std::string_view bare = test.name.substr(test.name.rfind(':') + 1);
    // The declaration itself, not a call or a mention in a comment.
    EXPECT_EQ(line.substr(0, test.start_column - 1), "void ") << line;
    EXPECT_EQ(
        line.substr(test.start_column - 1, test.end_column - test.start_column),
        bare)
        << line;
    EXPECT_EQ(line.substr(test.end_column - 1), "() {") << line;
  }
}

TEST(Sample, FillsEveryFieldFromItsFiveArguments) {
  zyl_package::CycleSample expected;
  expected.step.operation = "operation 12";
  expected.step.kernel = "add";
  expected.step.metadata = {{"block", "12"}};
  expected.step.local_index = 12;
  expected.step.phase = 12;
  expected.step.epoch = 0;
  expected.step.kind = zyl_package::ProfileStepKind::Idle;
  // A wrap is stored as given.
  expected.start_cycle = 4294967295U;
  expected.end_cycle = 3;
  EXPECT_EQ(
      sample(12, zyl_package::ProfileStepKind::Idle, "add", 4294967295U, 3),
      expected);
}

}  // namespace
}  // namespace tests
