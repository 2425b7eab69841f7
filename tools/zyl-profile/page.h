// `zyl-profile report`: one self-contained HTML page that pictures a profile
// (the utilisation map, active tiles over time, the phase balance, the top
// groups) or compares
// two. The page's script and style are compiled into the tool and its data
// is one JSON block, so it opens offline and its size follows the bins and
// the groups, never the samples.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "process.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/occupancy.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/profile_set.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// The bins of a page: a row per tile up to 256, 512 time columns; a
// comparison draws two maps side by side, so each gets fewer columns.
inline constexpr OccupancyOptions kPageBins{256, 512};
inline constexpr OccupancyOptions kComparedPageBins{256, 320};

// Marks past this many are dropped: a profile of thousands of aligned
// phases would draw a solid band of lines and grow the page.
inline constexpr std::size_t kMaxPhaseMarks = 1000;

// The phase-epoch pairs a page lists, most waited for first: enough to name
// the supersteps that cost the run, few enough for one chart. The page
// says how many more there are.
inline constexpr std::size_t kPagePhaseRows = 20;

// Group names, dimension values and labels are cut on the page (at a
// character boundary, with "...") to this many bytes of escaped JSON: a page
// of 500 groups stays small whatever strings the report holds.
inline constexpr std::size_t kMaxPageText = 160;

// One profile as a page shows it.
struct PageProfile {
  std::string label;   // the report's path as given
  QueryReport result;  // the query's totals and groups
  Occupancy occupancy;
  // Over the same samples as `result`; unset on a comparison's profiles,
  // whose page compares groups rather than supersteps.
  std::optional<PhaseBalance> phases;
};

// Everything a page shows.
struct PageInput {
  std::string command_line;  // as typed, for the page's header
  GroupBy group_by = GroupBy::Kernel;
  std::vector<PageProfile> profiles;  // one, or BASE and NEW
  std::optional<DiffReport> diff;     // set when comparing
};

// Returns the command line `zyl-profile ARGS...` as a shell would take it:
// arguments with spaces or quotes single-quoted, cut to a few thousand
// characters.
[[nodiscard]] std::string command_line_text(
    const std::vector<std::string>& arguments);

// Returns the page's data as one JSON object: the totals, each profile's map
// (its cells' shares per kind quantised to a byte each, base64), the exact
// average of busy tiles per column and kind, the aligned phases, the first
// kPagePhaseRows rows of the phase balance with its totals (null when the
// profile has none), and the groups with every measure (or the comparison's
// rows). The text contains
// no '<', so it may sit inside a <script> element as it is.
[[nodiscard]] std::string page_data_json(const PageInput& input);

// Returns the whole page: the embedded template with its style, script and
// data inlined.
[[nodiscard]] std::string render_page(const PageInput& input);

// Where building a page's input went, for --timings, and the notes of
// the query of a single profile.
struct PageWork {
  AnswerCosts costs;
  double map_ms = 0.0;
  double phases_ms = 0.0;
  std::vector<std::string> notes;
};

// Returns what a page of `profiles` (one, or BASE and NEW) shows under
// `query`, every part but the command line; adds its costs to `work`.
[[nodiscard]] Loaded<PageInput> page_input(
    const std::vector<ProfileSet>& profiles, const Query& query,
    ParallelOptions parallel, PageWork& work);

// The name a page gives a profile: its first file, and how many shards
// follow.
[[nodiscard]] std::string profile_label(const ProfileSet& set);

// Returns one map as a JSON object, in the page's own form: share_scale,
// kinds, map (the quantised cells, the tile rows and time edges, the
// busy tiles per column) and the phases worth a mark.
[[nodiscard]] std::string occupancy_json(const Occupancy& map);

// Runs `zyl-profile report`: writes the page atomically, or nothing.
[[nodiscard]] ExitCode run_page(const PageCommand& command);

}  // namespace zyl_profile::cli
