// A file written at chosen offsets and put in place atomically, for writers
// that lay out a large file in one pass over their data instead of in file
// order (the streaming package writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "staged_replacement.h"
#include "zyl_package/atomic_file.h"  // StagedFiles
#include "zyl_package/load_result.h"  // Written

namespace zyl_package::detail {

// Written through a StagedReplacement: until commit() the target is
// untouched, and a file that is never committed is removed when this object
// goes. Errors are messages naming the target and the OS error.
class PositionedFile {
 public:
  // Creates the temporary file for `path` (see StagedReplacement::create;
  // a pipe is refused, a device is written in place).
  [[nodiscard]] Written create(const std::filesystem::path& path) {
    return file_.create(path, WriteAccess::Positioned);
  }
  // Makes the file `size` bytes long, reserving the disk space up front
  // where the file system can, so a full disk shows before the long write.
  // Bytes never written read as zeros. A device written in place keeps its
  // size, and whatever it held where nothing is written.
  [[nodiscard]] Written resize(std::uint64_t size);
  // Writes all of `data` at `offset`.
  [[nodiscard]] Written write_at(std::uint64_t offset, const void* data,
                                 std::size_t size);
  // Flushes the file to disk and renames it over the target, or, given
  // `staged`, leaves the rename to staged->commit().
  [[nodiscard]] Written commit(StagedFiles* staged = nullptr) {
    return file_.commit(staged);
  }

 private:
  StagedReplacement file_;
};

}  // namespace zyl_package::detail
