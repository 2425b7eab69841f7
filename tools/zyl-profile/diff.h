// `zyl-profile diff`: the same query on two reports, the groups joined by
// name and ordered by how much their phase cycles moved, and a regression
// check for CI (`--fail-above`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// A count in both reports. The change is kept as sign and magnitude so it is
// exact for any two u64 values.
struct CountChange {
  std::uint64_t base = 0;
  std::uint64_t next = 0;
  std::uint64_t magnitude = 0;  // |next - base|
  bool negative = false;        // next < base
  // (next - base) / base * 100; 0 when both are 0, absent when only the base
  // is 0 (growth from nothing has no finite percentage).
  std::optional<double> percent;
  bool regressed = false;  // grew by more than --fail-above (totals, rows)

  bool operator==(const CountChange&) const = default;
};

// A real-valued measure (average active tiles) in both reports.
struct RealChange {
  double base = 0.0;
  double next = 0.0;
  double change = 0.0;            // next - base
  std::optional<double> percent;  // as CountChange::percent

  bool operator==(const RealChange&) const = default;
};

// Same: every measure equal; Changed: in both, some measure differs; New:
// only in the new report; Gone: only in the base report.
enum class DiffStatus : std::uint8_t {
  Same = 0,
  Changed = 1,
  New = 2,
  Gone = 3
};

// One joined group. A side where the group is absent counts as zeros.
struct DiffRow {
  std::string name;
  std::map<std::string, std::string> dimensions;
  DiffStatus status = DiffStatus::Same;
  CountChange phase_cycles;  // `regressed` set here for the group
  CountChange work_cycles;
  CountChange sample_count;
  RealChange average_active_tiles;
  CountChange p95_cycles;

  bool operator==(const DiffRow&) const = default;
};

// The whole comparison.
struct DiffReport {
  std::vector<DiffRow> rows;      // by |phase change| descending, then name;
                                  // cut to the limit
  std::size_t group_count = 0;    // joined groups before the limit
  std::size_t changed_count = 0;  // of those, the ones not Same
  CountChange profile_span_cycles;
  CountChange matched_sample_count;
  std::optional<Percentage> fail_above;
  // Names of every group whose phase cycles grew above the threshold, in row
  // order, rows cut by the limit included.
  std::vector<std::string> regressed_groups;

  // True when the span or any group grew by more than `fail_above`.
  [[nodiscard]] bool regressed() const {
    return profile_span_cycles.regressed || !regressed_groups.empty();
  }

  bool operator==(const DiffReport&) const = default;
};

// Returns the comparison of two results of one query (run without a group
// limit, so no group is missing from one side only because it was cut):
// groups joined by name and dimensions, at most `limit` rows. With
// `fail_above`, a count regresses when it grew by more than that percentage
// (a group that is new, or grew from 0, counts as grown without bound).
[[nodiscard]] DiffReport diff_results(const QueryReport& base,
                                      const QueryReport& next,
                                      std::optional<std::size_t> limit,
                                      std::optional<Percentage> fail_above);

// Appends the printed forms: a table for people (ending with what regressed,
// when --fail-above was given), the JSON object, and CSV in long form
// (one row per group and measure, then the totals).
void append_diff_table(const DiffReport& diff, std::string& out);
void append_diff_json(const DiffReport& diff, std::string& out);
void append_diff_csv(const DiffReport& diff, std::string& out);

// Runs `zyl-profile diff`: exit 3 when --fail-above finds a regression and
// the output was written.
[[nodiscard]] ExitCode run_diff(const DiffCommand& command);

}  // namespace zyl_profile::cli
