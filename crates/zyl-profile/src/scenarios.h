// The scenario tests of the query engine: the fixture that builds their
// samples, the three scenarios and the table the scenario program runs.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "zyl_harness/runner.h"
#include "zyl_package/profile_report.h"

namespace tests {

// Returns a sample of `kind` and `kernel` from counter value `start` to `end`
// whose phase and local index are `phase`, whose epoch is 0, whose operation
// is "operation <phase>" and whose only metadata entry is "block" =
// "<phase>". Checks nothing: an `end` below `start` is a counter wrap.
[[nodiscard]] zyl_package::CycleSample sample(std::uint32_t phase,
                                              zyl_package::ProfileStepKind kind,
                                              std::string_view kernel,
                                              std::uint32_t start,
                                              std::uint32_t end);

// The scenarios: each builds a report and a query, runs the query once and
// checks a few fields of the result; a failed check throws.
void groups_parallel_samples_by_kernel();
void filters_by_normalized_time_and_metadata_across_counter_wrap();
void groups_by_semantic_metadata_value();

// The file the scenarios are declared in, relative to the repository root.
inline constexpr std::string_view kScenarioSource =
    "crates/zyl-profile/src/scenarios.cpp";

// Returns the table of the three scenarios, ascending by name, each
// descriptor pointing at the scenario's name in kScenarioSource.
[[nodiscard]] std::span<const zyl_harness::TestDescriptor> test_table();

}  // namespace tests
