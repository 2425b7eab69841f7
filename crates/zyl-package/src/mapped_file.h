// A read-only private mapping of a whole file, owned by one object so that
// views into it (the spans of ProfileColumns) live exactly as long as it.
#pragma once

#include <cstddef>

namespace zyl_package::detail {

// Owns a PROT_READ, MAP_PRIVATE mapping and unmaps it on destruction. Moving
// transfers the mapping. A file shrunk by another process while it is mapped
// makes reads past its new end fault (SIGBUS); guarding against that would
// cost a signal handler or a copy, and is left out: profiles are written
// once, atomically, and not truncated in place.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  ~MappedFile();

  // Maps the first `size` bytes (at least 1) of the open file `fd`. Returns
  // an empty MappedFile and sets `error` to the errno when that fails; the
  // descriptor may be closed afterwards either way.
  [[nodiscard]] static MappedFile map(int fd, std::size_t size, int& error);

  [[nodiscard]] const char* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  MappedFile(const char* data, std::size_t size) : data_(data), size_(size) {}
  void release();

  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zyl_package::detail
