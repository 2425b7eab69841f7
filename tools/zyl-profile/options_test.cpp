// parse_options: each option lands in its command's field, and every
// malformed command line is a usage error naming the mistake; the values
// themselves are option_values_test's.
#include "options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zyl_profile::cli {
namespace {

using Args = std::vector<std::string>;

QueryCommand parse_query(Args args) {
  args.insert(args.begin(), "query");
  ParseResult result = parse_options(args);
  if (!result.ok()) {
    ADD_FAILURE() << "usage error: " << result.error().message;
    return {};
  }
  const auto* command = std::get_if<QueryCommand>(&result.value());
  if (command == nullptr) {
    ADD_FAILURE() << "not a query command";
    return {};
  }
  return *command;
}

std::string usage_error(const Args& args) {
  const ParseResult result = parse_options(args);
  return result.ok() ? std::string("<no error>") : result.error().message;
}

template <typename Command>
Command parse_as(std::vector<std::string> args) {
  ParseResult result = parse_options(args);
  if (!result.ok()) {
    ADD_FAILURE() << "usage error: " << result.error().message;
    return {};
  }
  const auto* command = std::get_if<Command>(&result.value());
  if (command == nullptr) {
    ADD_FAILURE() << "another command";
    return {};
  }
  return *command;
}

TEST(ParseOptions, NoOptionsKeepTheDefaultQuery) {
  const QueryCommand command = parse_query({"r.json"});
  EXPECT_EQ(command.reports, std::vector<std::filesystem::path>{"r.json"});
  EXPECT_EQ(command.selection.query, Query{});
  EXPECT_EQ(command.printing.format, OutputFormat::Table);
  EXPECT_EQ(command.selection.threads, 0U);
  EXPECT_FALSE(command.printing.timings);
  EXPECT_FALSE(command.selection.concatenate);
}

TEST(ParseOptions, EachOptionSetsItsField) {
  const QueryCommand command = parse_query({"--group-by",
                                            "metadata",
                                            "--metadata-key=layer",
                                            "--sort-by",
                                            "name",
                                            "--kind",
                                            "synchronization",
                                            "--kernel",
                                            "add",
                                            "--operation-contains",
                                            "matmul",
                                            "--tile",
                                            "1,3-4",
                                            "--tile=9",
                                            "--phase",
                                            "7",
                                            "--at-offset",
                                            "18446744073709551615",
                                            "--limit",
                                            "3",
                                            "--sample-limit",
                                            "18446744073709551615",
                                            "r.json",
                                            "--format",
                                            "csv",
                                            "--table",
                                            "samples",
                                            "--threads",
                                            "2",
                                            "--timings",
                                            "--max-depth",
                                            "10",
                                            "--max-file-size",
                                            "2G",
                                            "--max-memory",
                                            "3M",
                                            "--max-string",
                                            "4096"});
  Query expected;
  expected.group_by = GroupBy::Metadata;
  expected.metadata_key = "layer";
  expected.sort_by = SortBy::Name;
  expected.kind = StepKind::Synchronization;
  expected.kernel = "add";
  expected.operation_contains = "matmul";
  expected.tiles = {1, 3, 4, 9};
  expected.phases = {7};
  expected.limit = 3;
  expected.sample_limit = 18446744073709551615ULL;
  expected.at_offset = 18446744073709551615ULL;
  EXPECT_EQ(command.selection.query, expected);
  EXPECT_EQ(command.reports, std::vector<std::filesystem::path>{"r.json"});
  EXPECT_EQ(command.printing.format, OutputFormat::Csv);
  EXPECT_EQ(command.csv_table, CsvTable::Samples);
  EXPECT_EQ(command.selection.threads, 2U);
  EXPECT_TRUE(command.printing.timings);
  EXPECT_EQ(command.selection.limits.max_depth, 10U);
  EXPECT_EQ(command.selection.limits.max_file_bytes, std::uint64_t{2} << 30);
  EXPECT_EQ(command.selection.limits.max_memory_bytes, std::uint64_t{3} << 20);
  EXPECT_EQ(command.selection.limits.max_string_bytes, 4096U);
}

TEST(ParseOptions, SeveralReportsAreShardsInTheOrderGiven) {
  using Paths = std::vector<std::filesystem::path>;
  struct Row {
    Args args;
    Paths reports;
  };
  const Row rows[] = {
      {{"a.zpk", "b.zpk", "c.json"}, {"a.zpk", "b.zpk", "c.json"}},
      // Options between the reports do not break the list or its order.
      {{"b.zpk", "--limit", "3", "a.zpk"}, {"b.zpk", "a.zpk"}},
      {{"--format", "json", "x.zpk", "x.zpk"}, {"x.zpk", "x.zpk"}},
      {{"--kind", "idle", "--", "--odd.zpk", "y.zpk"}, {"--odd.zpk", "y.zpk"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    EXPECT_EQ(parse_query(row.args).reports, row.reports);
  }
}

TEST(ParseOptions, UsageErrors) {
  struct Row {
    Args args;
    std::string expected;
  };
  const std::vector<Row> rows{
      {{}, "A subcommand is required"},
      {{"frobnicate", "r.json"},
       "unknown command 'frobnicate'; the commands: query, diff, phases, "
       "trace, export, report, serve, generate, convert, split"},
      {{"qeury", "r.json"},
       "unknown command 'qeury' (did you mean query?); the commands: query, "
       "diff, phases, trace, export, report, serve, generate, convert, split"},
      {{"query"}, "REPORT is required"},
      {{"query", "r.json", "--bogus"}, "unknown option '--bogus' for query"},
      {{"query", "r.json", "--kernal", "x"},
       "unknown option '--kernal' for query (did you mean --kernel?)"},
      {{"export", "r.json", "--sample-limit=3", "-o", "x.csv"},
       "unknown option '--sample-limit' for export"},
      {{"diff", "a", "b", "--fail-abve", "3"},
       "unknown option '--fail-abve' for diff (did you mean --fail-above?)"},
      {{"query", "r.json", "--wide", "--format", "json"},
       "--wide: only applies to --format table"},
      {{"query", "r.json", "--limit"}, "--limit: 1 required N missing"},
      {{"query", "r.json", "--table", "samples"},
       "--table: only applies to --format csv"},
      {{"query", "r.json", "--kernel", "a", "--kernel", "b"},
       "--kernel: given more than once"},
      {{"query", "r.json", "--timings", "--timings"},
       "--timings: given more than once"},
      {{"query", "r.json", "--format=json", "--format", "json"},
       "--format: given more than once"},
      {{"generate"}, "--output is required"},
      // An unknown option is named before what is missing.
      {{"generate", "--outptu", "x.json"},
       "unknown option '--outptu' for generate (did you mean --output?)"},
      {{"generate", "-o", "x.json", "--samples", "10", "--samples-per-tile",
        "3"},
       "--samples and --samples-per-tile cannot be given together"},
      {{"convert", "in.json"}, "OUT is required"},
      // A name whose extension promises another format is refused.
      {{"convert", "in.json", "out.parquet"},
       "a report cannot write a .parquet file ('out.parquet'): it writes "
       ".json or .zpk"},
      {{"convert", "in.json", "out.bin"},
       "a report cannot write a .bin file ('out.bin'): it writes .json or "
       ".zpk, or give --format"},
      {{"generate", "-o", "x.json.gz"},
       "a report cannot write a .gz file ('x.json.gz'): it writes .json or "
       ".zpk"},
      {{"generate", "-o", "x.zpk", "--format", "json"},
       "--format does not match the output name 'x.zpk'; leave --format out "
       "or change the name"},
      {{"export", "r.json", "-o", "s.parquet"},
       "export cannot write a .parquet file ('s.parquet'): it writes .csv or "
       ".jsonl or .ndjson"},
      {{"export", "r.json", "-o", "s.jsonl", "--format", "csv"},
       "--format does not match the output name 's.jsonl'; leave --format out "
       "or change the name"},
      {{"trace", "r.json", "-o", "t.json.gz"},
       "trace cannot write a .gz file ('t.json.gz'): it writes .json"},
      // Only a package has sections to compress: by extension or by --to.
      {{"generate", "-o", "x.json", "--compress"},
       "--compress: only a package (.zpk) has sections to compress, and "
       "'x.json' is written as JSON"},
      {{"convert", "in.json", "out", "--to", "json", "--compress"},
       "--compress: only a package (.zpk) has sections to compress, and "
       "'out' is written as JSON"},
      {{"convert", "a", "b.zpk", "--compress", "--compress"},
       "--compress: given more than once"},
      {{"split", "r.zpk", "-o", "out/", "--shards", "2"},
       "--output: 'out/' names a folder; give the shards' name prefix too, "
       "as in 'out/report'"},
  };
  for (const Row& row : rows) {
    std::string joined;
    for (const std::string& arg : row.args) joined += "[" + arg + "] ";
    SCOPED_TRACE(joined);
    EXPECT_EQ(usage_error(row.args), row.expected);
  }
}

TEST(ParseOptions, HelpAndVersionAreTextForStdout) {
  for (const Args& args :
       {Args{"--help"}, Args{"query", "--help"}, Args{"generate", "-h"},
        Args{"convert", "--help"}, Args{"--version"}}) {
    const ParseResult result = parse_options(args);
    ASSERT_TRUE(result.ok()) << args[0];
    const auto* text = std::get_if<PrintText>(&result.value());
    ASSERT_NE(text, nullptr);
    EXPECT_NE(text->text.find(args.size() == 1 && args[0] == "--version"
                                  ? "zyl-profile "
                                  : "Example"),
              std::string::npos)
        << text->text;
  }
  // Help answers even a line with mistakes elsewhere.
  for (const Args& args :
       {Args{"query", "r.json", "--help"},
        Args{"query", "r.json", "--limit", "-1", "--kind", "a", "--help"},
        Args{"query", "--kernal", "x", "--kind", "a", "--kind", "b", "-h"}}) {
    const ParseResult result = parse_options(args);
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_NE(std::get<PrintText>(result.value()).text.find("--sample-limit N"),
              std::string::npos);
  }
}

TEST(ParseOptions, GenerateAndConvert) {
  const ParseResult generate =
      parse_options({"generate", "--tiles", "8", "--samples-per-tile=40",
                     "--seed", "7", "-o", "out.zpk", "--clock-hz", "0"});
  const auto& g = std::get<GenerateCommand>(generate.value());
  EXPECT_EQ(g.output, "out.zpk");
  EXPECT_EQ(g.generate.tiles, 8U);
  EXPECT_EQ(g.generate.samples_per_tile, 40U);
  EXPECT_EQ(g.generate.seed, 7U);
  EXPECT_EQ(g.generate.clock_hz, 0U);
  EXPECT_EQ(g.format, zyl_package::ReportFormat::Package);  // by extension
  EXPECT_FALSE(g.compress);  // raw sections, mapped in place, by default

  const ParseResult total =
      parse_options({"generate", "-o", "x.json", "--samples", "1000"});
  zyl_package::GenerateOptions expected = zyl_package::options_for_total(1000);
  expected.model = zyl_package::GenerateModel::BulkSynchronous;
  EXPECT_EQ(std::get<GenerateCommand>(total.value()).generate, expected);

  const ParseResult convert =
      parse_options({"convert", "a.zpk", "b.out", "--to", "zpk"});
  const auto& c = std::get<ConvertCommand>(convert.value());
  EXPECT_EQ(c.input, "a.zpk");
  EXPECT_EQ(c.output, "b.out");
  EXPECT_EQ(c.format, zyl_package::ReportFormat::Package);
  EXPECT_FALSE(c.compress);

  EXPECT_TRUE(
      std::get<GenerateCommand>(
          parse_options({"generate", "-o", "x", "--format=zpk", "--compress"})
              .value())
          .compress);
  EXPECT_TRUE(
      std::get<ConvertCommand>(
          parse_options({"convert", "a", "b.zpk", "--compress"}).value())
          .compress);
}

TEST(ParseOptions, GenerateBulkSynchronousWithPlantedSlowdowns) {
  // Bulk-synchronous unless told otherwise, and --epochs is remembered as
  // given so the command can say what the model made of it.
  // Copies: the parse results are temporaries.
  const GenerateCommand plain = std::get<GenerateCommand>(
      parse_options({"generate", "-o", "x.zpk"}).value());
  EXPECT_EQ(plain.generate.model, zyl_package::GenerateModel::BulkSynchronous);
  EXPECT_FALSE(plain.epochs_given);
  const GenerateCommand older = std::get<GenerateCommand>(
      parse_options({"generate", "-o", "x.zpk", "--model", "independent",
                     "--epochs", "4"})
          .value());
  EXPECT_EQ(older.generate.model, zyl_package::GenerateModel::Independent);
  EXPECT_TRUE(older.epochs_given);

  const ParseResult parsed = parse_options(
      {"generate", "-o", "x.zpk", "--slow", "conv_1=1.12", "--slow=a=b=2",
       "--straggler", "639=1.5", "--straggler", "0=100"});
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  const auto& g = std::get<GenerateCommand>(parsed.value()).generate;
  EXPECT_EQ(g.model, zyl_package::GenerateModel::BulkSynchronous);
  // A kernel name may hold '=': the factor follows the last one.
  const std::vector<std::pair<std::string, double>> slow{{"conv_1", 1.12},
                                                         {"a=b", 2.0}};
  EXPECT_EQ(g.slow_kernels, slow);
  const std::vector<std::pair<std::uint32_t, double>> stragglers{{639, 1.5},
                                                                 {0, 100.0}};
  EXPECT_EQ(g.stragglers, stragglers);

  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string factor =
      "expected a factor from 0.1 to 100 (at most 6 decimals) after '=', ";
  const std::vector<Row> rows{
      {{"--model", "bsp"},
       "--model: expected one of independent, bulk-synchronous, found "
       "'bsp'"},
      {{"--slow", "conv_1=1.5", "--model", "independent"},
       "--slow: only applies to --model bulk-synchronous"},
      {{"--model", "independent", "--straggler", "3=1.5"},
       "--straggler: only applies to --model bulk-synchronous"},
      {{"--model", "bulk-synchronous", "--slow", "conv_1"},
       "--slow: expected KERNEL=FACTOR, found 'conv_1'"},
      {{"--model", "bulk-synchronous", "--slow", "=2"},
       "--slow: expected KERNEL=FACTOR, found '=2'"},
      {{"--model", "bulk-synchronous", "--slow", "conv_1=0"},
       "--slow: " + factor + "found 'conv_1=0'"},
      {{"--model", "bulk-synchronous", "--slow", "conv_1=100.5"},
       "--slow: " + factor + "found 'conv_1=100.5'"},
      {{"--model", "bulk-synchronous", "--slow", "conv_1=-1"},
       "--slow: " + factor + "found 'conv_1=-1'"},
      {{"--model", "bulk-synchronous", "--slow", "conv_1=1e1"},
       "--slow: " + factor + "found 'conv_1=1e1'"},
      {{"--model", "bulk-synchronous", "--slow", "conv_1=1.0000001"},
       "--slow: " + factor + "found 'conv_1=1.0000001'"},
      {{"--model", "bulk-synchronous", "--straggler", "x=2"},
       "--straggler: expected TILE=FACTOR with a tile in 0..4294967295, "
       "found 'x=2'"},
      {{"--model", "bulk-synchronous", "--straggler", "4294967296=2"},
       "--straggler: expected TILE=FACTOR with a tile in 0..4294967295, "
       "found '4294967296=2'"},
      {{"--model", "bulk-synchronous", "--straggler", "3=.5"},
       "--straggler: " + factor + "found '3=.5'"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args{"generate", "-o", "x.zpk"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    SCOPED_TRACE(row.message);
    const ParseResult result = parse_options(args);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, row.message);
  }
}

TEST(ParseOptions, Split) {
  const ParseResult parsed =
      parse_options({"split", "in.json", "-o", "out/run", "--shards", "12",
                     "--compress", "--max-depth", "9"});
  const auto& split = std::get<SplitCommand>(parsed.value());
  EXPECT_EQ(split.input, "in.json");
  EXPECT_EQ(split.prefix, "out/run");
  EXPECT_EQ(split.shards, 12U);
  EXPECT_TRUE(split.compress);
  EXPECT_EQ(split.limits.max_depth, 9U);
  EXPECT_EQ(
      std::get<SplitCommand>(
          parse_options({"split", "a.zpk", "--shards=65536", "--output=p"})
              .value())
          .shards,
      65536U);
  // Both the prefix and the count must be given.
  EXPECT_NE(usage_error({"split", "a.zpk", "-o", "p"}).find("--shards"),
            std::string::npos);
  EXPECT_NE(usage_error({"split", "a.zpk", "--shards", "2"}).find("--output"),
            std::string::npos);
}

void expect_same_selection(const Selection& got, const Selection& want) {
  EXPECT_EQ(got.query, want.query);
  EXPECT_EQ(got.concatenate, want.concatenate);
  EXPECT_EQ(got.limits.max_depth, want.limits.max_depth);
}

// trace, diff, export and phases embed the query's selection, so one command
// line gives the same filters, window and limits everywhere.
TEST(ParseOptions, NewCommandsTakeTheQueryFiltersExactly) {
  const std::vector<std::string> filters{"--kind",
                                         "compute",
                                         "--kernel",
                                         "",
                                         "--operation-contains",
                                         "mat",
                                         "--tile",
                                         "1,3-4",
                                         "--phase",
                                         "2",
                                         "--metadata",
                                         "block=1",
                                         "--at-offset",
                                         "40",
                                         "--from",
                                         "25%",
                                         "--to",
                                         "900",
                                         "--max-depth",
                                         "9"};
  std::vector<std::string> query_args{"query", "r.json"};
  query_args.insert(query_args.end(), filters.begin(), filters.end());
  const QueryCommand query = parse_as<QueryCommand>(query_args);

  std::vector<std::string> trace_args{"trace", "r.json", "-o", "t.json"};
  trace_args.insert(trace_args.end(), filters.begin(), filters.end());
  const TraceCommand trace = parse_as<TraceCommand>(trace_args);
  expect_same_selection(trace.selection, query.selection);
  EXPECT_EQ(trace.selection.limits.max_depth, 9U);
  EXPECT_EQ(trace.output, "t.json");
  EXPECT_EQ(trace.name_by, TraceName::Kernel);

  std::vector<std::string> diff_args{"diff", "a.json", "b.json"};
  diff_args.insert(diff_args.end(), filters.begin(), filters.end());
  const DiffCommand diff = parse_as<DiffCommand>(diff_args);
  expect_same_selection(diff.selection, query.selection);
  EXPECT_EQ(diff.reports,
            (std::vector<std::filesystem::path>{"a.json", "b.json"}));

  std::vector<std::string> export_args{"export", "r.json", "-o", "s.jsonl"};
  export_args.insert(export_args.end(), filters.begin(), filters.end());
  const ExportCommand exported = parse_as<ExportCommand>(export_args);
  expect_same_selection(exported.selection, query.selection);
  EXPECT_EQ(exported.format, ExportFormat::Jsonl);  // by the extension

  std::vector<std::string> phases_args{"phases", "r.json", "--concatenate"};
  phases_args.insert(phases_args.end(), filters.begin(), filters.end());
  const PhasesCommand phases = parse_as<PhasesCommand>(phases_args);
  Selection concatenated = query.selection;
  concatenated.concatenate = true;
  expect_same_selection(phases.selection, concatenated);
}

// phases takes the printing and --threads of query, a --limit of its own
// rows, and none of the options that group, sort or list samples.
TEST(ParseOptions, PhasesOwnOptions) {
  const PhasesCommand plain = parse_as<PhasesCommand>({"phases", "r.json"});
  EXPECT_EQ(plain.printing, Printing{});
  EXPECT_EQ(plain.limit, std::nullopt);
  EXPECT_EQ(plain.selection.query, Query{});
  const PhasesCommand shaped =
      parse_as<PhasesCommand>({"phases", "a.zpk", "b.zpk", "--format=csv",
                               "--limit", "0", "--threads", "3", "--timings"});
  EXPECT_EQ(shaped.reports,
            (std::vector<std::filesystem::path>{"a.zpk", "b.zpk"}));
  EXPECT_EQ(shaped.printing.format, OutputFormat::Csv);
  EXPECT_TRUE(shaped.printing.timings);
  EXPECT_EQ(shaped.limit, 0U);
  EXPECT_EQ(shaped.selection.threads, 3U);

  struct Row {
    Args args;
    std::string message;
  };
  const std::vector<Row> rows{
      {{"phases"}, "REPORT is required"},
      {{"phases", "r", "--group-by", "tile"},
       "unknown option '--group-by' for phases"},
      {{"phases", "r", "--sort-by", "name"},
       "unknown option '--sort-by' for phases"},
      {{"phases", "r", "--sample-limit", "3"},
       "unknown option '--sample-limit' for phases"},
      {{"phases", "r", "--metadata-key", "k"},
       "unknown option '--metadata-key' for phases"},
      {{"phases", "r", "--wide", "--format", "json"},
       "--wide: only applies to --format table"},
      {{"phases", "r", "--format", "xml"}, "--format: expected one of"},
      {{"phases", "r", "--limit", "-1"}, "--limit:"},
      {{"phases", "r", "--limit", "2", "--limit", "3"},
       "--limit: given more than once"},
  };
  for (const Row& row : rows) {
    EXPECT_NE(usage_error(row.args).find(row.message), std::string::npos)
        << usage_error(row.args);
  }
}

TEST(ParseOptions, NewCommandsOwnOptions) {
  const TraceCommand trace =
      parse_as<TraceCommand>({"trace", "r.json", "--output=t.json", "--name-by",
                              "kind", "--minimal-args"});
  EXPECT_EQ(trace.name_by, TraceName::Kind);
  EXPECT_EQ(trace.args, TraceArgs::None);
  EXPECT_EQ(parse_as<TraceCommand>({"trace", "r.json", "-o", "t.json"}).args,
            TraceArgs::Full);
  EXPECT_EQ(parse_as<TraceCommand>(
                {"trace", "r.json", "-o", "t.json", "--args", "minimal"})
                .args,
            TraceArgs::Minimal);
  const DiffCommand diff = parse_as<DiffCommand>(
      {"diff", "a.json", "b.json", "--group-by", "tile", "--limit", "4",
       "--format", "csv", "--threads", "2", "--fail-above", "2.5%"});
  EXPECT_EQ(diff.selection.query.group_by, GroupBy::Tile);
  // The limit cuts the joined rows, so neither side's query has one.
  EXPECT_EQ(diff.selection.query.limit, std::nullopt);
  EXPECT_EQ(diff.diff.limit, 4U);
  EXPECT_EQ(diff.printing.format, OutputFormat::Csv);
  EXPECT_EQ(diff.selection.threads, 2U);
  EXPECT_EQ(diff.diff.fail_above, (Percentage{25, 10}));
  EXPECT_EQ(diff.diff.order, DiffOrder::AbsoluteChange);
  EXPECT_EQ(diff.diff.show, DiffShow::All);
  const DiffCommand ordered =
      parse_as<DiffCommand>({"diff", "a", "b", "--sort-by", "relative",
                             "--only", "improvements", "--fail-above", "0"});
  EXPECT_EQ(ordered.diff.order, DiffOrder::RelativeChange);
  EXPECT_EQ(ordered.diff.show, DiffShow::Improvements);
  EXPECT_EQ(ordered.diff.fail_above, (Percentage{0, 1}));
  EXPECT_EQ(parse_as<ExportCommand>(
                {"export", "r.json", "-o", "samples", "--format", "jsonl"})
                .format,
            ExportFormat::Jsonl);
  EXPECT_EQ(parse_as<ExportCommand>({"export", "r.json", "-o", "s.CSV"}).format,
            ExportFormat::Csv);

  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Row> rows{
      {{"trace", "r.json"}, "--output is required"},
      {{"trace", "r.json", "-o", "t", "--name-by", "tile"},
       "--name-by: expected one of kernel, operation, kind, found 'tile'"},
      {{"trace", "r.json", "-o", "t", "--sort-by", "name"},
       "unknown option '--sort-by' for trace"},
      {{"diff", "a.json"}, "expected two reports to compare, found 1"},
      {{"diff", "a", "b", "--sample-limit", "3"},
       "unknown option '--sample-limit' for diff"},
      {{"diff", "a", "b", "--fail-above", "-1"},
       "--fail-above: expected a percentage such as 10 or 2.5 (at most 6 "
       "decimals), found '-1'"},
      {{"diff", "a", "b", "--fail-above", ".5"},
       "--fail-above: expected a percentage such as 10 or 2.5 (at most 6 "
       "decimals), found '.5'"},
      {{"export", "r.json", "-o", ""},
       "--output: expected a file name, found ''"},
      {{"export", "r.json", "-o", "x", "--kind", "a", "--kind", "b"},
       "--kind: given more than once"},
  };
  for (const Row& row : rows) {
    const ParseResult result = parse_options(row.args);
    ASSERT_FALSE(result.ok()) << row.args[0] << " " << row.message;
    EXPECT_NE(result.error().message.find(row.message), std::string::npos)
        << result.error().message;
  }
}

// A page holds a bounded number of groups, and shows the command line that
// made it as given.
TEST(ParseOptions, ReportBoundsItsGroupsAndKeepsTheCommandLine) {
  const Args args{"report",  "base.zpk", "new.zpk", "--kind",
                  "compute", "-o",       "Run.HTM"};
  const PageCommand compared = parse_as<PageCommand>(args);
  EXPECT_EQ(compared.reports,
            (std::vector<std::filesystem::path>{"base.zpk", "new.zpk"}));
  EXPECT_EQ(compared.output, "Run.HTM");
  EXPECT_EQ(compared.selection.query.limit, kDefaultPageGroups);
  EXPECT_EQ(compared.selection.query.kind, StepKind::Compute);
  EXPECT_EQ(compared.arguments, args);
  EXPECT_EQ(parse_as<PageCommand>({"report", "r.zpk", "-o", "page", "--limit",
                                   "500", "--group-by", "tile"})
                .selection.query.limit,
            kMaxPageGroups);
  EXPECT_EQ(usage_error({"report", "r.zpk", "-o", "p.html", "--limit", "0"}),
            "--limit: expected an integer in 1..500 (the groups a page "
            "holds), found '0'");
  EXPECT_EQ(usage_error({"report", "r.zpk", "-o", "p.json"}),
            "report cannot write a .json file ('p.json'): it writes .html or "
            ".htm");
  EXPECT_NE(usage_error({"report", "r.zpk"}).find("--output"),
            std::string::npos);
}

// serve listens on this machine alone unless --host says otherwise, and
// takes no query options: those come with each request.
TEST(ParseOptions, ServeListensLocallyUnlessTold) {
  const ServeCommand local = parse_as<ServeCommand>({"serve", "r.zpk"});
  EXPECT_EQ(local.host, "127.0.0.1");
  EXPECT_FALSE(local.host_given);
  EXPECT_EQ(local.port, 0);
  const ServeCommand open = parse_as<ServeCommand>(
      {"serve", "b-0.zpk", "b-1.zpk", "new.zpk", "--host", "0.0.0.0", "--port",
       "8080", "--threads", "2"});
  EXPECT_EQ(open.reports.size(), 3U);
  EXPECT_TRUE(open.host_given);
  EXPECT_EQ(open.port, 8080);
  EXPECT_EQ(open.threads, 2U);
  EXPECT_EQ(usage_error({"serve", "r.zpk", "--port", "65536"}),
            "--port: expected an integer in 0..65535, found '65536'");
  EXPECT_EQ(usage_error({"serve", "r.zpk", "--host="}),
            "--host: expected an address");
  EXPECT_NE(usage_error({"serve", "r.zpk", "--kind", "compute"})
                .find("unknown option '--kind'"),
            std::string::npos);
  EXPECT_NE(usage_error({"serve"}).find("REPORT"), std::string::npos);
}

TEST(ParseOptions, HelpDefinesTheMeasures) {
  for (const char* command : {"query", "diff"}) {
    const ParseResult result = parse_options({command, "--help"});
    const std::string& text = std::get<PrintText>(result.value()).text;
    for (const char* term :
         {"Phase cycles:", "Work cycles:", "Average active tiles:"}) {
      EXPECT_NE(text.find(term), std::string::npos) << command << ": " << term;
    }
  }
}

}  // namespace
}  // namespace zyl_profile::cli
