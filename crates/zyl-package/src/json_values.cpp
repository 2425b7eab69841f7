// The value level of the JSON reader, on simdjson's On-Demand API: a run of
// samples (or one token of the structure around them) is walked once,
// straight into columns, and every rule of the format is checked on the way.
// While walking, only the position and a stack of path segments are kept;
// message texts are built at the failure.
#include "json_values.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quote.h"
#include "utf8.h"
#include "zyl_package/profile_report.h"

namespace zyl_package::detail {

std::string path_text(std::span<const Segment> path) {
  std::string text;
  for (const auto& segment : path) {
    if (segment.is_index) {
      text += '[';
      text += std::to_string(segment.index);
      text += ']';
    } else {
      if (!text.empty()) text += '.';
      // Keys come from the file: an unknown one may be megabytes long, and
      // the message after the path quotes it again at more length.
      text += shown_text(segment.key, kMaxPathKeyBytes);
    }
  }
  return text;
}

namespace {

namespace od = simdjson::ondemand;

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING,
              "buffers must carry the padding simdjson reads past the end");

constexpr std::string_view kFormatName = "zyl-profile-report";
constexpr std::uint64_t kU32Max = 0xFFFFFFFFULL;
constexpr std::uint64_t kU64Max = 0xFFFFFFFFFFFFFFFFULL;
constexpr std::string_view kU32Wanted = "an integer in 0..4294967295";
constexpr std::string_view kU64Wanted = "an integer in 0..18446744073709551615";

// The path of the value being read. A report nests 8 levels at most and the
// reader never descends into values it does not expect, so a small fixed
// array suffices and pushing costs no allocation.
class PathStack {
 public:
  static constexpr std::size_t kCapacity = 32;

  [[nodiscard]] std::size_t size() const { return size_; }
  void push(Segment segment) { segments_[size_++] = segment; }
  void pop() { --size_; }
  Segment& back() { return segments_[size_ - 1]; }
  [[nodiscard]] std::span<const Segment> view() const {
    return {segments_.data(), size_};
  }

 private:
  std::array<Segment, kCapacity> segments_{};
  std::size_t size_ = 0;
};

// Shortens a piece of input quoted in a message (see shown_text). A long
// string token keeps its closing quote, so the length reads as the
// string's.
std::string excerpt(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  if (text.size() > kMaxShownBytes && text.front() == '"' &&
      text.back() == '"') {
    return quoted_text(text.substr(1, text.size() - 2));
  }
  return shown_text(text);
}

// "an object", "an array" or the token itself, for "found ..." in messages.
std::string describe(od::json_type type, std::string_view raw) {
  switch (type) {
    case od::json_type::object:
      return "an object";
    case od::json_type::array:
      return "an array";
    default:
      break;
  }
  return excerpt(raw);
}

std::string in_quotes(std::string_view text) { return quoted_text(text); }

// Where the error locator found the first fault in text that simdjson's
// structural pass refused, and what it is.
struct Fault {
  std::size_t offset = 0;
  std::vector<Segment> path;
  std::string message;
};

// Walks `text` byte by byte, tracking strings and nesting, and returns the
// first fault: invalid UTF-8, an unescaped control character in a string, a
// string still open at the end, a closing bracket that does not match, content
// after the top-level value, or the end of the input with a value still open.
// Runs only after a failure, so it favours clarity over speed; it keeps its
// own stack on the heap, so deep nesting cannot overflow the call stack.
std::optional<Fault> locate_fault(std::string_view text) {
  struct Open {
    char close;               // '}' or ']'
    bool expect_key = false;  // in an object, before a key
    std::uint64_t index = 0;  // in an array, the current element
  };
  std::vector<Open> stack;
  std::vector<Segment> path;  // parallel to the containers entered
  bool root_done = false;
  std::size_t i = 0;
  const auto fault = [&](std::size_t at, std::string message) {
    return Fault{at, path, std::move(message)};
  };
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      if (utf8_sequence_length(text, i) == 0) return fault(i, "invalid UTF-8");
      i += utf8_sequence_length(text, i);
      continue;
    }
    if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r') {
      ++i;
      continue;
    }
    if (root_done) return fault(i, "unexpected content after the report");
    if (byte == '"') {
      const std::size_t open = i;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          i += 2;
          continue;
        }
        if (c < 0x20) {
          constexpr std::string_view kHex = "0123456789ABCDEF";
          std::string message = "control character U+00";
          message += kHex[c >> 4];
          message += kHex[c & 0xF];
          message += " in a string must be escaped";
          return fault(i, std::move(message));
        }
        if (c >= 0x80) {
          const std::size_t length = utf8_sequence_length(text, i);
          if (length == 0) return fault(i, "invalid UTF-8");
          i += length;
          continue;
        }
        ++i;
      }
      if (!closed) return fault(open, "string is not closed");
      if (!stack.empty() && stack.back().close == '}' &&
          stack.back().expect_key) {
        path.push_back(Segment{text.substr(open + 1, i - open - 1), 0, false});
        stack.back().expect_key = false;
      }
      ++i;
      if (stack.empty()) root_done = true;
      continue;
    }
    if (byte == '{' || byte == '[') {
      stack.push_back(Open{byte == '{' ? '}' : ']', byte == '{', 0});
      if (byte == '[') path.push_back(Segment{{}, 0, true});
      ++i;
      continue;
    }
    if (byte == '}' || byte == ']') {
      if (stack.empty() || stack.back().close != static_cast<char>(byte)) {
        return fault(
            i, std::string("unexpected '") + static_cast<char>(byte) + "'");
      }
      // Leave the container: drop its index, or the key of its last member.
      if (byte == ']' || !stack.back().expect_key) {
        if (!path.empty()) path.pop_back();
      }
      stack.pop_back();
      ++i;
      if (stack.empty()) root_done = true;
      continue;
    }
    if (byte == ',' && !stack.empty()) {
      if (stack.back().close == '}') {
        if (!stack.back().expect_key && !path.empty()) path.pop_back();
        stack.back().expect_key = true;
      } else if (!path.empty()) {
        path.back().index = ++stack.back().index;
      }
      ++i;
      continue;
    }
    // A scalar, ':' or a stray ',': skip to the next delimiter.
    ++i;
    if (stack.empty() && byte != ':' && byte != ',') {
      // Stop at non-ASCII bytes too, so the UTF-8 check above sees them.
      while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80 &&
             std::string_view(" \t\n\r{}[],:\"").find(text[i]) ==
                 std::string_view::npos) {
        ++i;
      }
      root_done = true;
    }
  }
  if (!stack.empty()) {
    return fault(text.size(), "input ends before the report is complete");
  }
  return std::nullopt;
}

// One sample's fields as read; the strings are borrowed from the text or
// from the parser, valid until the parser reads the next piece.
struct SampleFields : SampleView {
  std::vector<std::pair<std::string_view, std::string_view>> metadata;
};

// One walk over a piece of the input. The piece is read wrapped in an array
// (`[` + piece + `]`), which simdjson needs to see several samples, or a
// bare scalar, as one document. `offset` is where the piece starts in the
// input and `prefix` its JSON path. When `first_element` is set the
// wrapper's elements are elements of the array the prefix names, numbered
// from there (a run of samples); otherwise the wrapper is left out of paths
// (a single token). Each read_* function returns false after recording the
// first fault; callers stop and pass the false on.
class Reader {
 public:
  Reader(std::string_view wrapped, std::uint64_t offset,
         std::span<const Segment> prefix,
         std::optional<std::uint64_t> first_element, const ReadLimits& limits)
      : json_(wrapped),
        offset_(offset),
        prefix_size_(prefix.size()),
        first_element_(first_element),
        limits_(limits) {
    for (const Segment& segment : prefix) path_.push(segment);
  }

  // Runs simdjson's structural pass over the piece (which must have
  // kJsonPadding readable bytes after it) and returns its wrapper array.
  bool open(od::parser& parser, od::array& wrapper) {
    if (parser.capacity() < json_.size()) {
      if (auto error = parser.allocate(json_.size(), limits_.max_depth + 1)) {
        return fail_structure(error);
      }
    }
    if (auto error = parser
                         .iterate(json_.data(), json_.size(),
                                  json_.size() + kJsonPadding)
                         .get(doc_)) {
      refused_outright_ = true;
      return fail_structure(error);
    }
    iterating_ = true;
    // A document simdjson will not open as an array (say, one cut short)
    // is refused as a whole, like one its structural pass refused.
    if (auto error = doc_.get_array().get(wrapper)) {
      refused_outright_ = true;
      return fail_structure(error);
    }
    return true;
  }

  // Reads the samples of a run into `batch`; `expected` is how many the
  // run's scan found.
  bool read_samples(od::parser& parser, std::size_t expected,
                    SampleBatch& batch) {
    od::array wrapper;
    if (!open(parser, wrapper)) return false;
    path_.push(Segment{{}, *first_element_, true});
    SampleFields fields;
    std::vector<MetadataPair> pairs;
    for (auto element : wrapper) {
      walk_element_ = batch.size();
      od::value value;
      if (auto error = std::move(element).get(value)) {
        return fail_structure(error);
      }
      // Defaults for the optional fields; the metadata keeps its capacity.
      fields.local_index = 0;
      fields.epoch = 0;
      fields.kernel = {};
      fields.metadata.clear();
      if (!read_sample(value, fields)) return false;
      add(fields, pairs, batch);
      ++path_.back().index;
    }
    path_.pop();
    if (batch.size() != expected) {
      return fail(json_.data(), "malformed JSON");
    }
    return true;
  }

  // Reads the single token of the piece as `kind`.
  bool read_token(od::parser& parser, TokenKind kind, TokenValue& out) {
    od::array wrapper;
    if (!open(parser, wrapper)) return false;
    for (auto element : wrapper) {
      od::value value;
      if (auto error = std::move(element).get(value)) {
        return fail_structure(error);
      }
      switch (kind) {
        case TokenKind::Key:
          return read_key(value, out.key);
        case TokenKind::U32:
          return read_unsigned(value, kU32Max, out.number);
        case TokenKind::U64:
          return read_unsigned(value, kU64Max, out.number);
        case TokenKind::Format:
          return read_format(value);
        case TokenKind::Version:
          return read_version(value);
        case TokenKind::Object:
        case TokenKind::Array: {
          const std::string_view expected =
              kind == TokenKind::Object ? "an object" : "an array";
          od::json_type type{};
          std::string_view raw;
          if (!inspect(value, expected, type, raw)) return false;
          return wrong_type(expected, type, raw);
        }
      }
    }
    return fail(json_.data() + json_.size(),
                "input ends before the report is complete");
  }

  [[nodiscard]] JsonFault take_fault() { return std::move(*fault_); }

  // The element of the wrapper the fault is in: the one simdjson's
  // structural pass refused when it refused the whole piece, else the one
  // being walked.
  [[nodiscard]] std::optional<std::uint64_t> failed_element() const {
    return refused_outright_ ? refused_element_ : walk_element_;
  }

 private:
  // Adds a read sample to the batch, interning its strings and list in the
  // order columns are built everywhere.
  static void add(const SampleFields& fields, std::vector<MetadataPair>& pairs,
                  SampleBatch& batch) {
    Dictionary& dictionary = batch.dictionary;
    for_each_sample_value(
        fields,
        [&dictionary](std::string_view text) {
          return dictionary.string_id(text);
        },
        [&] {
          pairs.clear();
          for (const auto& [name, value] : fields.metadata) {
            pairs.push_back(
                {dictionary.string_id(name), dictionary.string_id(value)});
          }
          return dictionary.list_id(pairs);
        },
        [&batch](const auto& column, auto value) {
          batch.columns[column].push_back(value);
        });
  }

  // The input offset of `where`, a pointer into the wrapped piece; the
  // wrapper's opening bracket stands one byte before the piece.
  [[nodiscard]] std::uint64_t input_offset(const char* where) const {
    const std::ptrdiff_t into = where - (json_.data() + 1);
    return into <= 0 ? offset_ : offset_ + static_cast<std::uint64_t>(into);
  }

  // Records a fault at `where` (a pointer into the piece) for the current
  // path. Returns false so callers can `return fail(...)`.
  bool fail(const char* where, std::string message) {
    fault_ = JsonFault{where == nullptr
                           ? std::nullopt
                           : std::optional<std::uint64_t>(input_offset(where)),
                       path_text(path_.view()), std::move(message)};
    return false;
  }

  // A fault simdjson raised without saying where: the structural pass's
  // findings are placed by the error locator; others at the iterator's
  // position.
  bool fail_structure(simdjson::error_code code) {
    switch (code) {
      case simdjson::MEMALLOC:
        return fail(nullptr, "not enough memory to parse " +
                                 std::to_string(json_.size()) + " bytes");
      case simdjson::CAPACITY:
        return fail(nullptr, "a piece of " + std::to_string(json_.size()) +
                                 " bytes is larger than the JSON reader "
                                 "handles (4 GiB)");
      case simdjson::DEPTH_ERROR:
        return fail(nullptr, "JSON nesting deeper than " +
                                 std::to_string(limits_.max_depth) + " levels");
      default:
        break;
    }
    if (auto found = locate_fault(json_)) {
      // The locator's path starts at the wrapper: its index is the
      // element's, renumbered, or left out for a single token.
      std::vector<Segment> path(path_.view().begin(),
                                path_.view().begin() + prefix_size_);
      for (std::size_t i = 0; i < found->path.size(); ++i) {
        Segment segment = found->path[i];
        if (i == 0) {
          if (refused_outright_) refused_element_ = segment.index;
          if (!first_element_) continue;
          segment.index += *first_element_;
        }
        path.push_back(segment);
      }
      fault_ = JsonFault{input_offset(json_.data() + found->offset),
                         path_text(path), std::move(found->message)};
      return false;
    }
    // Before iterate() succeeds the document has no token stream to ask.
    const char* where = nullptr;
    if (!iterating_ ||
        doc_.current_location().get(where) != simdjson::SUCCESS) {
      where = nullptr;
    }
    std::string message = "malformed JSON";
    if (where != nullptr && where < json_.data() + json_.size()) {
      message += ": unexpected ";
      message += *where == '"' ? std::string("string")
                               : quoted_text(std::string_view(where, 1), '\'');
    } else {
      message += std::string(": ") + simdjson::error_message(code);
    }
    return fail(where, std::move(message));
  }

  // The text of the string token whose opening quote is at `quote`, read
  // straight from the input when it holds no escape (the common case, and
  // no copy); nothing (a null view) when it does and must be unescaped.
  // The structural pass has already checked the bytes for UTF-8 and
  // control characters, and the buffer's padding makes the scan safe.
  [[nodiscard]] static std::string_view unescaped_in_place(const char* quote) {
    const char* begin = quote + 1;
    const char* end = begin;
    while (*end != '"' && *end != '\\') ++end;
    if (*end == '\\') return {};
    return {begin, static_cast<std::size_t>(end - begin)};
  }

  // The value's type and where it starts, or false after recording why not.
  // A token that is no JSON value at all (`+1`, `nul`) is reported as found
  // where `expected` was.
  bool inspect(od::value& value, std::string_view expected, od::json_type& type,
               std::string_view& raw) {
    raw = value.raw_json_token();
    if (raw.empty() || raw.data() >= json_.data() + json_.size()) {
      return fail(json_.data() + json_.size(),
                  "input ends before the report is complete");
    }
    if (value.type().get(type) != simdjson::SUCCESS) {
      return fail(raw.data(), "expected " + std::string(expected) + ", found " +
                                  excerpt(raw));
    }
    return true;
  }

  bool wrong_type(std::string_view expected, od::json_type type,
                  std::string_view raw) {
    return fail(raw.data(), "expected " + std::string(expected) + ", found " +
                                describe(type, raw));
  }

  // Reads an unsigned JSON integer no larger than `max`: digits only, so a
  // sign, a fraction or an exponent is refused rather than rounded.
  bool read_unsigned(od::value& value, std::uint64_t max, std::uint64_t& out) {
    // The usual case first, straight from the token: digits, no leading
    // zero, nothing after them but whitespace, within range. Anything else
    // takes the checks below, which name the fault.
    const std::string_view token = value.raw_json_token();
    if (!token.empty() && token[0] >= '0' && token[0] <= '9') {
      std::size_t end = 0;
      std::uint64_t result = 0;
      while (end < token.size() && end < 19 && token[end] >= '0' &&
             token[end] <= '9') {
        result = result * 10 + static_cast<std::uint64_t>(token[end] - '0');
        ++end;
      }
      const bool leading_zero = token[0] == '0' && end > 1;
      if (!leading_zero && result <= max &&
          (end == token.size() || token[end] == ' ' || token[end] == '\n' ||
           token[end] == '\t' || token[end] == '\r') &&
          token.substr(end).find_first_not_of(" \t\n\r") ==
              std::string_view::npos) {
        out = result;
        return true;
      }
    }
    od::json_type type{};
    std::string_view raw;
    if (!inspect(value, max == kU32Max ? kU32Wanted : kU64Wanted, type, raw)) {
      return false;
    }
    const auto expected = [&] {
      return "expected an integer in 0.." + std::to_string(max) + ", found " +
             describe(type, raw);
    };
    if (type != od::json_type::number) return fail(raw.data(), expected());
    std::size_t end = 0;
    std::uint64_t result = 0;
    bool overflow = false;
    while (end < raw.size() && raw[end] >= '0' && raw[end] <= '9') {
      const auto digit = static_cast<std::uint64_t>(raw[end] - '0');
      if (result > (max - digit) / 10) overflow = true;
      if (!overflow) result = result * 10 + digit;
      ++end;
    }
    const std::string_view rest = raw.substr(end);
    const bool only_space =
        rest.find_first_not_of(" \t\n\r") == std::string_view::npos;
    // JSON forbids leading zeros, so "007" is not a number at all.
    if (end == 0 || !only_space || overflow || (raw[0] == '0' && end > 1)) {
      return fail(raw.data(), expected());
    }
    out = result;
    return true;
  }

  bool read_u32(od::value& value, std::uint32_t& out) {
    std::uint64_t wide = 0;
    if (!read_unsigned(value, kU32Max, wide)) return false;
    out = static_cast<std::uint32_t>(wide);
    return true;
  }

  // Reads a string into `text` (unescaped), or nothing when not valid.
  bool read_string_view(od::value& value, std::string_view& text) {
    // The usual case first: a string without escapes, used in place.
    const std::string_view token = value.raw_json_token();
    if (!token.empty() && token[0] == '"') {
      text = unescaped_in_place(token.data());
      if (text.data() != nullptr && text.size() <= limits_.max_string_bytes) {
        return true;
      }
    }
    od::json_type type{};
    std::string_view raw;
    if (!inspect(value, "a string", type, raw)) return false;
    if (type != od::json_type::string) return wrong_type("a string", type, raw);
    text = unescaped_in_place(raw.data());
    if (text.data() == nullptr) {
      if (auto error = value.get_string().get(text)) {
        return fail(raw.data(), describe_string_error(raw, error));
      }
    }
    if (text.size() > limits_.max_string_bytes) {
      return fail(raw.data(), "string of " + std::to_string(text.size()) +
                                  " bytes is longer than the " +
                                  std::to_string(limits_.max_string_bytes) +
                                  "-byte limit");
    }
    return true;
  }

  // Names the escape simdjson refused in the string token `raw`.
  static std::string describe_string_error(std::string_view raw,
                                           simdjson::error_code error) {
    const auto hex_value = [&](std::size_t at) -> std::optional<unsigned> {
      if (at + 4 > raw.size()) return std::nullopt;
      unsigned value = 0;
      for (std::size_t i = at; i < at + 4; ++i) {
        const char c = raw[i];
        value <<= 4;
        if (c >= '0' && c <= '9') {
          value |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
          value |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
          value |= static_cast<unsigned>(c - 'A' + 10);
        } else {
          return std::nullopt;
        }
      }
      return value;
    };
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
      if (raw[i] != '\\') continue;
      const char kind = raw[i + 1];
      if (std::string_view("\"\\/bfnrt").find(kind) != std::string_view::npos) {
        ++i;
        continue;
      }
      if (kind != 'u') {
        return "invalid escape " + excerpt(raw.substr(i, 2)) + " in a string";
      }
      const auto unit = hex_value(i + 2);
      if (!unit) {
        return "invalid escape " + excerpt(raw.substr(i, 6)) + " in a string";
      }
      if (*unit >= 0xD800 && *unit <= 0xDBFF) {
        const bool paired = i + 7 < raw.size() && raw[i + 6] == '\\' &&
                            raw[i + 7] == 'u' && hex_value(i + 8) &&
                            *hex_value(i + 8) >= 0xDC00 &&
                            *hex_value(i + 8) <= 0xDFFF;
        if (!paired) {
          return "unpaired surrogate escape " + std::string(raw.substr(i, 6)) +
                 " in a string";
        }
        i += 11;
        continue;
      }
      if (*unit >= 0xDC00 && *unit <= 0xDFFF) {
        return "unpaired surrogate escape " + std::string(raw.substr(i, 6)) +
               " in a string";
      }
      i += 5;
    }
    return std::string("invalid string: ") + simdjson::error_message(error);
  }

  // Calls `on_field(key, key_start, value)` for each member of the object
  // `value`, in file order, with the key pushed on the path.
  template <typename OnField>
  bool read_object(od::value& value, const char*& start, OnField&& on_field) {
    // Where a brace opens the value it is an object: the type and position
    // checks are for the faults.
    std::string_view raw = value.raw_json_token();
    if (raw.empty() || raw[0] != '{' ||
        raw.data() >= json_.data() + json_.size()) {
      od::json_type type{};
      if (!inspect(value, "an object", type, raw)) return false;
      if (type != od::json_type::object) {
        return wrong_type("an object", type, raw);
      }
    }
    start = raw.data();
    if (too_deep()) return fail_depth(start);
    od::object object;
    if (auto error = value.get_object().get(object))
      return fail_structure(error);
    for (auto member : object) {
      od::field field;
      if (auto error = std::move(member).get(field))
        return fail_structure(error);
      const char* key_start = field.key().raw() - 1;
      std::string_view key = unescaped_in_place(key_start);
      if (key.data() == nullptr) {
        if (auto error = field.unescaped_key().get(key)) {
          return fail(
              key_start,
              "invalid key: " + std::string(simdjson::error_message(error)));
        }
      }
      od::value member_value = field.value();
      path_.push(Segment{key, 0, false});
      if (!on_field(key, key_start, member_value)) return false;
      path_.pop();
    }
    return true;
  }

  // Calls `on_element(value)` for each element of the array `value`, with
  // its index pushed on the path.
  template <typename OnElement>
  bool read_array(od::value& value, OnElement&& on_element) {
    std::string_view raw = value.raw_json_token();
    if (raw.empty() || raw[0] != '[' ||
        raw.data() >= json_.data() + json_.size()) {
      od::json_type type{};
      if (!inspect(value, "an array", type, raw)) return false;
      if (type != od::json_type::array)
        return wrong_type("an array", type, raw);
    }
    if (too_deep()) return fail_depth(raw.data());
    od::array array;
    if (auto error = value.get_array().get(array)) return fail_structure(error);
    path_.push(Segment{{}, 0, true});
    for (auto element : array) {
      od::value element_value;
      if (auto error = std::move(element).get(element_value)) {
        return fail_structure(error);
      }
      if (!on_element(element_value)) return false;
      ++path_.back().index;
    }
    path_.pop();
    return true;
  }

  // One more level would pass the depth limit (or the path's capacity,
  // which no valid report comes near).
  [[nodiscard]] bool too_deep() const {
    return path_.size() + 1 >= PathStack::kCapacity ||
           path_.size() >= limits_.max_depth;
  }

  bool fail_depth(const char* where) {
    return fail(where, "JSON nesting deeper than " +
                           std::to_string(std::min(limits_.max_depth,
                                                   PathStack::kCapacity - 1)) +
                           " levels");
  }

  // Marks field `bit` as seen; a second sighting is a duplicate key.
  bool first_sighting(unsigned& seen, unsigned bit, std::string_view key,
                      const char* key_start) {
    if ((seen & bit) != 0)
      return fail(key_start, "duplicate key " + in_quotes(key));
    seen |= bit;
    return true;
  }

  bool unknown_key(std::string_view key, const char* key_start) {
    return fail(key_start, "unknown key " + in_quotes(key));
  }

  // Reports the first of `required` (bits paired with names) missing from
  // `seen`, at the object's opening brace.
  template <std::size_t N>
  bool check_required(
      unsigned seen,
      const std::array<std::pair<unsigned, std::string_view>, N>& required,
      const char* start) {
    for (const auto& [bit, name] : required) {
      if ((seen & bit) == 0) {
        path_.push(Segment{name, 0, false});
        return fail(start, "missing required key " + in_quotes(name));
      }
    }
    return true;
  }

  bool read_format(od::value& value) {
    std::string_view raw = value.raw_json_token();
    std::string_view text;
    if (!read_string_view(value, text)) return false;
    if (text != kFormatName) {
      return fail(raw.data(), "expected \"" + std::string(kFormatName) +
                                  "\", found " + excerpt(raw));
    }
    return true;
  }

  bool read_version(od::value& value) {
    od::json_type type{};
    std::string_view raw;
    if (!inspect(value, "version 1", type, raw)) return false;
    if (type != od::json_type::number || excerpt(raw) != "1") {
      return fail(raw.data(), "unsupported version " + describe(type, raw) +
                                  ", expected 1");
    }
    return true;
  }

  bool read_sample(od::value& value, SampleFields& sample) {
    enum : unsigned { kStart = 1, kEnd = 2, kStep = 4 };
    unsigned seen = 0;
    const char* start = nullptr;
    const bool ok = read_object(
        value, start,
        [&](std::string_view key, const char* key_start, od::value& member) {
          if (key == "start_cycle") {
            return first_sighting(seen, kStart, key, key_start) &&
                   read_u32(member, sample.start_cycle);
          }
          if (key == "end_cycle") {
            return first_sighting(seen, kEnd, key, key_start) &&
                   read_u32(member, sample.end_cycle);
          }
          if (key == "step") {
            return first_sighting(seen, kStep, key, key_start) &&
                   read_step(member, sample);
          }
          return unknown_key(key, key_start);
        });
    if (!ok) return false;
    return check_required<3>(
        seen, {{{kStart, "start_cycle"}, {kEnd, "end_cycle"}, {kStep, "step"}}},
        start);
  }

  bool read_step(od::value& value, SampleFields& step) {
    enum : unsigned {
      kLocalIndex = 1,
      kPhase = 2,
      kEpoch = 4,
      kOperation = 8,
      kKind = 16,
      kKernel = 32,
      kMetadata = 64,
    };
    unsigned seen = 0;
    const char* start = nullptr;
    const bool ok = read_object(
        value, start,
        [&](std::string_view key, const char* key_start, od::value& member) {
          if (key == "local_index") {
            return first_sighting(seen, kLocalIndex, key, key_start) &&
                   read_u32(member, step.local_index);
          }
          if (key == "phase") {
            return first_sighting(seen, kPhase, key, key_start) &&
                   read_u32(member, step.phase);
          }
          if (key == "epoch") {
            return first_sighting(seen, kEpoch, key, key_start) &&
                   read_u32(member, step.epoch);
          }
          if (key == "operation") {
            return first_sighting(seen, kOperation, key, key_start) &&
                   read_string_view(member, step.operation);
          }
          if (key == "kind") {
            return first_sighting(seen, kKind, key, key_start) &&
                   read_kind(member, step.kind);
          }
          if (key == "kernel") {
            return first_sighting(seen, kKernel, key, key_start) &&
                   read_string_view(member, step.kernel);
          }
          if (key == "metadata") {
            return first_sighting(seen, kMetadata, key, key_start) &&
                   read_array(member, [&](od::value& element) {
                     return read_metadata(element,
                                          step.metadata.emplace_back());
                   });
          }
          return unknown_key(key, key_start);
        });
    if (!ok) return false;
    return check_required<3>(
        seen, {{{kPhase, "phase"}, {kOperation, "operation"}, {kKind, "kind"}}},
        start);
  }

  bool read_kind(od::value& value, ProfileStepKind& kind) {
    const std::string_view raw = value.raw_json_token();
    std::string_view name;
    if (!read_string_view(value, name)) return false;
    const auto parsed = parse_step_kind(name);
    if (!parsed) {
      return fail(raw.data(),
                  "expected one of \"exchange\", \"compute\", "
                  "\"synchronization\", \"idle\", found " +
                      excerpt(raw));
    }
    kind = *parsed;
    return true;
  }

  bool read_metadata(od::value& value,
                     std::pair<std::string_view, std::string_view>& entry) {
    enum : unsigned { kName = 1, kValue = 2 };
    unsigned seen = 0;
    const char* start = nullptr;
    const bool ok = read_object(
        value, start,
        [&](std::string_view key, const char* key_start, od::value& member) {
          if (key == "name") {
            return first_sighting(seen, kName, key, key_start) &&
                   read_string_view(member, entry.first);
          }
          if (key == "value") {
            return first_sighting(seen, kValue, key, key_start) &&
                   read_string_view(member, entry.second);
          }
          return unknown_key(key, key_start);
        });
    if (!ok) return false;
    return check_required<2>(seen, {{{kName, "name"}, {kValue, "value"}}},
                             start);
  }

  // Reads an object key given as a string token.
  bool read_key(od::value& value, std::string& out) {
    od::json_type type{};
    std::string_view raw;
    if (!inspect(value, "a key", type, raw)) return false;
    std::string_view text = unescaped_in_place(raw.data());
    if (text.data() == nullptr) {
      if (auto error = value.get_string().get(text)) {
        return fail(
            raw.data(),
            "invalid key: " + std::string(simdjson::error_message(error)));
      }
    }
    out.assign(text);
    return true;
  }

  std::string_view json_;  // the wrapped piece
  std::uint64_t offset_;   // of the piece (after the wrapper's bracket)
  std::size_t prefix_size_;
  std::optional<std::uint64_t> first_element_;
  const ReadLimits& limits_;
  PathStack path_;
  std::optional<JsonFault> fault_;
  od::document doc_;
  bool iterating_ = false;  // doc_ holds a token stream
  bool refused_outright_ = false;
  std::optional<std::uint64_t> refused_element_;
  std::optional<std::uint64_t> walk_element_;
};

// The parser and the wrapped copy of the piece, kept per thread so pieces
// read one after the other reuse their memory.
struct ThreadState {
  od::parser parser;
  std::vector<char> wrapped;

  // Returns "[" + piece (+ "]") with padding after it.
  std::string_view wrap(std::string_view piece, bool close) {
    const std::size_t size = piece.size() + (close ? 2 : 1);
    if (wrapped.size() < size + kJsonPadding) {
      wrapped.resize(size + kJsonPadding);
    }
    wrapped[0] = '[';
    std::memcpy(wrapped.data() + 1, piece.data(), piece.size());
    if (close) wrapped[size - 1] = ']';
    std::memset(wrapped.data() + size, 0, kJsonPadding);
    return {wrapped.data(), size};
  }
};

ThreadState& thread_state() {
  thread_local ThreadState state;
  return state;
}

// Samples [first, last) of `run` as a run of their own.
SampleRun sub_run(const SampleRun& run, std::size_t first, std::size_t last) {
  SampleRun sub;
  const std::uint32_t begin = run.starts[first];
  sub.text = run.text.substr(begin, run.ends[last - 1] - begin);
  sub.offset = run.offset + begin;
  sub.tile_index = run.tile_index;
  sub.first_sample = run.first_sample + first;
  for (std::size_t i = first; i < last; ++i) {
    sub.starts.push_back(run.starts[i] - begin);
    sub.ends.push_back(run.ends[i] - begin);
  }
  sub.truncated = run.truncated && last == run.ends.size();
  return sub;
}

// The path of a run: tiles[t].samples.
std::array<Segment, 3> run_prefix(const SampleRun& run) {
  return {Segment{"tiles", 0, false}, Segment{{}, run.tile_index, true},
          Segment{"samples", 0, false}};
}

}  // namespace

void read_sample_run(const SampleRun& run, const ReadLimits& limits,
                     SampleBatch& batch) {
  std::optional<std::uint64_t> failed;
  {
    ThreadState& state = thread_state();
    const std::array<Segment, 3> prefix = run_prefix(run);
    Reader reader(state.wrap(run.text, !run.truncated), run.offset, prefix,
                  run.first_sample, limits);
    if (reader.read_samples(state.parser, run.ends.size(), batch)) return;
    batch.fault = reader.take_fault();
    failed = reader.failed_element();
  }
  const std::size_t count = run.ends.size();
  if (count == 1) return;
  if (!failed || *failed >= count) {
    // Not tied to a sample (simdjson refused the run without the locator
    // finding where): read the samples one at a time; the first that fails
    // names the fault, as it would in runs of one.
    for (std::size_t i = 0; i < count; ++i) {
      SampleBatch one;
      read_sample_run(sub_run(run, i, i + 1), limits, one);
      if (one.fault) {
        batch.fault = std::move(one.fault);
        return;
      }
    }
    return;
  }
  // What simdjson says about a sample can depend on the text around it (a
  // structural fault further on, found before the walk gets there), so the
  // fault is placed by reading the samples before the failing one, then
  // that one alone: the same, wherever the runs were cut.
  const auto at = static_cast<std::size_t>(*failed);
  if (at > 0) {
    SampleBatch earlier;
    read_sample_run(sub_run(run, 0, at), limits, earlier);
    if (earlier.fault) {
      batch.fault = std::move(earlier.fault);
      return;
    }
  }
  SampleBatch alone;
  read_sample_run(sub_run(run, at, at + 1), limits, alone);
  if (alone.fault) batch.fault = std::move(alone.fault);
}

std::optional<JsonFault> read_token(std::string_view text, std::uint64_t offset,
                                    std::span<const Segment> path,
                                    TokenKind kind, const ReadLimits& limits,
                                    TokenValue& out, bool truncated) {
  ThreadState& state = thread_state();
  Reader reader(state.wrap(text, !truncated), offset, path, std::nullopt,
                limits);
  if (reader.read_token(state.parser, kind, out)) return std::nullopt;
  return reader.take_fault();
}

}  // namespace zyl_package::detail
