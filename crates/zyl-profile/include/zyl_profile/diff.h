// Comparing two profiles: the same query on both, the groups joined by name
// and dimensions, ordered by how much they moved, and a regression check
// against a threshold. Printing the comparison is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zyl_profile/percentage.h"
#include "zyl_profile/query.h"

namespace zyl_profile {

// A count in both profiles. The change is kept as sign and magnitude so it
// is exact for any two u64 values.
struct CountChange {
  std::uint64_t base = 0;
  std::uint64_t next = 0;
  std::uint64_t magnitude = 0;  // |next - base|
  bool negative = false;        // next < base
  // (next - base) / base * 100; 0 when both are 0, absent when only the base
  // is 0 (growth from nothing has no finite percentage).
  std::optional<double> percent;
  bool regressed = false;  // grew by more than fail_above (span, phase rows)

  bool operator==(const CountChange&) const = default;
};

// A real-valued measure (average active tiles) in both profiles.
struct RealChange {
  double base = 0.0;
  double next = 0.0;
  double change = 0.0;            // next - base
  std::optional<double> percent;  // as CountChange::percent

  bool operator==(const RealChange&) const = default;
};

// Same: every measure equal; Changed: in both, some measure differs; New:
// only in the next profile; Gone: only in the base profile.
enum class DiffStatus : std::uint8_t {
  Same = 0,
  Changed = 1,
  New = 2,
  Gone = 3
};

// How rows are ordered, largest first; the name breaks ties.
// AbsoluteChange: by |phase-cycle change|. RelativeChange: by |phase-cycle
// change| / base phase cycles, where a row with no finite percentage (a new
// group, growth from 0) counts as an unbounded change and comes first.
enum class DiffOrder : std::uint8_t { AbsoluteChange = 0, RelativeChange = 1 };

// Which rows are kept. Regressions: phase cycles grew, or the group is new.
// Improvements: phase cycles shrank, or the group is gone. A row whose phase
// cycles did not move is in neither, even when another measure changed.
enum class DiffShow : std::uint8_t {
  All = 0,
  Regressions = 1,
  Improvements = 2
};

// What to compare and report.
struct DiffOptions {
  std::optional<std::size_t> limit;  // most rows kept, after `show`
  // A count regresses when it grew by more than this; absent: no check.
  std::optional<Percentage> fail_above;
  DiffOrder order = DiffOrder::AbsoluteChange;
  DiffShow show = DiffShow::All;

  bool operator==(const DiffOptions&) const = default;
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
  // Each side's share of its own matched work. It moves when other groups
  // change, so it takes no part in the row's status.
  RealChange work_percent;

  bool operator==(const DiffRow&) const = default;
};

// The whole comparison.
struct DiffReport {
  std::vector<DiffRow> rows;      // in `order`, filtered by `show`, cut to
                                  // `limit`
  std::size_t group_count = 0;    // joined groups, before `show` and `limit`
  std::size_t changed_count = 0;  // of those, the ones not Same
  std::size_t shown_count = 0;    // of those, the ones `show` keeps (before
                                  // `limit`)
  CountChange profile_span_cycles;
  CountChange matched_sample_count;
  std::optional<Percentage> fail_above;  // echoed from the options
  DiffOrder order = DiffOrder::AbsoluteChange;
  DiffShow show = DiffShow::All;
  // Names of every group whose phase cycles grew above the threshold, in row
  // order, over all joined groups: neither `show` nor `limit` hides one.
  std::vector<std::string> regressed_groups;

  // True when the span or any group grew by more than `fail_above`.
  [[nodiscard]] bool regressed() const {
    return profile_span_cycles.regressed || !regressed_groups.empty();
  }

  bool operator==(const DiffReport&) const = default;
};

// Returns the comparison of two results of one query: groups joined by name
// and dimensions. Both results should come from a query without a group
// limit (query_for_diff), or a group cut on one side looks new or gone.
// Never fails; borrows both results only for the call.
// Returns a row's status as every output spells it: "same", "changed",
// "new" or "gone".
[[nodiscard]] std::string_view status_name(DiffStatus status);

[[nodiscard]] DiffReport diff_results(const QueryReport& base,
                                      const QueryReport& next,
                                      const DiffOptions& options);

// Returns `query` over `columns` the way a comparison needs it: every group
// (the query's limit dropped) and no listed samples, on up to `threads`
// threads (0: the hardware's count). For callers that hold one profile at a
// time.
// Returns the query each side of a comparison is asked: `query` with every
// group kept and no samples listed, since a group cut on one side would
// look new or gone; the comparison's own limit cuts the joined rows.
[[nodiscard]] Query comparison_query(Query query);

[[nodiscard]] QueryReport query_for_diff(const ProfileColumns& columns,
                                         Query query, unsigned threads);

// Returns the comparison of two profiles: query_for_diff on each, then
// diff_results. The two queries normally differ only in a window resolved
// against each profile's own span. Borrows everything only for the call.
[[nodiscard]] DiffReport diff_profiles(const ProfileColumns& base,
                                       const ProfileColumns& next,
                                       const Query& base_query,
                                       const Query& next_query,
                                       const DiffOptions& options,
                                       unsigned threads);

}  // namespace zyl_profile
