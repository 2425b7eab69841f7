// The scenario tests of the query engine: each builds a small report with the
// fixture `sample`, runs `query` once and compares a few result fields
// exactly, pinning one behaviour that a plausible engine fault would break.
#include "scenarios.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "zyl_harness/check.h"
#include "zyl_profile/query.h"

namespace tests {

using zyl_harness::check_eq;
using zyl_profile::CycleSample;
using zyl_profile::GroupBy;
using zyl_profile::MetadataFilter;
using zyl_profile::ProfileMetadata;
using zyl_profile::ProfileReport;
using zyl_profile::ProfileStepKind;
using zyl_profile::Query;
using zyl_profile::QueryReport;
using zyl_profile::TileProfile;

CycleSample sample(std::uint32_t phase, ProfileStepKind kind,
                   std::string_view kernel, std::uint32_t start,
                   std::uint32_t end) {
  const std::string phase_text = std::to_string(phase);
  CycleSample built;
  built.step.operation = "operation " + phase_text;
  built.step.kernel = std::string(kernel);
  built.step.metadata = {ProfileMetadata{"block", phase_text}};
  built.step.local_index = phase;
  built.step.phase = phase;
  built.step.epoch = 0;
  built.step.kind = kind;
  built.start_cycle = start;
  built.end_cycle = end;
  return built;
}

// Two samples of one kernel side by side on two tiles in one phase: the phase
// counts once (its longest member) and the span is per tile, not 230 - 100.
void groups_parallel_samples_by_kernel() {
  ProfileReport report;
  report.clock_hz = 1000000000;
  report.tiles = {
      TileProfile{2, {sample(0, ProfileStepKind::Compute, "add", 100, 120)}},
      TileProfile{3, {sample(0, ProfileStepKind::Compute, "add", 200, 230)}}};
  const Query by_kernel;
  const QueryReport result = zyl_profile::query(report, by_kernel);
  check_eq(result.groups.size(), 1);
  check_eq(result.groups.at(0).phase_cycles, 30);
  check_eq(result.groups.at(0).work_cycles, 50);
  check_eq(result.groups.at(0).average_active_tiles, 1.6666666666666667);
  check_eq(result.profile_span_cycles, 30);
}

// The tile's clock starts at its first sample, 5 cycles before the counter
// wraps: only an offset taken modulo 2^32 from that sample puts the second
// sample at 10, where the point 12 and the metadata filter both find it.
void filters_by_normalized_time_and_metadata_across_counter_wrap() {
  ProfileReport report;
  report.clock_hz = 1500000000;
  report.tiles = {
      TileProfile{9,
                  {sample(0, ProfileStepKind::Exchange, "", 4294967291U, 5),
                   sample(1, ProfileStepKind::Compute, "add", 5, 15)}}};
  Query at_twelve;
  at_twelve.at_offset = 12;
  at_twelve.metadata = {MetadataFilter{"block", "1"}};
  at_twelve.sample_limit = 1;
  const QueryReport result = zyl_profile::query(report, at_twelve);
  check_eq(result.matched_sample_count, 1);
  // at() throws when nothing is listed, which fails the scenario.
  check_eq(result.samples.at(0).phase, 1);
  check_eq(result.samples.at(0).offset, 10);
}

// One kernel split by a metadata value, ordered by phase cycles (largest
// first), which is neither sample order nor name order.
void groups_by_semantic_metadata_value() {
  ProfileReport report;
  report.clock_hz = 1000000000;
  report.tiles = {
      TileProfile{1,
                  {sample(0, ProfileStepKind::Compute, "add", 0, 10),
                   sample(1, ProfileStepKind::Compute, "add", 10, 30)}}};
  Query by_block;
  by_block.group_by = GroupBy::Metadata;
  by_block.metadata_key = "block";
  const QueryReport result = zyl_profile::query(report, by_block);
  check_eq(result.groups.size(), 2);
  check_eq(result.groups.at(0).name, "1");
  check_eq(result.groups.at(1).name, "0");
}

namespace {

// A descriptor for the scenario declared on `line` of kScenarioSource, its
// name taking columns [start_column, end_column).
constexpr zyl_harness::TestDescriptor scenario(std::string_view name,
                                               std::uint32_t line,
                                               std::uint32_t start_column,
                                               std::uint32_t end_column,
                                               void (*function)()) {
  zyl_harness::TestDescriptor descriptor;
  descriptor.name = name;
  descriptor.source_file = kScenarioSource;
  descriptor.start_line = line;
  descriptor.start_column = start_column;
  descriptor.end_line = line;
  descriptor.end_column = end_column;
  descriptor.ignored = false;
  descriptor.ignore_reason = std::nullopt;
  descriptor.expected_to_fail = false;
  descriptor.kind = zyl_harness::TestKind::UnitTest;
  descriptor.function = function;
  return descriptor;
}

// The positions are checked against this file by the scenario table's test.
constexpr std::array kTable{
    scenario(
        "tests::filters_by_normalized_time_and_metadata_across_counter_wrap",
        64, 6, 65,
        &filters_by_normalized_time_and_metadata_across_counter_wrap),
    scenario("tests::groups_by_semantic_metadata_value", 84, 6, 39,
             &groups_by_semantic_metadata_value),
    scenario("tests::groups_parallel_samples_by_kernel", 46, 6, 39,
             &groups_parallel_samples_by_kernel),
};

}  // namespace

std::span<const zyl_harness::TestDescriptor> test_table() { return kTable; }

}  // namespace tests
