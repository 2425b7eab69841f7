// What ties the shards of a profile together: the fingerprint of the whole
// profile's content that each shard carries, and the cheap read of a file's
// identity that lets a reader check a set before it loads any of it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "package_io.h"
#include "zyl_package/report_package.h"

namespace zyl_package {
namespace {

// The fingerprint hashes the columns' memory as it is, which is their
// little-endian form only on a little-endian host (as the package assumes).
static_assert(std::endian::native == std::endian::little,
              "the fingerprint hashes columns as little-endian bytes");

class Fingerprint {
 public:
  Fingerprint() : state_(XXH3_createState()) {
    if (!state_) throw std::bad_alloc();
    XXH3_128bits_reset(state_.get());
  }

  void number(std::uint64_t value) {
    XXH3_128bits_update(state_.get(), &value, sizeof value);
  }
  // Every array goes in after its length in bytes, so no two different
  // sequences of arrays hash the same bytes (moving an element from the end
  // of one array to the start of the next changes the lengths).
  template <typename T>
  void array(std::span<const T> values) {
    number(values.size_bytes());
    XXH3_128bits_update(state_.get(), values.data(), values.size_bytes());
  }

  [[nodiscard]] std::array<std::uint8_t, 16> digest() const {
    // The canonical (big-endian) form, as xxHash's tools print it.
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_.get()));
    std::array<std::uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), canonical.digest, bytes.size());
    return bytes;
  }

 private:
  struct Free {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
  };
  std::unique_ptr<XXH3_state_t, Free> state_;
};

LoadError file_error(const std::filesystem::path& path, std::string message) {
  LoadError error;
  error.file = path.string();
  error.message = std::move(message);
  return error;
}

// Closes a descriptor when the read ends, however it ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

// Reads `size` bytes at `offset`; false with errno set when the read fails
// or the file ends first (errno 0 then).
bool read_at(int fd, unsigned char* out, std::size_t size,
             std::uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = 0;
      return false;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

std::string read_failure() {
  return errno == 0 ? "cannot read: the file changed while being read"
                    : std::string("cannot read: ") + std::strerror(errno);
}

}  // namespace

std::array<std::uint8_t, 16> profile_fingerprint(
    const ProfileColumns& columns) {
  Fingerprint hash;
  hash.number(columns.clock_hz);
  // The tile records as stored: first_sample follows from the counts and
  // the reserved field is zero in valid columns, so hashing them whole
  // costs nothing in meaning and saves a pass over the tiles.
  hash.array(columns.tiles);
  for_each_sample_column(
      [&](const auto& column) { hash.array(columns.*column.column); });
  hash.array(columns.string_offsets);
  hash.array(columns.string_bytes);
  hash.array(columns.list_offsets);
  hash.array(columns.list_entries);
  return hash.digest();
}

Loaded<std::optional<ShardIdentity>> read_shard_identity(
    const std::filesystem::path& path) {
  // Looked at before it is opened: opening a named pipe meets its writer,
  // and closing it again leaves the writer no one to write to, so the read
  // of the columns would wait for ever for a writer gone. A pipe cannot be
  // read twice anyway; its first bytes are left to the read of its
  // columns, which sets their `shard`.
  struct stat node {};
  if (::stat(path.c_str(), &node) != 0) {
    return file_error(path,
                      std::string("cannot read: ") + std::strerror(errno));
  }
  if (S_ISDIR(node.st_mode)) {
    return file_error(path, "cannot read: is a directory");
  }
  if (!S_ISREG(node.st_mode)) return std::optional<ShardIdentity>{};
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return file_error(path,
                      std::string("cannot read: ") + std::strerror(errno));
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    return file_error(path,
                      std::string("cannot read: ") + std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) {
    return file_error(path, "cannot read: is a directory");
  }
  // Replaced by something else since it was looked at: as above.
  if (!S_ISREG(info.st_mode)) return std::optional<ShardIdentity>{};
  const auto size = static_cast<std::uint64_t>(info.st_size);

  std::array<unsigned char, detail::kPackagePreambleBytes> preamble{};
  const auto head =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, preamble.size()));
  if (!read_at(fd.get(), preamble.data(), head, 0)) {
    return file_error(path, read_failure());
  }
  // JSON, or an empty file whose read will say what is wrong with it.
  if (head == 0 || preamble[0] != kPackageMagic[0]) {
    return std::optional<ShardIdentity>{};
  }
  std::array<unsigned char, detail::kShardBlockBytes> block{};
  const bool has_block = size >= preamble.size() + block.size();
  if (has_block &&
      !read_at(fd.get(), block.data(), block.size(), size - block.size())) {
    return file_error(path, read_failure());
  }
  return detail::read_package_identity(
      preamble.data(), size, has_block ? block.data() : nullptr, path.string());
}

}  // namespace zyl_package
