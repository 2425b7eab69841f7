// The printers of a phase balance: the JSON and CSV that scripts read field
// for field, and the table's rows, cap and closing line.
#include "phases.h"

#include <gtest/gtest.h>

#include <string>

namespace zyl_profile::cli {
namespace {

PhaseRow make_row(std::uint32_t phase, std::uint32_t epoch,
                  std::uint32_t slowest_tile, std::string kernel,
                  std::uint64_t wait, WaitMeasure measure) {
  PhaseRow row;
  row.phase = phase;
  row.epoch = epoch;
  row.start = 100;
  row.end = 1100;
  row.span = 1000;
  row.tiles = 4;
  row.compute_cycles = 2500;
  row.exchange_cycles = 500;
  row.synchronization_cycles = 700;
  row.idle_cycles = 3;
  row.busy_cycles = 3000;
  row.slowest_tile = slowest_tile;
  row.slowest_busy_cycles = 1000;
  row.slowest_kernel = std::move(kernel);
  row.mean_busy_cycles = 750.0;
  row.median_busy_cycles = 600;
  row.wait_cycles = wait;
  row.wait_measure = measure;
  return row;
}

PhaseBalance small_balance() {
  PhaseBalance balance;
  balance.clock_hz = 1000000000;
  balance.matched_sample_count = 12;
  balance.rows.push_back(make_row(2, 1, 7, "mat\"mul", 18446744073709551615ULL,
                                  WaitMeasure::Synchronization));
  balance.rows.push_back(make_row(0, 0, 3, "", 1000, WaitMeasure::Imbalance));
  balance.totals = {1200, 6000, 8000};
  return balance;
}

TEST(AppendPhasesJson, WritesEveryFieldInOrderWithExactNumbers) {
  PhaseBalance balance = small_balance();
  balance.rows.pop_back();
  std::string out;
  append_phases_json(balance, 0, out);
  EXPECT_EQ(out, R"({
  "clock_hz": 1000000000,
  "matched_sample_count": 12,
  "row_count": 1,
  "rows": [
    {
      "phase": 2,
      "epoch": 1,
      "start": 100,
      "end": 1100,
      "span": 1000,
      "tiles": 4,
      "compute_cycles": 2500,
      "exchange_cycles": 500,
      "synchronization_cycles": 700,
      "idle_cycles": 3,
      "busy_cycles": 3000,
      "slowest_tile": 7,
      "slowest_busy_cycles": 1000,
      "slowest_kernel": "mat\"mul",
      "mean_busy_cycles": 750,
      "median_busy_cycles": 600,
      "wait_cycles": 18446744073709551615,
      "wait_measure": "synchronization"
    }
  ],
  "totals": {
    "wait_cycles": 1200,
    "busy_cycles": 6000,
    "tile_cycles": 8000,
    "wait_share": 0.15
  }
}
)");
}

TEST(AppendPhasesJson, LimitCutsTheRowsButNotTheCountOrTotals) {
  std::string out;
  append_phases_json(small_balance(), 1, out);
  EXPECT_NE(out.find("\"row_count\": 2,"), std::string::npos);
  EXPECT_NE(out.find("\"phase\": 2,"), std::string::npos);
  EXPECT_EQ(out.find("\"phase\": 0,"), std::string::npos);
  EXPECT_NE(out.find("\"wait_cycles\": 1200,"), std::string::npos);
}

TEST(AppendPhasesCsv, HeaderThenOneQuotedRowPerPhase) {
  std::string out;
  append_phases_csv(small_balance(), 0, out);
  EXPECT_EQ(out,
            "phase,epoch,start,end,span,tiles,compute_cycles,exchange_cycles,"
            "synchronization_cycles,idle_cycles,busy_cycles,slowest_tile,"
            "slowest_busy_cycles,slowest_kernel,mean_busy_cycles,"
            "median_busy_cycles,wait_cycles,wait_measure\r\n"
            "2,1,100,1100,1000,4,2500,500,700,3,3000,7,1000,\"mat\"\"mul\",750,"
            "600,18446744073709551615,synchronization\r\n"
            "0,0,100,1100,1000,4,2500,500,700,3,3000,3,1000,\"\",750,600,1000,"
            "imbalance\r\n");
}

TEST(AppendPhasesTable, RowsInOrderThenTheShareWaitedAndTheSlowestTiles) {
  std::string out;
  append_phases_table(small_balance(), 0, out, 0);
  EXPECT_EQ(out,
            "12 matched samples in 2 phase-epoch pairs\n\n"
            "phase  epoch   span  tiles  slowest tile  slowest kernel  "
            "slowest busy  median busy  mean busy                        wait"
            "  measure\n"
            "    2      1  1,000      4             7  mat\"mul                "
            "1,000          600      750.0  18,446,744,073,709,551,615  sync\n"
            "    0      0  1,000      4             3  (no compute)           "
            "1,000          600      750.0                       1,000  "
            "imbalance\n\n"
            "phases waited 15.0% of tile-cycles; the top 2 phases' slowest "
            "tiles: 7 (phase 2 epoch 1, kernel mat\"mul), 3 (phase 0 epoch 0, "
            "kernel (no compute))\n");
}

TEST(AppendPhasesTable, CapsRowsAndHandlesNoTileCyclesAndNoRows) {
  PhaseBalance balance = small_balance();
  balance.totals = {};
  std::string out;
  append_phases_table(balance, 1, out, 0);
  EXPECT_NE(out.find("(1 more phase-epoch pairs not listed; --limit 0 lists "
                     "all)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("    0      0"), std::string::npos) << out;
  // The summary still names the phases the whole answer ranks first.
  EXPECT_NE(out.find("phases waited 0.0% of tile-cycles; the top 2 phases'"),
            std::string::npos)
      << out;

  balance.rows.resize(1);
  out.clear();
  append_phases_table(balance, 0, out, 0);
  EXPECT_NE(out.find("the top phase's slowest tile: 7 (phase 2 epoch 1, "),
            std::string::npos)
      << out;

  out.clear();
  append_phases_table(PhaseBalance{}, 0, out, 0);
  EXPECT_EQ(out,
            "0 matched samples in 0 phase-epoch pairs\n\nno matching "
            "samples\n");
}

TEST(AppendPhasesTable, EscapesKernelNamesForTheTerminal) {
  PhaseBalance balance = small_balance();
  balance.rows[0].slowest_kernel = "k\x1b[2J";
  std::string out;
  append_phases_table(balance, 0, out, 0);
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace zyl_profile::cli
