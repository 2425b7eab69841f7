// The synthetic report generator: realistic profiles of any size for the
// examples, the benchmarks, the tests and users trying the tool.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zyl_package/profile_report.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"

namespace zyl_package {

// How the generated tiles relate in time.
enum class GenerateModel : std::uint8_t {
  // Each tile walks the phases on its own, with no barrier between tiles.
  Independent = 0,
  // The program is a sequence of supersteps (every phase once per epoch, in
  // order): each tile computes, waits at a barrier for the slowest tile,
  // then exchanges, and all tiles start the next superstep together.
  BulkSynchronous = 1,
};

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
  std::uint32_t epochs = 4;         // per phase; independent model only
  std::uint64_t total_samples = 0;  // exact total over all tiles; 0 means
                                    // tiles × samples_per_tile
  // Independent, so the reports existing callers (tests, benchmarks) make
  // from a seed stay the same; `zyl-profile generate` asks for
  // BulkSynchronous unless told otherwise.
  GenerateModel model = GenerateModel::Independent;
  // Bulk-synchronous model only: compute durations of the named kernel are
  // multiplied by the factor (names not in the kernel table change nothing).
  std::vector<std::pair<std::string, double>> slow_kernels;
  // Bulk-synchronous model only: compute durations of the physical tile are
  // multiplied by the factor in every superstep.
  std::vector<std::pair<std::uint32_t, double>> stragglers;

  bool operator==(const GenerateOptions&) const = default;
};

inline constexpr std::uint32_t kMaxGeneratedNames = 1U << 20;
inline constexpr std::uint32_t kMaxGeneratedPhases = 1U << 20;
// Slow-kernel and straggler factors are clamped into this range, so no factor
// can make a duration overflow its 32-bit counter difference.
inline constexpr double kMinSlowdownFactor = 0.1;
inline constexpr double kMaxSlowdownFactor = 100.0;
// Bulk-synchronous model: a superstep holds at most this many samples per
// tile, so the supersteps are ceil(most samples on a tile / this).
inline constexpr std::uint32_t kMaxSamplesPerSuperstep = 6;
// Bulk-synchronous model: cycles the barrier costs after the slowest tile.
inline constexpr std::uint32_t kBarrierCycles = 40;

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
//
// With GenerateModel::BulkSynchronous, superstep s is phase s % phases of
// epoch s / phases (the epoch count follows from the samples, `epochs` is
// not used; bulk_synchronous_shape says what it comes to). The samples are
// spread evenly over the tiles, at most kMaxSamplesPerSuperstep per tile in
// a superstep: compute (or, on a few tiles, idle) samples running each of
// the phase's one to three distinct kernels at most once, one
// synchronization ending kBarrierCycles after the slowest tile's compute,
// then exchange samples whose cycles add up to the same figure on every
// tile of the superstep. Every tile starts every superstep at the same
// offset from its first sample; a few random tiles per superstep run
// slower.
[[nodiscard]] ProfileReport generate_report(const GenerateOptions& options);

// One metadata entry of a generated sample, borrowed from the generator.
struct GeneratedMetadata {
  std::string_view name;
  std::string_view value;
};

// One generated sample: the fields of a CycleSample, with every string
// borrowed from the generator and valid only while the visit runs, so
// producing a sample allocates nothing.
struct GeneratedSample : SampleView {
  std::array<GeneratedMetadata, 3> entries{};
  std::uint32_t entry_count = 0;  // entries in use, in capture order

  [[nodiscard]] std::span<const GeneratedMetadata> metadata() const {
    return {entries.data(), entry_count};
  }
};

// Receives a generated report one piece at a time: begin_tile for every tile
// in report order, then sample for each of that tile's samples in order.
class GeneratedReportVisitor {
 public:
  GeneratedReportVisitor() = default;
  GeneratedReportVisitor(const GeneratedReportVisitor&) = delete;
  GeneratedReportVisitor& operator=(const GeneratedReportVisitor&) = delete;
  virtual ~GeneratedReportVisitor() = default;

  virtual void begin_tile(std::uint32_t physical_tile,
                          std::uint64_t sample_count) = 0;
  virtual void sample(const GeneratedSample& sample) = 0;
  // Checked before each tile: a visitor that can no longer use the samples
  // (a writer whose file failed) ends the walk early.
  [[nodiscard]] virtual bool stopped() const { return false; }
};

// Hands `visitor` the report generate_report(options) returns, tile by tile
// and sample by sample, holding no sample after its visit: memory stays in
// proportion to the tiles and the name tables, whatever the sample count.
// Every call with the same options visits the same samples, so a writer may
// walk the report several times.
void for_each_generated_sample(const GenerateOptions& options,
                               GeneratedReportVisitor& visitor);

// The supersteps of the bulk-synchronous model and the phases and epochs
// they walk; the last epoch may stop part way through its phases.
struct SuperstepShape {
  std::uint64_t supersteps = 0;
  std::uint32_t phases = 0;  // distinct phases run
  std::uint64_t epochs = 0;  // epochs begun

  bool operator==(const SuperstepShape&) const = default;
};

// Returns the shape generate_report(options) has when options.model is
// GenerateModel::BulkSynchronous, whatever options.model says.
[[nodiscard]] SuperstepShape bulk_synchronous_shape(
    const GenerateOptions& options);

// Returns the number of samples generate_report(options) holds over all
// tiles.
[[nodiscard]] std::uint64_t generated_sample_count(
    const GenerateOptions& options);

// Writes the report generate_report(options) returns to `path` in `format`,
// atomically as write_report does, without ever holding the report or its
// columns: the bytes are those of write_report (JSON) or of
// write_columns(to_columns(report), path, Package, package) (a package).
// Memory stays at a few tens of MiB plus the string and metadata
// dictionaries and 24 bytes per tile, so the sample count is bounded by the
// disk alone. A package walks the generator twice (dictionaries, which come
// first in the file, then the columns), each column written at its final
// offset; compressed, it compresses every column in both walks, the first
// only to learn the sizes. Returns nothing on success or the error (naming
// `path`); on failure `path` is untouched. `progress`, when given,
// counts samples as they are written: `total` is the sample count for JSON
// and twice it for a package, whose two walks count one after the other;
// after a successful write `done` equals `total`. Given `staged`, the file
// is left for staged->commit() to put in place with the rest of its set.
[[nodiscard]] Written write_generated_report(
    const GenerateOptions& options, const std::filesystem::path& path,
    ReportFormat format, const PackageWriteOptions& package = {},
    ReadProgress* progress = nullptr, StagedFiles* staged = nullptr);

// Returns the default options with `tiles` tiles whose samples add up to
// exactly `total_samples`.
[[nodiscard]] GenerateOptions options_for_total(std::uint64_t total_samples,
                                                std::uint32_t tiles = 1472);

}  // namespace zyl_package
