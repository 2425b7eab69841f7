// Loading benchmarks of the two stored forms: the binary package against the
// JSON form for the same generated report, with the sizes and the memory the
// loaded records take.
#include <benchmark/benchmark.h>

#if defined(__GLIBC__)
#include <malloc.h>  // mallinfo2
#endif

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"

namespace {

using zyl_package::ProfileReport;

constexpr std::uint32_t kTiles = 1472;

// Both encodings of one generated report, built once per size. The report
// itself is dropped so it does not distort the memory figures.
struct Encoded {
  std::string json;
  std::string package;
};

const Encoded& encoded_of(std::int64_t samples) {
  static std::mutex mutex;
  static std::map<std::int64_t, std::unique_ptr<Encoded>> cache;
  const std::lock_guard lock(mutex);
  auto& slot = cache[samples];
  if (!slot) {
    slot = std::make_unique<Encoded>();
    const ProfileReport report =
        zyl_package::generate_report(zyl_package::options_for_total(
            static_cast<std::uint64_t>(samples), kTiles));
    std::ostringstream json;
    static_cast<void>(zyl_package::write_report_json(report, json));
    slot->json = std::move(json).str();
    if (!zyl_package::encode_report_package(report, slot->package).ok()) {
      slot->package.clear();
    }
  }
  return *slot;
}

std::uint64_t heap_in_use() {
#if defined(__GLIBC__)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

void load(benchmark::State& state, bool package) {
  const Encoded& encoded = encoded_of(state.range(0));
  const std::string& bytes = package ? encoded.package : encoded.json;
  std::uint64_t heap = 0;
  for (auto _ : state) {
    const std::uint64_t before = heap_in_use();
    auto result = zyl_package::parse_report(bytes, "bench");
    heap = heap_in_use() - before;
    if (!result.ok()) {
      state.SkipWithError(result.error().to_string().c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  const auto samples = static_cast<double>(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(bytes.size()));
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
  state.counters["file_bytes_per_sample"] =
      static_cast<double>(bytes.size()) / samples;
  state.counters["heap_bytes_per_sample"] = static_cast<double>(heap) / samples;
  if (package) {
    state.counters["percent_of_json"] =
        100.0 * static_cast<double>(encoded.package.size()) /
        static_cast<double>(encoded.json.size());
  }
}

void PackageLoadJson(benchmark::State& state) { load(state, false); }
void PackageLoad(benchmark::State& state) { load(state, true); }

void PackageWrite(benchmark::State& state) {
  const ProfileReport report =
      zyl_package::generate_report(zyl_package::options_for_total(
          static_cast<std::uint64_t>(state.range(0)), kTiles));
  std::string bytes;
  for (auto _ : state) {
    if (!zyl_package::encode_report_package(report, bytes).ok()) {
      state.SkipWithError("encoding failed");
      break;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// 10^6 runs in the CTest smoke run; 10^7 by hand.
BENCHMARK(PackageLoadJson)
    ->ArgName("samples")
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(PackageLoad)
    ->ArgName("samples")
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(PackageWrite)
    ->ArgName("samples")
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
