// Query benchmarks over generated profiles of 10^4 to 10^7 samples, in the
// columnar form every query runs on, with the record path (which converts
// first) as a reference row and a memory-bandwidth reference so the scan's
// speed reads as a fraction of what the machine can stream.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "package_files.h"
#include "zyl_package/generate.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_package/shards.h"
#include "zyl_profile/occupancy.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/query.h"

namespace {

using zyl_profile::GroupBy;
using zyl_profile::ProfileColumns;
using zyl_profile::ProfileReport;
using zyl_profile::Query;
using zyl_profile::SortBy;
using zyl_profile::StepKind;

constexpr std::uint32_t kTiles = 1472;

using zyl_package::GenerateModel;

// Reports are generated once per size and model and kept for the whole run.
const ProfileReport& report_of(
    std::int64_t samples, GenerateModel model = GenerateModel::Independent) {
  static std::mutex mutex;
  static std::map<std::pair<std::int64_t, GenerateModel>,
                  std::unique_ptr<ProfileReport>>
      reports;
  const std::lock_guard lock(mutex);
  auto& slot = reports[{samples, model}];
  if (!slot) {
    zyl_package::GenerateOptions options = zyl_package::options_for_total(
        static_cast<std::uint64_t>(samples), kTiles);
    options.model = model;
    slot =
        std::make_unique<ProfileReport>(zyl_package::generate_report(options));
  }
  return *slot;
}

// The same profiles as the command line opens them: a package file mapped
// as columns, once per size. Should the file fail to write or read, the
// columns are converted in memory instead, and the run says so.
const ProfileColumns& columns_of(
    std::int64_t samples, GenerateModel model = GenerateModel::Independent) {
  static std::mutex mutex;
  static std::map<std::pair<std::int64_t, GenerateModel>,
                  std::unique_ptr<ProfileColumns>>
      columns;
  const std::lock_guard lock(mutex);
  auto& slot = columns[{samples, model}];
  if (!slot) {
    std::string error;
    const auto path =
        zyl_bench::package_files().path_of(samples, kTiles, error, model);
    zyl_package::ColumnsResult mapped =
        path.empty() ? zyl_package::ColumnsResult(zyl_package::LoadError{})
                     : zyl_package::read_columns(path);
    if (mapped.ok()) {
      slot = std::make_unique<ProfileColumns>(std::move(mapped).value());
    } else {
      std::fprintf(stderr, "columns converted in memory: %s%s\n", error.c_str(),
                   mapped.error().to_string().c_str());
      slot = std::make_unique<ProfileColumns>(
          zyl_package::to_columns(report_of(samples, model)));
    }
  }
  return *slot;
}

// The most common kernel of the profile, for the narrow filter.
std::string busiest_kernel(const ProfileColumns& columns) {
  Query by_samples;
  by_samples.sort_by = SortBy::Samples;
  by_samples.limit = 1;
  const auto result = zyl_profile::query(columns, by_samples);
  return result.groups.empty() ? std::string() : result.groups[0].name;
}

enum class Case {
  Default,
  ByMetadata,
  ByTile,
  ByPhase,
  AtOffset,
  Narrow,
  List1000,
  NameTop10,
};

Query make_query(Case which, const ProfileColumns& columns) {
  Query q;
  switch (which) {
    case Case::Default:
      break;
    case Case::ByMetadata:
      q.group_by = GroupBy::Metadata;
      q.metadata_key = "block";
      q.kind = StepKind::Compute;
      break;
    case Case::ByTile:
      q.group_by = GroupBy::Tile;
      break;
    case Case::ByPhase:
      q.group_by = GroupBy::Phase;
      break;
    case Case::AtOffset:
      q.at_offset =
          zyl_profile::query(columns, Query{}).profile_span_cycles / 2;
      q.sample_limit = 10;
      break;
    case Case::Narrow:
      q.kernel = busiest_kernel(columns);
      q.tiles = {0, 1, 2, 3, 64, 65, 66, 67};
      q.phases = {1, 2, 3};
      break;
    case Case::List1000:
      q.sample_limit = 1000;
      break;
    case Case::NameTop10:
      q.sort_by = SortBy::Name;
      q.limit = 10;
      break;
  }
  return q;
}

void set_counters(benchmark::State& state, std::size_t samples) {
  const auto processed = static_cast<double>(samples);
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(samples));
  state.counters["samples_per_s"] = benchmark::Counter(
      processed, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["s_per_sample"] = benchmark::Counter(
      processed, benchmark::Counter::kIsIterationInvariantRate |
                     benchmark::Counter::kInvert);
}

// Runs `q` over `profile` (columns or records) on state.range(1) threads.
template <typename Profile>
void run_query(benchmark::State& state, const Profile& profile, const Query& q,
               std::size_t samples) {
  const auto threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    auto result = threads == 1
                      ? zyl_profile::query(profile, q)
                      : zyl_profile::query(
                            profile, q, zyl_profile::ParallelOptions{threads});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, samples);
}

void BM_Query(benchmark::State& state, Case which) {
  const ProfileColumns& columns = columns_of(state.range(0));
  run_query(state, columns, make_query(which, columns), columns.sample_count());
}

// The same queries over a bulk-synchronous profile: a few kernels, and a
// (phase, epoch) pair for every few samples of a tile.
void BM_QueryBulkSynchronous(benchmark::State& state, Case which) {
  const ProfileColumns& columns =
      columns_of(state.range(0), GenerateModel::BulkSynchronous);
  run_query(state, columns, make_query(which, columns), columns.sample_count());
}

// The record path: the same query over the records, which the engine
// converts to columns on every call. The gap to BM_Query/Default is what
// keeping a profile as columns saves.
void BM_QueryRecords(benchmark::State& state, Case which) {
  const ProfileColumns& columns = columns_of(state.range(0));
  run_query(state, report_of(state.range(0)), make_query(which, columns),
            columns.sample_count());
}

// The profile as 8 shards of tile ranges: each shard's partial made and
// serialised, then every partial read back, merged and finished, as a
// cluster's workers and its client would. Counts the bytes the partials
// weigh, in all and per group of the answer.
void BM_QueryShards(benchmark::State& state, Case which) {
  const ProfileColumns& columns = columns_of(state.range(0));
  const Query q = make_query(which, columns);
  const auto threads = static_cast<unsigned>(state.range(1));
  const std::vector<std::size_t> bounds = zyl_package::shard_bounds(columns, 8);
  std::vector<ProfileColumns> shards;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    shards.push_back(
        zyl_package::tile_range(columns, bounds[i], bounds[i + 1]));
  }
  std::size_t bytes = 0;
  std::size_t groups = 0;
  for (auto _ : state) {
    std::vector<std::string> partials;
    for (std::size_t i = 0; i < shards.size(); ++i) {
      partials.push_back(
          zyl_profile::serialise_partial(zyl_profile::query_partial(
              shards[i], q, i, zyl_profile::ParallelOptions{threads})));
    }
    std::optional<zyl_profile::PartialResult> merged;
    bytes = 0;
    for (const std::string& partial : partials) {
      bytes += partial.size();
      auto parsed = zyl_profile::parse_partial(partial);
      auto& read = parsed.value();
      if (!merged) {
        merged = std::move(read);
      } else if (!zyl_profile::merge_partial(*merged, std::move(read)).ok()) {
        state.SkipWithError("shards did not merge");
        return;
      }
    }
    groups = merged->groups.size();
    auto result = zyl_profile::finish_partial(std::move(*merged));
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, columns.sample_count());
  state.counters["partial_bytes"] = static_cast<double>(bytes);
  state.counters["bytes_per_group"] =
      groups == 0 ? 0.0
                  : static_cast<double>(bytes) / static_cast<double>(groups);
}

// The binned picture of the profile (256 rows by 512 columns), the scan
// behind the HTML report: compare with BM_Query/Default, the question the
// page shows next to it.
void BM_Occupancy(benchmark::State& state) {
  const ProfileColumns& columns = columns_of(state.range(0));
  const auto threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    auto result = zyl_profile::occupancy(columns, Query{}, {},
                                         zyl_profile::ParallelOptions{threads});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, columns.sample_count());
}

// As BM_Occupancy, each cell also naming its five top kernels, as the page
// shows them for a hovered cell: the cost of the per-row kernel tally.
void BM_OccupancyTopKernels(benchmark::State& state) {
  const ProfileColumns& columns = columns_of(state.range(0));
  const auto threads = static_cast<unsigned>(state.range(1));
  zyl_profile::OccupancyOptions options;
  options.top_kernels = 5;
  for (auto _ : state) {
    auto result = zyl_profile::occupancy(columns, Query{}, options,
                                         zyl_profile::ParallelOptions{threads});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, columns.sample_count());
}

// Which phase each superstep waited on, over the whole profile: one pass
// like BM_Query/Default's, plus a cell per tile and phase. Compare the two.
// Over the older model's profile (a few long phases) and a bulk-synchronous
// one (a short superstep for every few samples of a tile).
void BM_PhaseBalance(benchmark::State& state, GenerateModel model) {
  const ProfileColumns& columns = columns_of(state.range(0), model);
  const auto threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    auto result = zyl_profile::phase_balance(
        columns, Query{}, zyl_profile::ParallelOptions{threads});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, columns.sample_count());
}

// Streams an array as large as the report's sample records: the ceiling for
// a scan that must touch every record once.
void BM_MemoryBandwidth(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0)) *
                            sizeof(zyl_profile::CycleSample);
  std::vector<std::uint64_t> words(bytes / sizeof(std::uint64_t), 1);
  for (auto _ : state) {
    std::uint64_t sum =
        std::accumulate(words.begin(), words.end(), std::uint64_t{0});
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(bytes));
  set_counters(state, static_cast<std::size_t>(state.range(0)));
}

void sizes(benchmark::internal::Benchmark* bench) {
  for (const std::int64_t samples : {10000, 100000, 1000000, 10000000}) {
    for (const std::int64_t threads : {1, 2}) bench->Args({samples, threads});
  }
  bench->ArgNames({"samples", "threads"})->Unit(benchmark::kMillisecond);
  bench->UseRealTime();
}

BENCHMARK_CAPTURE(BM_Query, Default, Case::Default)->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryBulkSynchronous, Default, Case::Default)
    ->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryBulkSynchronous, ByTile, Case::ByTile)->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryRecords, Default, Case::Default)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, ByMetadata, Case::ByMetadata)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, ByTile, Case::ByTile)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, ByPhase, Case::ByPhase)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, AtOffset, Case::AtOffset)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, Narrow, Case::Narrow)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, List1000, Case::List1000)->Apply(sizes);
BENCHMARK_CAPTURE(BM_Query, NameTop10, Case::NameTop10)->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryShards, Default, Case::Default)->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryShards, ByTile, Case::ByTile)->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryShards, ByPhase, Case::ByPhase)->Apply(sizes);
BENCHMARK_CAPTURE(BM_QueryShards, ByMetadata, Case::ByMetadata)->Apply(sizes);
BENCHMARK(BM_Occupancy)->Apply(sizes);
BENCHMARK(BM_OccupancyTopKernels)->Apply(sizes);
BENCHMARK_CAPTURE(BM_PhaseBalance, Independent, GenerateModel::Independent)
    ->Apply(sizes);
BENCHMARK_CAPTURE(BM_PhaseBalance, BulkSynchronous,
                  GenerateModel::BulkSynchronous)
    ->Apply(sizes);
BENCHMARK(BM_MemoryBandwidth)
    ->ArgName("samples")
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Arg(10000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
