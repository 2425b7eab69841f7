// Phase balance: one pass over the matched samples leaves a cell per tile
// and (phase, epoch) pair with that tile's cycles there; the cells, sorted
// by pair, then become the rows. A cell is complete once its tile has been
// walked, so threads and shards only append cells, and the merge is exact.
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

// One tile's matched cycles in one pair.
struct Cell {
  std::uint64_t key = 0;       // pair_key(phase, epoch)
  std::uint64_t position = 0;  // the tile's report position in the profile
  std::uint32_t physical_tile = 0;
  std::uint32_t kernel = kNoKernel;  // index into State::kernels
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::array<std::uint64_t, kKinds> cycles{};  // by StepKind value
  bool synchronized = false;  // has a matched synchronization sample

  [[nodiscard]] std::uint64_t of(StepKind kind) const {
    return cycles[static_cast<std::size_t>(kind)];
  }
  [[nodiscard]] std::uint64_t busy() const {
    return of(StepKind::Compute) + of(StepKind::Exchange);
  }
};

// The cells of a run of tiles, and the names their kernels refer to.
struct State {
  std::vector<Cell> cells;
  std::vector<std::string> kernels;
  std::size_t matched = 0;

  // Appends `other`'s cells, moving their kernel indices past ours. Names
  // are not shared between the two lists: they are compared, never keyed.
  void append(State&& other) {
    const auto shift = static_cast<std::uint32_t>(kernels.size());
    for (Cell& cell : other.cells) {
      if (cell.kernel != kNoKernel) cell.kernel += shift;
    }
    cells.insert(cells.end(), other.cells.begin(), other.cells.end());
    kernels.insert(kernels.end(),
                   std::make_move_iterator(other.kernels.begin()),
                   std::make_move_iterator(other.kernels.end()));
    matched += other.matched;
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

// Walks a run of tiles of one profile into a State.
class RangeScan {
 public:
  RangeScan(const ProfileColumns& columns, const SampleMatcher& matcher,
            std::uint64_t first_position)
      : columns_(columns),
        matcher_(matcher),
        first_position_(first_position),
        kernel_names_(columns.string_count(), kNoKernel) {}

  State scan(std::size_t first_tile, std::size_t end_tile) {
    for (std::size_t tile_idx = first_tile; tile_idx < end_tile; ++tile_idx) {
      const ColumnTile& tile = columns_.tiles[tile_idx];
      if (tile.sample_count == 0 || !matcher_.keeps_tile(tile.physical_tile)) {
        continue;
      }
      scan_tile_cells(tile, first_position_ + tile_idx);
    }
    return std::move(state_);
  }

 private:
  struct KernelCycles {
    std::uint32_t cell = 0;    // index into state_.cells
    std::uint32_t kernel = 0;  // string id
    std::uint64_t cycles = 0;
  };

  void scan_tile_cells(const ColumnTile& tile, std::uint64_t position) {
    const std::size_t first_cell = state_.cells.size();
    pairs_.clear();
    kernel_slots_.clear();
    kernel_cycles_.clear();
    // A tile runs a phase's samples one after another, so the pair (and
    // the kernel) of the sample before usually answers without a lookup.
    std::uint64_t last_key = 0;
    std::uint32_t last_local = KeyIndex::kAbsent;
    std::uint64_t last_kernel_key = 0;
    std::uint32_t last_kernel_at = KeyIndex::kAbsent;
    const auto visit = [&](std::size_t sample, std::uint64_t offset,
                           std::uint32_t sample_duration) {
      ++state_.matched;
      const std::uint64_t key =
          pair_key(columns_.phase[sample], columns_.epoch[sample]);
      const auto fresh =
          static_cast<std::uint32_t>(state_.cells.size() - first_cell);
      const std::uint32_t local =
          last_local != KeyIndex::kAbsent && key == last_key
              ? last_local
              : pairs_.find_or_add(key, fresh);
      last_key = key;
      last_local = local;
      if (local == fresh) {
        Cell cell;
        cell.key = key;
        cell.position = position;
        cell.physical_tile = tile.physical_tile;
        cell.start = offset;
        cell.end = offset + sample_duration;
        state_.cells.push_back(cell);
      }
      Cell& cell = state_.cells[first_cell + local];
      cell.start = std::min(cell.start, offset);
      cell.end = std::max(cell.end, offset + sample_duration);
      // Valid columns hold kinds 0..3; the mask keeps a damaged byte from
      // writing past the cell, as the occupancy's scan does.
      const std::size_t kind = columns_.kind[sample] & (kKinds - 1);
      cell.cycles[kind] += sample_duration;
      if (kind == static_cast<std::size_t>(StepKind::Synchronization)) {
        cell.synchronized = true;
      } else if (kind == static_cast<std::size_t>(StepKind::Compute)) {
        const std::uint32_t kernel = columns_.kernel[sample];
        const std::uint64_t kernel_key =
            (static_cast<std::uint64_t>(local) << 32) | kernel;
        const auto next = static_cast<std::uint32_t>(kernel_cycles_.size());
        const std::uint32_t at =
            last_kernel_at != KeyIndex::kAbsent && kernel_key == last_kernel_key
                ? last_kernel_at
                : kernel_slots_.find_or_add(kernel_key, next);
        last_kernel_key = kernel_key;
        last_kernel_at = at;
        if (at == next) kernel_cycles_.push_back({local, kernel, 0});
        kernel_cycles_[at].cycles += sample_duration;
      }
    };
    if (matcher_.keeps_everything()) {
      scan_tile<false>(columns_, tile, matcher_, visit);
    } else {
      scan_tile<true>(columns_, tile, matcher_, visit);
    }
    choose_kernels(first_cell);
  }

  // Gives each of the tile's cells its kernel with the most compute cycles.
  void choose_kernels(std::size_t first_cell) {
    best_.assign(state_.cells.size() - first_cell, nullptr);
    for (const KernelCycles& entry : kernel_cycles_) {
      const KernelCycles*& best = best_[entry.cell];
      if (best == nullptr || entry.cycles > best->cycles ||
          (entry.cycles == best->cycles &&
           columns_.string(entry.kernel) < columns_.string(best->kernel))) {
        best = &entry;
      }
    }
    for (std::size_t i = 0; i < best_.size(); ++i) {
      if (best_[i] != nullptr) {
        state_.cells[first_cell + i].kernel = kernel_index(best_[i]->kernel);
      }
    }
  }

  std::uint32_t kernel_index(std::uint32_t string_id) {
    std::uint32_t& index = kernel_names_[string_id];
    if (index == kNoKernel) {
      index = static_cast<std::uint32_t>(state_.kernels.size());
      state_.kernels.emplace_back(columns_.string(string_id));
    }
    return index;
  }

  const ProfileColumns& columns_;
  const SampleMatcher& matcher_;
  std::uint64_t first_position_;
  State state_;
  // Reused from tile to tile: a tile's pairs and its (pair, kernel) sums.
  KeyIndex pairs_;
  KeyIndex kernel_slots_;
  std::vector<KernelCycles> kernel_cycles_;
  std::vector<const KernelCycles*> best_;
  // String id to index into state_.kernels, so each name is copied once.
  std::vector<std::uint32_t> kernel_names_;
};

// Returns the cells of the tiles of `columns`, numbered from
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
    state.append(std::move(parts[i]));
  }
  return state;
}

// The row of one pair's cells, which are in report order.
PhaseRow make_row(std::span<const Cell> cells,
                  const std::vector<std::string>& kernels,
                  std::vector<std::uint64_t>& busy) {
  PhaseRow row;
  row.phase = static_cast<std::uint32_t>(cells.front().key >> 32);
  row.epoch = static_cast<std::uint32_t>(cells.front().key);
  row.start = cells.front().start;
  row.end = cells.front().end;
  row.tiles = cells.size();
  const Cell* slowest = &cells.front();
  bool synchronized = false;
  busy.clear();
  for (const Cell& cell : cells) {
    row.start = std::min(row.start, cell.start);
    row.end = std::max(row.end, cell.end);
    row.exchange_cycles += cell.of(StepKind::Exchange);
    row.compute_cycles += cell.of(StepKind::Compute);
    row.synchronization_cycles += cell.of(StepKind::Synchronization);
    row.idle_cycles += cell.of(StepKind::Idle);
    synchronized = synchronized || cell.synchronized;
    busy.push_back(cell.busy());
    // Cells come in position order, so an equal one is never taken.
    if (cell.busy() > slowest->busy() ||
        (cell.busy() == slowest->busy() &&
         cell.physical_tile < slowest->physical_tile)) {
      slowest = &cell;
    }
  }
  row.span = row.end - row.start;
  row.busy_cycles = row.compute_cycles + row.exchange_cycles;
  row.slowest_tile = slowest->physical_tile;
  row.slowest_busy_cycles = slowest->busy();
  if (slowest->kernel != kNoKernel)
    row.slowest_kernel = kernels[slowest->kernel];
  row.mean_busy_cycles =
      static_cast<double>(row.busy_cycles) / static_cast<double>(row.tiles);
  const auto median =
      busy.begin() + static_cast<std::ptrdiff_t>((busy.size() - 1) / 2);
  std::nth_element(busy.begin(), median, busy.end());
  row.median_busy_cycles = *median;
  if (synchronized) {
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
  std::vector<Cell>& cells = state.cells;
  // Positions are unique within a pair, so this order is total and the
  // same whatever ranges or shards the cells came from.
  std::sort(cells.begin(), cells.end(),
            [](const Cell& left, const Cell& right) {
              return std::pair(left.key, left.position) <
                     std::pair(right.key, right.position);
            });
  std::vector<std::uint64_t> busy;
  for (std::size_t first = 0; first < cells.size();) {
    std::size_t end = first + 1;
    while (end < cells.size() && cells[end].key == cells[first].key) ++end;
    balance.rows.push_back(
        make_row(std::span<const Cell>(cells).subspan(first, end - first),
                 state.kernels, busy));
    first = end;
  }
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
    state.append(scan_columns(columns, query, tiles_before, parallel));
    tiles_before += columns.tiles.size();
  }
  return finish(std::move(state), clock_hz);
}

}  // namespace zyl_profile
