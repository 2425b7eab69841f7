// Positioned writes into a temporary file that replaces its target only
// once complete.
#include "positioned_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zyl_package::detail {

Written PositionedFile::resize(std::uint64_t size) {
  if (file_.writes_in_place()) return {};
  const auto length = static_cast<off_t>(size);
  if (::ftruncate(file_.fd(), length) != 0) {
    return file_.os_error("write failed", errno);
  }
  // fallocate rather than posix_fallocate: where the file system cannot
  // reserve space, the latter falls back to writing every block, which for
  // a large package costs as much as the write itself. Such a file system
  // still takes the writes.
  if (::fallocate(file_.fd(), 0, 0, length) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS) {
    return file_.os_error("write failed", errno);
  }
  return {};
}

Written PositionedFile::write_at(std::uint64_t offset, const void* data,
                                 std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written =
        ::pwrite(file_.fd(), bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return file_.os_error("write failed", errno);
    }
    bytes += written;
    offset += static_cast<std::uint64_t>(written);
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

}  // namespace zyl_package::detail
