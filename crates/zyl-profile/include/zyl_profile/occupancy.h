// What the tiles did over time, binned: tiles (rows of consecutive tiles in
// report order) by time (columns of the normalised timeline), each cell the
// exact cycles the matched samples of each kind spent inside it, samples
// split at the cell edges. This is the picture of a profile: its size
// follows the bins, never the samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "zyl_profile/query.h"

namespace zyl_profile {

// How finely to bin. A profile with fewer tiles than `tile_bins` gets a row
// per tile; 0 is taken as 1.
struct OccupancyOptions {
  std::size_t tile_bins = 256;
  std::size_t time_bins = 512;
  // How many of each cell's kernels to name (Occupancy::cell_kernels); 0
  // names none and costs nothing.
  std::size_t top_kernels = 0;
};

// One row: consecutive tiles in report order, among those the query keeps
// (a tile filter draws only its tiles, so a few tiles of many still fill
// the picture). The row's tiles are the kept ones with report positions in
// [first_tile, last_tile].
struct TileBin {
  std::size_t first_tile = 0;  // report position of the row's first tile
  std::size_t last_tile = 0;   // and of its last
  std::size_t tile_count = 0;  // kept tiles in the row
  std::uint32_t lowest_physical_tile = 0;  // among the row's tiles
  std::uint32_t highest_physical_tile = 0;

  bool operator==(const TileBin&) const = default;
};

// Where one (phase, epoch) pair begins on the tiles that have it: the
// earliest and latest of its first matched sample's start over those tiles.
// A phase whose tiles all start it together (a synchronised phase) has the
// two close; the picture marks those.
struct PhaseStart {
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::uint64_t earliest = 0;
  std::uint64_t latest = 0;
  std::size_t tile_count = 0;

  bool operator==(const PhaseStart&) const = default;
};

inline constexpr std::size_t kStepKinds = 4;  // StepKind values

// One of a cell's top kernels.
struct CellKernel {
  std::uint32_t kernel = 0;  // index into Occupancy::kernel_names
  std::uint64_t cycles = 0;  // its matched cycles inside the cell, above 0

  bool operator==(const CellKernel&) const = default;
};

struct Occupancy {
  std::uint64_t clock_hz = 0;
  // The time drawn: the query's window clipped to the profile, else the
  // whole timeline [0, profile span). Column c covers
  // [time_edges[c], time_edges[c + 1]).
  std::uint64_t from_cycles = 0;
  std::uint64_t to_cycles = 0;
  std::vector<std::uint64_t> time_edges;  // columns + 1 values
  std::vector<TileBin> rows;
  // cycles[(row * columns + column) * kStepKinds + kind], kind a StepKind
  // value.
  std::vector<std::uint64_t> cycles;
  std::uint64_t work_cycles = 0;         // the sum of every cell
  std::vector<PhaseStart> phase_starts;  // ascending by (phase, epoch)

  // The top kernels of each cell, when OccupancyOptions::top_kernels is K
  // above 0; otherwise all four vectors are empty. A kernel's cycles in a
  // cell are its matched samples' cycles inside the cell, split at the
  // edges as the kinds are, so a cell's kernels share out exactly the sum of
  // its kinds. Kernels are told apart by name, byte for byte. A cell lists
  // the min(K, kernels with cycles there) kernels with the most cycles,
  // most first, equal cycles by the byte-wise smaller name first; the
  // cycles of its other kernels are summed in other_kernel_cycles, so the
  // listed cycles and the other cycles add up to the cell's kinds.
  //
  // Samples without a kernel count as the kernel named "" (which sorts
  // before every other name): a profile may hold a real kernel named as the
  // query's placeholder kNoKernelName, and the two stay apart here; a
  // reader shows "" under that placeholder.
  //
  // The names of the kernels any cell lists, each once, byte-wise
  // ascending: the same profile and query give the same table whatever
  // the threads or shards.
  std::vector<std::string> kernel_names;
  // Cell (row, column), at index row * columns() + column, lists
  // cell_kernels[kernel_offsets[cell], kernel_offsets[cell + 1]); cells + 1
  // values.
  std::vector<std::size_t> kernel_offsets;
  std::vector<CellKernel> cell_kernels;
  std::vector<std::uint64_t> other_kernel_cycles;  // one per cell

  [[nodiscard]] std::size_t columns() const {
    return time_edges.empty() ? 0 : time_edges.size() - 1;
  }
  [[nodiscard]] std::uint64_t at(std::size_t row, std::size_t column,
                                 StepKind kind) const {
    return cycles[(row * columns() + column) * kStepKinds +
                  static_cast<std::size_t>(kind)];
  }
  // The cell's listed kernels; empty when none were asked for.
  [[nodiscard]] std::span<const CellKernel> kernels_at(
      std::size_t row, std::size_t column) const {
    if (kernel_offsets.empty()) return {};
    const std::size_t cell = row * columns() + column;
    return std::span(cell_kernels)
        .subspan(kernel_offsets[cell],
                 kernel_offsets[cell + 1] - kernel_offsets[cell]);
  }

  bool operator==(const Occupancy&) const = default;
};

// Returns the occupancy of the samples `query` matches (its grouping,
// order, limits and listing play no part). One scan over the profile, on up
// to `parallel.threads` threads; never fails.
[[nodiscard]] Occupancy occupancy(const ProfileColumns& columns,
                                  const Query& query,
                                  OccupancyOptions options = {},
                                  ParallelOptions parallel = {});

}  // namespace zyl_profile
