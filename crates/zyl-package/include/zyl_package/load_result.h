// The outcomes of reading and writing: a loaded report or its columns, or an
// error that says where the input went wrong and what was expected there;
// a write's success, or an error naming the file and what failed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "zyl_package/outcome.h"
#include "zyl_package/profile_report.h"

namespace zyl_package {

// Why a load failed and where.
struct LoadError {
  std::string file;  // path as the caller gave it; empty for in-memory text
  std::string json_path;   // e.g. "tiles[3].samples[17].start_cycle"; empty
                           // when not applicable
  std::size_t line = 0;    // 1-based, 0 when unknown
  std::size_t column = 0;  // 1-based byte column, 0 when unknown
  std::optional<std::uint64_t> byte_offset;  // from the start of the input
  std::string message;  // "expected an integer in 0..4294967295, found -1"

  // Returns one line: "report.json:12:18: tiles[3].samples[17].start_cycle:
  // expected ..., found -1". Parts that are unknown are left out; without a
  // line but with a byte offset, "at byte N" stands in for line:column.
  [[nodiscard]] std::string to_string() const;

  bool operator==(const LoadError&) const = default;
};

// A loaded value (a report, columns, a profile set...) or the error that
// stopped the load. Test ok() first: value() on a failed load and error() on
// a successful one throw BadOutcomeAccess rather than read the wrong
// alternative.
template <class T>
using Loaded = Outcome<T, LoadError>;

// A loaded report; the columnar counterpart is ColumnsResult
// (profile_columns.h).
using LoadResult = Loaded<ProfileReport>;

// Why a write failed. Every public write function (files, streams and
// in-memory encodings) reports through this one record.
struct WriteError {
  std::string file;     // path as the caller gave it; empty for a stream or
                        // an in-memory encoding
  std::string message;  // "cannot replace: Permission denied"

  // Returns one line: "out/report.zpk: cannot replace: Permission denied",
  // or the message alone when there is no file.
  [[nodiscard]] std::string to_string() const;

  bool operator==(const WriteError&) const = default;
};

// A write's outcome: success, or the error. Write functions leave no
// partial file behind on failure (see write_file_atomically).
using Written = Outcome<void, WriteError>;

// Resource caps for reading untrusted files, each overridable by the caller.
struct ReadLimits {
  // Largest file read, checked before any memory is taken. JSON is read as
  // a stream and packages are mapped, so no size needs a cap by default:
  // what bounds a read is the memory its columns take (below).
  std::uint64_t max_file_bytes = std::numeric_limits<std::uint64_t>::max();
  // Memory the columns read may take, in bytes; 0 means what the machine
  // has available when the read starts. A report that needs more is
  // refused with a message (a JSON report early, judged from its first
  // megabytes), never left to be killed by the system.
  std::uint64_t max_memory_bytes = 0;
  std::size_t max_depth = 64;  // JSON nesting levels; a report needs 8
  std::size_t max_string_bytes = std::size_t{1} << 24;  // 16 MiB, after
                                                        // unescaping
};

// How far a long read or write has come, for a display on another thread:
// the worker sets `total` (0 while unknown) and moves `done` forward in
// batches, never per item. A reader counts the input bytes it has consumed;
// a writer counts in the unit its function documents (bytes or samples), so
// a display can always show done / total as a share.
struct ReadProgress {
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
};

}  // namespace zyl_package
