// The occupancy scan: the same walk and matcher as the query, each matched
// sample's cycles spread over the time columns it crosses. Threads take
// contiguous runs of rows, so each writes only its own cells. The cells'
// top kernels are tallied a row at a time: a row's tiles are consecutive,
// so its tally is complete, and ranked, before the next row's starts.
#include "zyl_profile/occupancy.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "even_ranges.h"
#include "zyl_profile/profile_set.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

// Rows and columns beyond these add nothing a screen can show and only
// grow the result.
constexpr std::size_t kMaxBins = 4096;

// The first and latest start of each (phase, epoch) pair, over tiles.
using PhaseStarts = std::unordered_map<std::uint64_t, PhaseStart>;

std::uint64_t pair_key(std::uint32_t phase, std::uint32_t epoch) {
  return (std::uint64_t{phase} << 32) | epoch;
}

// Returns the column holding `offset`, which lies in [edges.front(),
// edges.back()). The estimate from the proportion is off by at most one
// either way, because the edges are rounded down.
std::size_t column_of(const std::vector<std::uint64_t>& edges,
                      std::uint64_t offset) {
  const std::size_t columns = edges.size() - 1;
  const std::uint64_t width = edges.back() - edges.front();
  std::size_t column =
      static_cast<std::size_t>((offset - edges.front()) * columns / width);
  column = std::min(column, columns - 1);
  while (column > 0 && edges[column] > offset) --column;
  while (column + 1 < columns && edges[column + 1] <= offset) ++column;
  return column;
}

constexpr std::uint32_t kNoKernel = std::numeric_limits<std::uint32_t>::max();

// A row's kernels still to be ranked when its tiles go on in a later shard:
// the next shard's first row picks the tally up. Names, not string ids,
// since each shard has its own dictionary.
struct KernelCarry {
  static constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();
  struct Entry {
    std::size_t column = 0;
    std::string name;
    std::uint64_t cycles = 0;
  };
  std::size_t row = kNoRow;
  std::vector<Entry> entries;
};

// A finished row's listed kernels, column by column: `counts[c]` entries
// of `listed` belong to column c, each a kernel number of the tally that
// ranked the row and its cycles.
struct RankedRow {
  std::size_t row = 0;
  std::vector<std::uint32_t> counts;
  std::vector<CellKernel> listed;
};

// One thread's kernel cycles per cell of the row it is scanning, keyed by
// (column, kernel). Kernels get small numbers of their own, one per name,
// since a dictionary may hold a name twice. The samples along a tile come
// in runs of one kernel inside one column, so additions are summed in a
// pending run and reach the table once per run.
class KernelTally {
 public:
  KernelTally(const ProfileColumns& columns, std::size_t top)
      : columns_(columns),
        top_(top),
        by_string_(columns.string_count(), kNoKernel),
        slots_(64, 0) {}

  // Returns the number of the kernel with string id `id`.
  std::uint32_t kernel_of(std::uint32_t id) {
    std::uint32_t& known = by_string_[id];
    if (known == kNoKernel) known = kernel_named(columns_.string(id));
    return known;
  }

  std::uint32_t kernel_named(std::string_view name) {
    const auto [it, inserted] =
        numbers_.try_emplace(name, static_cast<std::uint32_t>(names_.size()));
    if (inserted) names_.push_back(name);
    return it->second;
  }

  void add(std::size_t column, std::uint32_t kernel, std::uint64_t cycles) {
    const std::uint64_t key = (std::uint64_t{column} << 32) | kernel;
    if (key != pending_key_) {
      flush();
      pending_key_ = key;
    }
    pending_cycles_ += cycles;
  }

  // Adds the pending run to the table.
  void flush() {
    if (pending_cycles_ == 0) return;
    entry(pending_key_).cycles += pending_cycles_;
    pending_cycles_ = 0;
  }

  void take_carry(const KernelCarry& carry) {
    for (const KernelCarry::Entry& carried : carry.entries) {
      add(carried.column, kernel_named(carried.name), carried.cycles);
    }
    flush();
  }

  void give_carry(std::size_t row, KernelCarry& carry) {
    flush();
    carry.row = row;
    carry.entries.clear();
    for (const Entry& held : entries_) {
      carry.entries.push_back(KernelCarry::Entry{
          held.key >> 32, std::string(names_[kernel_in(held.key)]),
          held.cycles});
    }
    clear();
  }

  // Ranks the row's kernels cell by cell into `ranked` and empties the
  // tally for the next row.
  void rank(std::size_t row, std::size_t columns_per_row, RankedRow& ranked) {
    flush();
    ranked.row = row;
    ranked.counts.assign(columns_per_row, 0);
    ranked.listed.clear();
    // The entries bucketed by column, then each column's first `top_`
    // picked out: only ties on cycles compare names.
    starts_.assign(columns_per_row + 1, 0);
    for (const Entry& held : entries_) ++starts_[(held.key >> 32) + 1];
    for (std::size_t c = 0; c < columns_per_row; ++c) {
      starts_[c + 1] += starts_[c];
    }
    bucketed_.resize(entries_.size());
    for (const Entry& held : entries_) {
      bucketed_[starts_[held.key >> 32]++] = held;
    }
    const auto before = [&](const Entry& left, const Entry& right) {
      if (left.cycles != right.cycles) return left.cycles > right.cycles;
      return names_[kernel_in(left.key)] < names_[kernel_in(right.key)];
    };
    std::size_t begin = 0;
    for (std::size_t c = 0; c < columns_per_row; ++c) {
      // starts_[c] is now the end of column c.
      const auto first = bucketed_.begin() + static_cast<std::ptrdiff_t>(begin);
      const auto last =
          bucketed_.begin() + static_cast<std::ptrdiff_t>(starts_[c]);
      begin = starts_[c];
      const std::size_t count =
          std::min(top_, static_cast<std::size_t>(last - first));
      const auto cut = first + static_cast<std::ptrdiff_t>(count);
      std::partial_sort(first, cut, last, before);
      ranked.counts[c] = static_cast<std::uint32_t>(count);
      for (auto it = first; it != cut; ++it) {
        ranked.listed.push_back(CellKernel{kernel_in(it->key), it->cycles});
      }
    }
    clear();
  }

  [[nodiscard]] std::string_view name(std::uint32_t kernel) const {
    return names_[kernel];
  }

 private:
  struct Entry {
    std::uint64_t key = 0;
    std::uint64_t cycles = 0;
  };

  static std::uint32_t kernel_in(std::uint64_t key) {
    return static_cast<std::uint32_t>(key);
  }

  // Open addressing over `slots_`, each 0 or an index into `entries_` plus
  // one; kept at most half full.
  Entry& entry(std::uint64_t key) {
    if (2 * (entries_.size() + 1) > slots_.size()) {
      slots_.assign(2 * slots_.size(), 0);
      --shift_;
      for (std::size_t i = 0; i < entries_.size(); ++i) {
        slots_[free_slot(entries_[i].key)] = static_cast<std::uint32_t>(i + 1);
      }
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = slot_of(key);; slot = (slot + 1) & mask) {
      if (slots_[slot] == 0) {
        entries_.push_back(Entry{key, 0});
        slots_[slot] = static_cast<std::uint32_t>(entries_.size());
        return entries_.back();
      }
      Entry& held = entries_[slots_[slot] - 1];
      if (held.key == key) return held;
    }
  }

  std::size_t free_slot(std::uint64_t key) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = slot_of(key);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    return slot;
  }

  // Fibonacci hashing: the product's top bits mix every bit of the key,
  // the column's high ones as much as the kernel's low ones.
  [[nodiscard]] std::size_t slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  void clear() {
    entries_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
    pending_key_ = kNoPending;
    pending_cycles_ = 0;
  }

  static constexpr std::uint64_t kNoPending = ~std::uint64_t{0};

  const ProfileColumns& columns_;
  std::size_t top_;
  std::vector<std::uint32_t> by_string_;  // string id to kernel number
  std::unordered_map<std::string_view, std::uint32_t> numbers_;
  std::vector<std::string_view> names_;  // by kernel number
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;
  unsigned shift_ = 64 - 6;          // 64 - log2(slots_.size())
  std::vector<std::size_t> starts_;  // ranking's buckets, kept for reuse
  std::vector<Entry> bucketed_;
  std::uint64_t pending_key_ = kNoPending;
  std::uint64_t pending_cycles_ = 0;
};

// What one thread's scan tallies of the kernels: its rows ranked, and the
// tally of its last row when that row's tiles go on past these columns.
struct KernelScan {
  KernelTally tally;
  std::vector<RankedRow> ranked;
  KernelCarry carry;
};

struct Scanner {
  const ProfileColumns& columns;
  const SampleMatcher& matcher;
  Occupancy& result;  // only the cells of the rows scanned are written
  // Report position of the columns' first tile in the whole profile: rows
  // name whole-profile positions, and a shard holds a run of them.
  std::size_t first_tile = 0;
  // The tally of a row begun in an earlier shard, if any.
  const KernelCarry* carried = nullptr;

  // Scans the tiles of rows [first_row, end_row) that these columns hold
  // and returns their phase starts. With `kernels`, also ranks the kernels
  // of each row whose last tile these columns hold, and hands on the tally
  // of a row that goes on past them.
  PhaseStarts scan_rows(std::size_t first_row, std::size_t end_row,
                        KernelScan* kernels) const {
    PhaseStarts starts;
    std::unordered_map<std::uint64_t, std::uint64_t> tile_starts;
    const std::size_t end_tile = first_tile + columns.tiles.size();
    for (std::size_t row = first_row; row < end_row; ++row) {
      const TileBin& bin = result.rows[row];
      const std::size_t from = std::max(bin.first_tile, first_tile);
      const std::size_t to = std::min(bin.last_tile + 1, end_tile);
      if (kernels != nullptr && carried != nullptr && carried->row == row) {
        kernels->tally.take_carry(*carried);
      }
      for (std::size_t t = from; t < to; ++t) {
        tile_starts.clear();
        if (kernels == nullptr) {
          scan_tile_into<false>(row, columns.tiles[t - first_tile], tile_starts,
                                nullptr);
        } else {
          scan_tile_into<true>(row, columns.tiles[t - first_tile], tile_starts,
                               &kernels->tally);
        }
        for (const auto& [key, start] : tile_starts) {
          auto [it, inserted] = starts.try_emplace(
              key,
              PhaseStart{static_cast<std::uint32_t>(key >> 32),
                         static_cast<std::uint32_t>(key), start, start, 0});
          PhaseStart& phase = it->second;
          phase.earliest = std::min(phase.earliest, start);
          phase.latest = std::max(phase.latest, start);
          ++phase.tile_count;
        }
      }
      if (kernels == nullptr) continue;
      if (bin.last_tile < end_tile) {
        kernels->tally.rank(row, result.columns(),
                            kernels->ranked.emplace_back());
      } else {
        kernels->tally.give_carry(row, kernels->carry);
      }
    }
    return starts;
  }

  // `kKernels` adds each sample's cycles to `kernels` too; without it the
  // loop is the kinds' alone.
  template <bool kKernels>
  void scan_tile_into(
      std::size_t row, const ColumnTile& tile,
      std::unordered_map<std::uint64_t, std::uint64_t>& tile_starts,
      KernelTally* kernels) const {
    if (tile.sample_count == 0 || !matcher.keeps_tile(tile.physical_tile)) {
      return;
    }
    const std::vector<std::uint64_t>& edges = result.time_edges;
    const std::size_t columns_per_row = edges.size() - 1;
    std::uint64_t* const cells =
        result.cycles.data() + row * columns_per_row * kStepKinds;
    std::size_t last_column = 0;
    // Kernels come in runs too: the string id is looked up once per run.
    std::uint32_t last_id = kNoKernel;
    std::uint32_t kernel = 0;
    // Phases come in runs along a tile: the map is touched once per run.
    bool in_run = false;
    std::uint64_t run_key = 0;
    std::uint64_t run_start = 0;
    const auto end_run = [&] {
      if (!in_run) return;
      const auto [it, inserted] = tile_starts.try_emplace(run_key, run_start);
      if (!inserted) it->second = std::min(it->second, run_start);
    };
    const auto add = [&](std::size_t sample, std::uint64_t offset,
                         std::uint32_t sample_duration) {
      const std::uint64_t key =
          pair_key(columns.phase[sample], columns.epoch[sample]);
      if (!in_run || key != run_key) {
        end_run();
        in_run = true;
        run_key = key;
        run_start = offset;
      } else {
        run_start = std::min(run_start, offset);
      }
      std::uint64_t begin = std::max(offset, edges.front());
      const std::uint64_t end =
          std::min(offset + sample_duration, edges.back());
      if (begin >= end) return;
      const std::size_t kind = columns.kind[sample] & (kStepKinds - 1);
      // Samples follow each other along the tile: the column of the last
      // one, or the next, nearly always holds this one's start, and the
      // division is left for the jumps.
      std::size_t column = last_column;
      if (begin < edges[column] || begin >= edges[column + 1]) {
        column = column + 2 < edges.size() && begin >= edges[column + 1] &&
                         begin < edges[column + 2]
                     ? column + 1
                     : column_of(edges, begin);
      }
      last_column = column;
      if constexpr (kKernels) {
        const std::uint32_t id = columns.kernel[sample];
        if (id != last_id) {
          last_id = id;
          kernel = kernels->kernel_of(id);
        }
      }
      for (; begin < end; ++column) {
        const std::uint64_t cell_end = std::min(end, edges[column + 1]);
        cells[column * kStepKinds + kind] += cell_end - begin;
        if constexpr (kKernels) kernels->add(column, kernel, cell_end - begin);
        begin = cell_end;
      }
    };
    if (matcher.keeps_everything()) {
      scan_tile<false>(columns, tile, matcher, add);
    } else {
      scan_tile<true>(columns, tile, matcher, add);
    }
    end_run();
  }
};

// A kept tile: its report position in the whole profile and its number.
struct KeptTile {
  std::size_t position = 0;
  std::uint32_t physical_tile = 0;
};

// Appends the tiles of `columns` that `query` keeps, their positions
// counted from `first_tile`.
void keep_tiles(const ProfileColumns& columns, const Query& query,
                std::size_t first_tile, std::vector<KeptTile>& kept) {
  for (std::size_t t = 0; t < columns.tiles.size(); ++t) {
    const std::uint32_t number = columns.tiles[t].physical_tile;
    if (query.tiles.empty() || query.tiles.contains(number)) {
      kept.push_back(KeptTile{first_tile + t, number});
    }
  }
}

// Cuts the kept tiles into about `wanted` rows of consecutive tiles.
std::vector<TileBin> tile_rows(const std::vector<KeptTile>& kept,
                               std::size_t wanted) {
  const std::size_t tiles = kept.size();
  const std::size_t rows = std::min(std::max<std::size_t>(wanted, 1), tiles);
  std::vector<TileBin> result(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    TileBin& bin = result[row];
    const std::size_t first = row * tiles / rows;
    const std::size_t end = (row + 1) * tiles / rows;
    bin.first_tile = kept[first].position;
    bin.last_tile = kept[end - 1].position;
    bin.tile_count = end - first;
    bin.lowest_physical_tile = kept[first].physical_tile;
    bin.highest_physical_tile = bin.lowest_physical_tile;
    for (std::size_t i = first; i < end; ++i) {
      bin.lowest_physical_tile =
          std::min(bin.lowest_physical_tile, kept[i].physical_tile);
      bin.highest_physical_tile =
          std::max(bin.highest_physical_tile, kept[i].physical_tile);
    }
  }
  return result;
}

// The frame of the map: its rows over the kept tiles and its time columns
// over the query's window clipped to the span, every cell still zero.
Occupancy empty_map(std::uint64_t clock_hz, std::uint64_t span,
                    const Query& query, const std::vector<KeptTile>& kept,
                    OccupancyOptions options) {
  Occupancy result;
  result.clock_hz = clock_hz;
  // Samples end by the span, so a window reaching past it draws no more.
  result.to_cycles =
      std::min(query.to_offset ? query.to_offset->cycles() : span, span);
  result.from_cycles = std::min(
      query.from_offset ? query.from_offset->cycles() : 0, result.to_cycles);
  result.rows = tile_rows(kept, std::min(options.tile_bins, kMaxBins));
  const std::uint64_t width = result.to_cycles - result.from_cycles;
  // Never more columns than cycles: every column is at least a cycle wide.
  const std::size_t time_bins =
      static_cast<std::size_t>(std::min<std::uint64_t>(
          std::clamp<std::size_t>(options.time_bins, 1, kMaxBins),
          std::max<std::uint64_t>(width, 1)));
  for (std::size_t column = 0; column <= time_bins; ++column) {
    // Offsets stay below 2^33 and columns below 2^13: no overflow.
    result.time_edges.push_back(result.from_cycles +
                                width * column / time_bins);
  }
  result.cycles.assign(result.rows.size() * time_bins * kStepKinds, 0);
  return result;
}

// The cells' top kernels as rows are ranked, over every shard: names are
// numbered as they come and renumbered in name order once all are in.
struct KernelBuild {
  std::size_t top = 0;  // 0: not asked for
  KernelCarry carry;
  std::unordered_map<std::string, std::uint32_t> numbers;
  std::vector<std::string> names;  // by number
  // Per row: how many kernels each column lists, and those kernels.
  std::vector<std::vector<std::uint32_t>> counts;
  std::vector<std::vector<CellKernel>> listed;

  // Takes in the rows one thread ranked, numbering their kernels here.
  void keep(KernelScan& scan) {
    constexpr std::uint32_t kUnseen = kNoKernel;
    std::vector<std::uint32_t> ours;  // the tally's numbers to these
    for (RankedRow& ranked : scan.ranked) {
      std::vector<CellKernel>& row = listed[ranked.row];
      row = std::move(ranked.listed);
      for (CellKernel& kernel : row) {
        if (kernel.kernel >= ours.size())
          ours.resize(kernel.kernel + 1, kUnseen);
        std::uint32_t& number = ours[kernel.kernel];
        if (number == kUnseen) {
          const auto [it, inserted] =
              numbers.try_emplace(std::string(scan.tally.name(kernel.kernel)),
                                  static_cast<std::uint32_t>(names.size()));
          if (inserted) names.push_back(it->first);
          number = it->second;
        }
        kernel.kernel = number;
      }
      counts[ranked.row] = std::move(ranked.counts);
    }
  }
};

void merge_starts(PhaseStarts& into, const PhaseStarts& other) {
  for (const auto& [key, phase] : other) {
    const auto [it, inserted] = into.try_emplace(key, phase);
    if (inserted) continue;
    it->second.earliest = std::min(it->second.earliest, phase.earliest);
    it->second.latest = std::max(it->second.latest, phase.latest);
    it->second.tile_count += phase.tile_count;
  }
}

// Adds the cells and phase starts of the rows' tiles that `columns` holds,
// the profile's tiles from position `first_tile` on, on up to the threads
// `parallel` allows: threads take contiguous runs of rows, so each writes
// only its own cells.
void scan_into(const ProfileColumns& columns, std::size_t first_tile,
               const Query& query, ParallelOptions parallel, Occupancy& result,
               PhaseStarts& merged, KernelBuild& kernels) {
  const std::size_t end_tile = first_tile + columns.tiles.size();
  // The rows that hold some of these tiles.
  const auto first_row = std::partition_point(
      result.rows.begin(), result.rows.end(),
      [&](const TileBin& bin) { return bin.last_tile < first_tile; });
  const auto end_row = std::partition_point(
      first_row, result.rows.end(),
      [&](const TileBin& bin) { return bin.first_tile < end_tile; });
  const std::size_t begin = first_row - result.rows.begin();
  const std::size_t end = end_row - result.rows.begin();
  if (begin == end) return;
  const SampleMatcher matcher(columns, query);
  const Scanner scanner{columns, matcher, result, first_tile, &kernels.carry};
  // Rows in contiguous runs of about equal sample counts, one per thread.
  const std::vector<std::size_t> bounds = detail::even_ranges(
      begin, end, query_threads(columns, parallel), columns.sample_count(),
      [&](std::size_t row) {
        const TileBin& bin = result.rows[row];
        const std::size_t from = std::max(bin.first_tile, first_tile);
        const std::size_t to = std::min(bin.last_tile + 1, end_tile);
        std::size_t samples = 0;
        for (std::size_t t = from; t < to; ++t) {
          samples += columns.tiles[t - first_tile].sample_count;
        }
        return samples;
      });
  const std::size_t parts = bounds.size() - 1;
  std::vector<PhaseStarts> starts(parts);
  std::vector<KernelScan> scans;
  if (kernels.top > 0) {
    for (std::size_t i = 0; i < parts; ++i) {
      scans.push_back(KernelScan{KernelTally(columns, kernels.top), {}, {}});
    }
  }
  const auto scan_part = [&](std::size_t i) {
    starts[i] = scanner.scan_rows(bounds[i], bounds[i + 1],
                                  scans.empty() ? nullptr : &scans[i]);
  };
  {
    std::vector<std::jthread> workers;
    for (std::size_t i = 1; i < parts; ++i) {
      workers.emplace_back(scan_part, i);
    }
    scan_part(0);
  }
  for (const PhaseStarts& part : starts) merge_starts(merged, part);
  if (scans.empty()) return;
  // The tallies' names may point into the carry taken in: it is spent only
  // once they are copied. Only the last part can hand one on.
  for (KernelScan& scan : scans) kernels.keep(scan);
  kernels.carry = std::move(scans.back().carry);
}

// Lays the ranked rows out cell by cell, the names in byte order, and
// what each cell's listed kernels leave of its cycles.
void finish_kernels(KernelBuild& kernels, Occupancy& result) {
  std::vector<std::uint32_t> order(kernels.names.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t left, std::uint32_t right) {
              return kernels.names[left] < kernels.names[right];
            });
  std::vector<std::uint32_t> renumbered(order.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    renumbered[order[i]] = i;
    result.kernel_names.push_back(std::move(kernels.names[order[i]]));
  }
  const std::size_t columns = result.columns();
  const std::size_t cells = result.rows.size() * columns;
  result.kernel_offsets.reserve(cells + 1);
  result.kernel_offsets.push_back(0);
  result.other_kernel_cycles.reserve(cells);
  std::size_t listed = 0;
  for (const std::vector<CellKernel>& row : kernels.listed)
    listed += row.size();
  result.cell_kernels.reserve(listed);
  for (std::size_t row = 0; row < result.rows.size(); ++row) {
    const std::vector<std::uint32_t>& counts = kernels.counts[row];
    std::size_t next = 0;
    for (std::size_t column = 0; column < columns; ++column) {
      std::uint64_t other = 0;
      const std::size_t cell = row * columns + column;
      for (std::size_t kind = 0; kind < kStepKinds; ++kind) {
        other += result.cycles[cell * kStepKinds + kind];
      }
      const std::size_t count = counts.empty() ? 0 : counts[column];
      for (std::size_t i = 0; i < count; ++i) {
        CellKernel listed = kernels.listed[row][next++];
        listed.kernel = renumbered[listed.kernel];
        other -= listed.cycles;
        result.cell_kernels.push_back(listed);
      }
      result.kernel_offsets.push_back(result.cell_kernels.size());
      result.other_kernel_cycles.push_back(other);
    }
  }
}

// The phase starts in (phase, epoch) order, the map's total and the cells'
// kernels.
void finish_map(const PhaseStarts& merged, KernelBuild& kernels,
                Occupancy& result) {
  for (const auto& [key, phase] : merged) result.phase_starts.push_back(phase);
  std::sort(result.phase_starts.begin(), result.phase_starts.end(),
            [](const PhaseStart& left, const PhaseStart& right) {
              return pair_key(left.phase, left.epoch) <
                     pair_key(right.phase, right.epoch);
            });
  for (const std::uint64_t cell : result.cycles) result.work_cycles += cell;
  if (kernels.top > 0) finish_kernels(kernels, result);
}

KernelBuild kernel_build(const Occupancy& result, OccupancyOptions options) {
  KernelBuild kernels;
  kernels.top = options.top_kernels;
  if (kernels.top > 0) {
    kernels.counts.resize(result.rows.size());
    kernels.listed.resize(result.rows.size());
  }
  return kernels;
}

}  // namespace

Occupancy occupancy(const ProfileColumns& columns, const Query& asked,
                    OccupancyOptions options, ParallelOptions parallel) {
  const std::uint64_t span = profile_span(columns);
  const Query query = resolve_bounds(asked, span);
  std::vector<KeptTile> kept;
  keep_tiles(columns, query, 0, kept);
  Occupancy result = empty_map(columns.clock_hz, span, query, kept, options);
  PhaseStarts merged;
  KernelBuild kernels = kernel_build(result, options);
  scan_into(columns, 0, query, parallel, result, merged, kernels);
  finish_map(merged, kernels, result);
  return result;
}

Loaded<Occupancy> occupancy(const ProfileSet& profile, const Query& asked,
                            OccupancyOptions options,
                            ParallelOptions parallel) {
  // A first pass finds the span and the kept tiles of the whole profile,
  // which set the frame; a second scans each shard into it.
  std::uint64_t span = 0;
  std::uint64_t clock_hz = 0;
  std::vector<KeptTile> kept;
  std::vector<std::size_t> first_tiles;
  std::size_t tiles = 0;
  for (std::size_t position = 0; position < profile.size(); ++position) {
    ColumnsResult loaded = profile.load(position);
    if (!loaded.ok()) return loaded.error();
    const ProfileColumns& columns = loaded.value();
    if (position == 0) clock_hz = columns.clock_hz;
    span = std::max(span, profile_span(columns));
    keep_tiles(columns, asked, tiles, kept);
    first_tiles.push_back(tiles);
    tiles += columns.tiles.size();
  }
  const Query query = resolve_bounds(asked, span);
  Occupancy result = empty_map(clock_hz, span, query, kept, options);
  PhaseStarts merged;
  KernelBuild kernels = kernel_build(result, options);
  for (std::size_t position = 0; position < profile.size(); ++position) {
    ColumnsResult loaded = profile.load(position);
    if (!loaded.ok()) return loaded.error();
    scan_into(loaded.value(), first_tiles[position], query, parallel, result,
              merged, kernels);
  }
  finish_map(merged, kernels, result);
  return result;
}

}  // namespace zyl_profile
