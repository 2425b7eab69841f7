// Phase balance: the machine runs in supersteps, and a superstep (a phase
// and epoch) lasts as long as its slowest tile. For every superstep this
// says which tile held it up, running what, and how many tile-cycles the
// other tiles spent waiting for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zyl_package/load_result.h"
#include "zyl_profile/profile_set.h"
#include "zyl_profile/query.h"

namespace zyl_profile {

// Which measure a row's `wait_cycles` is.
enum class WaitMeasure : std::uint8_t {
  // The pair has matched synchronization samples: the wait is the cycles
  // they took, summed over the pair's tiles.
  Synchronization = 0,
  // The pair has none: the wait is the cycles the other tiles would idle
  // behind the slowest, tiles x slowest_busy_cycles - busy_cycles.
  Imbalance = 1,
};

// One (phase, epoch) pair with at least one matched sample.
//
// A tile here is a position in the profile's report order (over a set, in
// the profile the shards or the concatenated files form): a physical tile
// that appears twice (two runs concatenated, say) counts as two tiles,
// which keeps every tile's cycles its own and makes merging shards exact.
// A tile's busy cycles in the pair are its matched compute and exchange
// cycles there.
struct PhaseRow {
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::uint64_t start = 0;  // least matched offset, cycles
  std::uint64_t end = 0;    // greatest matched offset + duration, cycles
  std::uint64_t span = 0;   // end - start, cycles
  std::size_t tiles = 0;    // tiles with a matched sample in the pair
  // Matched cycles of each kind, summed over the pair's tiles.
  std::uint64_t compute_cycles = 0;
  std::uint64_t exchange_cycles = 0;
  std::uint64_t synchronization_cycles = 0;
  std::uint64_t idle_cycles = 0;
  std::uint64_t busy_cycles = 0;  // compute + exchange cycles
  // The tile with the most busy cycles, ties going to the smaller physical
  // tile and then to the earlier position.
  std::uint32_t slowest_tile = 0;  // its physical tile
  std::uint64_t slowest_busy_cycles = 0;
  // The kernel with the most compute cycles on the slowest tile in the
  // pair, ties going to the byte-wise smaller name; empty when that tile
  // ran no matched compute there.
  std::string slowest_kernel;
  double mean_busy_cycles = 0.0;  // busy_cycles / tiles
  // The lower median of the tiles' busy cycles: the value at rank
  // (tiles - 1) / 2 of them in ascending order, the rank rule of the
  // query's percentiles.
  std::uint64_t median_busy_cycles = 0;
  std::uint64_t wait_cycles = 0;  // tile-cycles, as `wait_measure` says
  WaitMeasure wait_measure = WaitMeasure::Imbalance;

  bool operator==(const PhaseRow&) const = default;
};

// Sums over every row, so a front end can say what share of the phases'
// tile-cycles went to waiting.
struct PhaseTotals {
  std::uint64_t wait_cycles = 0;
  std::uint64_t busy_cycles = 0;
  std::uint64_t tile_cycles = 0;  // sum of span x tiles

  // wait_cycles / tile_cycles: the share of the phases' tile-cycles spent
  // waiting; 0 when the phases spanned no tile-cycles.
  [[nodiscard]] double wait_share() const {
    return tile_cycles == 0 ? 0.0
                            : static_cast<double>(wait_cycles) /
                                  static_cast<double>(tile_cycles);
  }

  bool operator==(const PhaseTotals&) const = default;
};

// The answer; owns everything it holds.
struct PhaseBalance {
  std::uint64_t clock_hz = 0;  // echoed from the profile
  std::size_t matched_sample_count = 0;
  // By wait_cycles, larger first, then phase and epoch ascending.
  std::vector<PhaseRow> rows;
  PhaseTotals totals;

  bool operator==(const PhaseBalance&) const = default;
};

// Returns the balance of every (phase, epoch) pair over the samples that
// match `q`'s filters, exactly the samples query(columns, q) matches (kind,
// kernel, operation, tiles, phases, metadata, at_offset and the window;
// shares of the span are of this profile's span). group_by, sort_by,
// metadata_key, limit and sample_limit do not apply. Filters that match
// nothing give no rows. Runs on up to `parallel.threads` threads over
// contiguous ranges of tiles, with the same answer for any count; never
// fails. The columns must be valid.
[[nodiscard]] PhaseBalance phase_balance(const ProfileColumns& columns,
                                         const Query& q,
                                         ParallelOptions parallel = {});

// Returns what phase_balance over the profile the set forms gives, loading
// one file at a time: shards are cut at tile boundaries, so each tile's
// cycles come whole from one file and the merge is exact. Shares of the
// span are of the whole profile's span. Fails when a file cannot be read or
// the files disagree on the clock. When `costs` is given, it says where the
// time went (its query_ms being the scans, merges and rows).
[[nodiscard]] zyl_package::Loaded<PhaseBalance> phase_balance(
    const ProfileSet& profile, const Query& q, ParallelOptions parallel = {},
    AnswerCosts* costs = nullptr);

}  // namespace zyl_profile
