// Phase balance: one pass over the matched samples. Each tile's samples
// first sum into a cell per (phase, epoch) pair; once the tile is walked its
// cells are complete and fold into the pairs' totals, leaving only the
// tile's busy cycles (for the median) behind. Threads and shards fold their
// pairs together the same way, so the merge is exact.
#include "zyl_profile/phase_balance.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "even_ranges.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

constexpr std::uint32_t kNoKernel = ~std::uint32_t{0};
constexpr std::size_t kKinds = 4;  // StepKind values

std::uint64_t pair_key(std::uint32_t phase, std::uint32_t epoch) {
  return (static_cast<std::uint64_t>(phase) << 32) | epoch;
}

using KindCycles = std::array<std::uint64_t, kKinds>;  // by StepKind value

std::uint64_t of(const KindCycles& cycles, StepKind kind) {
  return cycles[static_cast<std::size_t>(kind)];
}

std::uint64_t busy_of(const KindCycles& cycles) {
  return of(cycles, StepKind::Compute) + of(cycles, StepKind::Exchange);
}

// One tile's matched cycles in one pair, while the tile is walked.
struct Cell {
  std::uint64_t key = 0;   // pair_key(phase, epoch)
  std::uint32_t pair = 0;  // index into the scan's State::pairs
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  KindCycles cycles{};
  // The first and last of its matched samples: the kernels of a cell are
  // summed only when the tile turns out a pair's slowest so far, by walking
  // these again, which costs less than noting every compute sample.
  std::size_t first_sample = 0;
  std::size_t last_sample = 0;
  bool synchronized = false;         // has a matched synchronization sample
  std::uint32_t kernel = kNoKernel;  // string id of its busiest kernel
};

// One pair's totals over the tiles folded in so far.
struct Pair {
  std::uint64_t key = 0;
  std::uint64_t start = ~std::uint64_t{0};
  std::uint64_t end = 0;
  KindCycles cycles{};
  std::uint64_t tiles = 0;
  bool synchronized = false;
  std::uint64_t slowest_busy = 0;
  std::uint32_t slowest_tile = 0;  // physical
  std::uint64_t slowest_position = 0;
  std::uint32_t slowest_kernel = kNoKernel;  // index into State::kernels

  // True when a tile with these figures beats the slowest so far: more
  // busy cycles, then the smaller physical tile, then the earlier position,
  // a total order, so the order tiles arrive in cannot change the winner.
  [[nodiscard]] bool slower(std::uint64_t busy, std::uint32_t physical,
                            std::uint64_t position) const {
    if (tiles == 0) return true;
    if (busy != slowest_busy) return busy > slowest_busy;
    return std::pair(physical, position) <
           std::pair(slowest_tile, slowest_position);
  }

  // Folds in `other`'s tiles; `kernel_shift` moves its kernel index into
  // this pair's list.
  void combine(const Pair& other, std::uint32_t kernel_shift) {
    start = std::min(start, other.start);
    end = std::max(end, other.end);
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
      cycles[kind] += other.cycles[kind];
    }
    synchronized = synchronized || other.synchronized;
    if (slower(other.slowest_busy, other.slowest_tile,
               other.slowest_position)) {
      slowest_busy = other.slowest_busy;
      slowest_tile = other.slowest_tile;
      slowest_position = other.slowest_position;
      slowest_kernel = other.slowest_kernel == kNoKernel
                           ? kNoKernel
                           : other.slowest_kernel + kernel_shift;
    }
    tiles += other.tiles;
  }
};

// A 64-bit key to a small index, open addressing, emptied per tile at the
// cost of the slots used rather than of the table.
class KeyIndex {
 public:
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};

  // Returns the index stored for `key`, or stores `fresh` and returns it.
  std::uint32_t find_or_add(std::uint64_t key, std::uint32_t fresh) {
    if (2 * (used_.size() + 1) > slots_.size()) grow();
    std::size_t i = slot_of(key);
    if (slots_[i].value == kAbsent) {
      slots_[i] = Slot{key, fresh};
      used_.push_back(i);
      return fresh;
    }
    return slots_[i].value;
  }

  void clear() {
    for (const std::size_t i : used_) slots_[i].value = kAbsent;
    used_.clear();
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t value = kAbsent;
  };

  [[nodiscard]] std::size_t slot_of(std::uint64_t key) const {
    // Fibonacci hashing spreads neighbouring phases over the table.
    std::size_t i =
        static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_) &
        mask_;
    while (slots_[i].value != kAbsent && slots_[i].key != key) {
      i = (i + 1) & mask_;
    }
    return i;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 64 : 2 * old.size();
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    used_.clear();
    for (const Slot& slot : old) {
      if (slot.value != kAbsent) {
        const std::size_t i = slot_of(slot.key);
        slots_[i] = slot;
        used_.push_back(i);
      }
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::size_t> used_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

// One pair's tiles' busy cycles, kept for the median. A tile's busy cycles
// in one pair nearly always fit 32 bits, and half the bytes are half the
// pages to fault in: those go to `narrow`, one list per scan that met the
// pair (merging moves lists rather than joining them), the rare larger ones
// to `wide`. Every wide value is larger than every narrow one, so the
// median is found in one of the two without joining them.
struct BusyLists {
  std::vector<std::vector<std::uint32_t>> narrow;
  std::vector<std::uint64_t> wide;

  void add(std::uint64_t busy) {
    if (busy <= std::numeric_limits<std::uint32_t>::max()) {
      narrow.front().push_back(static_cast<std::uint32_t>(busy));
    } else {
      wide.push_back(busy);
    }
  }

  void take(BusyLists&& other) {
    for (std::vector<std::uint32_t>& list : other.narrow) {
      narrow.push_back(std::move(list));
    }
    wide.insert(wide.end(), other.wide.begin(), other.wide.end());
  }

  // The value at rank (count - 1) / 2 in ascending order; `scratch` joins
  // several narrow lists. Reorders the lists.
  std::uint64_t lower_median(std::vector<std::uint32_t>& scratch) {
    std::size_t narrow_count = 0;
    for (const std::vector<std::uint32_t>& list : narrow) {
      narrow_count += list.size();
    }
    const std::size_t rank = (narrow_count + wide.size() - 1) / 2;
    if (rank >= narrow_count) {
      const auto at =
          wide.begin() + static_cast<std::ptrdiff_t>(rank - narrow_count);
      std::nth_element(wide.begin(), at, wide.end());
      return *at;
    }
    std::vector<std::uint32_t>* values = &narrow.front();
    if (narrow.size() > 1) {
      scratch.clear();
      for (const std::vector<std::uint32_t>& list : narrow) {
        scratch.insert(scratch.end(), list.begin(), list.end());
      }
      values = &scratch;
    }
    const auto at = values->begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(values->begin(), at, values->end());
    return *at;
  }
};

// The pairs of a run of tiles (a thread's, a file's, the profile's).
struct State {
  KeyIndex index;  // pair key to index into `pairs`
  std::vector<Pair> pairs;
  std::vector<BusyLists> busy;       // per pair
  std::vector<std::string> kernels;  // the slowest tiles' kernels
  std::size_t matched = 0;

  std::uint32_t pair_index(std::uint64_t key) {
    const auto fresh = static_cast<std::uint32_t>(pairs.size());
    const std::uint32_t at = index.find_or_add(key, fresh);
    if (at == fresh) {
      pairs.emplace_back();
      pairs.back().key = key;
      busy.emplace_back().narrow.emplace_back();
    }
    return at;
  }

  // Folds in `other`, which covers tiles none of ours are. Kernel names
  // are appended, not shared: they are compared, never keyed.
  void merge(State&& other) {
    if (pairs.empty()) {
      const std::size_t matched_before = matched;
      *this = std::move(other);
      matched += matched_before;
      return;
    }
    const auto shift = static_cast<std::uint32_t>(kernels.size());
    std::vector<std::uint32_t> moved(other.pairs.size());
    for (std::size_t i = 0; i < other.pairs.size(); ++i) {
      moved[i] = pair_index(other.pairs[i].key);
      pairs[moved[i]].combine(other.pairs[i], shift);
      busy[moved[i]].take(std::move(other.busy[i]));
    }
    kernels.insert(kernels.end(),
                   std::make_move_iterator(other.kernels.begin()),
                   std::make_move_iterator(other.kernels.end()));
    matched += other.matched;
  }
};

// Walks a run of tiles of one profile into a State.
class RangeScan {
 public:
  RangeScan(const ProfileColumns& columns, const SampleMatcher& matcher,
            std::uint64_t first_position)
      : columns_(columns), matcher_(matcher), first_position_(first_position) {}

  State scan(std::size_t first_tile, std::size_t end_tile) {
    samples_left_ = 0;
    for (std::size_t tile_idx = first_tile; tile_idx < end_tile; ++tile_idx) {
      samples_left_ += columns_.tiles[tile_idx].sample_count;
    }
    for (std::size_t tile_idx = first_tile; tile_idx < end_tile; ++tile_idx) {
      const ColumnTile& tile = columns_.tiles[tile_idx];
      tiles_left_ = end_tile - tile_idx;
      if (tile.sample_count != 0 && matcher_.keeps_tile(tile.physical_tile)) {
        scan_cells(tile);
        fold_cells(tile, first_position_ + tile_idx);
      }
      samples_left_ -= tile.sample_count;
    }
    return std::move(state_);
  }

 private:
  struct KernelCycles {
    std::uint32_t kernel = 0;  // string id
    std::uint64_t cycles = 0;
  };

  // Sums the tile's matched samples into cells_, one per pair.
  void scan_cells(const ColumnTile& tile) {
    cells_.clear();
    if (++stamp_ == 0) {  // the stamps wrapped: forget every old one
      std::fill(stamp_of_pair_.begin(), stamp_of_pair_.end(), 0);
      stamp_ = 1;
    }
    const std::uint32_t* const phases = columns_.phase.data();
    const std::uint32_t* const epochs = columns_.epoch.data();
    const std::uint8_t* const kinds = columns_.kind.data();
    std::size_t matched = 0;
    std::size_t run = 0;  // runs of one pair met so far in this tile
    // A tile runs a phase's samples one after another: a run of one pair
    // sums in locals, kept in registers, and lands in its cell when the
    // pair changes. Summing into the cell itself made every sample wait on
    // the store of the one before.
    std::uint64_t key = 0;
    Cell* cell = nullptr;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::array<std::uint64_t, kKinds> cycles{};
    bool synchronized = false;
    std::size_t last_sample = 0;
    const auto land = [&] {
      cell->start = std::min(cell->start, start);
      cell->end = std::max(cell->end, end);
      for (std::size_t kind = 0; kind < kKinds; ++kind) {
        cell->cycles[kind] += cycles[kind];
      }
      cell->synchronized = cell->synchronized || synchronized;
      cell->last_sample = last_sample;
    };
    const auto visit = [&](std::size_t sample, std::uint64_t offset,
                           std::uint32_t sample_duration) {
      ++matched;
      const std::uint64_t sample_key = pair_key(phases[sample], epochs[sample]);
      const std::uint64_t sample_end = offset + sample_duration;
      if (cell == nullptr || sample_key != key) [[unlikely]] {
        if (cell != nullptr) land();
        cell = &cell_of(pair_of_run(run++, sample_key), sample_key, sample);
        key = sample_key;
        start = offset;
        end = sample_end;
        cycles = {};
        synchronized = false;
      }
      start = std::min(start, offset);
      end = std::max(end, sample_end);
      last_sample = sample;
      // Valid columns hold kinds 0..3; the mask keeps a damaged byte from
      // reading as a fifth kind, as the occupancy's scan does. Each sum
      // takes the duration or nothing, which needs no indexed store.
      const std::size_t kind = kinds[sample] & (kKinds - 1);
      for (std::size_t k = 0; k < kKinds; ++k) {
        cycles[k] += kind == k ? sample_duration : 0;
      }
      synchronized = synchronized || kind == static_cast<std::size_t>(
                                                 StepKind::Synchronization);
    };
    if (matcher_.keeps_everything()) {
      scan_tile<false>(columns_, tile, matcher_, visit);
    } else {
      scan_tile<true>(columns_, tile, matcher_, visit);
    }
    if (cell != nullptr) land();
    state_.matched += matched;
  }

  // Gives `cell` its kernel with the most matched compute cycles, ties to
  // the byte-wise smaller name, walking its samples again.
  void choose_kernel(const ColumnTile& tile, Cell& cell) {
    kernel_slots_.clear();
    kernel_cycles_.clear();
    const auto add = [&](std::size_t sample, std::uint64_t,
                         std::uint32_t sample_duration) {
      if ((columns_.kind[sample] & (kKinds - 1)) !=
              static_cast<std::size_t>(StepKind::Compute) ||
          pair_key(columns_.phase[sample], columns_.epoch[sample]) !=
              cell.key) {
        return;
      }
      const std::uint32_t kernel = columns_.kernel[sample];
      const auto next = static_cast<std::uint32_t>(kernel_cycles_.size());
      const std::uint32_t slot = kernel_slots_.find_or_add(kernel, next);
      if (slot == next) kernel_cycles_.push_back({kernel, 0});
      kernel_cycles_[slot].cycles += sample_duration;
    };
    // The tile's first start is the base its offsets, and so the window
    // test, count from.
    const std::uint32_t base = columns_.start_cycle[tile.first_sample];
    if (matcher_.keeps_everything()) {
      scan_samples<false>(columns_, cell.first_sample, cell.last_sample + 1,
                          base, matcher_, add);
    } else {
      scan_samples<true>(columns_, cell.first_sample, cell.last_sample + 1,
                         base, matcher_, add);
    }
    const KernelCycles* best = nullptr;
    for (const KernelCycles& entry : kernel_cycles_) {
      if (best == nullptr || entry.cycles > best->cycles ||
          (entry.cycles == best->cycles &&
           columns_.string(entry.kernel) < columns_.string(best->kernel))) {
        best = &entry;
      }
    }
    cell.kernel = best == nullptr ? kNoKernel : best->kernel;
  }

  // The pair of the tile's `run`th run of one pair, whose key is `key`.
  // Neighbouring tiles mostly run the same pairs in the same order, so the
  // pair the tile before had at this run is tried before the hash lookup.
  [[gnu::noinline]] std::uint32_t pair_of_run(std::size_t run,
                                              std::uint64_t key) {
    if (run < run_pairs_.size() && state_.pairs[run_pairs_[run]].key == key) {
      return run_pairs_[run];
    }
    const std::uint32_t pair = state_.pair_index(key);
    if (run < run_pairs_.size()) {
      run_pairs_[run] = pair;
    } else {
      run_pairs_.push_back(pair);
    }
    return pair;
  }

  // The tile's cell of `pair`, added empty from `sample` on when the tile
  // has none yet. Kept out of the scan's loop, which it would only crowd.
  [[gnu::noinline]] Cell& cell_of(std::uint32_t pair, std::uint64_t key,
                                  std::size_t sample) {
    if (pair >= stamp_of_pair_.size()) {
      stamp_of_pair_.resize(state_.pairs.size(), 0);
      cell_of_pair_.resize(state_.pairs.size(), 0);
    }
    if (stamp_of_pair_[pair] == stamp_) return cells_[cell_of_pair_[pair]];
    stamp_of_pair_[pair] = stamp_;
    cell_of_pair_[pair] = static_cast<std::uint32_t>(cells_.size());
    // Written field by field: building the cell aside and copying it in
    // stalled on the copy, a fifth of the whole scan.
    Cell& added = cells_.emplace_back();
    added.key = key;
    added.pair = pair;
    added.start = ~std::uint64_t{0};
    added.first_sample = sample;
    return added;
  }

  // Folds the tile's complete cells into the pairs.
  void fold_cells(const ColumnTile& tile, std::uint64_t position) {
    const std::uint32_t physical_tile = tile.physical_tile;
    for (Cell& cell : cells_) {
      const std::uint32_t at = cell.pair;
      Pair& pair = state_.pairs[at];
      const std::uint64_t busy = busy_of(cell.cycles);
      BusyLists& tiles_busy = state_.busy[at];
      if (pair.tiles == 0) reserve_busy(tiles_busy.narrow.front());
      if (pair.slower(busy, physical_tile, position)) {
        choose_kernel(tile, cell);
        pair.slowest_busy = busy;
        pair.slowest_tile = physical_tile;
        pair.slowest_position = position;
        pair.slowest_kernel =
            cell.kernel == kNoKernel ? kNoKernel : kernel_index(cell.kernel);
      }
      pair.start = std::min(pair.start, cell.start);
      pair.end = std::max(pair.end, cell.end);
      for (std::size_t kind = 0; kind < kKinds; ++kind) {
        pair.cycles[kind] += cell.cycles[kind];
      }
      pair.synchronized = pair.synchronized || cell.synchronized;
      ++pair.tiles;
      tiles_busy.add(busy);
    }
  }

  // Tiles of one run mostly share their pairs, so a pair met first gets
  // room for every tile left: growing 1,472 lists one tile at a time costs
  // more than the rest of the fold. Each entry stands for at least one
  // matched sample, so the room given is capped by the samples left.
  void reserve_busy(std::vector<std::uint32_t>& busy) {
    const std::size_t room =
        std::min(tiles_left_, samples_left_ - std::min(samples_left_, given_));
    busy.reserve(room);
    given_ += room;
  }

  std::uint32_t kernel_index(std::uint32_t string_id) {
    const auto fresh = static_cast<std::uint32_t>(state_.kernels.size());
    const std::uint32_t index = kernel_names_.find_or_add(string_id, fresh);
    if (index == fresh) state_.kernels.emplace_back(columns_.string(string_id));
    return index;
  }

  const ProfileColumns& columns_;
  const SampleMatcher& matcher_;
  std::uint64_t first_position_;
  State state_;
  std::size_t tiles_left_ = 0;    // from the tile being walked to the end
  std::size_t samples_left_ = 0;  // in those tiles
  std::size_t given_ = 0;         // entries reserved so far
  // Reused from tile to tile: a tile's cells; per pair of the state, the
  // tile its cell belongs to (a stamp counted per tile) and that cell's
  // index; the pairs the tile before ran, run by run; one cell's kernel
  // sums.
  std::vector<Cell> cells_;
  std::uint32_t stamp_ = 0;
  std::vector<std::uint32_t> stamp_of_pair_;
  std::vector<std::uint32_t> cell_of_pair_;
  std::vector<std::uint32_t> run_pairs_;
  KeyIndex kernel_slots_;
  std::vector<KernelCycles> kernel_cycles_;
  // String id to index into state_.kernels, so each name is copied once;
  // a table of the kernels met, not of every string of the profile.
  KeyIndex kernel_names_;
};

// Returns the pairs of the tiles of `columns`, numbered from
// `first_position`, scanned on up to the threads `parallel` allows. The
// query's bounds must be in cycles.
State scan_columns(const ProfileColumns& columns, const Query& query,
                   std::uint64_t first_position, ParallelOptions parallel) {
  const SampleMatcher matcher(columns, query);
  const std::size_t tile_count = columns.tiles.size();
  const unsigned threads = query_threads(columns, parallel);
  if (threads <= 1) {
    return RangeScan(columns, matcher, first_position).scan(0, tile_count);
  }
  const std::vector<std::size_t> bounds =
      detail::even_ranges(0, tile_count, threads, columns.sample_count(),
                          [&](std::size_t tile_idx) {
                            return columns.tiles[tile_idx].sample_count;
                          });
  std::vector<State> parts(bounds.size() - 1);
  {
    std::vector<std::jthread> workers;
    for (std::size_t i = 1; i + 1 < bounds.size(); ++i) {
      workers.emplace_back([&, i] {
        parts[i] = RangeScan(columns, matcher, first_position)
                       .scan(bounds[i], bounds[i + 1]);
      });
    }
    parts[0] =
        RangeScan(columns, matcher, first_position).scan(bounds[0], bounds[1]);
  }
  State state = std::move(parts[0]);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    state.merge(std::move(parts[i]));
  }
  return state;
}

// The row of one pair, given the lower median of its tiles' busy cycles.
PhaseRow make_row(const Pair& pair, const std::vector<std::string>& kernels,
                  std::uint64_t median_busy) {
  PhaseRow row;
  row.phase = static_cast<std::uint32_t>(pair.key >> 32);
  row.epoch = static_cast<std::uint32_t>(pair.key);
  row.start = pair.start;
  row.end = pair.end;
  row.span = pair.end - pair.start;
  row.tiles = pair.tiles;
  row.exchange_cycles = of(pair.cycles, StepKind::Exchange);
  row.compute_cycles = of(pair.cycles, StepKind::Compute);
  row.synchronization_cycles = of(pair.cycles, StepKind::Synchronization);
  row.idle_cycles = of(pair.cycles, StepKind::Idle);
  row.busy_cycles = busy_of(pair.cycles);
  row.slowest_tile = pair.slowest_tile;
  row.slowest_busy_cycles = pair.slowest_busy;
  if (pair.slowest_kernel != kNoKernel) {
    row.slowest_kernel = kernels[pair.slowest_kernel];
  }
  row.mean_busy_cycles =
      static_cast<double>(row.busy_cycles) / static_cast<double>(row.tiles);
  row.median_busy_cycles = median_busy;
  if (pair.synchronized) {
    row.wait_measure = WaitMeasure::Synchronization;
    row.wait_cycles = row.synchronization_cycles;
  } else {
    row.wait_measure = WaitMeasure::Imbalance;
    row.wait_cycles = row.tiles * row.slowest_busy_cycles - row.busy_cycles;
  }
  return row;
}

PhaseBalance finish(State&& state, std::uint64_t clock_hz, unsigned threads) {
  PhaseBalance balance;
  balance.clock_hz = clock_hz;
  balance.matched_sample_count = state.matched;
  // The medians are most of the work; the pairs' rows are independent.
  balance.rows.resize(state.pairs.size());
  const auto make_rows = [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint32_t> scratch;
    for (std::size_t i = begin; i < end; ++i) {
      balance.rows[i] = make_row(state.pairs[i], state.kernels,
                                 state.busy[i].lower_median(scratch));
    }
  };
  std::size_t tiles = 0;
  for (const Pair& pair : state.pairs) tiles += pair.tiles;
  const std::vector<std::size_t> bounds =
      detail::even_ranges(0, state.pairs.size(), std::max(1U, threads), tiles,
                          [&](std::size_t i) { return state.pairs[i].tiles; });
  {
    std::vector<std::jthread> workers;
    for (std::size_t range = 1; range + 1 < bounds.size(); ++range) {
      workers.emplace_back(make_rows, bounds[range], bounds[range + 1]);
    }
    // No pairs come back as the one bound {0}: no rows to make.
    if (bounds.size() > 1) make_rows(bounds[0], bounds[1]);
  }
  // (phase, epoch) is unique, so the order is total and the same whatever
  // order the threads or files met the pairs in.
  std::sort(balance.rows.begin(), balance.rows.end(),
            [](const PhaseRow& left, const PhaseRow& right) {
              return std::tuple(right.wait_cycles, left.phase, left.epoch) <
                     std::tuple(left.wait_cycles, right.phase, right.epoch);
            });
  for (const PhaseRow& row : balance.rows) {
    balance.totals.wait_cycles += row.wait_cycles;
    balance.totals.busy_cycles += row.busy_cycles;
    balance.totals.tile_cycles += row.span * row.tiles;
  }
  return balance;
}

}  // namespace

PhaseBalance phase_balance(const ProfileColumns& columns, const Query& q,
                           ParallelOptions parallel) {
  // A share of the span costs a pass of its own, so only then is it taken.
  const Query query =
      needs_span(q) ? resolve_bounds(q, profile_span(columns)) : q;
  return finish(scan_columns(columns, query, 0, parallel), columns.clock_hz,
                query_threads(columns, parallel));
}

zyl_package::Loaded<PhaseBalance> phase_balance(const ProfileSet& profile,
                                                const Query& q,
                                                ParallelOptions parallel,
                                                AnswerCosts* costs) {
  using Clock = std::chrono::steady_clock;
  const auto since = [](Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start)
        .count();
  };
  AnswerCosts spent;
  Query query = q;
  if (needs_span(q)) {
    const auto start = Clock::now();
    Loaded<std::uint64_t> span = profile_span(profile);
    if (!span.ok()) return span.error();
    query = resolve_bounds(q, span.value());
    spent.load_ms += since(start);
  }
  State state;
  std::uint64_t clock_hz = 0;
  std::uint64_t tiles_before = 0;
  for (std::size_t position = 0; position < profile.size(); ++position) {
    const auto load_start = Clock::now();
    ColumnsResult loaded = profile.load(position);
    if (!loaded.ok()) return loaded.error();
    spent.load_ms += since(load_start);
    const ProfileColumns& columns = loaded.value();
    if (position == 0) {
      clock_hz = columns.clock_hz;
    } else if (columns.clock_hz != clock_hz) {
      LoadError error;
      error.file = profile.paths()[position].string();
      error.message =
          "the shards disagree on the clock: " + std::to_string(clock_hz) +
          " Hz and " + std::to_string(columns.clock_hz) + " Hz";
      return error;
    }
    const auto scan_start = Clock::now();
    state.merge(scan_columns(columns, query, tiles_before, parallel));
    spent.query_ms += since(scan_start);
    spent.threads = std::max(spent.threads, query_threads(columns, parallel));
    tiles_before += columns.tiles.size();
  }
  const auto finish_start = Clock::now();
  PhaseBalance balance = finish(std::move(state), clock_hz, spent.threads);
  spent.query_ms += since(finish_start);
  if (costs != nullptr) *costs = spent;
  return balance;
}

}  // namespace zyl_profile
