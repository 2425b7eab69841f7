// What the queries make of generated bulk-synchronous profiles: the
// measures stay within what the machine can do, and the straggler tile and
// slow kernel a user plants are what `phases` and `diff` point at.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zyl_package/generate.h"
#include "zyl_package/profile_columns.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/query.h"

namespace zyl_profile {
namespace {

using zyl_package::generate_report;
using zyl_package::GenerateOptions;
using zyl_package::to_columns;

// Synchronization and exchange samples carry no kernel, several to a tile
// in every superstep.
bool names_a_kernel(const GroupSummary& group) {
  return group.name != "(no kernel)";
}

GenerateOptions bsp(std::uint64_t total, std::uint32_t tiles) {
  GenerateOptions options = zyl_package::options_for_total(total, tiles);
  options.model = zyl_package::GenerateModel::BulkSynchronous;
  return options;
}

TEST(GeneratedProfile, NoKernelAveragesMoreActiveTilesThanThereAre) {
  struct Shape {
    const char* name;
    GenerateOptions options;
  };
  std::vector<Shape> shapes{{"default tables", bsp(40000, 64)},
                            {"uneven counts", bsp(64 * 211 + 17, 64)},
                            {"two kernels", bsp(12000, 32)},
                            {"few phases, planted", bsp(30000, 48)}};
  shapes[2].options.kernels = 2;
  shapes[3].options.phases = 2;
  shapes[3].options.slow_kernels = {{"matmul_0", 3.0}};
  shapes[3].options.stragglers = {{5, 2.0}};
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const QueryReport answer =
        query(to_columns(generate_report(shape.options)), Query{});
    std::size_t kernels = 0;
    for (const GroupSummary& group : answer.groups) {
      if (!names_a_kernel(group)) continue;
      ++kernels;
      EXPECT_LE(group.average_active_tiles,
                static_cast<double>(shape.options.tiles))
          << group.name;
    }
    EXPECT_GE(kernels, 2U);
  }
}

TEST(GeneratedProfile, PhasesNameThePlantedStragglerAsTheSlowestTile) {
  GenerateOptions options = bsp(64 * 700 + 23, 64);
  options.stragglers = {{37, 1.5}};
  const PhaseBalance balance =
      phase_balance(to_columns(generate_report(options)), Query{});
  ASSERT_GE(balance.rows.size(), 100U);
  std::size_t named = 0;
  for (const PhaseRow& row : balance.rows) {
    if (row.slowest_tile == 37) ++named;
  }
  // Only the supersteps in which the tile idled may name another.
  EXPECT_GE(named * 100, balance.rows.size() * 95);
}

TEST(GeneratedProfile, DiffFlagsOnlyTheKernelPlantedSlowerOnTheSameSeed) {
  GenerateOptions options = bsp(64 * 300, 64);
  const ProfileReport base = generate_report(options);
  // The kernel holding up the phases most, so its change is the largest.
  const QueryReport answer = query(to_columns(base), Query{});
  std::string target;
  for (const GroupSummary& group : answer.groups) {
    if (names_a_kernel(group)) {
      target = group.name;
      break;
    }
  }
  ASSERT_FALSE(target.empty());
  options.slow_kernels = {{target, 1.12}};
  DiffOptions how;
  how.fail_above = Percentage{5, 1};
  const DiffReport diff =
      diff_profiles(to_columns(base), to_columns(generate_report(options)),
                    Query{}, Query{}, how, 1);
  EXPECT_EQ(diff.regressed_groups, std::vector<std::string>{target});
}

}  // namespace
}  // namespace zyl_profile
