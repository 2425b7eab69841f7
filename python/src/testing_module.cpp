// A test-only extension beside zyl_profile's: the library's slow, obvious
// reference models of a query, a phase balance and a comparison, the
// report's samples as
// records, and the library's generator and shard writer, so the Python
// tests make their profiles and check the bindings' answers directly
// rather than through another program.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "reference_phase_balance.h"
#include "reference_query.h"
#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_package/shards.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/query.h"

namespace py = pybind11;

namespace {

using zyl_profile::Query;

zyl_package::ProfileReport read_records(const std::string& path) {
  zyl_package::LoadResult loaded = zyl_package::read_report(path);
  if (!loaded.ok()) throw std::invalid_argument(loaded.error().to_string());
  return std::move(loaded).value();
}

zyl_package::PackageWriteOptions package_options(bool compress) {
  zyl_package::PackageWriteOptions options;
  options.compress = compress;
  return options;
}

// The report's samples in report order as the records a listing holds,
// each placed on its tile's timeline as the reference model places it:
// what every walk over the columns (samples(), an export) must agree with.
std::vector<zyl_profile::SampleRecord> report_samples(const std::string& path) {
  const zyl_package::ProfileReport report = read_records(path);
  std::vector<zyl_profile::SampleRecord> records;
  for (const zyl_package::TileProfile& tile : report.tiles) {
    if (tile.samples.empty()) continue;
    const std::uint32_t base = tile.samples.front().start_cycle;
    for (const zyl_package::CycleSample& sample : tile.samples) {
      const std::uint64_t offset =
          static_cast<std::uint32_t>(sample.start_cycle - base);
      records.push_back(zyl_profile::sample_record(
          tile.physical_tile, offset, zyl_profile::duration(sample), sample));
    }
  }
  return records;
}

// The comparison diff must give: the reference model's answer on each side
// (each resolving a share of the span against its own profile), joined by
// the library's diff_results.
zyl_profile::DiffReport reference_diff(
    const std::string& base, const std::string& next, const Query& query,
    const zyl_profile::DiffOptions& options) {
  const Query each = zyl_profile::comparison_query(query);
  return zyl_profile::diff_results(
      zyl_profile::testing::reference_query(read_records(base), each),
      zyl_profile::testing::reference_query(read_records(next), each), options);
}

// The balance phase_balance must give over the profile `paths` form read
// as given, one file's tiles after another's (the clock is the first
// file's): a set of shards in shard order gives the whole profile.
zyl_profile::PhaseBalance reference_phase_balance(
    const std::vector<std::string>& paths, const Query& query) {
  zyl_package::ProfileReport whole;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    zyl_package::ProfileReport part = read_records(paths[i]);
    if (i == 0) whole.clock_hz = part.clock_hz;
    for (zyl_package::TileProfile& tile : part.tiles) {
      whole.tiles.push_back(std::move(tile));
    }
  }
  return zyl_profile::testing::reference_phase_balance(whole, query);
}

// Writes the generated report to `path`, a package when it ends in .zpk.
void generate(const std::string& path, const zyl_package::GenerateOptions& how,
              bool compress) {
  const zyl_package::Written written = zyl_package::write_generated_report(
      how, path, zyl_package::report_format_for(path),
      package_options(compress));
  if (!written.ok()) throw std::runtime_error(written.error().to_string());
}

// Cuts the report at `path` into about `shards` package shards named
// <prefix>-<index>.zpk, the index padded so the names sort in shard order,
// and returns their paths in that order.
std::vector<std::string> split(const std::string& path,
                               const std::string& prefix, std::size_t shards,
                               bool compress) {
  zyl_package::ColumnsResult columns = zyl_package::read_columns(path);
  if (!columns.ok()) throw std::invalid_argument(columns.error().to_string());
  std::vector<std::string> written;
  const auto path_of = [&](std::size_t index, std::size_t count) {
    const std::size_t width = std::to_string(count - 1).size();
    std::string number = std::to_string(index);
    number.insert(0, width - number.size(), '0');
    std::string name = prefix + "-" + number + ".zpk";
    if (written.size() < count) written.resize(count);
    written[index] = name;
    return std::filesystem::path(name);
  };
  const auto count = zyl_package::write_shard_set(
      columns.value(), shards, path_of, package_options(compress));
  if (!count.ok()) throw std::runtime_error(count.error().to_string());
  written.resize(count.value());
  return written;
}

}  // namespace

PYBIND11_MODULE(_zyl_profile_testing, m) {
  m.doc() = "The reference models and profile writers, for the tests";
  // The records' Python types are the main extension's; it registers them.
  py::module_::import("zyl_profile._zyl_profile");
  m.def(
      "reference_query",
      [](const std::string& path, const Query& query) {
        return zyl_profile::testing::reference_query(read_records(path), query);
      },
      py::arg("path"), py::arg("query"));
  m.def("reference_phase_balance", &reference_phase_balance, py::arg("paths"),
        py::arg("query"));
  m.def("reference_diff", &reference_diff, py::arg("base"), py::arg("new"),
        py::arg("query"), py::arg("options"));
  m.def("report_samples", &report_samples, py::arg("path"));

  const zyl_package::GenerateOptions defaults;
  m.def(
      "generate",
      [](const std::string& path, std::uint32_t tiles,
         std::uint32_t samples_per_tile, std::uint64_t seed,
         std::uint64_t clock_hz, std::uint32_t kernels,
         std::uint32_t operations, std::uint32_t phases, std::uint32_t epochs,
         std::uint64_t total_samples, bool compress) {
        zyl_package::GenerateOptions how;
        how.tiles = tiles;
        how.samples_per_tile = samples_per_tile;
        how.seed = seed;
        how.clock_hz = clock_hz;
        how.kernels = kernels;
        how.operations = operations;
        how.phases = phases;
        how.epochs = epochs;
        how.total_samples = total_samples;
        generate(path, how, compress);
      },
      py::arg("path"), py::kw_only(), py::arg("tiles") = defaults.tiles,
      py::arg("samples_per_tile") = defaults.samples_per_tile,
      py::arg("seed") = defaults.seed, py::arg("clock_hz") = defaults.clock_hz,
      py::arg("kernels") = defaults.kernels,
      py::arg("operations") = defaults.operations,
      py::arg("phases") = defaults.phases, py::arg("epochs") = defaults.epochs,
      py::arg("total_samples") = defaults.total_samples,
      py::arg("compress") = false);
  m.def("split", &split, py::arg("path"), py::arg("prefix"), py::arg("shards"),
        py::kw_only(), py::arg("compress") = false);
}
