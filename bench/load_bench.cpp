// Loading and writing benchmarks of the JSON form: bytes and samples per
// second for generated reports, the text made once outside the timed loop.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"

namespace {

constexpr std::uint32_t kTiles = 1472;

struct Fixture {
  zyl_package::ProfileReport report;
  std::string json;
};

// Reports and their JSON text are made once per size and kept for the run.
const Fixture& fixture_of(std::int64_t samples) {
  static std::mutex mutex;
  static std::map<std::int64_t, std::unique_ptr<Fixture>> fixtures;
  const std::lock_guard lock(mutex);
  auto& slot = fixtures[samples];
  if (!slot) {
    slot = std::make_unique<Fixture>();
    slot->report = zyl_package::generate_report(zyl_package::options_for_total(
        static_cast<std::uint64_t>(samples), kTiles));
    std::ostringstream out;
    // Into memory: only a failed stream could refuse it.
    static_cast<void>(zyl_package::write_report_json(slot->report, out));
    slot->json = std::move(out).str();
  }
  return *slot;
}

void set_counters(benchmark::State& state, std::int64_t samples,
                  std::size_t bytes) {
  state.SetItemsProcessed(state.iterations() * samples);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(bytes));
}

// Text in memory to records, as parse_report does it (including its padded
// copy of the input).
void LoadJson(benchmark::State& state) {
  const Fixture& fixture = fixture_of(state.range(0));
  for (auto _ : state) {
    auto result = zyl_package::parse_report(fixture.json);
    if (!result.ok()) {
      state.SkipWithError(result.error().to_string().c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  set_counters(state, state.range(0), fixture.json.size());
}
BENCHMARK(LoadJson)->ArgName("samples")->Arg(10000)->Arg(1000000)->Unit(
    benchmark::kMillisecond);

// A file to records: the read into one padded buffer plus the parse. The
// file sits in the page cache after the first round, so this measures the
// copy, not the disk.
void LoadJsonFile(benchmark::State& state) {
  const Fixture& fixture = fixture_of(state.range(0));
  const auto path =
      std::filesystem::temp_directory_path() /
      ("zyl_load_bench_" + std::to_string(state.range(0)) + ".json");
  if (const zyl_package::Written written = zyl_package::write_report(
          fixture.report, path, zyl_package::ReportFormat::Json);
      !written.ok()) {
    state.SkipWithError(written.error().to_string().c_str());
    return;
  }
  for (auto _ : state) {
    auto result = zyl_package::read_report(path);
    if (!result.ok()) {
      state.SkipWithError(result.error().to_string().c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  set_counters(state, state.range(0), fixture.json.size());
}
BENCHMARK(LoadJsonFile)
    ->ArgName("samples")
    ->Arg(10000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

// A stream buffer that drops what it is given, so the writer is timed alone.
class DiscardBuf final : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    return count;
  }
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
};

void WriteJson(benchmark::State& state) {
  const Fixture& fixture = fixture_of(state.range(0));
  DiscardBuf discard;
  std::ostream out(&discard);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        zyl_package::write_report_json(fixture.report, out));
    benchmark::ClobberMemory();
  }
  set_counters(state, state.range(0), fixture.json.size());
}
BENCHMARK(WriteJson)->ArgName("samples")->Arg(10000)->Arg(1000000)->Unit(
    benchmark::kMillisecond);

}  // namespace
