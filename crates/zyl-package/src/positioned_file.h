// A file written at chosen offsets and put in place atomically, for writers
// that lay out a large file in one pass over their data instead of in file
// order (the streaming package writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "zyl_package/load_result.h"  // WriteResult

namespace zyl_package::detail {

// Created under a temporary name beside the target; commit() fsyncs it and
// renames it over the target. Until then the target is untouched, and a
// file that is never committed is removed when this object goes. Errors are
// messages naming the target and the OS error.
class PositionedFile {
 public:
  PositionedFile() = default;
  PositionedFile(const PositionedFile&) = delete;
  PositionedFile& operator=(const PositionedFile&) = delete;
  ~PositionedFile();

  // Creates the temporary file for `path`.
  [[nodiscard]] WriteResult create(const std::filesystem::path& path);
  // Makes the file `size` bytes long, reserving the disk space up front
  // where the file system can, so a full disk shows before the long write.
  // Bytes never written read as zeros.
  [[nodiscard]] WriteResult resize(std::uint64_t size);
  // Writes all of `data` at `offset`.
  [[nodiscard]] WriteResult write_at(std::uint64_t offset, const void* data,
                                     std::size_t size);
  // Flushes the file to disk and renames it over the target.
  [[nodiscard]] WriteResult commit();

 private:
  WriteError os_error(const char* what, int error) const;

  std::filesystem::path path_;
  std::filesystem::path temporary_;
  int fd_ = -1;
};

}  // namespace zyl_package::detail
