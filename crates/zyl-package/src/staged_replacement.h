// The one way this library replaces a file: the bytes go to a temporary
// beside the target, which is fsynced and renamed over the target only once
// complete, alone or with the rest of a StagedFiles set. The stream writer
// (atomic_file.cpp) and the positioned writer (positioned_file.cpp) both
// write through it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "zyl_package/atomic_file.h"  // StagedFiles
#include "zyl_package/load_result.h"  // Written, WriteError

namespace zyl_package::detail {

// How the bytes will be written: in file order (a stream), or at chosen
// offsets, which a pipe or a terminal cannot take.
enum class WriteAccess : std::uint8_t { Sequential = 0, Positioned = 1 };

// One file being replaced. Until commit() the target is untouched; an
// object that goes without a commit closes its file and removes its
// temporary. Errors name the path as the caller gave it.
class StagedReplacement {
 public:
  StagedReplacement() = default;
  StagedReplacement(const StagedReplacement&) = delete;
  StagedReplacement& operator=(const StagedReplacement&) = delete;
  ~StagedReplacement();

  // Opens where the bytes for `path` go. A regular file, or a name not yet
  // taken, gets a new temporary beside it, with the mode of the file it
  // replaces. A symbolic link to a regular file gets one beside the file it
  // leads to, which is what gets replaced, so the link stays a link. A
  // device, FIFO or socket is opened and written in place: renaming over it
  // would put a regular file where the node was (as root, over /dev/null).
  // Opening a FIFO waits for a reader, as `cat > fifo` does; one that can
  // only take bytes in order is refused for Positioned access before it is
  // opened. A folder, a link to a folder and a link to nothing are refused.
  [[nodiscard]] Written create(const std::filesystem::path& path,
                               WriteAccess access);

  // The descriptor to write to, valid between create() and commit().
  [[nodiscard]] int fd() const { return fd_; }

  // True when the bytes go straight to a device, FIFO or socket, which has
  // no length to set and nothing to rename.
  [[nodiscard]] bool writes_in_place() const { return in_place_; }

  // Fsyncs and closes the temporary, then renames it over the target; given
  // `staged`, hands it over instead, to be renamed with the rest of that
  // set by StagedFiles::commit(). A target written in place is only synced
  // and closed, staged or not: its bytes are already out.
  [[nodiscard]] Written commit(StagedFiles* staged = nullptr);

  // Returns the error "WHAT: OS REASON" naming the path as given.
  [[nodiscard]] WriteError os_error(std::string_view what, int error) const;

 private:
  [[nodiscard]] Written open_in_place(bool is_pipe, WriteAccess access);

  std::filesystem::path path_;       // as the caller gave it
  std::filesystem::path target_;     // what the rename replaces
  std::filesystem::path temporary_;  // empty once renamed or handed over
  int fd_ = -1;
  bool in_place_ = false;
};

}  // namespace zyl_package::detail
