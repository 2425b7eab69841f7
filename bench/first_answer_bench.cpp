// The time to a first answer: open a package file and run the default query,
// as the command line does. The columnar read maps the file and checks it in
// bulk; the record read decodes every sample, the way a profile was opened
// before columns, and is kept as the reference row.
#include <benchmark/benchmark.h>
#include <unistd.h>  // getpid

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/query.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kTiles = 1472;

// Package files written once per size into a private temporary folder,
// removed when the run ends.
class PackageFiles {
 public:
  ~PackageFiles() {
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  // Returns the path of a package holding a generated profile of `samples`
  // samples, or an empty path (and `error`) when it cannot be written.
  fs::path path_of(std::int64_t samples, std::string& error) {
    const std::lock_guard lock(mutex_);
    auto& path = paths_[samples];
    if (!path.empty()) return path;
    std::error_code ec;
    if (folder_.empty()) {
      folder_ = fs::temp_directory_path(ec) /
                ("zyl_first_answer_" + std::to_string(::getpid()));
      fs::create_directories(folder_, ec);
      if (ec) {
        error = folder_.string() + ": " + ec.message();
        folder_.clear();
        return {};
      }
    }
    const fs::path file = folder_ / (std::to_string(samples) + ".zpk");
    const auto failure = zyl_package::write_report(
        zyl_package::generate_report(zyl_package::options_for_total(
            static_cast<std::uint64_t>(samples), kTiles)),
        file, zyl_package::ReportFormat::Package);
    if (failure) {
      error = *failure;
      return {};
    }
    path = file;
    return path;
  }

 private:
  std::mutex mutex_;
  fs::path folder_;
  std::map<std::int64_t, fs::path> paths_;
};

PackageFiles& package_files() {
  static PackageFiles files;
  return files;
}

void set_counters(benchmark::State& state, const fs::path& path) {
  state.SetItemsProcessed(state.iterations() * state.range(0));
  std::error_code ec;
  const auto bytes = fs::file_size(path, ec);
  if (!ec) {
    state.counters["file_bytes_per_sample"] =
        static_cast<double>(bytes) / static_cast<double>(state.range(0));
  }
}

// The file stays in the page cache between iterations: this measures the
// work of opening, not the disk.
void PackageFirstAnswer(benchmark::State& state) {
  std::string error;
  const fs::path path = package_files().path_of(state.range(0), error);
  if (path.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    const zyl_package::ColumnsResult columns = zyl_package::read_columns(path);
    if (!columns.ok()) {
      state.SkipWithError(columns.error().to_string().c_str());
      break;
    }
    auto result = zyl_profile::query(columns.value(), zyl_profile::Query{});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, path);
}

void PackageFirstAnswerRecords(benchmark::State& state) {
  std::string error;
  const fs::path path = package_files().path_of(state.range(0), error);
  if (path.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    const zyl_package::LoadResult report = zyl_package::read_report(path);
    if (!report.ok()) {
      state.SkipWithError(report.error().to_string().c_str());
      break;
    }
    auto result = zyl_profile::query(report.value(), zyl_profile::Query{});
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, path);
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
