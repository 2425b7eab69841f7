// `zyl-profile export`: every matching sample as CSV or JSON lines, the
// bridge to pandas, DuckDB and Spark.
#pragma once

#include <cstddef>
#include <ostream>

#include "commands.h"
#include "options.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// Writes every sample of `columns` that matches `query` (window resolved) to
// `out` in report order and returns how many. Fields: physical_tile, offset,
// duration, end_offset (offset + duration, cycles on the tile's normalised
// timeline), phase, epoch, kind, operation, kernel, metadata. CSV has a
// header row, CRLF line ends, RFC 4180 quoting, and metadata as a JSON object
// of each name's first value; JSON lines hold one object per line with
// metadata as the full list of {"name", "value"} pairs. Throws only what
// `out` throws.
std::size_t write_samples(const ProfileColumns& columns, const Query& query,
                          ExportFormat format, std::ostream& out);

// Runs `zyl-profile export`: opens the report and writes the file atomically.
[[nodiscard]] ExitCode run_export(const ExportCommand& command);

}  // namespace zyl_profile::cli
