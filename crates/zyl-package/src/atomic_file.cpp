// Atomic file replacement from a stream: the bytes go through a buffer to a
// staged replacement of the target.
#include "zyl_package/atomic_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "staged_replacement.h"

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

}  // namespace

Written write_file_atomically(const std::filesystem::path& path,
                              const std::function<void(std::ostream&)>& write,
                              StagedFiles* staged) {
  // Any failure returns before the commit, and `file` then removes its
  // temporary.
  detail::StagedReplacement file;
  if (Written created = file.create(path, detail::WriteAccess::Sequential);
      !created.ok()) {
    return created;
  }
  const auto failed = [&path](std::string message) {
    return WriteError{path.string(), std::move(message)};
  };
  {
    FdStreamBuf buffer(file.fd());
    std::ostream out(&buffer);
    try {
      write(out);
    } catch (const std::exception& error) {
      return failed(std::string("write failed: ") + error.what());
    } catch (...) {
      return failed("write failed");
    }
    out.flush();
    if (buffer.error() != 0)
      return file.os_error("write failed", buffer.error());
    if (!out) return failed("write failed");
  }
  return file.commit(staged);
}

}  // namespace zyl_package
