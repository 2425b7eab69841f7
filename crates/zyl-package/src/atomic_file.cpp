// Atomic file replacement: write beside the target, fsync, rename over it.
#include "zyl_package/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

namespace zyl_package {
namespace {

// A stream buffer over a file descriptor that keeps the first errno, so a
// full disk is reported as "No space left on device" rather than as a
// failed stream with no reason.
class FdStreamBuf final : public std::streambuf {
 public:
  explicit FdStreamBuf(int fd) : fd_(fd), buffer_(std::size_t{1} << 20) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  FdStreamBuf(const FdStreamBuf&) = delete;
  FdStreamBuf& operator=(const FdStreamBuf&) = delete;
  ~FdStreamBuf() override = default;

  // The errno of the first failed write, 0 when none failed.
  [[nodiscard]] int error() const { return error_; }

 protected:
  int_type overflow(int_type ch) override {
    if (!flush_buffer()) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  std::streamsize xsputn(const char* data, std::streamsize count) override {
    const auto room = static_cast<std::streamsize>(epptr() - pptr());
    if (count <= room) {
      std::memcpy(pptr(), data, static_cast<std::size_t>(count));
      pbump(static_cast<int>(count));
      return count;
    }
    // Larger than the space left: flush, then write big pieces directly.
    if (!flush_buffer()) return 0;
    if (count < static_cast<std::streamsize>(buffer_.size())) {
      std::memcpy(pptr(), data, static_cast<std::size_t>(count));
      pbump(static_cast<int>(count));
      return count;
    }
    return write_all(data, static_cast<std::size_t>(count))
               ? count
               : std::streamsize{0};
  }

  int sync() override { return flush_buffer() ? 0 : -1; }

 private:
  bool flush_buffer() {
    const auto pending = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return write_all(buffer_.data(), pending);
  }

  bool write_all(const char* data, std::size_t size) {
    if (error_ != 0) return false;
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return false;
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return true;
  }

  int fd_;
  std::vector<char> buffer_;
  int error_ = 0;
};

WriteError os_error(const std::filesystem::path& path, std::string_view what,
                    int error) {
  return WriteError{path.string(), std::string(what) + ": " +
                                       std::generic_category().message(error)};
}

// A name beside `path` that no other writer in this or another process picks
// at the same moment: the process id plus a counter and the clock.
std::filesystem::path temporary_name(const std::filesystem::path& path,
                                     unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  const auto ticks = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  // Built by appending: GCC 12 warns falsely about `"." + std::string`.
  std::string name(1, '.');
  name += path.filename().string();
  name += ".tmp-";
  name += std::to_string(::getpid());
  name += '-';
  name += std::to_string(counter.fetch_add(1));
  name += '-';
  name += std::to_string((ticks + attempt) % 1000000007ULL);
  return path.parent_path() / name;
}

}  // namespace

WriteResult write_file_atomically(
    const std::filesystem::path& path,
    const std::function<void(std::ostream&)>& write) {
  if (path.filename().empty()) {
    return WriteError{path.string(), "not a file name"};
  }
  std::filesystem::path temporary;
  int fd = -1;
  for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = temporary_name(path, attempt);
    // 0666 lets the umask decide, as for any file the user creates.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                0666);
    if (fd < 0 && errno != EEXIST) {
      return os_error(path, "cannot create a file in its folder", errno);
    }
  }
  if (fd < 0) return os_error(path, "cannot create a temporary file", EEXIST);

  // From here on every failure removes the temporary before returning.
  auto fail = [&](WriteError error) -> WriteResult {
    if (fd >= 0) ::close(fd);
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return error;
  };
  const auto failed = [&path](std::string message) {
    return WriteError{path.string(), std::move(message)};
  };

  // Keep the mode of a file being replaced, so rewriting a report does not
  // change who may read it.
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    ::fchmod(fd, existing.st_mode & 07777);
  }

  {
    FdStreamBuf buffer(fd);
    std::ostream out(&buffer);
    try {
      write(out);
    } catch (const std::exception& error) {
      return fail(failed(std::string("write failed: ") + error.what()));
    } catch (...) {
      return fail(failed("write failed"));
    }
    out.flush();
    if (buffer.error() != 0)
      return fail(os_error(path, "write failed", buffer.error()));
    if (!out) return fail(failed("write failed"));
  }
  if (::fsync(fd) != 0) return fail(os_error(path, "fsync failed", errno));
  const int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(os_error(path, "close failed", errno));
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return fail(os_error(path, "cannot replace", errno));
  }
  // Make the rename itself durable; a failure here cannot undo the write, so
  // it is not reported.
  const std::filesystem::path folder = path.parent_path().empty()
                                           ? std::filesystem::path(".")
                                           : path.parent_path();
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

}  // namespace zyl_package
