// The report page: shares quantised so a busy cell never reads as empty nor
// a gap as full, hostile names that cannot end the data's <script> element,
// names cut at a character boundary, the command line as a shell reads it,
// the phase balance cut to the top pairs yet counting them all, and a
// comparison carrying both maps and the joined rows.
#include "page.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "page_check.h"
#include "zyl_package/report_io.h"

namespace zyl_profile::cli {
namespace {

CycleSample make_sample(ProfileStepKind kind, std::uint32_t start,
                        std::uint32_t end, std::string kernel = "k") {
  CycleSample sample;
  sample.start_cycle = start;
  sample.end_cycle = end;
  sample.step.kind = kind;
  sample.step.kernel = std::move(kernel);
  return sample;
}

PageProfile page_profile(const ProfileReport& report, OccupancyOptions bins,
                         const Query& query = {}) {
  const ProfileColumns columns = zyl_package::to_columns(report);
  return PageProfile{"run.json", zyl_profile::query(columns, query),
                     occupancy(columns, query, bins),
                     phase_balance(columns, query)};
}

std::vector<std::uint8_t> base64_bytes(std::string_view text) {
  constexpr std::string_view kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<std::uint32_t>(kDigits.find(c));
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<std::uint8_t>((bits >> held) & 0xFF));
    }
  }
  return bytes;
}

// The page's data block, parsed.
struct ParsedData {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
};

void parse_data(const std::string& json, ParsedData& out) {
  ASSERT_EQ(json.find('<'), std::string::npos);
  ASSERT_EQ(out.parser.parse(json).get(out.root), simdjson::SUCCESS) << json;
}

// The first profile's first group name and top phase's slowest kernel, as
// the page's data carries them; "(missing)" for one it lacks.
std::pair<std::string, std::string> first_names(const ParsedData& data) {
  std::string_view name;
  std::string_view kernel;
  const bool has_name = data.root["profiles"].at(0)["groups"].at(0)["name"].get(
                            name) == simdjson::SUCCESS;
  const bool has_kernel = data.root["profiles"]
                              .at(0)["phase_balance"]["rows"]
                              .at(0)["slowest_kernel"]
                              .get(kernel) == simdjson::SUCCESS;
  return {has_name ? std::string(name) : "(missing)",
          has_kernel ? std::string(kernel) : "(missing)"};
}

TEST(PageData, SharesNeverCallABusyCellEmptyNorAGapFull) {
  using K = ProfileStepKind;
  struct Row {
    std::string_view what;
    std::vector<std::vector<CycleSample>> tiles;  // all in one map cell
    std::array<int, 4> bytes;  // exchange, compute, synchronization, idle
    double scale;
  };
  const std::vector<Row> rows = {
      {"one cycle of a thousand still shows",
       {{make_sample(K::Compute, 0, 1), make_sample(K::Idle, 1, 1000)}},
       {0, 1, 0, 254},
       1.0},
      {"a cell busy throughout is full",
       {{make_sample(K::Compute, 0, 1000)}},
       {0, 255, 0, 0},
       1.0},
      {"shares are of every tile of the row",
       {{make_sample(K::Compute, 0, 500), make_sample(K::Exchange, 500, 1000)},
        {make_sample(K::Synchronization, 0, 1000)}},
       {64, 64, 128, 0},
       1.0},
      {"samples side by side widen the scale",
       {{make_sample(K::Compute, 0, 1000), make_sample(K::Compute, 0, 1000)}},
       {0, 255, 0, 0},
       2.0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ProfileReport report;
    std::uint32_t tile = 0;
    for (const auto& samples : row.tiles) {
      report.tiles.push_back(TileProfile{tile++, samples});
    }
    PageInput input;
    input.profiles.push_back(page_profile(report, {1, 1}));
    ParsedData data;
    parse_data(page_data_json(input), data);
    double scale = 0.0;
    ASSERT_EQ(data.root["share_scale"].get(scale), simdjson::SUCCESS);
    EXPECT_EQ(scale, row.scale);
    std::string_view shares;
    ASSERT_EQ(data.root["profiles"].at(0)["map"]["shares"].get(shares),
              simdjson::SUCCESS);
    const std::vector<std::uint8_t> bytes = base64_bytes(shares);
    ASSERT_EQ(bytes.size(), 4U);
    for (std::size_t kind = 0; kind < 4; ++kind) {
      EXPECT_EQ(bytes[kind], row.bytes[kind]) << "kind " << kind;
    }
  }
}

TEST(RenderPage, HostileNamesStayInsideTheDataBlock) {
  const std::string hostile = "</script><script>alert(1)</script><!--";
  ProfileReport report;
  report.tiles.push_back(
      TileProfile{0, {make_sample(ProfileStepKind::Compute, 0, 10, hostile)}});
  PageInput input;
  input.command_line = command_line_text({"report", hostile, "-o", "x.html"});
  input.profiles.push_back(page_profile(report, kPageBins));
  input.profiles.front().label = hostile;
  const std::string page = render_page(input);

  const auto checked = check_page(page);
  ASSERT_TRUE(std::holds_alternative<PageSummary>(checked))
      << std::get<std::string>(checked);
  EXPECT_EQ(std::get<PageSummary>(checked).groups, 1U);
  ParsedData data;
  parse_data(page_data_json(input), data);
  const auto [name, kernel] = first_names(data);
  EXPECT_EQ(name, hostile);
  EXPECT_EQ(kernel, hostile);
  // The title is HTML, so the label is escaped there.
  EXPECT_NE(page.find("<title>zyl-profile report: &lt;/script&gt;"),
            std::string::npos);
}

// Names are cut by the bytes they take in the page, escapes included, and
// never inside a character.
TEST(PageData, LongNamesAreCutAtACharacterBoundary) {
  // `before` then `piece` `times` over; appended rather than `"a" + text`,
  // which GCC 12 warns of falsely (-Wrestrict) once inlined.
  const auto repeated = [](std::string_view piece, std::size_t times,
                           std::string_view before = "") {
    std::string text(before);
    for (std::size_t i = 0; i < times; ++i) text += piece;
    return text;
  };
  struct Row {
    std::string_view what;
    std::string name;
    std::string kept;
  };
  const std::vector<Row> rows = {
      {"two-byte characters", repeated("\xc3\xa9", 200),
       repeated("\xc3\xa9", kMaxPageText / 2)},
      {"a three-byte character across the limit",
       repeated("\xe2\x82\xac", 60, "a"), repeated("\xe2\x82\xac", 53, "a")},
      {"control characters take six bytes each", repeated("\x1b", 100),
       repeated("\x1b", kMaxPageText / 6)},
      {"short names stay whole", "softmax_2", "softmax_2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ProfileReport report;
    report.tiles.push_back(TileProfile{
        0, {make_sample(ProfileStepKind::Compute, 0, 10, row.name)}});
    PageInput input;
    input.profiles.push_back(page_profile(report, kPageBins));
    ParsedData data;
    parse_data(page_data_json(input), data);
    const auto [name, kernel] = first_names(data);
    const bool cut = row.kept != row.name;
    EXPECT_EQ(name, cut ? row.kept + "\xe2\x80\xa6" : row.kept);
    EXPECT_EQ(kernel, name);
  }
}

// The page lists the pairs waited for most, in the library's order, and
// still counts every pair and every tile-cycle of wait, so its heading's
// share is the whole profile's and not the listed rows'.
TEST(PageData, PhaseBalanceListsTheTopPairsAndCountsThemAll) {
  using K = ProfileStepKind;
  constexpr std::uint32_t kPhases = kPagePhaseRows + 3;
  ProfileReport report;
  report.tiles.push_back(TileProfile{10, {}});
  report.tiles.push_back(TileProfile{11, {}});
  // Phase p: tile 10 computes 10 cycles, tile 11 computes 11 + p under its
  // own kernel, so tile 10 idles behind it 1 + p cycles, the later phases
  // the longest.
  for (std::uint32_t p = 0; p < kPhases; ++p) {
    const std::uint32_t start = p * 100;
    CycleSample even = make_sample(K::Compute, start, start + 10, "even");
    CycleSample slow = make_sample(K::Compute, start, start + 11 + p,
                                   "slow_" + std::to_string(p));
    even.step.phase = slow.step.phase = p;
    report.tiles[0].samples.push_back(even);
    report.tiles[1].samples.push_back(slow);
  }
  PageInput input;
  input.profiles.push_back(page_profile(report, kPageBins));
  ParsedData data;
  parse_data(page_data_json(input), data);
  simdjson::dom::element balance;
  ASSERT_EQ(data.root["profiles"].at(0)["phase_balance"].get(balance),
            simdjson::SUCCESS);
  std::uint64_t row_count = 0;
  ASSERT_EQ(balance["row_count"].get(row_count), simdjson::SUCCESS);
  EXPECT_EQ(row_count, kPhases);
  simdjson::dom::array rows;
  ASSERT_EQ(balance["rows"].get(rows), simdjson::SUCCESS);
  ASSERT_EQ(rows.size(), kPagePhaseRows);

  struct Expected {
    std::size_t rank;
    std::uint64_t phase;
    std::string_view kernel;
    std::uint64_t wait;
  };
  const std::string first_kernel = "slow_" + std::to_string(kPhases - 1);
  for (const Expected& expected :
       {Expected{0, kPhases - 1, first_kernel, kPhases},
        Expected{kPagePhaseRows - 1, 3, "slow_3", 4}}) {
    SCOPED_TRACE(expected.rank);
    simdjson::dom::element row = rows.at(expected.rank);
    std::uint64_t phase = 0;
    std::uint64_t tile = 0;
    std::uint64_t wait = 0;
    std::string_view kernel;
    std::string_view measure;
    ASSERT_EQ(row["phase"].get(phase), simdjson::SUCCESS);
    ASSERT_EQ(row["slowest_tile"].get(tile), simdjson::SUCCESS);
    ASSERT_EQ(row["slowest_kernel"].get(kernel), simdjson::SUCCESS);
    ASSERT_EQ(row["wait_cycles"].get(wait), simdjson::SUCCESS);
    ASSERT_EQ(row["wait_measure"].get(measure), simdjson::SUCCESS);
    EXPECT_EQ(phase, expected.phase);
    EXPECT_EQ(tile, 11U);  // the physical tile, not its position
    EXPECT_EQ(kernel, expected.kernel);
    EXPECT_EQ(wait, expected.wait);
    EXPECT_EQ(measure, "imbalance");
  }
  // Every pair's wait, 1 + 2 + ... + 23, of every pair's tile-cycles.
  std::uint64_t wait = 0;
  std::uint64_t tile_cycles = 0;
  double share = 0.0;
  ASSERT_EQ(balance["totals"]["wait_cycles"].get(wait), simdjson::SUCCESS);
  ASSERT_EQ(balance["totals"]["tile_cycles"].get(tile_cycles),
            simdjson::SUCCESS);
  ASSERT_EQ(balance["totals"]["wait_share"].get(share), simdjson::SUCCESS);
  EXPECT_EQ(wait, kPhases * (kPhases + 1) / 2);
  EXPECT_DOUBLE_EQ(
      share, static_cast<double>(wait) / static_cast<double>(tile_cycles));

  const auto checked = check_page(render_page(input));
  ASSERT_TRUE(std::holds_alternative<PageSummary>(checked))
      << std::get<std::string>(checked);
  EXPECT_EQ(std::get<PageSummary>(checked).phase_rows, kPagePhaseRows);
  EXPECT_EQ(std::get<PageSummary>(checked).phase_row_count, kPhases);
}

TEST(CommandLineText, QuotesWhatAShellWouldSplit) {
  struct Row {
    std::vector<std::string> arguments;
    std::string_view expected;
  };
  const std::vector<Row> rows = {
      {{"report", "run.zpk", "--from", "10%", "-o", "a/b.html"},
       "zyl-profile report run.zpk --from 10% -o a/b.html"},
      {{"report", "my run.zpk", "--kernel", ""},
       "zyl-profile report 'my run.zpk' --kernel ''"},
      {{"report", "it's", "--metadata", "a=$HOME"},
       "zyl-profile report 'it'\\''s' --metadata 'a=$HOME'"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(command_line_text(row.arguments), row.expected);
  }
}

TEST(RenderPage, ComparisonCarriesBothMapsAndTheJoinedRows) {
  using K = ProfileStepKind;
  ProfileReport base;
  base.tiles.push_back(TileProfile{
      0, {make_sample(K::Compute, 0, 10, "a"), make_sample(K::Idle, 10, 20)}});
  ProfileReport next;
  next.tiles.push_back(TileProfile{0,
                                   {make_sample(K::Compute, 0, 30, "a"),
                                    make_sample(K::Exchange, 30, 40, "b")}});
  PageInput input;
  input.profiles.push_back(page_profile(base, kComparedPageBins));
  input.profiles.push_back(page_profile(next, kComparedPageBins));
  input.diff = diff_results(input.profiles[0].result, input.profiles[1].result,
                            DiffOptions{});
  // As run_page leaves them: a comparison compares groups, not supersteps.
  for (PageProfile& profile : input.profiles) profile.phases.reset();
  const auto checked = check_page(render_page(input));
  ASSERT_TRUE(std::holds_alternative<PageSummary>(checked))
      << std::get<std::string>(checked);
  const PageSummary& page = std::get<PageSummary>(checked);
  ASSERT_EQ(page.maps.size(), 2U);
  EXPECT_EQ(page.maps[0].rows, 1U);
  EXPECT_EQ(page.maps[1].columns, 40U);  // a column is a cycle at least
  EXPECT_EQ(page.diff_rows, 3U);         // a, b and the idle samples' "k"
  EXPECT_EQ(page.phase_row_count, 0U);
}

}  // namespace
}  // namespace zyl_profile::cli
