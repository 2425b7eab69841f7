// The printed forms of a query result: a table for people, the JSON object
// that scripts compare field for field, and RFC 4180 CSV. The group's fields
// are listed once (group_fields) and every form walks that list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "format/json_writer.h"
#include "format/text.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// One measure of a GroupSummary as every printed form names and spells it.
struct GroupField {
  std::string_view key;    // JSON key and CSV column
  std::string_view title;  // table column
  int decimals = -1;       // table: -1 for a count, else digits after the point
  int drop_rank = 0;       // table: columns with a higher rank go first
  std::uint64_t (*count)(const GroupSummary&) = nullptr;  // a count, or
  double (*real)(const GroupSummary&) = nullptr;          // a real value
};

// The measures after `name` and `dimensions`, in the order of the JSON form.
[[nodiscard]] std::span<const GroupField> group_fields();

// One sentence each on what the less obvious measures mean, for --help and
// the table's footnote.
inline constexpr std::string_view kMeasuresHelp =
    "Phase cycles: for each (phase, epoch) the group ran in, the longest of "
    "its samples, summed; the time the group held up its phases.\n"
    "Work cycles: the durations of all the group's samples, summed over every "
    "tile; the busy time it cost.\n"
    "Work %: the group's work cycles over the work cycles of every matched "
    "group, listed or not; the column sums to 100.\n"
    "Average active tiles: work cycles / phase cycles, how many samples ran "
    "side by side on average; one tile shows more than 1 when it runs "
    "several samples of the group in one phase.";

// Appends the JSON form of `report` to `out`: the result's fields in
// declaration order, integers exact, doubles in their shortest round-trip
// form, strings escaped so the text is valid JSON for any bytes.
void append_json(const QueryReport& report, std::string& out);

// Appends the group table (one row per group) as CSV with a header row.
void append_groups_csv(const QueryReport& report, std::string& out);

// Appends the listed samples as CSV with a header row; metadata as one JSON
// array of {"name", "value"} objects, the same as every export writes.
void append_samples_csv(const QueryReport& report, std::string& out);

// Appends the human-readable table: totals, the groups, then the listed
// samples when there are any, fitted to `max_width` columns (0: no limit).
// Strings never reach the terminal raw.
void append_table(const QueryReport& report, std::string& out,
                  std::size_t max_width);

}  // namespace zyl_profile::cli
