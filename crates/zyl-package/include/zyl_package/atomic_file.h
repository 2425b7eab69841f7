// Replacing a file all at once, so a crash or a full disk never leaves a
// half-written file behind.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace zyl_package {

// Runs `write` on a stream to a temporary file beside `path`, then flushes,
// fsyncs and renames it over `path`. Returns an error message (naming the
// file and the OS error) when anything fails, in which case the temporary is
// removed and `path` is untouched. A failed stream state after `write`
// (a full disk, for instance) counts as failure, as does an exception
// thrown by `write`.
[[nodiscard]] std::optional<std::string> write_file_atomically(
    const std::filesystem::path& path,
    const std::function<void(std::ostream&)>& write);

}  // namespace zyl_package
