// Text from a file or a command line shown in a message: a key or value can
// be megabytes long or hold control characters, and a message must stay one
// short line whatever it quotes. The reader, the engine's notes and the
// tool all quote through this one function.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zyl_package {

// Returns `text` between `quote`s: control characters escaped as JSON
// escapes them, bytes that are not UTF-8 as \xNN, and at most `max_bytes`
// shown; a longer text is cut on a character boundary (never inside an
// escape) and its whole length follows: 'aaaa...' (1048576 bytes).
[[nodiscard]] std::string quoted_text(std::string_view text, char quote = '"',
                                      std::size_t max_bytes = 200);

}  // namespace zyl_package
