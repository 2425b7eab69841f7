// The streaming JSON reader. The structure around the samples (the report
// object, the tiles, each tile's keys) is followed byte by byte here, with
// each scalar and key handed to simdjson as a token; each sample is only
// delimited (strings and nesting tracked) and gathered into runs, which
// simdjson reads on worker threads. Runs come back in order and are merged
// into the columns, their own string ids mapped to the report's. A fault
// anywhere stops the read; the first in the text wins, since runs before a
// fault of the structure are merged (and checked) before it is reported.
#include "json_stream.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include "growing_array.h"
#include "json_values.h"
#include "machine_memory.h"
#include "quote.h"
#include "utf8.h"

namespace zyl_package::detail {
namespace {

// Largest single token or sample the reader holds in memory at once: far
// beyond any real sample, and small enough that a file without structure
// cannot make the reader buffer all of it.
constexpr std::size_t kMaxPieceBytes = std::size_t{1} << 30;

// --- sources -------------------------------------------------------------

// Line and column of `offset` in `text`, which holds the input from its
// start; `lines`, `line_start` carry the count over from earlier text.
std::pair<std::size_t, std::size_t> place(std::string_view text,
                                          std::uint64_t text_offset,
                                          std::uint64_t offset,
                                          std::size_t& lines,
                                          std::uint64_t& line_start) {
  const std::string_view before = text.substr(0, offset - text_offset);
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (before[i] == '\n') {
      ++lines;
      line_start = text_offset + i + 1;
    }
  }
  return {lines + 1, static_cast<std::size_t>(offset - line_start + 1)};
}

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text) : text_(text) {}

  std::shared_ptr<const Chunk> chunk(std::uint64_t offset,
                                     std::size_t min_bytes,
                                     std::size_t chunk_bytes,
                                     std::string& /*error*/) override {
    auto chunk = std::make_shared<Chunk>();
    chunk->offset = offset;
    chunk->data = text_.data() + offset;
    chunk->size = static_cast<std::size_t>(std::min<std::uint64_t>(
        std::max(min_bytes, chunk_bytes), text_.size() - offset));
    return chunk;
  }
  [[nodiscard]] std::optional<std::uint64_t> size() const override {
    return text_.size();
  }
  std::optional<std::pair<std::size_t, std::size_t>> locate(
      std::uint64_t offset) override {
    std::size_t lines = 0;
    std::uint64_t line_start = 0;
    return place(text_, 0, offset, lines, line_start);
  }

 private:
  std::string_view text_;
};

// A mapping of part of a file, unmapped with the last chunk that uses it.
struct Mapping {
  void* address = MAP_FAILED;
  std::size_t length = 0;
  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (address != MAP_FAILED) ::munmap(address, length);
  }
};

// A regular file, mapped a chunk at a time: the page cache's pages are used
// in place, no copy is made, and each mapping goes when its last chunk
// does, so the pages held stay bounded.
class FileSource final : public ByteSource {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override { ::close(fd_); }

  std::shared_ptr<const Chunk> chunk(std::uint64_t offset,
                                     std::size_t min_bytes,
                                     std::size_t chunk_bytes,
                                     std::string& error) override {
    auto chunk = std::make_shared<Chunk>();
    chunk->offset = offset;
    if (offset >= size_) return chunk;
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset - offset % page;
    const std::uint64_t end = std::min<std::uint64_t>(
        size_, offset + std::max(min_bytes, chunk_bytes));
    auto mapping = std::make_shared<Mapping>();
    mapping->length = static_cast<std::size_t>(end - start);
    mapping->address =
        ::mmap(nullptr, mapping->length, PROT_READ, MAP_PRIVATE | MAP_POPULATE,
               fd_, static_cast<off_t>(start));
    if (mapping->address == MAP_FAILED) {
      error = std::string("cannot read: ") + std::strerror(errno);
      return nullptr;
    }
    chunk->data = static_cast<const char*>(mapping->address) + (offset - start);
    chunk->size = static_cast<std::size_t>(end - offset);
    chunk->owner = std::move(mapping);
    return chunk;
  }
  [[nodiscard]] std::optional<std::uint64_t> size() const override {
    return size_;
  }
  std::optional<std::pair<std::size_t, std::size_t>> locate(
      std::uint64_t offset) override {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::vector<char> block(kBlock);
    std::size_t lines = 0;
    std::uint64_t line_start = 0;
    std::uint64_t at = 0;
    while (at < offset) {
      const auto want = static_cast<std::size_t>(
          std::min<std::uint64_t>(kBlock, offset - at));
      const ssize_t count =
          ::pread(fd_, block.data(), want, static_cast<off_t>(at));
      if (count <= 0) return std::nullopt;
      place({block.data(), static_cast<std::size_t>(count)}, at,
            at + static_cast<std::uint64_t>(count), lines, line_start);
      at += static_cast<std::uint64_t>(count);
    }
    return std::pair<std::size_t, std::size_t>(
        lines + 1, static_cast<std::size_t>(offset - line_start + 1));
  }

 private:
  int fd_;
  std::uint64_t size_;
};

// --- chunks and runs -----------------------------------------------------

// A run waiting for a worker: the samples text stays in its chunk, which the
// run keeps alive.
struct PendingRun {
  std::shared_ptr<const Chunk> chunk;
  std::size_t begin = 0;  // in the chunk
  SampleRun run;
};

// A small pool of workers that read runs in the order they are given.
class RunPool {
 public:
  RunPool(unsigned threads, const ReadLimits& limits) : limits_(limits) {
    for (unsigned i = 0; i < threads; ++i) {
      workers_.emplace_back([this] { work(); });
    }
  }
  RunPool(const RunPool&) = delete;
  RunPool& operator=(const RunPool&) = delete;
  ~RunPool() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  [[nodiscard]] bool threaded() const { return !workers_.empty(); }

  std::future<SampleBatch> submit(PendingRun pending) {
    std::packaged_task<SampleBatch()> task(
        [this, pending = std::move(pending)] {
          SampleBatch batch;
          read_sample_run(pending.run, limits_, batch);
          return batch;
        });
    std::future<SampleBatch> result = task.get_future();
    if (!threaded()) {
      task();
      return result;
    }
    {
      const std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
    return result;
  }

 private:
  void work() {
    for (;;) {
      std::packaged_task<SampleBatch()> task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  const ReadLimits& limits_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<SampleBatch()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// --- the columns being built ---------------------------------------------

// The sample columns, grown without copies, and the report's dictionary.
struct ColumnStore {
  GrowingArray<ColumnTile> tiles;
  SampleArrays<GrowingArray> samples;
  ColumnBuffers dictionary;  // only the dictionary arrays are used

  [[nodiscard]] std::size_t sample_count() const { return samples.size(); }
};

template <typename T>
std::span<const T> view(const GrowingArray<T>& values) {
  return {values.data(), values.size()};
}
template <typename T>
std::span<const T> view(const std::vector<T>& values) {
  return {values.data(), values.size()};
}

ProfileColumns columns_of(std::uint64_t clock_hz,
                          std::shared_ptr<const ColumnStore> store) {
  const ColumnStore& s = *store;
  ProfileColumns columns;
  columns.clock_hz = clock_hz;
  columns.tiles = view(s.tiles);
  for_each_sample_column([&](const auto& column) {
    columns.*column.column = view(s.samples[column]);
  });
  columns.string_offsets = view(s.dictionary.string_offsets);
  columns.string_bytes = {s.dictionary.string_bytes.data(),
                          s.dictionary.string_bytes.size()};
  columns.list_offsets = view(s.dictionary.list_offsets);
  columns.list_entries = view(s.dictionary.list_entries);
  columns.storage = std::move(store);
  return columns;
}

// "1.2 GiB", "340 KiB", "17 bytes": sizes in messages, in the unit that
// reads best.
std::string bytes_text(std::uint64_t bytes) {
  constexpr std::array<const char*, 4> kUnits = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

// --- following nesting --------------------------------------------------

struct NestingState {
  std::size_t depth = 0;   // containers open
  bool in_string = false;  // inside a string
};

// Where each of the characters that matter stands in a block of 64 bytes.
struct BlockMasks {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t open = 0;   // '{' or '['
  std::uint64_t close = 0;  // '}' or ']'
};

BlockMasks masks_of_portable(const char* block) {
  BlockMasks masks;
#if defined(__SSE2__)
  for (int part = 0; part < 4; ++part) {
    const __m128i bytes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
    const auto where = [&](__m128i in, char c) {
      const auto bits = static_cast<std::uint32_t>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(in, _mm_set1_epi8(c))));
      return static_cast<std::uint64_t>(bits) << (16 * part);
    };
    masks.quote |= where(bytes, '"');
    masks.backslash |= where(bytes, '\\');
    // '[' and ']' are '{' and '}' with bit 5 clear: one compare finds both.
    const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    masks.open |= where(folded, '{');
    masks.close |= where(folded, '}');
  }
#else
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    switch (block[i]) {
      case '"':
        masks.quote |= bit;
        break;
      case '\\':
        masks.backslash |= bit;
        break;
      case '{':
      case '[':
        masks.open |= bit;
        break;
      case '}':
      case ']':
        masks.close |= bit;
        break;
      default:
        break;
    }
  }
#endif
  return masks;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with 32-byte compares, for processors that have them (chosen at
// run time: the build targets any x86-64).
__attribute__((target("avx2"))) BlockMasks masks_of_avx2(const char* block) {
  BlockMasks masks;
  for (int part = 0; part < 2; ++part) {
    const __m256i bytes =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * part));
    const __m256i folded = _mm256_or_si256(bytes, _mm256_set1_epi8(0x20));
    const int shift = 32 * part;
    masks.quote |= static_cast<std::uint64_t>(
                       static_cast<std::uint32_t>(_mm256_movemask_epi8(
                           _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('"')))))
                   << shift;
    masks.backslash |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(
                           _mm256_movemask_epi8(_mm256_cmpeq_epi8(
                               bytes, _mm256_set1_epi8('\\')))))
                       << shift;
    masks.open |= static_cast<std::uint64_t>(
                      static_cast<std::uint32_t>(_mm256_movemask_epi8(
                          _mm256_cmpeq_epi8(folded, _mm256_set1_epi8('{')))))
                  << shift;
    masks.close |= static_cast<std::uint64_t>(
                       static_cast<std::uint32_t>(_mm256_movemask_epi8(
                           _mm256_cmpeq_epi8(folded, _mm256_set1_epi8('}')))))
                   << shift;
  }
  return masks;
}
#endif

using MasksOf = BlockMasks (*)(const char*);

MasksOf best_masks_of() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx2")) return masks_of_avx2;
#endif
  return masks_of_portable;
}

// Bit i of the result is the parity of bits 0..i of `bits`: with quotes as
// bits, the bytes from an opening quote up to (not including) its closing
// one.
std::uint64_t prefix_xor(std::uint64_t bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  bits ^= bits << 32;
  return bits;
}

// Follows strings and nesting through bytes[i, size): returns one past the
// byte that closes the last open container, or nothing when the bytes run
// out first, with `i` and `state` where the next bytes take over. Blocks
// without a backslash (nearly all) are done with bit masks, looking only
// at the brackets outside strings; a block with one goes byte by byte.
std::optional<std::size_t> follow_nesting(MasksOf masks_of, const char* bytes,
                                          std::size_t size, std::size_t& i,
                                          NestingState& state) {
  while (i < size) {
    const std::size_t n = std::min<std::size_t>(64, size - i);
    const char* block = bytes + i;
    std::array<char, 64> tail{};
    if (n < 64) {
      // The last bytes of the chunk: nothing may be read past its end.
      std::memcpy(tail.data(), block, n);
      block = tail.data();
    }
    const BlockMasks masks = masks_of(block);
    const std::uint64_t valid =
        n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
    if ((masks.backslash & valid) != 0) {
      const std::size_t stop = i + n;
      while (i < stop) {
        const char c = bytes[i];
        if (state.in_string) {
          if (c == '\\') {
            if (i + 1 >= size) return std::nullopt;  // escape in next bytes
            i += 2;
            continue;
          }
          if (c == '"') state.in_string = false;
          ++i;
          continue;
        }
        ++i;
        if (c == '"') {
          state.in_string = true;
        } else if (c == '{' || c == '[') {
          ++state.depth;
        } else if ((c == '}' || c == ']') && --state.depth == 0) {
          return i;
        }
      }
      continue;
    }
    const std::uint64_t inside =
        prefix_xor(masks.quote & valid) ^
        (state.in_string ? ~std::uint64_t{0} : std::uint64_t{0});
    std::uint64_t brackets = (masks.open | masks.close) & ~inside & valid;
    while (brackets != 0) {
      const int bit = std::countr_zero(brackets);
      brackets &= brackets - 1;
      if (((masks.open >> bit) & 1U) != 0) {
        ++state.depth;
      } else if (--state.depth == 0) {
        return i + static_cast<std::size_t>(bit) + 1;
      }
    }
    state.in_string = ((inside >> (n - 1)) & 1U) != 0;
    i += n;
  }
  return std::nullopt;
}

// --- the reader ----------------------------------------------------------

class StreamReader {
 public:
  StreamReader(ByteSource& source, const ReadLimits& limits,
               ReadProgress* progress, const JsonStreamOptions& options)
      : source_(source),
        limits_(limits),
        progress_(progress),
        options_(options),
        budget_(memory_budget(limits.max_memory_bytes)),
        pool_(options.single_thread ? 0 : worker_count(options), limits) {
    if (progress_ != nullptr) {
      progress_->total.store(source_.size().value_or(0));
    }
  }

  // Reads the whole input; returns the columns, or sets `fault` (and
  // `io_error` for a failed read).
  std::optional<ProfileColumns> read(JsonFault& fault, std::string& io_error) {
    const bool ok = read_root();
    // Runs before the point where the structure failed are older, so their
    // faults come first.
    drain();
    if (run_fault_) {
      fault = std::move(*run_fault_);
      return std::nullopt;
    }
    if (!ok) {
      if (!io_error_.empty()) {
        io_error = io_error_;
        return std::nullopt;
      }
      // The path may name a key of a scope already left, so a fault
      // without a recorded place gets none.
      fault = outer_fault_ ? std::move(*outer_fault_)
                           : JsonFault{end_offset(),
                                       {},
                                       "input ends before the report is "
                                       "complete"};
      return std::nullopt;
    }
    dictionary_.move_into(store_->dictionary);
    return columns_of(clock_hz_, std::move(store_));
  }

 private:
  static unsigned worker_count(const JsonStreamOptions& options) {
    if (options.threads != 0) return options.threads;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores <= 1 ? 0 : std::min(cores, 8U);
  }

  // -- bytes --

  [[nodiscard]] std::uint64_t offset_of(std::size_t i) const {
    return chunk_->offset + i;
  }
  [[nodiscard]] std::uint64_t end_offset() const {
    return chunk_ ? chunk_->offset + chunk_->size : 0;
  }
  [[nodiscard]] const char* at(std::size_t i) const { return chunk_->data + i; }

  // Replaces the chunk by one holding its bytes from `keep_from` on plus
  // more of the input; indices into the chunk move down by `keep_from`.
  // Returns false at the end of the input (or after a failed read), with
  // the chunk unchanged.
  bool load_more(std::size_t keep_from) {
    if (at_end_) return false;
    const std::size_t kept = chunk_ ? chunk_->size - keep_from : 0;
    if (kept >= kMaxPieceBytes) {
      piece_too_large_ = true;
      return false;
    }
    const std::uint64_t offset = chunk_ ? chunk_->offset + keep_from : 0;
    // A piece that outgrows the chunks doubles the next one, so a long
    // piece is read again only a few times.
    std::shared_ptr<const Chunk> next =
        source_.chunk(offset, kept + std::max<std::size_t>(kept, 1),
                      options_.chunk_bytes, io_error_);
    if (!next) return false;
    if (next->size <= kept) {
      at_end_ = true;
      return false;
    }
    const std::uint64_t end = next->offset + next->size;
    if (end > consumed_) {
      if (progress_ != nullptr) progress_->done.store(end);
      consumed_ = end;
    }
    pos_ -= std::min(pos_, keep_from);
    chunk_ = std::move(next);
    return true;
  }

  // Skips whitespace; returns the byte at pos_, or -1 at the end.
  int next_nonspace() {
    for (;;) {
      while (pos_ < chunk_->size) {
        const char c = *at(pos_);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
          return static_cast<unsigned char>(c);
        }
        ++pos_;
      }
      if (!load_more(pos_)) return -1;
    }
  }

  // Makes sure `count` bytes from pos_ are loaded, as far as the input
  // goes.
  void load_ahead(std::size_t count) {
    while (chunk_->size - pos_ < count && load_more(pos_)) {
    }
  }

  // Returns one past the closing quote of the string that opens at pos_,
  // or nothing when the input ends first; pos_ stays at the quote (the
  // chunk may change).
  std::optional<std::size_t> scan_string() {
    std::size_t i = pos_ + 1;
    for (;;) {
      const std::size_t size = chunk_->size;
      while (i < size) {
        const char* quote =
            static_cast<const char*>(std::memchr(at(i), '"', size - i));
        if (quote == nullptr) {
          i = size;
          break;
        }
        // A quote ends the string unless an odd number of backslashes
        // stands before it.
        const std::size_t q = static_cast<std::size_t>(quote - at(0));
        std::size_t backslashes = 0;
        while (q - backslashes > pos_ + 1 && *at(q - backslashes - 1) == '\\') {
          ++backslashes;
        }
        if (backslashes % 2 == 0) return q + 1;
        i = q + 1;
      }
      const std::size_t before = pos_;
      if (!load_more(pos_)) return std::nullopt;
      i -= before - pos_;
    }
  }

  // Returns one past the scalar token (number, literal or garbage) at pos_:
  // it runs to whitespace, a structural character, a quote or the end.
  std::size_t scan_scalar() {
    std::size_t i = pos_;
    for (;;) {
      while (i < chunk_->size && !ends_scalar(*at(i))) ++i;
      if (i < chunk_->size) return i;
      const std::size_t before = pos_;
      if (!load_more(pos_)) return i;
      i -= before - pos_;
    }
  }

  static bool ends_scalar(char c) {
    switch (c) {
      case ' ':
      case '\t':
      case '\n':
      case '\r':
      case '{':
      case '}':
      case '[':
      case ']':
      case ',':
      case ':':
      case '"':
        return true;
      default:
        return false;
    }
  }

  // Returns one past the value that starts at pos_ (an object or array with
  // everything in it, a string or a scalar), or nothing when the input ends
  // inside it. Only strings and nesting are followed: whether the value is
  // valid is for simdjson to say.
  std::optional<std::size_t> scan_value() {
    const char first = *at(pos_);
    if (first == '"') return scan_string();
    if (first != '{' && first != '[') return scan_scalar();
    std::size_t i = pos_;
    NestingState state;
    for (;;) {
      if (const auto end =
              follow_nesting(masks_of_, at(0), chunk_->size, i, state)) {
        return end;
      }
      const std::size_t before = pos_;
      if (!load_more(pos_)) return std::nullopt;
      i -= before - pos_;
    }
  }

  // -- faults --

  bool fail(std::uint64_t offset, std::string message) {
    outer_fault_ = JsonFault{offset, path_text(path_), std::move(message)};
    return false;
  }
  bool fail_end() {
    if (piece_too_large_) {
      return fail(offset_of(pos_), "a single value of more than " +
                                       std::to_string(kMaxPieceBytes) +
                                       " bytes, larger than the reader holds");
    }
    if (!io_error_.empty()) return false;
    return fail(end_offset(), "input ends before the report is complete");
  }
  // A byte that cannot stand where it does.
  bool fail_unexpected(int c) {
    if (c >= 0x80) {
      load_ahead(4);
      const std::string_view rest(at(pos_), chunk_->size - pos_);
      if (utf8_sequence_length(rest, 0) == 0) {
        return fail(offset_of(pos_), "invalid UTF-8");
      }
    }
    return fail(
        offset_of(pos_),
        c == '"' ? std::string("malformed JSON: unexpected string")
                 : "malformed JSON: unexpected " +
                       quoted_text(std::string(1, static_cast<char>(c)), '\''));
  }
  bool fail_token(JsonFault fault) {
    outer_fault_ = std::move(fault);
    return false;
  }
  [[nodiscard]] bool too_deep() const {
    return path_.size() + 1 >= 32 || path_.size() >= limits_.max_depth;
  }
  bool fail_depth() {
    return fail(offset_of(pos_), "JSON nesting deeper than " +
                                     std::to_string(std::min<std::size_t>(
                                         limits_.max_depth, 31)) +
                                     " levels");
  }

  // -- tokens --

  // Reads the value at pos_ (a scalar or string token, or a container
  // where a scalar belongs) as `kind`, and moves past it.
  bool read_scalar(TokenKind kind, TokenValue& out) {
    const char first = *at(pos_);
    if (first == '{' || first == '[') {
      // Only the kind of container matters for the message.
      return fail_token(*read_token(first == '{' ? "{}" : "[]", offset_of(pos_),
                                    path_, kind, limits_, out));
    }
    return read_piece(kind, out);
  }

  // Hands the token at pos_ to simdjson as `kind`; pos_ moves past it.
  bool read_piece(TokenKind kind, TokenValue& out) {
    const bool is_string = *at(pos_) == '"';
    const std::optional<std::size_t> end =
        is_string ? scan_string() : std::optional(scan_scalar());
    const std::size_t stop = end.value_or(chunk_->size);
    if (piece_too_large_) return fail_end();
    const std::string_view text(at(pos_), stop - pos_);
    std::optional<JsonFault> fault =
        read_token(text, offset_of(pos_), path_, kind, limits_, out,
                   /*truncated=*/!end.has_value());
    if (fault) return fail_token(std::move(*fault));
    pos_ = stop;
    return true;
  }

  // A container of type `open` must start at pos_; describes what does
  // instead.
  bool expect_container(char open) {
    const char first = *at(pos_);
    if (first == open) return true;
    TokenValue unused;
    const TokenKind kind = open == '{' ? TokenKind::Object : TokenKind::Array;
    if (first == '{' || first == '[') {
      return fail_token(*read_token(first == '{' ? "{}" : "[]", offset_of(pos_),
                                    path_, kind, limits_, unused));
    }
    if (!read_piece(kind, unused)) return false;
    return fail(offset_of(pos_), "malformed JSON");  // not reached
  }

  // Reads the members of the object at pos_, calling
  // `on_member(key, key_offset)` with pos_ at each value and the key on the
  // path; `open_offset` receives the offset of the opening brace.
  template <typename OnMember>
  bool read_object(std::uint64_t& open_offset, OnMember&& on_member) {
    if (!expect_container('{')) return false;
    if (too_deep()) return fail_depth();
    open_offset = offset_of(pos_);
    ++pos_;
    int c = next_nonspace();
    if (c == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      if (c < 0) return fail_end();
      if (c != '"') return fail_unexpected(c);
      const std::uint64_t key_offset = offset_of(pos_);
      TokenValue key;
      if (!read_piece(TokenKind::Key, key)) return false;
      c = next_nonspace();
      if (c < 0) return fail_end();
      if (c != ':') return fail_unexpected(c);
      ++pos_;
      // The path keeps a view of the key: the known keys' own names outlive
      // the loop, and an unknown key fails at once.
      path_.push_back(Segment{known_key(key.key), 0, false});
      c = next_nonspace();
      if (c < 0) return fail_end();
      if (c == '}' || c == ']' || c == ',' || c == ':') {
        path_.pop_back();
        return fail_unexpected(c);
      }
      if (!on_member(std::string_view(key.key), key_offset)) return false;
      c = next_nonspace();
      if (c < 0) return fail_end();
      path_.pop_back();
      if (c == '}') {
        ++pos_;
        return true;
      }
      if (c != ',') return fail_unexpected(c);
      ++pos_;
      c = next_nonspace();
    }
  }

  static std::string_view known_key(std::string_view key) {
    static constexpr std::array<std::string_view, 6> kKeys = {
        "format", "version", "clock_hz", "tiles", "physical_tile", "samples"};
    for (const std::string_view known : kKeys) {
      if (key == known) return known;
    }
    return key;
  }

  // Marks field `bit` as seen; a second sighting is a duplicate key.
  bool first_sighting(unsigned& seen, unsigned bit, std::string_view key,
                      std::uint64_t key_offset) {
    if ((seen & bit) != 0) {
      return fail(key_offset, "duplicate key " + quoted_text(key));
    }
    seen |= bit;
    return true;
  }
  bool unknown_key(std::string_view key, std::uint64_t key_offset) {
    return fail(key_offset, "unknown key " + quoted_text(key));
  }
  bool missing(std::uint64_t open_offset, std::string_view name) {
    path_.push_back(Segment{name, 0, false});
    return fail(open_offset, "missing required key " + quoted_text(name));
  }

  // -- the report's structure --

  bool read_root() {
    if (!load_more(0)) return io_error_.empty() && fail_empty();
    // A byte-order mark is not JSON; skip it but keep counting positions
    // from the real start of the file.
    load_ahead(3);
    if (std::string_view(at(0), std::min<std::size_t>(chunk_->size, 3)) ==
        "\xEF\xBB\xBF") {
      pos_ = 3;
    }
    if (next_nonspace() < 0) return io_error_.empty() && fail_empty();
    enum : unsigned { kFormat = 1, kVersion = 2, kClock = 4, kTiles = 8 };
    unsigned seen = 0;
    std::uint64_t open_offset = 0;
    const bool ok = read_object(open_offset, [&](std::string_view key,
                                                 std::uint64_t key_offset) {
      TokenValue value;
      if (key == "tiles") {
        return first_sighting(seen, kTiles, key, key_offset) && read_tiles();
      }
      if (key == "clock_hz") {
        if (!first_sighting(seen, kClock, key, key_offset) ||
            !read_scalar(TokenKind::U64, value)) {
          return false;
        }
        clock_hz_ = value.number;
        return true;
      }
      if (key == "format") {
        return first_sighting(seen, kFormat, key, key_offset) &&
               read_scalar(TokenKind::Format, value);
      }
      if (key == "version") {
        return first_sighting(seen, kVersion, key, key_offset) &&
               read_scalar(TokenKind::Version, value);
      }
      return unknown_key(key, key_offset);
    });
    if (!ok) return false;
    if ((seen & kClock) == 0) return missing(open_offset, "clock_hz");
    if ((seen & kTiles) == 0) return missing(open_offset, "tiles");
    const int c = next_nonspace();
    if (c >= 0) {
      if (c >= 0x80) return fail_unexpected(c);
      return fail(offset_of(pos_), "unexpected content after the report");
    }
    return io_error_.empty() && !piece_too_large_ ? true : fail_end();
  }

  bool fail_empty() {
    return fail(end_offset(), "empty input, expected a JSON object");
  }

  // Reads the elements of the array at pos_, calling `on_element(index)`
  // with pos_ at each and its index on the path.
  template <typename OnElement>
  bool read_array(OnElement&& on_element) {
    if (!expect_container('[')) return false;
    if (too_deep()) return fail_depth();
    ++pos_;
    path_.push_back(Segment{{}, 0, true});
    int c = next_nonspace();
    if (c == ']') {
      ++pos_;
      path_.pop_back();
      return true;
    }
    for (;;) {
      if (c < 0) return fail_end();
      if (c == '}' || c == ']' || c == ',' || c == ':') {
        return fail_unexpected(c);
      }
      if (!on_element(path_.back().index)) return false;
      c = next_nonspace();
      if (c < 0) return fail_end();
      if (c == ']') {
        ++pos_;
        path_.pop_back();
        return true;
      }
      if (c != ',') return fail_unexpected(c);
      ++pos_;
      ++path_.back().index;
      c = next_nonspace();
    }
  }

  bool read_tiles() {
    return read_array([this](std::uint64_t index) { return read_tile(index); });
  }

  bool read_tile(std::uint64_t tile_index) {
    enum : unsigned { kTile = 1, kSamples = 2 };
    unsigned seen = 0;
    std::uint32_t physical_tile = 0;
    const std::uint64_t first_sample = samples_seen_;
    std::uint64_t open_offset = 0;
    const bool ok = read_object(
        open_offset, [&](std::string_view key, std::uint64_t key_offset) {
          if (key == "samples") {
            return first_sighting(seen, kSamples, key, key_offset) &&
                   read_samples(tile_index);
          }
          if (key == "physical_tile") {
            TokenValue value;
            if (!first_sighting(seen, kTile, key, key_offset) ||
                !read_scalar(TokenKind::U32, value)) {
              return false;
            }
            physical_tile = static_cast<std::uint32_t>(value.number);
            return true;
          }
          return unknown_key(key, key_offset);
        });
    if (!ok) return false;
    if ((seen & kTile) == 0) return missing(open_offset, "physical_tile");
    if ((seen & kSamples) == 0) return missing(open_offset, "samples");
    const ColumnTile tile{.physical_tile = physical_tile,
                          .first_sample = first_sample,
                          .sample_count = samples_seen_ - first_sample};
    if (!store_->tiles.append(&tile, 1)) return fail_memory();
    return true;
  }

  // Delimits each sample and adds it to the open run; the run goes to a
  // worker when full and at the end of the array, so a run never spans two
  // tiles. A run still open at a fault is read before the fault is
  // reported (see read()).
  bool read_samples(std::uint64_t tile_index) {
    const bool ok = read_array([&](std::uint64_t index) {
      if (run_fault_) return false;  // no need to read on
      const std::optional<std::size_t> end = scan_value();
      if (piece_too_large_) return fail_end();
      if (!io_error_.empty()) return false;
      add_sample(tile_index, index, end.value_or(chunk_->size),
                 !end.has_value());
      // Cut short: the run's reader names what is missing (a string left
      // open, or the end of the input).
      if (!end) return false;
      pos_ = *end;
      return true;
    });
    if (ok) flush_run();
    return ok;
  }

  // -- runs --

  // Adds the sample [pos_, end) of the chunk to the open run, first sending
  // the run off when it lies in another chunk or is big enough.
  void add_sample(std::uint64_t tile_index, std::uint64_t sample_index,
                  std::size_t end, bool truncated) {
    if (open_ && (open_->chunk != chunk_ ||
                  open_->run.ends.back() >= options_.run_bytes)) {
      flush_run();
    }
    if (!open_) {
      open_.emplace();
      open_->chunk = chunk_;
      open_->begin = pos_;
      open_->run.offset = offset_of(pos_);
      open_->run.tile_index = tile_index;
      open_->run.first_sample = sample_index;
    }
    open_->run.starts.push_back(
        static_cast<std::uint32_t>(pos_ - open_->begin));
    open_->run.ends.push_back(static_cast<std::uint32_t>(end - open_->begin));
    open_->run.truncated = truncated;
    ++samples_seen_;
  }

  void flush_run() {
    if (!open_) return;
    PendingRun& pending = *open_;
    pending.run.text = std::string_view(pending.chunk->data + pending.begin,
                                        pending.run.ends.back());
    in_flight_.push_back(pool_.submit(std::move(pending)));
    open_.reset();
    // Keep a bounded number of runs in flight: merge the oldest when the
    // queue is full, and any that are already done.
    const std::size_t most = pool_.threaded() ? 4 * worker_count(options_) : 0;
    while (!in_flight_.empty() &&
           (in_flight_.size() > most ||
            in_flight_.front().wait_for(std::chrono::seconds(0)) ==
                std::future_status::ready)) {
      merge_front();
    }
  }

  void drain() {
    flush_run();
    while (!in_flight_.empty()) merge_front();
  }

  void merge_front() {
    SampleBatch batch = in_flight_.front().get();
    in_flight_.pop_front();
    if (run_fault_) return;  // the first fault stands; the rest is dropped
    if (batch.fault) {
      run_fault_ = std::move(batch.fault);
      return;
    }
    if (!merge(batch)) run_fault_ = memory_fault_;
  }

  // Appends a run's samples with their ids mapped into the report's
  // dictionary; false when memory runs out.
  bool merge(const SampleBatch& batch) {
    const Dictionary& local = batch.dictionary;
    string_map_.resize(local.string_count());
    for (std::uint32_t id = 0; id < local.string_count(); ++id) {
      string_map_[id] = dictionary_.string_id(local.string(id));
    }
    list_map_.resize(local.list_count());
    for (std::uint32_t id = 0; id < local.list_count(); ++id) {
      pairs_.clear();
      for (const MetadataPair& pair : local.list(id)) {
        pairs_.push_back({string_map_[pair.name], string_map_[pair.value]});
      }
      list_map_[id] = dictionary_.list_id(pairs_);
    }
    if (dictionary_.string_count() > 0xFFFFFFFFULL ||
        dictionary_.list_count() > 0xFFFFFFFFULL) {
      memory_fault_ = JsonFault{std::nullopt,
                                {},
                                "more than 4294967295 distinct strings or "
                                "metadata lists"};
      return false;
    }
    const std::size_t n = batch.size();
    ColumnStore& s = *store_;
    // Ids of the run's dictionary become ids of the report's; everything
    // else is copied as it is.
    const auto mapped = [n](auto& column, const auto& ids,
                            const std::vector<std::uint32_t>& map) {
      auto* out = column.extend(n);
      if (out == nullptr) return n == 0;
      for (std::size_t i = 0; i < n; ++i) out[i] = map[ids[i]];
      return true;
    };
    const bool appended = all_sample_columns([&](const auto& column) {
      using Column = std::remove_cvref_t<decltype(column)>;
      auto& out = s.samples[column];
      const auto& in = batch.columns[column];
      if constexpr (Column::kValues == SampleValues::StringId) {
        return mapped(out, in, string_map_);
      } else if constexpr (Column::kValues == SampleValues::ListId) {
        return mapped(out, in, list_map_);
      } else {
        return out.append(in.data(), n);
      }
    });
    if (!appended) {
      memory_fault_ =
          JsonFault{std::nullopt, {}, "not enough memory for the columns"};
      return false;
    }
    return within_budget();
  }

  // Checks the memory taken against the budget, and early on what the
  // whole input will take at the rate seen so far.
  bool within_budget() {
    const std::uint64_t used = memory_used();
    const std::optional<std::uint64_t> total = source_.size();
    if (used > budget_) {
      memory_fault_ = JsonFault{
          std::nullopt,
          {},
          "the report's columns need more than the " + bytes_text(budget_) +
              " of memory " + budget_word() + " (" + bytes_text(used) +
              " after " + bytes_text(consumed_) + " of the input)"};
      return false;
    }
    if (total && consumed_ >= options_.estimate_after_bytes && !estimated_) {
      estimated_ = true;
      const double projected = static_cast<double>(used) *
                               static_cast<double>(*total) /
                               static_cast<double>(consumed_);
      // A margin, since the start of a report need not be typical of it.
      if (projected > 1.25 * static_cast<double>(budget_)) {
        memory_fault_ =
            JsonFault{std::nullopt,
                      {},
                      "the report's columns would need about " +
                          bytes_text(static_cast<std::uint64_t>(projected)) +
                          " of memory (judged from its first " +
                          bytes_text(consumed_) + "), more than the " +
                          bytes_text(budget_) + " " + budget_word()};
        return false;
      }
    }
    return true;
  }

  // The budget is a limit the caller set, or what the machine had.
  [[nodiscard]] const char* budget_word() const {
    return limits_.max_memory_bytes != 0 ? "allowed" : "available";
  }

  [[nodiscard]] std::uint64_t memory_used() const {
    const ColumnStore& s = *store_;
    return s.sample_count() * kSampleBytes + s.tiles.size_bytes() +
           dictionary_.memory_bytes();
  }

  bool fail_memory() {
    memory_fault_ =
        JsonFault{std::nullopt, {}, "not enough memory for the columns"};
    run_fault_ = memory_fault_;
    return false;
  }

  ByteSource& source_;
  const ReadLimits& limits_;
  ReadProgress* progress_;
  JsonStreamOptions options_;
  std::uint64_t budget_;

  const MasksOf masks_of_ =
      options_.portable_scan ? masks_of_portable : best_masks_of();
  std::shared_ptr<const Chunk> chunk_;
  std::size_t pos_ = 0;
  bool at_end_ = false;
  bool piece_too_large_ = false;
  std::uint64_t consumed_ = 0;
  std::string io_error_;

  std::vector<Segment> path_;
  std::optional<JsonFault> outer_fault_;
  std::uint64_t clock_hz_ = 0;
  std::uint64_t samples_seen_ = 0;

  std::optional<PendingRun> open_;
  std::deque<std::future<SampleBatch>> in_flight_;
  std::optional<JsonFault> run_fault_;
  std::optional<JsonFault> memory_fault_;
  bool estimated_ = false;

  std::shared_ptr<ColumnStore> store_ = std::make_shared<ColumnStore>();
  Dictionary dictionary_;
  std::vector<std::uint32_t> string_map_;
  std::vector<std::uint32_t> list_map_;
  std::vector<MetadataPair> pairs_;

  RunPool pool_;  // last: its workers stop before anything they use goes
};

}  // namespace

std::unique_ptr<ByteSource> memory_source(std::string_view text) {
  return std::make_unique<MemorySource>(text);
}

std::unique_ptr<ByteSource> file_source(int fd, std::uint64_t size) {
  return std::make_unique<FileSource>(fd, size);
}

ColumnsResult read_json_columns(ByteSource& source, std::string_view file_name,
                                const ReadLimits& limits,
                                ReadProgress* progress,
                                const JsonStreamOptions& options) {
  JsonFault fault;
  std::string io_error;
  std::optional<ProfileColumns> columns;
  try {
    StreamReader reader(source, limits, progress, options);
    columns = reader.read(fault, io_error);
  } catch (const std::bad_alloc&) {
    fault = JsonFault{std::nullopt, {}, "not enough memory to read the report"};
  } catch (const std::system_error& error) {
    fault = JsonFault{std::nullopt,
                      {},
                      std::string("cannot start the reader: ") + error.what()};
  }
  if (columns) return std::move(*columns);
  LoadError error;
  error.file = std::string(file_name);
  if (!io_error.empty()) {
    error.message = io_error;
    return error;
  }
  error.json_path = std::move(fault.path);
  error.message = std::move(fault.message);
  error.byte_offset = fault.offset;
  if (fault.offset) {
    if (auto place = source.locate(*fault.offset)) {
      error.line = place->first;
      error.column = place->second;
    }
  }
  return error;
}

}  // namespace zyl_package::detail
