// Replacing a file all at once, so a crash or a full disk never leaves a
// half-written file behind.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "zyl_package/load_result.h"  // WriteResult

namespace zyl_package {

// Runs `write` on a stream to a temporary file beside `path`, then flushes,
// fsyncs and renames it over `path`. Returns the error (naming `path` and the
// OS error) when anything fails, in which case the temporary is removed and
// `path` is untouched. A failed stream state after `write` (a full disk, for
// instance) counts as failure, as does an exception thrown by `write`.
// A symbolic link to a regular file has the file it leads to replaced and
// stays a link; a device, FIFO or socket is written in place, never
// replaced; a folder, a link to one and a link to nothing are refused.
[[nodiscard]] WriteResult write_file_atomically(
    const std::filesystem::path& path,
    const std::function<void(std::ostream&)>& write);

}  // namespace zyl_package
