// The JSON form read as a stream into columns: the text is read in bounded
// chunks, the structure around the samples is followed here, and runs of
// samples are handed to simdjson on worker threads and merged in order into
// one dictionary. Memory stays at the columns plus a few chunks, whatever
// the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"

namespace zyl_package::detail {

// A piece of the input in memory: a view of a mapped file or of text in
// memory. Whatever holds the bytes lives as long as the chunk.
struct Chunk {
  const char* data = nullptr;
  std::size_t size = 0;
  std::uint64_t offset = 0;  // input offset of data[0]
  std::shared_ptr<const void> owner;
};

// Where the text comes from, read from start to end.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Returns the input from `offset` on: at least `min_bytes` of it (fewer
  // only at the end of the input), and about `chunk_bytes` when there is
  // that much. `offset` never goes back before the start of the chunk
  // returned last. Returns nothing after setting `error` when reading
  // fails.
  virtual std::shared_ptr<const Chunk> chunk(std::uint64_t offset,
                                             std::size_t min_bytes,
                                             std::size_t chunk_bytes,
                                             std::string& error) = 0;
  // The size of the whole input when known before reading.
  [[nodiscard]] virtual std::optional<std::uint64_t> size() const = 0;
  // Returns the 1-based line and byte column of `offset`, reading the input
  // again up to it; nothing when it cannot be read again (a pipe).
  virtual std::optional<std::pair<std::size_t, std::size_t>> locate(
      std::uint64_t offset) = 0;
};

// A source over text in memory, which must outlive the source.
[[nodiscard]] std::unique_ptr<ByteSource> memory_source(std::string_view text);
// A source over a regular file of `size` bytes open as `fd`, which the
// source closes.
[[nodiscard]] std::unique_ptr<ByteSource> file_source(int fd,
                                                      std::uint64_t size);

// How the stream is cut and read. The defaults are for speed; tests shrink
// the chunks to put their edges everywhere.
struct JsonStreamOptions {
  std::size_t chunk_bytes = std::size_t{4} << 20;  // read at a time
  std::size_t run_bytes = std::size_t{1} << 20;    // samples per worker task
  unsigned threads = 0;  // workers; 0 means one per core (none on one core)
  bool single_thread = false;  // read every run on the calling thread
  bool portable_scan = false;  // scan without the processor's widest vectors
  // Input read before the whole report's memory is judged from it.
  std::uint64_t estimate_after_bytes = std::uint64_t{32} << 20;
};

// Reads the JSON form from `source` into columns. Every rule of the format
// is checked; a fault gives a LoadError naming `file_name`, the JSON path,
// the line and column, and nothing of the report. `limits.max_memory_bytes`
// (or, when 0, the memory available now) bounds the columns: a report that
// would not fit is refused early, from its first megabytes when the size is
// known. Never throws.
[[nodiscard]] ColumnsResult read_json_columns(
    ByteSource& source, std::string_view file_name, const ReadLimits& limits,
    ReadProgress* progress = nullptr, const JsonStreamOptions& options = {});

}  // namespace zyl_package::detail
