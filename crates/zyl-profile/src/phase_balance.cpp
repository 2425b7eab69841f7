// Phase balance: one pass over the matched samples. Each tile's samples
// first sum into a cell per (phase, epoch) pair; once the tile is walked its
// cells are complete and fold into the pairs' totals, leaving only the
// tile's busy cycles (for the median) behind. Threads and shards fold their
// pairs together the same way, so the merge is exact.
#include "zyl_profile/phase_balance.h"

#include <algorithm>
#include <array>
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
  std::uint64_t key = 0;  // pair_key(phase, epoch)
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  KindCycles cycles{};
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

// One tile's busy cycles in one pair, kept for the median.
struct TileBusy {
  std::uint32_t pair = 0;  // index into State::pairs
  std::uint64_t busy = 0;
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

// The pairs of a run of tiles (a thread's, a file's, the profile's).
struct State {
  KeyIndex index;  // pair key to index into `pairs`
  std::vector<Pair> pairs;
  std::vector<TileBusy> busy;
  std::vector<std::string> kernels;  // the slowest tiles' kernels
  std::size_t matched = 0;

  std::uint32_t pair_index(std::uint64_t key) {
    const auto fresh = static_cast<std::uint32_t>(pairs.size());
    const std::uint32_t at = index.find_or_add(key, fresh);
    if (at == fresh) {
      pairs.emplace_back();
      pairs.back().key = key;
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
    }
    for (const TileBusy& tile : other.busy) {
      busy.push_back({moved[tile.pair], tile.busy});
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
    for (std::size_t tile_idx = first_tile; tile_idx < end_tile; ++tile_idx) {
      const ColumnTile& tile = columns_.tiles[tile_idx];
      if (tile.sample_count == 0 || !matcher_.keeps_tile(tile.physical_tile)) {
        continue;
      }
      scan_cells(tile);
      if (state_.busy.capacity() == 0) {
        // Tiles of one run mostly share their phases: room for the first
        // tile's count for each tile spares the growing list's copies,
        // which cost more than the rest of the fold.
        state_.busy.reserve(cells_.size() * (end_tile - tile_idx));
      }
      fold_cells(tile.physical_tile, first_position_ + tile_idx);
    }
    return std::move(state_);
  }

 private:
  // A matched compute sample of the tile being walked.
  struct Computed {
    std::uint32_t cell = 0;    // index into cells_
    std::uint32_t kernel = 0;  // string id
    std::uint32_t cycles = 0;
  };
  struct KernelCycles {
    std::uint32_t cell = 0;    // index into cells_
    std::uint32_t kernel = 0;  // string id
    std::uint64_t cycles = 0;
  };

  // Sums the tile's matched samples into cells_, one per pair.
  void scan_cells(const ColumnTile& tile) {
    cells_.clear();
    pairs_.clear();
    computed_.clear();
    // A tile runs a phase's samples one after another, so the pair of the
    // sample before usually answers without a lookup.
    std::uint64_t last_key = 0;
    std::uint32_t last_cell = KeyIndex::kAbsent;
    const auto visit = [&](std::size_t sample, std::uint64_t offset,
                           std::uint32_t sample_duration) {
      ++state_.matched;
      const std::uint64_t key =
          pair_key(columns_.phase[sample], columns_.epoch[sample]);
      const auto fresh = static_cast<std::uint32_t>(cells_.size());
      const std::uint32_t at = last_cell != KeyIndex::kAbsent && key == last_key
                                   ? last_cell
                                   : pairs_.find_or_add(key, fresh);
      last_key = key;
      last_cell = at;
      const std::uint64_t end = offset + sample_duration;
      if (at == fresh) cells_.push_back(Cell{key, offset, end, {}, false});
      Cell& cell = cells_[at];
      cell.start = std::min(cell.start, offset);
      cell.end = std::max(cell.end, end);
      // Valid columns hold kinds 0..3; the mask keeps a damaged byte from
      // writing past the cell, as the occupancy's scan does.
      const std::size_t kind = columns_.kind[sample] & (kKinds - 1);
      cell.cycles[kind] += sample_duration;
      if (kind == static_cast<std::size_t>(StepKind::Synchronization)) {
        cell.synchronized = true;
      } else if (kind == static_cast<std::size_t>(StepKind::Compute)) {
        // Only a tile that turns out the slowest of a pair so far needs its
        // kernels summed, a few times a pair in all: the scan just notes
        // the sample and leaves the sums to choose_kernels.
        computed_.push_back({at, columns_.kernel[sample], sample_duration});
      }
    };
    if (matcher_.keeps_everything()) {
      scan_tile<false>(columns_, tile, matcher_, visit);
    } else {
      scan_tile<true>(columns_, tile, matcher_, visit);
    }
  }

  // Gives each cell marked in wanted_ its kernel with the most compute
  // cycles, ties to the byte-wise smaller name.
  void choose_kernels() {
    kernel_slots_.clear();
    kernel_cycles_.clear();
    for (const Computed& sample : computed_) {
      if (wanted_[sample.cell] == 0) continue;
      const auto next = static_cast<std::uint32_t>(kernel_cycles_.size());
      const std::uint32_t slot = kernel_slots_.find_or_add(
          (static_cast<std::uint64_t>(sample.cell) << 32) | sample.kernel,
          next);
      if (slot == next) {
        kernel_cycles_.push_back({sample.cell, sample.kernel, 0});
      }
      kernel_cycles_[slot].cycles += sample.cycles;
    }
    best_.assign(cells_.size(), nullptr);
    for (const KernelCycles& entry : kernel_cycles_) {
      const KernelCycles*& best = best_[entry.cell];
      if (best == nullptr || entry.cycles > best->cycles ||
          (entry.cycles == best->cycles &&
           columns_.string(entry.kernel) < columns_.string(best->kernel))) {
        best = &entry;
      }
    }
    for (std::size_t i = 0; i < best_.size(); ++i) {
      if (best_[i] != nullptr) cells_[i].kernel = best_[i]->kernel;
    }
  }

  // Folds the tile's complete cells into the pairs.
  void fold_cells(std::uint32_t physical_tile, std::uint64_t position) {
    // A tile has one cell per pair, so which cells make their tile the
    // slowest is settled before any is folded.
    places_.clear();
    wanted_.assign(cells_.size(), 0);
    bool any_wanted = false;
    for (std::size_t i = 0; i < cells_.size(); ++i) {
      places_.push_back(state_.pair_index(cells_[i].key));
      if (state_.pairs[places_.back()].slower(busy_of(cells_[i].cycles),
                                              physical_tile, position)) {
        wanted_[i] = 1;
        any_wanted = true;
      }
    }
    if (any_wanted) choose_kernels();
    for (std::size_t i = 0; i < cells_.size(); ++i) {
      const Cell& cell = cells_[i];
      const std::uint32_t at = places_[i];
      Pair& pair = state_.pairs[at];
      const std::uint64_t busy = busy_of(cell.cycles);
      if (wanted_[i] != 0) {
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
      state_.busy.push_back({at, busy});
    }
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
  // Reused from tile to tile: a tile's cells, its pairs' places among them,
  // its compute samples, the cells that make it a pair's slowest so far
  // (their places among the pairs) and those cells' (pair, kernel) sums.
  std::vector<Cell> cells_;
  KeyIndex pairs_;
  std::vector<Computed> computed_;
  std::vector<std::uint32_t> places_;
  std::vector<std::uint8_t> wanted_;
  KeyIndex kernel_slots_;
  std::vector<KernelCycles> kernel_cycles_;
  std::vector<const KernelCycles*> best_;
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
  std::size_t tiles_busy = 0;
  for (const State& part : parts) tiles_busy += part.busy.size();
  State state = std::move(parts[0]);
  state.busy.reserve(tiles_busy);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    state.merge(std::move(parts[i]));
  }
  return state;
}

// The row of one pair, given its tiles' busy cycles (reordered here).
PhaseRow make_row(const Pair& pair, const std::vector<std::string>& kernels,
                  std::span<std::uint64_t> busy) {
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
  const auto median =
      busy.begin() + static_cast<std::ptrdiff_t>((busy.size() - 1) / 2);
  std::nth_element(busy.begin(), median, busy.end());
  row.median_busy_cycles = *median;
  if (pair.synchronized) {
    row.wait_measure = WaitMeasure::Synchronization;
    row.wait_cycles = row.synchronization_cycles;
  } else {
    row.wait_measure = WaitMeasure::Imbalance;
    row.wait_cycles = row.tiles * row.slowest_busy_cycles - row.busy_cycles;
  }
  return row;
}

PhaseBalance finish(State&& state, std::uint64_t clock_hz) {
  PhaseBalance balance;
  balance.clock_hz = clock_hz;
  balance.matched_sample_count = state.matched;
  // The tiles' busy cycles bucketed by pair, each pair's in one run.
  std::vector<std::size_t> first(state.pairs.size() + 1, 0);
  for (const TileBusy& tile : state.busy) ++first[tile.pair + 1];
  for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
  std::vector<std::uint64_t> busy(state.busy.size());
  std::vector<std::size_t> next(first.begin(), first.end() - 1);
  for (const TileBusy& tile : state.busy) busy[next[tile.pair]++] = tile.busy;
  balance.rows.reserve(state.pairs.size());
  for (std::size_t i = 0; i < state.pairs.size(); ++i) {
    balance.rows.push_back(
        make_row(state.pairs[i], state.kernels,
                 std::span(busy).subspan(first[i], first[i + 1] - first[i])));
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
  return finish(scan_columns(columns, query, 0, parallel), columns.clock_hz);
}

zyl_package::Loaded<PhaseBalance> phase_balance(const ProfileSet& profile,
                                                const Query& q,
                                                ParallelOptions parallel) {
  Query query = q;
  if (needs_span(q)) {
    Loaded<std::uint64_t> span = profile_span(profile);
    if (!span.ok()) return span.error();
    query = resolve_bounds(q, span.value());
  }
  State state;
  std::uint64_t clock_hz = 0;
  std::uint64_t tiles_before = 0;
  for (std::size_t position = 0; position < profile.size(); ++position) {
    ColumnsResult loaded = profile.load(position);
    if (!loaded.ok()) return loaded.error();
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
    state.merge(scan_columns(columns, query, tiles_before, parallel));
    tiles_before += columns.tiles.size();
  }
  return finish(std::move(state), clock_hz);
}

}  // namespace zyl_profile
