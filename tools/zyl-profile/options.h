// The command line of zyl-profile: what each subcommand was asked to do, and
// parse_options, which turns the arguments into it without touching a file.
// Every command that reads samples embeds one Selection, so the filters,
// the window and the read limits are declared once and bound to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "zyl_package/generate.h"
#include "zyl_package/load_result.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/percentage.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// The groupings by the names --group-by takes.
inline constexpr std::array<std::pair<std::string_view, GroupBy>, 6>
    kGroupByNames{{{"kind", GroupBy::Kind},
                   {"kernel", GroupBy::Kernel},
                   {"operation", GroupBy::Operation},
                   {"phase", GroupBy::Phase},
                   {"tile", GroupBy::Tile},
                   {"metadata", GroupBy::Metadata}}};

// Returns the name --group-by takes for `group_by`.
[[nodiscard]] std::string_view group_by_name(GroupBy group_by);

// What every sample-reading command is asked to look at: the query (filters,
// grouping and limits, for the commands that group; its window in cycles or
// shares of the span, which the library resolves), the reader's limits and
// the threads.
struct Selection {
  Query query;  // the default Query with the given options applied
  zyl_package::ReadLimits limits;
  // Several files are read as one profile of their tiles in the order
  // given, without asking that they be the shards of one profile.
  bool concatenate = false;
  unsigned threads = 0;  // 0: the hardware's thread count
};

// How a result is printed.
enum class OutputFormat : std::uint8_t { Table = 0, Json = 1, Csv = 2 };

// Which table `--format csv` writes.
enum class CsvTable : std::uint8_t { Groups = 0, Samples = 1 };

// How a result is printed, for query and diff.
struct Printing {
  OutputFormat format = OutputFormat::Table;
  bool wide = false;     // a table shows every column, however wide
  bool timings = false;  // load and query times, threads, peak memory

  bool operator==(const Printing&) const = default;
};

// `zyl-profile query REPORT... [options]`.
struct QueryCommand {
  // One report, or several shards of one: their tiles, concatenated in this
  // order, are the profile queried.
  std::vector<std::filesystem::path> reports;
  Selection selection;
  Printing printing;
  CsvTable csv_table = CsvTable::Groups;
};

// `zyl-profile phases REPORT... [filters]`: how long each (phase, epoch)
// waited for its slowest tile.
struct PhasesCommand {
  std::vector<std::filesystem::path> reports;  // one, or the shards of one
  Selection selection;  // the filters only: phases neither group nor sort
  Printing printing;
  // The rows printed, the ones that lost the most first; the totals are
  // always over every row. Unset: kDefaultPhaseRows in the table, all of
  // them in JSON and CSV, which scripts read whole. 0: all.
  std::optional<std::size_t> limit;
};

inline constexpr std::size_t kDefaultPhaseRows = 20;

[[nodiscard]] inline zyl_package::GenerateOptions bulk_synchronous_defaults() {
  zyl_package::GenerateOptions options;
  options.model = zyl_package::GenerateModel::BulkSynchronous;
  return options;
}

// `zyl-profile generate -o FILE [options]`.
struct GenerateCommand {
  std::filesystem::path output;
  // The command writes bulk-synchronous profiles unless told otherwise,
  // the shape `phases` and `diff` are for; the library keeps its own
  // default so the reports its callers generate stay what they were.
  zyl_package::GenerateOptions generate = bulk_synchronous_defaults();
  bool epochs_given = false;  // --epochs on the command line
  zyl_package::ReportFormat format = zyl_package::ReportFormat::Json;
  bool compress = false;  // package sections compressed: smaller, slower open
};

// `zyl-profile convert IN OUT [--to json|zpk] [--compress]`.
struct ConvertCommand {
  std::filesystem::path input;
  std::filesystem::path output;
  zyl_package::ReportFormat format = zyl_package::ReportFormat::Json;
  bool compress = false;  // package sections compressed: smaller, slower open
  zyl_package::ReadLimits limits;
};

// How `trace` names its slices; an empty name falls back to the next one
// (kernel, then operation, then kind).
enum class TraceName : std::uint8_t { Kernel = 0, Operation = 1, Kind = 2 };

// What each complete event carries in `args`. Full: every field a user may
// pivot on in Perfetto (operation, kernel, kind, phase, epoch, tile, offsets
// and cycles, metadata). Minimal: only kernel, operation and kind, the fields
// every sample of one slice name shares, since speedscope keys a frame by its
// name plus the JSON of its args and per-sample values would make each sample
// a frame of its own. None: no args at all.
enum class TraceArgs : std::uint8_t { Full = 0, Minimal = 1, None = 2 };

// `zyl-profile trace REPORT... -o FILE [filters]`.
struct TraceCommand {
  std::vector<std::filesystem::path> reports;  // one, or the shards of one
  std::filesystem::path output;
  Selection selection;
  TraceName name_by = TraceName::Kernel;
  TraceArgs args = TraceArgs::Full;
};

// `zyl-profile diff BASE NEW [query options]`; either may be the shards
// of a profile, given one after the other.
struct DiffCommand {
  std::vector<std::filesystem::path> reports;  // BASE's files, then NEW's
  Selection selection;  // run on both; a percentage is of each one's span
  Printing printing;
  DiffOptions diff;  // limit, --fail-above, order and which rows to show
};

// How `export` writes the samples.
enum class ExportFormat : std::uint8_t { Csv = 0, Jsonl = 1 };

// `zyl-profile export REPORT... [filters] --format csv|jsonl -o FILE`.
struct ExportCommand {
  std::vector<std::filesystem::path> reports;  // one, or the shards of one
  std::filesystem::path output;
  Selection selection;
  ExportFormat format = ExportFormat::Csv;
};

// `zyl-profile split IN -o PREFIX --shards N [--compress]`: PREFIX-0.zpk,
// PREFIX-1.zpk, ... by ranges of tiles.
struct SplitCommand {
  std::filesystem::path input;
  std::filesystem::path prefix;  // the shard files' path before "-K.zpk"
  std::uint32_t shards = 0;      // 1..kMaxShards
  bool compress = false;  // package sections compressed: smaller, slower open
  zyl_package::ReadLimits limits;
};

inline constexpr std::uint32_t kMaxShards = 65536;

// `zyl-profile report REPORT [NEW] -o PAGE.html [query options]`: one
// report's picture, or two reports compared (BASE then NEW).
struct PageCommand {
  // One profile, or BASE and NEW; each one file or the shards of one.
  std::vector<std::filesystem::path> reports;
  std::filesystem::path output;
  Selection selection;  // run on each; a percentage is of each one's span
  bool timings = false;
  bool sort_given = false;  // --sort-by, which a comparison cannot take
  // The arguments after the program name, as given, shown on the page.
  std::vector<std::string> arguments;
};

// The groups a page holds: the query's --limit, this many when it has none,
// never more than kMaxPageGroups, so the page's size stays bounded.
inline constexpr std::size_t kDefaultPageGroups = 25;
inline constexpr std::size_t kMaxPageGroups = 500;

// `zyl-profile serve REPORT [NEW]`: answers questions about one profile,
// or two compared, over HTTP on this machine.
struct ServeCommand {
  // One profile, or BASE and NEW; each one file or the shards of one.
  std::vector<std::filesystem::path> reports;
  std::string host = "127.0.0.1";
  bool host_given = false;  // --host: the data may be read from elsewhere
  std::uint16_t port = 0;   // 0: a free port the system picks
  zyl_package::ReadLimits limits;
  unsigned threads = 0;  // each request's query threads; 0: the hardware's
  // The arguments after the program name, as given, shown on the page.
  std::vector<std::string> arguments;
};

// `--help` or `--version`: the text goes to stdout and the exit status is 0.
struct PrintText {
  std::string text;
};

// What the command line asks for.
using Options =
    std::variant<QueryCommand, GenerateCommand, ConvertCommand, PrintText,
                 TraceCommand, DiffCommand, ExportCommand, SplitCommand,
                 PageCommand, PhasesCommand, ServeCommand>;

// A command line that cannot be run; `message` is one line without the
// program name or the hint to --help.
struct UsageError {
  std::string message;

  [[nodiscard]] const std::string& to_string() const { return message; }
};

// What a piece of the command line reads as, or why it cannot be run.
template <class T>
using Parsed = zyl_package::Outcome<T, UsageError>;

using ParseResult = Parsed<Options>;

// Returns what `args` (the arguments after the program name) ask for, or the
// first reason they cannot be run. Reads no file, prints nothing.
[[nodiscard]] ParseResult parse_options(const std::vector<std::string>& args);

// Returns the numbers that the LISTs given to `option` (such as "1,3,8-11",
// one per occurrence) hold together, or a usage error naming `option`. A range
// needs A <= B; more than kMaxListNumbers distinct numbers is an error, checked
// on the merged ranges before anything is expanded.
[[nodiscard]] Parsed<std::set<std::uint32_t>> parse_lists(
    std::string_view option, const std::vector<std::string>& lists);

inline constexpr std::uint64_t kMaxListNumbers = 1'000'000;

inline constexpr std::string_view kProgramName = "zyl-profile";
inline constexpr std::string_view kUsageHint =
    "Run with --help for more information.";

}  // namespace zyl_profile::cli
