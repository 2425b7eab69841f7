// `zyl-profile export`: every matching sample as CSV or JSON lines, the
// bridge to pandas, DuckDB and Spark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "format/json_writer.h"
#include "options.h"
#include "process.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// One sample placed on its tile's timeline, as the scan hands it on.
struct PlacedSample {
  std::uint32_t physical_tile = 0;
  std::size_t sample = 0;      // index into the sample columns
  std::uint64_t offset = 0;    // cycles since the tile's first sample
  std::uint32_t duration = 0;  // cycles

  bool operator==(const PlacedSample&) const = default;
};

// Appends samples to `out` in one export format: the CSV header row (the
// names of kSampleColumns) or nothing for JSON lines, then one CSV record
// (CRLF) or one JSON line (LF) per sample, fields in the order of
// kSampleColumns and JSON keys named as the CSV columns. Strings are written
// as they are, an empty one as `""` in CSV; metadata is the JSON array of
// {"name", "value"} objects in the sample's order (one field in CSV);
// end_offset_cycles is exact even past 2^64 - 1. Borrows `columns` and
// `out`; the caller may empty `out` between rows. Allocates nothing per row
// once its buffers have grown.
class SampleRowWriter {
 public:
  SampleRowWriter(const ProfileColumns& columns, ExportFormat format,
                  std::string& out);
  // Not copied or moved: json_ writes into this object's own metadata_.
  SampleRowWriter(const SampleRowWriter&) = delete;
  SampleRowWriter& operator=(const SampleRowWriter&) = delete;

  void header();
  void row(const PlacedSample& placed);
  // Rows from here on read `columns` (the next shard of a profile).
  void use(const ProfileColumns& columns) { columns_ = &columns; }

 private:
  void csv_row(const PlacedSample& placed);
  void json_row(const PlacedSample& placed);

  const ProfileColumns* columns_;
  ExportFormat format_;
  std::string& out_;
  std::string end_offset_;  // digits of the row's end offset
  std::string metadata_;    // the CSV row's metadata JSON
  JsonWriter json_;         // writes into out_ (JSON lines) or metadata_
};

// Writes every sample of `profile` that matches `query` to `out` in report
// order, header first, and returns what was walked (how many matched, the
// notes), or why a shard could not be read. Holds at most about 1 MiB
// before writing it on.
[[nodiscard]] Loaded<Walked> write_samples(const ProfileSet& profile,
                                           const Query& query,
                                           ExportFormat format,
                                           std::ostream& out);

// As above over one profile in memory; returns how many samples matched.
std::size_t write_samples(const ProfileColumns& columns, const Query& query,
                          ExportFormat format, std::ostream& out);

// Runs `zyl-profile export`: opens the report and writes the file atomically.
[[nodiscard]] ExitCode run_export(const ExportCommand& command);

}  // namespace zyl_profile::cli
