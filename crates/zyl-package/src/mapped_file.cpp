// mmap and munmap behind MappedFile.
#include "mapped_file.h"

#include <sys/mman.h>

#include <cerrno>
#include <utility>

namespace zyl_package::detail {

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() {
  if (data_ != nullptr) {
    ::munmap(const_cast<char*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
  }
}

MappedFile MappedFile::map(int fd, std::size_t size, int& error) {
  error = 0;
  if (size == 0) {
    error = EINVAL;  // mmap refuses empty ranges
    return {};
  }
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (address == MAP_FAILED) {
    error = errno;
    return {};
  }
  return {static_cast<const char*>(address), size};
}

}  // namespace zyl_package::detail
