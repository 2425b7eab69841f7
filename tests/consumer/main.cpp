// Uses the installed library end to end: generates a profile, writes it as
// a compressed package to the path given as the argument and reads it back
// (zstd and xxHash must link), then queries it and prints two fields of the
// answer, and whether the in-memory profile answers the same; a partial of
// the query must read back equal through its checksummed bytes.
#include <cstdio>
#include <filesystem>
#include <variant>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/query.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PACKAGE_PATH\n", argv[0]);
    return 2;
  }
  const std::filesystem::path path = argv[1];
  const zyl_package::ProfileReport report =
      zyl_package::generate_report(zyl_package::options_for_total(1000, 4));
  zyl_package::PackageWriteOptions options;
  options.compress = true;
  if (const zyl_package::Written written = zyl_package::write_columns(
          zyl_package::to_columns(report), path,
          zyl_package::ReportFormat::Package, options);
      !written.ok()) {
    std::fprintf(stderr, "%s\n", written.error().to_string().c_str());
    return 1;
  }
  const zyl_package::ColumnsResult read = zyl_package::read_columns(path);
  std::filesystem::remove(path);
  if (!read.ok()) {
    std::fprintf(stderr, "%s\n", read.error().to_string().c_str());
    return 1;
  }

  zyl_profile::Query query;
  query.group_by = zyl_profile::GroupBy::Tile;
  const zyl_profile::QueryReport answer =
      zyl_profile::query(read.value(), query);
  std::printf("matched samples: %zu\n", answer.matched_sample_count);
  std::printf("groups: %zu\n", answer.groups.size());

  const zyl_profile::PartialResult partial =
      zyl_profile::query_partial(read.value(), query, 0);
  const auto parsed =
      zyl_profile::parse_partial(zyl_profile::serialise_partial(partial));
  if (!parsed.ok() || !(parsed.value() == partial)) {
    std::fprintf(stderr, "a partial did not read back equal\n");
    return 1;
  }

  // The package's answer equals the in-memory report's.
  const zyl_profile::DiffReport diff = zyl_profile::diff_profiles(
      zyl_package::to_columns(report), read.value(), query, query, {}, 1);
  std::printf("changed groups: %zu\n", diff.changed_count);
  return 0;
}
