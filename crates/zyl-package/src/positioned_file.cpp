// Positioned writes into a temporary file that replaces its target only
// once complete.
#include "positioned_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>

namespace zyl_package::detail {

PositionedFile::~PositionedFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

WriteError PositionedFile::os_error(const char* what, int error) const {
  return WriteError{path_.string(), std::string(what) + ": " +
                                        std::generic_category().message(error)};
}

WriteResult PositionedFile::create(const std::filesystem::path& path) {
  path_ = path;
  if (path.filename().empty()) {
    return WriteError{path.string(), "not a file name"};
  }
  // Unique across threads (the counter) and processes (the id); the clock
  // steps past names left behind by a crashed run of an earlier process.
  static std::atomic<unsigned> counter{0};
  const auto ticks = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string name(1, '.');
    name += path.filename().string();
    name += ".tmp-" + std::to_string(::getpid()) + "-" +
            std::to_string(counter.fetch_add(1)) + "-" +
            std::to_string((ticks + attempt) % 1000000007ULL);
    const std::filesystem::path candidate = path.parent_path() / name;
    // 0666 lets the umask decide, as for any file the user creates.
    fd_ =
        ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temporary_ = candidate;
      // Keep the mode of a file being replaced.
      struct stat existing {};
      if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::fchmod(fd_, existing.st_mode & 07777);
      }
      return std::nullopt;
    }
    if (errno != EEXIST) {
      return os_error("cannot create a file in its folder", errno);
    }
  }
  return os_error("cannot create a temporary file", EEXIST);
}

WriteResult PositionedFile::resize(std::uint64_t size) {
  const auto length = static_cast<off_t>(size);
  if (::ftruncate(fd_, length) != 0) return os_error("write failed", errno);
  // fallocate rather than posix_fallocate: where the file system cannot
  // reserve space, the latter falls back to writing every block, which for
  // a large package costs as much as the write itself. Such a file system
  // still takes the writes.
  if (::fallocate(fd_, 0, 0, length) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS) {
    return os_error("write failed", errno);
  }
  return std::nullopt;
}

WriteResult PositionedFile::write_at(std::uint64_t offset, const void* data,
                                     std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written =
        ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error("write failed", errno);
    }
    bytes += written;
    offset += static_cast<std::uint64_t>(written);
    size -= static_cast<std::size_t>(written);
  }
  return std::nullopt;
}

WriteResult PositionedFile::commit() {
  if (::fsync(fd_) != 0) return os_error("fsync failed", errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) return os_error("close failed", errno);
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    return os_error("cannot replace", errno);
  }
  temporary_.clear();
  // Make the rename itself durable; a failure here cannot undo the write,
  // so it is not reported.
  const std::filesystem::path folder = path_.parent_path().empty()
                                           ? std::filesystem::path(".")
                                           : path_.parent_path();
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

}  // namespace zyl_package::detail
