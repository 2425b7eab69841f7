// The values options take, read through parse_options: numbers are strict
// decimal, byte counts, time bounds, LISTs and metadata filters read as
// documented, and a bad value is refused saying what was expected.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "options.h"

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
  return std::get<QueryCommand>(result.value());
}

TEST(OptionValues, EmptyKernelIsAFilterNotAnAbsentOne) {
  EXPECT_EQ(parse_query({"r.json", "--kernel", ""}).selection.query.kernel,
            std::optional<std::string>(""));
  EXPECT_EQ(parse_query({"--kernel=", "r.json"}).selection.query.kernel,
            std::optional<std::string>(""));
}

TEST(OptionValues, MetadataNameAloneDiffersFromNameWithEmptyValue) {
  const QueryCommand command =
      parse_query({"r.json", "--metadata", "block", "--metadata",
                   "block=", "--metadata=layer=a=b", "--metadata", "=x"});
  const std::vector<MetadataFilter> expected{
      {"block", std::nullopt}, {"block", ""}, {"layer", "a=b"}, {"", "x"}};
  EXPECT_EQ(command.selection.query.metadata, expected);
}

TEST(OptionValues, TimeBoundsTakeCyclesOrPercentages) {
  const QueryCommand command =
      parse_query({"r.json", "--from", "25%", "--to", "12000"});
  const Query& q = command.selection.query;
  ASSERT_TRUE(q.from_offset && q.to_offset);
  EXPECT_EQ(q.from_offset->in_cycles(1000), 250U);
  EXPECT_EQ(q.to_offset->in_cycles(1000), 12000U);
  const Query fine = parse_query({"r.json", "--from", "12.5%"}).selection.query;
  ASSERT_TRUE(fine.from_offset);
  EXPECT_EQ(fine.from_offset->in_cycles(1000), 125U);
  EXPECT_EQ(fine.from_offset->in_cycles(18446744073709551615ULL),
            2305843009213693951ULL);  // rounded down, no overflow
  const Query whole = parse_query({"r.json", "--to", "100%"}).selection.query;
  EXPECT_EQ(whole.to_offset->in_cycles(18446744073709551615ULL),
            18446744073709551615ULL);
}

TEST(OptionValues, AtOffsetTakesAPercentageLikeTheWindow) {
  const QueryCommand command =
      parse_query({"r.json", "--at-offset", "50%", "--from", "10"});
  const Query& q = command.selection.query;
  ASSERT_TRUE(q.at_offset.has_value());
  EXPECT_EQ(q.at_offset->in_cycles(3001), 1500U);
  EXPECT_EQ(q.from_offset, std::optional<TimeBound>(10U));
}

TEST(ParseLists, MergesRangesAndRepeats) {
  const auto numbers = parse_lists("--tile", {"5,1-3", "2-4,4294967295"});
  ASSERT_TRUE(numbers.ok());
  EXPECT_EQ(numbers.value(),
            (std::set<std::uint32_t>{1, 2, 3, 4, 5, 4294967295U}));
  // Overlapping ranges count once: exactly the cap is allowed.
  const auto capped = parse_lists("--tile", {"0-999999", "0-999999"});
  ASSERT_TRUE(capped.ok());
  EXPECT_EQ(capped.value().size(), 1'000'000U);
}

// Numbers are decimal whatever their leading zeros, and 0 keeps its
// documented meanings: no samples listed, and the hardware's thread count.
TEST(OptionValues, NumbersAreDecimal) {
  const QueryCommand query = parse_query(
      {"r.json", "--limit", "010", "--sample-limit", "00", "--threads", "0",
       "--max-depth", "010", "--at-offset", "010", "--max-memory", "010K"});
  EXPECT_EQ(query.selection.query.limit, 10U);
  EXPECT_EQ(query.selection.query.sample_limit, 0U);
  EXPECT_EQ(query.selection.threads, 0U);
  EXPECT_EQ(query.selection.limits.max_depth, 10U);
  EXPECT_EQ(query.selection.query.at_offset, std::optional<TimeBound>(10U));
  EXPECT_EQ(query.selection.limits.max_memory_bytes, 10U << 10);
  EXPECT_EQ(std::get<SplitCommand>(
                parse_options({"split", "a.zpk", "-o", "p", "--shards", "010"})
                    .value())
                .shards,
            10U);
}

TEST(OptionValues, BadValuesSayWhatWasExpected) {
  struct Row {
    Args args;
    std::string expected;
  };
  const std::vector<Row> rows{
      {{"query", "r.json", "--at-offset", "50.5.5%"},
       "--at-offset: expected a cycle count or a percentage from 0% to 100% "
       "with at most 6 decimals, found '50.5.5%'"},
      {{"query", "r.json", "--limit", "-1"},
       "--limit: expected an integer in 0..18446744073709551615, found '-1'"},
      {{"query", "r.json", "--limit", "18446744073709551616"},
       "--limit: expected an integer in 0..18446744073709551615, found "
       "'18446744073709551616'"},
      {{"query", "r.json", "--limit", "+3"},
       "--limit: expected an integer in 0..18446744073709551615, found '+3'"},
      {{"query", "r.json", "--at-offset", "1e3"},
       "--at-offset: expected an integer in 0..18446744073709551615, found "
       "'1e3'"},
      {{"query", "r.json", "--group-by", "Kernel"},
       "--group-by: expected one of kind, kernel, operation, phase, tile, "
       "metadata, found 'Kernel'"},
      {{"query", "r.json", "--kind", "gpu"},
       "--kind: expected one of exchange, compute, synchronization, idle, "
       "found 'gpu'"},
      {{"query", "r.json", "--sort-by", "phase_cycles"},
       "--sort-by: expected one of phase-cycles, work-cycles, maximum-cycles, "
       "samples, name, found 'phase_cycles'"},
      {{"query", "r.json", "--format", "xml"},
       "--format: expected one of table, json, csv, found 'xml'"},
      {{"query", "r.json", "--tile", "5-3"},
       "--tile: range '5-3' starts after it ends"},
      {{"query", "r.json", "--tile", "1,,2"},
       "--tile: expected a number in 0..4294967295 or a range A-B in LIST "
       "'1,,2', found ''"},
      {{"query", "r.json", "--phase", "4294967296"},
       "--phase: expected a number in 0..4294967295 or a range A-B in LIST "
       "'4294967296', found '4294967296'"},
      {{"query", "r.json", "--tile", "0-1000000"},
       "--tile: the lists hold 1000001 numbers, more than the 1000000 "
       "allowed"},
      {{"query", "r.json", "--tile", "0-600000", "--tile", "600001-1200000"},
       "--tile: the lists hold 1200001 numbers, more than the 1000000 "
       "allowed"},
      {{"query", "r.json", "--from", "101%"},
       "--from: expected a cycle count or a percentage from 0% to 100% with "
       "at most 6 decimals, found '101%'"},
      {{"query", "r.json", "--to", ".5%"},
       "--to: expected a cycle count or a percentage from 0% to 100% with at "
       "most 6 decimals, found '.5%'"},
      {{"query", "r.json", "--threads", "1025"},
       "--threads: expected an integer in 0..1024, found '1025'"},
      {{"query", "r.json", "--limit", "0x10"},
       "--limit: expected an integer in 0..18446744073709551615, found "
       "'0x10'"},
      // A choice is its name, never the number behind it.
      {{"query", "r.json", "--group-by", "1"},
       "--group-by: expected one of kind, kernel, operation, phase, tile, "
       "metadata, found '1'"},
      {{"query", "r.json", "--max-file-size", "12X"},
       "--max-file-size: expected a byte count (digits, optionally followed "
       "by K, M, G or T), found '12X'"},
      // A limit of nothing would refuse every report.
      {{"query", "r.json", "--max-memory", "0"},
       "--max-memory: expected a byte count of at least 1, found '0'"},
      {{"convert", "a", "b.zpk", "--max-string", "0K"},
       "--max-string: expected a byte count of at least 1, found '0K'"},
      {{"query", "r.json", "--max-depth", "0"},
       "--max-depth: expected an integer in 1..4294967295, found '0'"},
      // The generator would turn these into other values without a word.
      {{"generate", "-o", "x.json", "--phases", "0"},
       "--phases: expected an integer in 1..1048576, found '0'"},
      {{"generate", "-o", "x.json", "--kernels", "1048577"},
       "--kernels: expected an integer in 0..1048576, found '1048577'"},
      {{"generate", "-o", "x.json", "--tiles", "4294967296"},
       "--tiles: expected an integer in 0..4294967295, found '4294967296'"},
      {{"convert", "in.json", "out.bin", "--to", "yaml"},
       "--to: expected one of json, zpk, found 'yaml'"},
      {{"diff", "a", "b", "--only", "worse"},
       "--only: expected one of regressions, improvements, found 'worse'"},
      {{"diff", "a", "b", "--sort-by", "name"},
       "--sort-by: expected one of absolute, relative, found 'name'"},
      {{"split", "r.zpk", "-o", "s", "--shards", "0"},
       "--shards: expected an integer in 1..65536, found '0'"},
      {{"split", "r.zpk", "-o", "s", "--shards", "65537"},
       "--shards: expected an integer in 1..65536, found '65537'"},
  };
  for (const Row& row : rows) {
    std::string joined;
    for (const std::string& arg : row.args) joined += "[" + arg + "] ";
    SCOPED_TRACE(joined);
    const ParseResult result = parse_options(row.args);
    EXPECT_EQ(result.ok() ? "<no error>" : result.error().message,
              row.expected);
  }
}

}  // namespace
}  // namespace zyl_profile::cli
