// Fuzzes the phase balance: decodes a report and a query as fuzz_query
// does, and checks the balance over columns, on one to three threads and
// through a set, against the invariants of its rows and the reference model.
#include <cstddef>
#include <cstdint>
#include <tuple>

#include "fuzz_input.h"
#include "fuzz_profile_input.h"
#include "reference_phase_balance.h"
#include "zyl_package/profile_columns.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/profile_set.h"

namespace {

using namespace zyl_profile;

// What holds for any answer, whatever the profile.
void check_invariants(const PhaseBalance& balance) {
  PhaseTotals totals;
  std::size_t tiles = 0;
  for (std::size_t i = 0; i < balance.rows.size(); ++i) {
    const PhaseRow& row = balance.rows[i];
    if (i > 0) {
      const PhaseRow& before = balance.rows[i - 1];
      FUZZ_CHECK(std::tuple(row.wait_cycles, before.phase, before.epoch) <
                 std::tuple(before.wait_cycles, row.phase, row.epoch));
    }
    FUZZ_CHECK(row.tiles >= 1);
    FUZZ_CHECK(row.start <= row.end && row.span == row.end - row.start);
    FUZZ_CHECK(row.busy_cycles == row.compute_cycles + row.exchange_cycles);
    FUZZ_CHECK(row.median_busy_cycles <= row.slowest_busy_cycles);
    FUZZ_CHECK(row.mean_busy_cycles <=
               static_cast<double>(row.slowest_busy_cycles));
    FUZZ_CHECK(row.slowest_busy_cycles <= row.busy_cycles);
    if (row.wait_measure == WaitMeasure::Synchronization) {
      FUZZ_CHECK(row.wait_cycles == row.synchronization_cycles);
    } else {
      FUZZ_CHECK(row.wait_cycles ==
                 row.tiles * row.slowest_busy_cycles - row.busy_cycles);
    }
    totals.wait_cycles += row.wait_cycles;
    totals.busy_cycles += row.busy_cycles;
    totals.tile_cycles += row.span * row.tiles;
    tiles += row.tiles;
  }
  FUZZ_CHECK(totals == balance.totals);
  // Every tile of a row has a matched sample there.
  FUZZ_CHECK(tiles <= balance.matched_sample_count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  zyl_fuzz::ByteReader in(data, size);
  const Query q = zyl_fuzz::decode_query(in);
  const ProfileReport report = zyl_fuzz::decode_report(in);

  const ProfileColumns columns = zyl_package::to_columns(report);
  const PhaseBalance balance = phase_balance(columns, q);
  check_invariants(balance);
  FUZZ_CHECK(balance == testing::reference_phase_balance(report, q));
  // A minimum of 0 samples per thread splits even the tiniest profile, so
  // the merge of the threads' pairs is what runs here.
  FUZZ_CHECK(phase_balance(columns, q, ParallelOptions{2, 0}) == balance);
  FUZZ_CHECK(phase_balance(columns, q, ParallelOptions{3, 0}) == balance);
  const zyl_package::Loaded<PhaseBalance> from_set =
      phase_balance(ProfileSet::of(columns), q, ParallelOptions{2, 0});
  FUZZ_CHECK(from_set.ok() && from_set.value() == balance);
  return 0;
}
