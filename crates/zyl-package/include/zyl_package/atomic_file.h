// Replacing files all at once, so a crash or a full disk never leaves a
// half-written file behind, and several files as a set, so a failure part
// way through never leaves half of a new set over half of an old one.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "zyl_package/load_result.h"  // Written

namespace zyl_package {

namespace detail {
class StagedReplacement;
}  // namespace detail

// Files written as a set. A write handed this object leaves its file
// complete and fsynced under a temporary name beside its target, and
// commit() renames them all into place. Until then no target is touched,
// and the temporaries of a set that is never committed are removed when it
// goes: a failure part way through writing a set leaves an older set as it
// was. A target that is not a regular file (a device or FIFO) cannot be
// staged and is written in place at once, as the single-file writers do.
// Several temporaries exist at once, so a set needs the disk room of the
// new files on top of the old ones.
class StagedFiles {
 public:
  StagedFiles() = default;
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;
  ~StagedFiles();

  // Renames every staged file over its target, in the order they were
  // staged, then empties the set. Returns nothing on success (an empty set
  // included). If a rename fails, the targets already replaced are put back
  // as they were (from hard links taken before the first rename; where the
  // file system has none, a target that existed keeps its new bytes), the
  // remaining temporaries are removed, and the error names the file whose
  // rename failed.
  [[nodiscard]] Written commit();

  // Returns the number of files waiting for commit().
  [[nodiscard]] std::size_t size() const { return staged_.size(); }

 private:
  friend class detail::StagedReplacement;

  struct Staged {
    std::filesystem::path path;       // as the caller gave it, for errors
    std::filesystem::path target;     // what the rename replaces
    std::filesystem::path temporary;  // the complete, fsynced bytes
  };

  void discard();

  std::vector<Staged> staged_;
};

// Runs `write` on a stream to a temporary file beside `path`, then flushes,
// fsyncs and renames it over `path`, or, given `staged`, leaves the rename
// to staged->commit(). Returns the error (naming `path` and the OS error)
// when anything fails, in which case the temporary is removed and `path` is
// untouched. A failed stream state after `write` (a full disk, for
// instance) counts as failure, as does an exception thrown by `write`.
// A symbolic link to a regular file has the file it leads to replaced and
// stays a link; a device, FIFO or socket is written in place, never
// replaced; a folder, a link to one and a link to nothing are refused.
[[nodiscard]] Written write_file_atomically(
    const std::filesystem::path& path,
    const std::function<void(std::ostream&)>& write,
    StagedFiles* staged = nullptr);

}  // namespace zyl_package
