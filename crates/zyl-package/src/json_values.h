// The value level of the JSON reader: simdjson reads pieces of the text (a
// run of samples of one tile, or one token of the structure around them) and
// every rule of the format is checked on them. Faults carry the absolute
// byte offset and the JSON path, so the reader of the whole text can place
// them as if it had parsed the file in one go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary.h"
#include "sample_values.h"
#include "zyl_package/load_result.h"

namespace zyl_package::detail {

// Bytes that must be readable (any value) after the end of a text handed to
// simdjson; its SIMD loads may read that far.
inline constexpr std::size_t kJsonPadding = 64;

// One step of a JSON path: a key (borrowed from the input or a constant) or
// an array index.
struct Segment {
  std::string_view key;
  std::uint64_t index = 0;
  bool is_index = false;
};

// Returns "tiles[3].samples[17].step".
[[nodiscard]] std::string path_text(std::span<const Segment> path);

// What is wrong and where: the byte offset from the start of the input (when
// known), the JSON path of the value, and what was expected.
struct JsonFault {
  std::optional<std::uint64_t> offset;
  std::string path;
  std::string message;
};

// Consecutive samples of one tile's "samples" array, as they stand in the
// input: `text` runs from the first byte of the first sample to the last
// byte of the last, separators included.
struct SampleRun {
  std::string_view text;
  std::uint64_t offset = 0;      // of text[0] in the input
  std::uint64_t tile_index = 0;  // position in "tiles"
  std::uint64_t first_sample = 0;
  std::vector<std::uint32_t> starts;  // where each sample begins, in text
  std::vector<std::uint32_t> ends;    // one past each sample, in text
  bool truncated = false;             // the input ends inside the last sample
};

// The samples of a run as columns, their strings and lists ids of the run's
// own dictionary (so runs can be read in parallel and merged in order), or
// the first fault in them.
// std::vector with its allocator left out, as SampleArrays takes it.
template <typename T>
using Vector = std::vector<T>;

struct SampleBatch {
  SampleArrays<Vector> columns;  // ids of `dictionary`
  Dictionary dictionary;
  std::optional<JsonFault> fault;

  [[nodiscard]] std::size_t size() const { return columns.size(); }
};

// Reads every sample of `run` into `batch`, stopping at the first fault in
// text order. The fault reported does not depend on where runs were cut: a
// failing run is read again up to the failing sample, then that sample
// alone. Never throws for bad input.
void read_sample_run(const SampleRun& run, const ReadLimits& limits,
                     SampleBatch& batch);

// How a single token of the structure around the samples is read.
enum class TokenKind : std::uint8_t {
  Key = 0,      // an object key: the unescaped text
  U32 = 1,      // an integer in 0..4294967295
  U64 = 2,      // an integer in 0..18446744073709551615
  Format = 3,   // the string "zyl-profile-report"
  Version = 4,  // the number 1
  Object = 5,   // only to describe what stands where an object belongs
  Array = 6,    // only to describe what stands where an array belongs
};

// A token read: the number, or the unescaped key.
struct TokenValue {
  std::uint64_t number = 0;
  std::string key;
};

// Reads `text`, one whole scalar or string token found at `offset` (or "{}"
// or "[]" standing for a container found where a scalar belongs), as
// `kind`. `path` is the path of the value; `truncated` says the input ends
// inside the token. Returns the fault, or nothing with `out` filled. For
// Object and Array the token is never one, so the fault names what was
// found instead.
[[nodiscard]] std::optional<JsonFault> read_token(
    std::string_view text, std::uint64_t offset, std::span<const Segment> path,
    TokenKind kind, const ReadLimits& limits, TokenValue& out,
    bool truncated = false);

}  // namespace zyl_package::detail
