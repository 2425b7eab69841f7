// The synthetic report generator: realistic profiles of any size for the
// examples, the benchmarks, the tests and users trying the tool.
#pragma once

#include <cstdint>

#include "zyl_package/profile_report.h"

namespace zyl_package {

// What to generate. Counts above kMaxGeneratedNames (kernels, operations) and
// kMaxGeneratedPhases (phases, epochs) are clamped to them, and a count of 0
// phases or epochs counts as 1, so no option can make the generator allocate
// tables out of proportion to the samples it writes.
struct GenerateOptions {
  std::uint32_t tiles = 1472;
  std::uint32_t samples_per_tile = 100;  // average; a few tiles are empty or
                                         // shorter
  std::uint64_t seed = 1;
  std::uint64_t clock_hz = 1330000000;  // counter frequency written out, Hz
  std::uint32_t kernels = 300;          // distinct kernels, Zipf-like use;
                                        // 0 leaves every kernel empty
  std::uint32_t operations = 40;        // distinct operations; 0 leaves every
                                        // operation empty
  std::uint32_t phases = 24;
  std::uint32_t epochs = 4;         // per phase
  std::uint64_t total_samples = 0;  // exact total over all tiles; 0 means
                                    // tiles × samples_per_tile

  bool operator==(const GenerateOptions&) const = default;
};

inline constexpr std::uint32_t kMaxGeneratedNames = 1U << 20;
inline constexpr std::uint32_t kMaxGeneratedPhases = 1U << 20;

// Returns a synthetic but realistic report: hundreds of kernels used with a
// skewed (Zipf-like) frequency, tens of operations, phases walked in order
// on every tile with the same kernels side by side on many tiles, mostly
// compute with some exchange and synchronization and a little idle, one to
// three metadata entries ("block", "layer", sometimes "block" twice), a few
// empty kernels and empty tiles, and per-tile counters that start at random
// values, some just below 2^32 so they wrap mid-profile. Samples of a tile
// follow each other in time with small gaps. The report holds exactly
// `total_samples` (or tiles × samples_per_tile) samples, except that zero
// tiles hold none. Identical options give an identical report on every
// machine: all randomness comes from the generator's own integer PRNG.
[[nodiscard]] ProfileReport generate_report(const GenerateOptions& options);

// Returns the default options with `tiles` tiles whose samples add up to
// exactly `total_samples`.
[[nodiscard]] GenerateOptions options_for_total(std::uint64_t total_samples,
                                                std::uint32_t tiles = 1472);

}  // namespace zyl_package
