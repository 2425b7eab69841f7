// Replacing a file through a temporary beside it, alone or as one of a set,
// and writing in place what must never be replaced (devices, FIFOs).
#include "staged_replacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>
#include <system_error>
#include <utility>

namespace zyl_package {
namespace {

// A name beside `path` that no other writer in this or another process
// picks at the same moment: the process id (processes), a counter
// (threads) and the clock, which steps past names a crashed run left.
std::filesystem::path unique_name(const std::filesystem::path& path,
                                  const char* tag, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  const auto ticks = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  // Built by appending: GCC 12 warns falsely about `"." + std::string`.
  std::string name(1, '.');
  name += path.filename().string();
  name += tag;
  name += std::to_string(::getpid());
  name += '-';
  name += std::to_string(counter.fetch_add(1));
  name += '-';
  name += std::to_string((ticks + attempt) % 1000000007ULL);
  return path.parent_path() / name;
}

constexpr unsigned kNameAttempts = 100;

// Makes renames in the folder of `path` durable. A failure here cannot undo
// a rename that already happened, so it is not reported.
void sync_folder(const std::filesystem::path& path) {
  const std::filesystem::path folder = path.parent_path().empty()
                                           ? std::filesystem::path(".")
                                           : path.parent_path();
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

void remove_quietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

WriteError os_error_for(const std::filesystem::path& path,
                        std::string_view what, int error) {
  std::string message(what);
  message += ": ";
  message += std::generic_category().message(error);
  return WriteError{path.string(), std::move(message)};
}

}  // namespace

namespace detail {

StagedReplacement::~StagedReplacement() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) remove_quietly(temporary_);
}

WriteError StagedReplacement::os_error(std::string_view what, int error) const {
  return os_error_for(path_, what, error);
}

Written StagedReplacement::create(const std::filesystem::path& path,
                                  WriteAccess access) {
  path_ = path;
  target_ = path;
  if (path.filename().empty()) {
    return WriteError{path.string(), "not a file name"};
  }
  // What `path` is decides how it is written. When lstat fails (most often
  // because nothing has the name yet), the file is new, and creating its
  // temporary reports a missing or closed folder.
  struct stat link {};
  struct stat node {};
  bool replaces_existing = false;
  if (::lstat(path.c_str(), &link) == 0) {
    node = link;
    const bool is_link = S_ISLNK(link.st_mode);
    if (is_link && ::stat(path.c_str(), &node) != 0) {
      if (errno == ENOENT) {
        return WriteError{path.string(),
                          "is a symbolic link to a file that does not exist"};
      }
      return os_error("cannot follow the symbolic link", errno);
    }
    if (S_ISDIR(node.st_mode)) {
      return WriteError{path.string(), is_link
                                           ? "is a symbolic link to a folder"
                                           : "is a folder, not a file"};
    }
    if (!S_ISREG(node.st_mode)) {
      return open_in_place(S_ISFIFO(node.st_mode) || S_ISSOCK(node.st_mode),
                           access);
    }
    if (is_link) {
      // The rename must land on the file the link leads to: renamed over
      // the link itself, the link would become a regular file.
      std::error_code failed;
      target_ = std::filesystem::canonical(path, failed);
      if (failed) {
        return os_error("cannot follow the symbolic link", failed.value());
      }
    }
    replaces_existing = true;
  }

  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::filesystem::path candidate =
        unique_name(target_, ".tmp-", attempt);
    // 0666 lets the umask decide, as for any file the user creates. Read
    // access too, for writers that read back what they wrote.
    fd_ =
        ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temporary_ = candidate;
      // Keep the mode of a file being replaced, so rewriting a report does
      // not change who may read it.
      if (replaces_existing) ::fchmod(fd_, node.st_mode & 07777);
      return {};
    }
    if (errno != EEXIST) {
      return os_error("cannot create a file in its folder", errno);
    }
  }
  return os_error("cannot create a temporary file", EEXIST);
}

Written StagedReplacement::open_in_place(bool is_pipe, WriteAccess access) {
  // Refused before opening: opening a FIFO would wait for a reader only to
  // fail at the first write.
  if (is_pipe && access == WriteAccess::Positioned) {
    return WriteError{path_.string(),
                      "is a pipe or socket, which cannot take a file written "
                      "out of order; write to a regular file"};
  }
  // No O_TRUNC: a device or FIFO has no length to cut, and no O_NONBLOCK,
  // which would fail a FIFO without a reader or drop bytes a slow one has
  // not taken yet.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) return os_error("cannot open", errno);
  in_place_ = true;
  if (access == WriteAccess::Positioned && ::lseek(fd_, 0, SEEK_CUR) < 0) {
    return os_error("cannot be written at offsets", errno);
  }
  return {};
}

Written StagedReplacement::commit(StagedFiles* staged) {
  // EINVAL: a FIFO or a device like /dev/null has nothing to sync.
  if (::fsync(fd_) != 0 && !(in_place_ && errno == EINVAL)) {
    return os_error("fsync failed", errno);
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) return os_error("close failed", errno);
  if (in_place_) return {};
  if (staged != nullptr) {
    // Cleared only once the set holds it, so that a failure to grow the set
    // still leaves the removal to this object.
    staged->staged_.push_back({path_, target_, temporary_});
    temporary_.clear();
    return {};
  }
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    return os_error("cannot replace", errno);
  }
  temporary_.clear();
  sync_folder(target_);
  return {};
}

}  // namespace detail

StagedFiles::~StagedFiles() { discard(); }

void StagedFiles::discard() {
  for (const Staged& file : staged_) remove_quietly(file.temporary);
  staged_.clear();
}

Written StagedFiles::commit() {
  // Hard links to the files about to be replaced, so a failed rename can
  // put back those already renamed over. An empty backup with `existed` set
  // is a file the file system would not link.
  struct Backup {
    std::filesystem::path path;
    bool existed = false;
  };
  std::vector<Backup> backups(staged_.size());
  const auto drop_backups = [&backups] {
    for (const Backup& backup : backups) {
      if (!backup.path.empty()) remove_quietly(backup.path);
    }
  };
  for (std::size_t i = 0; i < staged_.size(); ++i) {
    struct stat existing {};
    backups[i].existed = ::lstat(staged_[i].target.c_str(), &existing) == 0;
    if (!backups[i].existed) continue;
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      const std::filesystem::path name =
          unique_name(staged_[i].target, ".old-", attempt);
      if (::link(staged_[i].target.c_str(), name.c_str()) == 0) {
        backups[i].path = name;
        break;
      }
      if (errno != EEXIST) break;
    }
  }

  for (std::size_t i = 0; i < staged_.size(); ++i) {
    if (::rename(staged_[i].temporary.c_str(), staged_[i].target.c_str()) ==
        0) {
      continue;
    }
    const WriteError error =
        os_error_for(staged_[i].path, "cannot replace", errno);
    // Backwards, so a target staged twice ends with its oldest bytes.
    for (std::size_t j = i; j-- > 0;) {
      if (!backups[j].path.empty()) {
        if (::rename(backups[j].path.c_str(), staged_[j].target.c_str()) == 0) {
          backups[j].path.clear();
        }
      } else if (!backups[j].existed) {
        remove_quietly(staged_[j].target);
      }
    }
    drop_backups();
    staged_.erase(staged_.begin(),
                  staged_.begin() + static_cast<std::ptrdiff_t>(i));
    discard();
    return error;
  }
  drop_backups();
  for (std::size_t i = 0; i < staged_.size(); ++i) {
    // A set mostly shares one folder, which needs syncing once.
    if (i == 0 || staged_[i].target.parent_path() !=
                      staged_[i - 1].target.parent_path()) {
      sync_folder(staged_[i].target);
    }
  }
  staged_.clear();
  return {};
}

}  // namespace zyl_package
