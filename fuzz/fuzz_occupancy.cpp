// Fuzzes the occupancy with its cells' top kernels: decodes a report and a
// query as fuzz_query does, then the bins and how many kernels to name, and
// checks the map over columns against the invariants of its cells and the
// reference model, on one to three threads and through a set of shards
// written as `zyl-profile split` writes them, rows straddling the shards.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_profile_input.h"
#include "reference_occupancy.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/shards.h"
#include "zyl_profile/occupancy.h"
#include "zyl_profile/profile_set.h"
#include "zyl_profile/scan.h"

namespace {

namespace fs = std::filesystem;
using namespace zyl_profile;

// What holds for any map, whatever the profile.
void check_invariants(const Occupancy& map, std::size_t top) {
  const std::size_t cells = map.rows.size() * map.columns();
  if (top == 0) {
    FUZZ_CHECK(map.kernel_names.empty() && map.kernel_offsets.empty() &&
               map.cell_kernels.empty() && map.other_kernel_cycles.empty());
    return;
  }
  FUZZ_CHECK(map.kernel_offsets.size() == cells + 1);
  FUZZ_CHECK(map.other_kernel_cycles.size() == cells);
  for (std::size_t i = 1; i < map.kernel_names.size(); ++i) {
    FUZZ_CHECK(map.kernel_names[i - 1] < map.kernel_names[i]);
  }
  for (std::size_t cell = 0; cell < cells; ++cell) {
    const std::size_t first = map.kernel_offsets[cell];
    const std::size_t end = map.kernel_offsets[cell + 1];
    FUZZ_CHECK(first <= end && end - first <= top);
    std::uint64_t sum = map.other_kernel_cycles[cell];
    for (std::size_t i = first; i < end; ++i) {
      const CellKernel& kernel = map.cell_kernels[i];
      FUZZ_CHECK(kernel.kernel < map.kernel_names.size());
      FUZZ_CHECK(kernel.cycles > 0);
      if (i > first) {
        const CellKernel& before = map.cell_kernels[i - 1];
        FUZZ_CHECK(
            before.cycles > kernel.cycles ||
            (before.cycles == kernel.cycles && before.kernel < kernel.kernel));
      }
      sum += kernel.cycles;
    }
    // A cell leaves kernels out only when its list is full.
    if (map.other_kernel_cycles[cell] > 0) FUZZ_CHECK(end - first == top);
    std::uint64_t kinds = 0;
    for (std::size_t kind = 0; kind < kStepKinds; ++kind) {
      kinds += map.cycles[cell * kStepKinds + kind];
    }
    FUZZ_CHECK(sum == kinds);
  }
}

// A folder of this process's own for the shard files, rewritten by every
// input and removed at exit.
struct Scratch {
  fs::path folder;
  Scratch() {
    std::error_code ec;
    folder = fs::temp_directory_path(ec) /
             ("zyl-fuzz-occupancy-" + std::to_string(::getpid()));
    fs::create_directories(folder, ec);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const Scratch scratch;
  zyl_fuzz::ByteReader in(data, size);
  const Query q = zyl_fuzz::decode_query(in);
  const ProfileReport report = zyl_fuzz::decode_report(in);
  OccupancyOptions options;
  options.tile_bins = in.byte() % 8;
  options.time_bins = in.byte() % 64;
  const std::uint8_t top = in.byte();
  options.top_kernels =
      top == 255 ? std::numeric_limits<std::size_t>::max() : top % 5;
  const std::size_t shards = 2 + in.byte() % 4;

  const ProfileColumns columns = zyl_package::to_columns(report);
  const Occupancy map = occupancy(columns, q, options);
  check_invariants(map, options.top_kernels);
  const Query resolved = resolve_bounds(q, profile_span(columns));
  FUZZ_CHECK(map == testing::reference_occupancy(report, resolved, map,
                                                 options.top_kernels));
  // A minimum of 0 samples per thread cuts even a tiny map's rows among
  // the threads.
  FUZZ_CHECK(occupancy(columns, q, options, ParallelOptions{2, 0}) == map);
  FUZZ_CHECK(occupancy(columns, q, options, ParallelOptions{3, 0}) == map);

  std::vector<fs::path> paths;
  const auto written = zyl_package::write_shard_set(
      columns, shards, [&](std::size_t index, std::size_t) {
        paths.push_back(scratch.folder / (std::to_string(index) + ".zpk"));
        return paths.back();
      });
  // A package holds only UTF-8 text: such profiles are checked in memory
  // alone.
  if (!written.ok()) return 0;
  const zyl_package::Loaded<ProfileSet> set = ProfileSet::open(paths);
  FUZZ_CHECK(set.ok());
  const zyl_package::Loaded<Occupancy> from_set =
      occupancy(set.value(), q, options, ParallelOptions{2, 0});
  FUZZ_CHECK(from_set.ok() && from_set.value() == map);
  return 0;
}
