// The time to a first answer: open a package file and run the default query,
// as the command line does. The columnar read maps the file and checks it in
// bulk; the record read decodes every sample, the way a profile was opened
// before columns, and is kept as the reference row.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "package_files.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/query.h"

namespace {

constexpr std::uint32_t kTiles = 1472;

using zyl_bench::package_files;
namespace fs = std::filesystem;

void set_counters(benchmark::State& state, const fs::path& path) {
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::error_code ec;
  const auto bytes = fs::file_size(path, ec);
  if (!ec) {
    state.counters["file_bytes_per_sample"] =
        static_cast<double>(bytes) / static_cast<double>(state.range(0));
  }
}

// Opens the package with `open` and runs the default query, each iteration.
// The file stays in the page cache between iterations: this measures the
// work of opening, not the disk.
template <typename Open>
void first_answer(benchmark::State& state, Open&& open) {
  std::string error;
  const fs::path path = package_files().path_of(state.range(0), kTiles, error);
  if (path.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    const auto opened = open(path);
    if (!opened.ok()) {
      state.SkipWithError(opened.error().to_string().c_str());
      break;
    }
    auto result = zyl_profile::query(opened.value(), zyl_profile::Query{});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, path);
}

void PackageFirstAnswer(benchmark::State& state) {
  first_answer(state, [](const fs::path& path) {
    return zyl_package::read_columns(path);
  });
}

void PackageFirstAnswerRecords(benchmark::State& state) {
  first_answer(state, [](const fs::path& path) {
    return zyl_package::read_report(path);
  });
}

// 10^6 runs in the package smoke run (its filter takes Package*); 10^7 by
// hand.
BENCHMARK(PackageFirstAnswer)
    ->ArgName("samples")
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(PackageFirstAnswerRecords)
    ->ArgName("samples")
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
