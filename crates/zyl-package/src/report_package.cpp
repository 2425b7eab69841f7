// Writer and strict reader of the binary package: a header, a directory of
// fourteen sections (strings, tiles, one column per sample field, metadata
// lists), each checksummed and optionally zstd-compressed.
#include "zyl_package/report_package.h"

#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zyl_package {
namespace {

constexpr std::uint64_t kHeaderBytes = 72;
constexpr std::uint64_t kEntryBytes = 40;
constexpr std::uint32_t kSectionCount = 14;
constexpr std::uint64_t kDirectoryEnd =
    kHeaderBytes + kEntryBytes * kSectionCount;
// The header checksum follows the directory; the first section starts after
// it, on an 8-byte boundary.
constexpr std::uint64_t kPreambleBytes = kDirectoryEnd + 8;
constexpr std::uint64_t kTileBytes = 24;
constexpr std::uint64_t kIdCapacity = std::uint64_t{1} << 32U;
// A zstd block decodes to at most 128 KiB and takes at least 4 bytes, so no
// real frame expands more than about 32768 times; a larger claim is a lie.
constexpr std::uint64_t kMaxCompressionRatio = std::uint64_t{1} << 16U;

enum class Encoding : std::uint32_t { Raw = 0, Zstd = 1 };

// Section ids are their position in the directory plus one.
enum Section : std::uint32_t {
  kStringOffsets = 0,
  kStringBytes,
  kTiles,
  kStartCycle,
  kEndCycle,
  kLocalIndex,
  kPhase,
  kEpoch,
  kKind,
  kKernel,
  kOperation,
  kMetadata,
  kListOffsets,
  kListEntries,
};

constexpr std::array<std::string_view, kSectionCount> kSectionNames = {
    "string offsets",
    "string bytes",
    "tiles",
    "start_cycle",
    "end_cycle",
    "local_index",
    "phase",
    "epoch",
    "kind",
    "kernel",
    "operation",
    "metadata",
    "metadata list offsets",
    "metadata entries"};

// Little-endian access, byte by byte so it holds on any host; compilers turn
// these into single loads and stores on little-endian machines.
void store_u32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void store_u64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t load_u32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8U |
         std::uint32_t{p[2]} << 16U | std::uint32_t{p[3]} << 24U;
}
std::uint64_t load_u64(const unsigned char* p) {
  return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32U;
}

std::uint64_t round_up8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// ---------------------------------------------------------------- writing

using Bytes = std::vector<unsigned char>;

// Gives each distinct string an id in order of first use. Borrows the
// report's strings for the duration of the write.
class StringIds {
 public:
  std::uint32_t id(std::string_view text) {
    const auto [it, inserted] =
        ids_.try_emplace(text, static_cast<std::uint32_t>(strings_.size()));
    if (inserted) {
      if (strings_.size() >= kIdCapacity) overflow_ = true;
      strings_.push_back(text);
    }
    return it->second;
  }
  [[nodiscard]] bool overflow() const { return overflow_; }
  [[nodiscard]] const std::vector<std::string_view>& strings() const {
    return strings_;
  }

 private:
  std::unordered_map<std::string_view, std::uint32_t> ids_;
  std::vector<std::string_view> strings_;
  bool overflow_ = false;
};

// Stores each distinct metadata list once, as (name id, value id) pairs.
class ListIds {
 public:
  std::uint32_t id(const std::vector<ProfileMetadata>& metadata,
                   StringIds& strings) {
    scratch_.clear();
    for (const auto& entry : metadata) {
      scratch_.push_back(strings.id(entry.name));
      scratch_.push_back(strings.id(entry.value));
    }
    const std::uint64_t hash =
        XXH3_64bits(scratch_.data(), scratch_.size() * sizeof(std::uint32_t));
    const auto head = heads_.find(hash);
    std::uint32_t candidate = head == heads_.end() ? kNone : head->second;
    for (; candidate != kNone; candidate = next_[candidate]) {
      const std::uint64_t begin = offsets_[candidate] * 2;
      const std::uint64_t end = offsets_[candidate + 1] * 2;
      if (end - begin == scratch_.size() &&
          std::equal(scratch_.begin(), scratch_.end(),
                     entries_.begin() + static_cast<std::ptrdiff_t>(begin))) {
        return candidate;
      }
    }
    const auto list = static_cast<std::uint32_t>(next_.size());
    if (next_.size() >= kNone) overflow_ = true;
    next_.push_back(head == heads_.end() ? kNone : head->second);
    heads_[hash] = list;
    entries_.insert(entries_.end(), scratch_.begin(), scratch_.end());
    offsets_.push_back(entries_.size() / 2);
    return list;
  }
  [[nodiscard]] bool overflow() const { return overflow_; }
  [[nodiscard]] std::size_t count() const { return next_.size(); }
  [[nodiscard]] const std::vector<std::uint64_t>& offsets() const {
    return offsets_;
  }
  [[nodiscard]] const std::vector<std::uint32_t>& entries() const {
    return entries_;
  }

 private:
  static constexpr std::uint32_t kNone = 0xffffffffU;
  std::vector<std::uint32_t> scratch_;
  std::vector<std::uint32_t> entries_;     // name, value, name, value, ...
  std::vector<std::uint64_t> offsets_{0};  // in pairs
  std::unordered_map<std::uint64_t, std::uint32_t> heads_;
  std::vector<std::uint32_t> next_;  // next list with the same hash
  bool overflow_ = false;
};

Bytes u32_column(std::size_t count) { return Bytes(count * 4); }

struct StoredSection {
  Encoding encoding = Encoding::Raw;
  Bytes stored;
  std::uint64_t size = 0;  // decoded
};

StoredSection store_section(Bytes raw, const PackageWriteOptions& options,
                            ZSTD_CCtx* cctx) {
  StoredSection section;
  section.size = raw.size();
  if (options.compress && !raw.empty() && cctx != nullptr) {
    Bytes packed(ZSTD_compressBound(raw.size()));
    const std::size_t packed_size =
        ZSTD_compressCCtx(cctx, packed.data(), packed.size(), raw.data(),
                          raw.size(), options.compression_level);
    if (ZSTD_isError(packed_size) == 0 && packed_size < raw.size()) {
      packed.resize(packed_size);
      section.encoding = Encoding::Zstd;
      section.stored = std::move(packed);
      return section;
    }
  }
  section.stored = std::move(raw);
  return section;
}

struct CctxFree {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};
struct DctxFree {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// ---------------------------------------------------------------- reading

// A section's decoded bytes: a view into the input for raw sections, an
// owned buffer for compressed ones.
struct Decoded {
  const unsigned char* data = nullptr;
  std::uint64_t size = 0;
  std::unique_ptr<unsigned char[]> owned;
};

struct DirectoryEntry {
  Encoding encoding = Encoding::Raw;
  std::uint64_t offset = 0;
  std::uint64_t stored_size = 0;
  std::uint64_t size = 0;
  std::uint64_t checksum = 0;
};

bool valid_utf8(const unsigned char* p, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t min = 0;
    std::uint32_t code = 0;
    if ((lead & 0xE0U) == 0xC0U) {
      length = 2;
      min = 0x80;
      code = lead & 0x1FU;
    } else if ((lead & 0xF0U) == 0xE0U) {
      length = 3;
      min = 0x800;
      code = lead & 0x0FU;
    } else if ((lead & 0xF8U) == 0xF0U) {
      length = 4;
      min = 0x10000;
      code = lead & 0x07U;
    } else {
      return false;
    }
    if (size - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0U) != 0x80U) return false;
      code = (code << 6U) | (p[i + k] & 0x3FU);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are
    // not UTF-8.
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "0x";
  bool started = false;
  for (int shift = 60; shift >= 0; shift -= 4) {
    const auto digit = static_cast<unsigned>((value >> shift) & 0xFU);
    if (digit != 0 || started || shift == 0) {
      text.push_back(kDigits[digit]);
      started = true;
    }
  }
  return text;
}

std::string section_label(std::size_t index) {
  return "section '" + std::string(kSectionNames[index]) + "'";
}

class PackageReader {
 public:
  PackageReader(std::string_view bytes, std::string_view file_name,
                const ReadLimits& limits)
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())),
        size_(bytes.size()),
        file_name_(file_name),
        limits_(limits) {}

  LoadResult read() {
    ProfileReport report;
    try {
      if (!read_header() || !read_directory() || !verify_checksums() ||
          !decode_sections() || !read_strings() || !read_lists() ||
          !read_tiles(report) || !read_samples(report)) {
        return std::move(error_);
      }
    } catch (const std::bad_alloc&) {
      // The limits keep allocations proportional to the file; memory can
      // still run short on a small machine, which is a load error too.
      fail("not enough memory to load the package");
      return std::move(error_);
    }
    return report;
  }

 private:
  bool fail(std::string message, std::optional<std::uint64_t> offset = {},
            std::string path = {}) {
    error_.file = std::string(file_name_);
    error_.json_path = std::move(path);
    error_.byte_offset = offset;
    error_.message = std::move(message);
    return false;
  }

  bool read_header() {
    const std::size_t compared = std::min<std::size_t>(size_, 8);
    if (compared == 0 ||
        std::memcmp(data_, kPackageMagic.data(), compared) != 0) {
      return fail("not a profile package: bad magic bytes", 0);
    }
    if (size_ < kPreambleBytes) {
      return fail("truncated header: the file has " + std::to_string(size_) +
                      " bytes, the header and section directory take " +
                      std::to_string(kPreambleBytes),
                  size_);
    }
    const std::uint32_t version = load_u32(data_ + 8);
    if (version != kPackageVersion) {
      return fail("unknown package version " + std::to_string(version) +
                      " (this reader knows version " +
                      std::to_string(kPackageVersion) + ")",
                  8);
    }
    const std::uint32_t sections = load_u32(data_ + 64);
    if (sections != kSectionCount) {
      return fail("section count is " + std::to_string(sections) +
                      ", version 1 has " + std::to_string(kSectionCount),
                  64);
    }
    const std::uint64_t stored = load_u64(data_ + kDirectoryEnd);
    const std::uint64_t computed = XXH64(data_, kDirectoryEnd, 0);
    if (stored != computed) {
      return fail("header checksum mismatch: stored " + hex(stored) +
                      ", computed " + hex(computed),
                  kDirectoryEnd);
    }
    const std::uint32_t flags = load_u32(data_ + 12);
    if (flags != 0) return fail("unknown flags " + hex(flags), 12);
    if (load_u32(data_ + 68) != 0) {
      return fail("reserved header field is not zero", 68);
    }
    clock_hz_ = load_u64(data_ + 16);
    tile_count_ = load_u64(data_ + 24);
    sample_count_ = load_u64(data_ + 32);
    string_count_ = load_u64(data_ + 40);
    list_count_ = load_u64(data_ + 48);
    entry_count_ = load_u64(data_ + 56);
    return true;
  }

  // The decoded size each section must have, from the header's counts; the
  // string bytes have no count of their own (their offsets fix the size).
  bool expected_size(std::size_t index, std::uint64_t& bytes) const {
    std::uint64_t count = 0;
    std::uint64_t width = 4;
    switch (index) {
      case kStringOffsets:
        count = string_count_ + 1;
        width = 8;
        if (string_count_ == UINT64_MAX) return false;
        break;
      case kTiles:
        count = tile_count_;
        width = kTileBytes;
        break;
      case kKind:
        count = sample_count_;
        width = 1;
        break;
      case kListOffsets:
        if (list_count_ == UINT64_MAX) return false;
        count = list_count_ + 1;
        width = 8;
        break;
      case kListEntries:
        count = entry_count_;
        width = 8;
        break;
      default:
        count = sample_count_;
        break;
    }
    if (count > UINT64_MAX / width) return false;
    bytes = count * width;
    return true;
  }

  bool read_directory() {
    if (string_count_ > kIdCapacity) {
      return fail("string count " + std::to_string(string_count_) +
                      " is more than 32-bit ids can name",
                  40);
    }
    if (list_count_ > kIdCapacity) {
      return fail("metadata list count " + std::to_string(list_count_) +
                      " is more than 32-bit ids can name",
                  48);
    }
    std::uint64_t end = kPreambleBytes;
    std::uint64_t decoded_total = 0;
    for (std::size_t i = 0; i < kSectionCount; ++i) {
      const unsigned char* entry = data_ + kHeaderBytes + kEntryBytes * i;
      const std::uint64_t at = kHeaderBytes + kEntryBytes * i;
      const std::uint32_t id = load_u32(entry);
      if (id != i + 1) {
        return fail("directory entry " + std::to_string(i) +
                        " has section id " + std::to_string(id) +
                        ", expected " + std::to_string(i + 1) + " (" +
                        std::string(kSectionNames[i]) + ")",
                    at);
      }
      DirectoryEntry& section = directory_[i];
      const std::uint32_t encoding = load_u32(entry + 4);
      if (encoding > static_cast<std::uint32_t>(Encoding::Zstd)) {
        return fail(section_label(i) + " has unknown encoding " +
                        std::to_string(encoding),
                    at + 4);
      }
      section.encoding = static_cast<Encoding>(encoding);
      section.offset = load_u64(entry + 8);
      section.stored_size = load_u64(entry + 16);
      section.size = load_u64(entry + 24);
      section.checksum = load_u64(entry + 32);
      if (section.offset % 8 != 0) {
        return fail(section_label(i) + " starts at byte " +
                        std::to_string(section.offset) +
                        ", not on an 8-byte boundary",
                    at + 8);
      }
      if (section.offset < end) {
        return fail(section_label(i) + " starts at byte " +
                        std::to_string(section.offset) +
                        ", inside the data before it (which ends at " +
                        std::to_string(end) + ")",
                    at + 8);
      }
      if (section.offset > size_ ||
          section.stored_size > size_ - section.offset) {
        return fail("truncated " + section_label(i) + ": it needs bytes " +
                        std::to_string(section.offset) + ".." +
                        std::to_string(section.offset + section.stored_size) +
                        " but the file has " + std::to_string(size_),
                    size_);
      }
      end = round_up8(section.offset + section.stored_size);
      if (section.encoding == Encoding::Raw &&
          section.size != section.stored_size) {
        return fail(section_label(i) + " is stored raw in " +
                        std::to_string(section.stored_size) +
                        " bytes but claims " + std::to_string(section.size) +
                        " decoded bytes",
                    at + 24);
      }
      if (section.encoding == Encoding::Zstd &&
          section.size / kMaxCompressionRatio > section.stored_size) {
        return fail(section_label(i) + " claims " +
                        std::to_string(section.size) + " decoded bytes from " +
                        std::to_string(section.stored_size) +
                        " compressed ones, beyond what zstd can produce",
                    at + 24);
      }
      std::uint64_t expected = 0;
      if (i != kStringBytes &&
          (!expected_size(i, expected) || section.size != expected)) {
        return fail(section_label(i) + " holds " +
                        std::to_string(section.size) +
                        " decoded bytes, which does not match the header's "
                        "counts",
                    at + 24);
      }
      decoded_total = section.size > UINT64_MAX - decoded_total
                          ? UINT64_MAX
                          : decoded_total + section.size;
    }
    if (end < size_) {
      return fail(std::to_string(size_ - end) +
                      " unexpected bytes after the last section",
                  end);
    }
    if (end > size_) {
      return fail("truncated file: the last section's padding ends at byte " +
                      std::to_string(end) + " but the file has " +
                      std::to_string(size_),
                  size_);
    }
    // Records take far more room than columns; check both against the
    // caller's cap before any of it is allocated.
    const std::uint64_t per_sample = sizeof(CycleSample);
    const std::uint64_t records = sample_count_ > UINT64_MAX / per_sample
                                      ? UINT64_MAX
                                      : sample_count_ * per_sample;
    const std::uint64_t needed = std::max(decoded_total, records);
    if (needed > limits_.max_file_bytes) {
      return fail("the package would take " + std::to_string(needed) +
                      " bytes in memory, more than the " +
                      std::to_string(limits_.max_file_bytes) +
                      "-byte limit for reports",
                  32);
    }
    return true;
  }

  bool verify_checksums() {
    for (std::size_t i = 0; i < kSectionCount; ++i) {
      const DirectoryEntry& section = directory_[i];
      const std::uint64_t computed =
          XXH64(data_ + section.offset, section.stored_size, 0);
      if (computed != section.checksum) {
        return fail("checksum mismatch in " + section_label(i) + ": stored " +
                        hex(section.checksum) + ", computed " + hex(computed),
                    section.offset);
      }
    }
    return true;
  }

  bool decode_sections() {
    std::unique_ptr<ZSTD_DCtx, DctxFree> dctx;
    for (std::size_t i = 0; i < kSectionCount; ++i) {
      const DirectoryEntry& section = directory_[i];
      Decoded& decoded = decoded_[i];
      decoded.size = section.size;
      const unsigned char* stored = data_ + section.offset;
      if (section.encoding == Encoding::Raw) {
        decoded.data = stored;
        continue;
      }
      const unsigned long long frame_size =
          ZSTD_getFrameContentSize(stored, section.stored_size);
      if (frame_size == ZSTD_CONTENTSIZE_ERROR) {
        return fail(section_label(i) + " is not a zstd frame", section.offset);
      }
      if (frame_size != ZSTD_CONTENTSIZE_UNKNOWN &&
          frame_size != section.size) {
        return fail("decompressed size mismatch in " + section_label(i) +
                        ": the frame holds " + std::to_string(frame_size) +
                        " bytes, the directory says " +
                        std::to_string(section.size),
                    section.offset);
      }
      if (!dctx) {
        dctx.reset(ZSTD_createDCtx());
        if (!dctx) return fail("not enough memory for the zstd decoder");
      }
      // The size is bounded by the ratio and limit checks; a zero-size
      // request still gets a valid pointer for zstd.
      decoded.owned.reset(
          new (std::nothrow) unsigned char[std::max<std::uint64_t>(section.size,
                                                                   1)]);
      if (!decoded.owned) {
        return fail("not enough memory to decompress " + section_label(i),
                    section.offset);
      }
      const std::size_t produced =
          ZSTD_decompressDCtx(dctx.get(), decoded.owned.get(), section.size,
                              stored, section.stored_size);
      if (ZSTD_isError(produced) != 0) {
        return fail(section_label(i) + " does not decompress: " +
                        ZSTD_getErrorName(produced) + " (or holds more than " +
                        std::to_string(section.size) + " bytes)",
                    section.offset);
      }
      if (produced != section.size) {
        return fail("decompressed size mismatch in " + section_label(i) +
                        ": it decodes to " + std::to_string(produced) +
                        " bytes, the directory says " +
                        std::to_string(section.size),
                    section.offset);
      }
      decoded.data = decoded.owned.get();
    }
    return true;
  }

  // Where element `index` of section `section` lies in the file: exact for
  // raw sections, the section's start for compressed ones.
  std::uint64_t where(std::size_t section, std::uint64_t byte) const {
    const DirectoryEntry& entry = directory_[section];
    return entry.offset + (entry.encoding == Encoding::Raw ? byte : 0);
  }

  bool read_strings() {
    const Decoded& offsets = decoded_[kStringOffsets];
    const Decoded& bytes = decoded_[kStringBytes];
    strings_.reserve(string_count_);
    std::uint64_t previous = load_u64(offsets.data);
    if (previous != 0) {
      return fail(
          "the first string offset is " + std::to_string(previous) + ", not 0",
          where(kStringOffsets, 0));
    }
    for (std::uint64_t i = 0; i < string_count_; ++i) {
      const std::uint64_t next = load_u64(offsets.data + 8 * (i + 1));
      if (next < previous || next > bytes.size) {
        return fail("string " + std::to_string(i) + " ends at offset " +
                        std::to_string(next) + ", outside " +
                        std::to_string(previous) + ".." +
                        std::to_string(bytes.size),
                    where(kStringOffsets, 8 * (i + 1)));
      }
      const std::uint64_t length = next - previous;
      if (length > limits_.max_string_bytes) {
        return fail("string " + std::to_string(i) + " is " +
                        std::to_string(length) + " bytes, more than the " +
                        std::to_string(limits_.max_string_bytes) +
                        "-byte limit",
                    where(kStringBytes, previous));
      }
      const unsigned char* text = bytes.data + previous;
      if (!valid_utf8(text, length)) {
        return fail("string " + std::to_string(i) + " is not valid UTF-8",
                    where(kStringBytes, previous));
      }
      strings_.emplace_back(reinterpret_cast<const char*>(text), length);
      previous = next;
    }
    if (previous != bytes.size) {
      return fail("the string offsets end at " + std::to_string(previous) +
                      " but the string bytes hold " +
                      std::to_string(bytes.size),
                  where(kStringOffsets, 8 * string_count_));
    }
    return true;
  }

  bool read_lists() {
    const Decoded& offsets = decoded_[kListOffsets];
    const unsigned char* entries = decoded_[kListEntries].data;
    lists_.reserve(list_count_);
    std::uint64_t previous = load_u64(offsets.data);
    if (previous != 0) {
      return fail("the first metadata list offset is " +
                      std::to_string(previous) + ", not 0",
                  where(kListOffsets, 0));
    }
    for (std::uint64_t i = 0; i < list_count_; ++i) {
      const std::uint64_t next = load_u64(offsets.data + 8 * (i + 1));
      if (next < previous || next > entry_count_) {
        return fail("metadata list " + std::to_string(i) + " ends at entry " +
                        std::to_string(next) + ", outside " +
                        std::to_string(previous) + ".." +
                        std::to_string(entry_count_),
                    where(kListOffsets, 8 * (i + 1)));
      }
      std::vector<ProfileMetadata>& list = lists_.emplace_back();
      list.reserve(next - previous);
      for (std::uint64_t e = previous; e < next; ++e) {
        const std::uint32_t name = load_u32(entries + 8 * e);
        const std::uint32_t value = load_u32(entries + 8 * e + 4);
        if (name >= string_count_ || value >= string_count_) {
          return fail("metadata entry " + std::to_string(e) + " names string " +
                          std::to_string(std::max(name, value)) + " of " +
                          std::to_string(string_count_),
                      where(kListEntries, 8 * e));
        }
        list.push_back(ProfileMetadata{strings_[name], strings_[value]});
      }
      previous = next;
    }
    if (previous != entry_count_) {
      return fail("the metadata lists cover " + std::to_string(previous) +
                      " of " + std::to_string(entry_count_) + " entries",
                  where(kListOffsets, 8 * list_count_));
    }
    return true;
  }

  bool read_tiles(ProfileReport& report) {
    const unsigned char* tiles = decoded_[kTiles].data;
    report.clock_hz = clock_hz_;
    report.tiles.resize(tile_count_);
    std::uint64_t next_sample = 0;
    for (std::uint64_t i = 0; i < tile_count_; ++i) {
      const unsigned char* tile = tiles + kTileBytes * i;
      const auto path = [i] { return "tiles[" + std::to_string(i) + "]"; };
      const std::uint64_t at = where(kTiles, kTileBytes * i);
      if (load_u32(tile + 4) != 0) {
        return fail("reserved tile field is not zero", at + 4, path());
      }
      const std::uint64_t first = load_u64(tile + 8);
      const std::uint64_t count = load_u64(tile + 16);
      if (first < next_sample) {
        return fail("samples " + std::to_string(first) + ".. overlap the " +
                        "previous tile, which ends at sample " +
                        std::to_string(next_sample),
                    at + 8, path());
      }
      if (first > next_sample) {
        return fail("starts at sample " + std::to_string(first) +
                        ", leaving samples " + std::to_string(next_sample) +
                        ".." + std::to_string(first) + " to no tile",
                    at + 8, path());
      }
      if (count > sample_count_ - first) {
        return fail("samples " + std::to_string(first) + " + " +
                        std::to_string(count) + " run past the end (" +
                        std::to_string(sample_count_) + " samples)",
                    at + 16, path());
      }
      report.tiles[i].physical_tile = load_u32(tile);
      next_sample = first + count;
    }
    if (next_sample != sample_count_) {
      return fail("the tiles hold " + std::to_string(next_sample) +
                      " samples, the header says " +
                      std::to_string(sample_count_),
                  where(kTiles, 0));
    }
    return true;
  }

  bool read_samples(ProfileReport& report) {
    const unsigned char* start = decoded_[kStartCycle].data;
    const unsigned char* end = decoded_[kEndCycle].data;
    const unsigned char* local = decoded_[kLocalIndex].data;
    const unsigned char* phase = decoded_[kPhase].data;
    const unsigned char* epoch = decoded_[kEpoch].data;
    const unsigned char* kind = decoded_[kKind].data;
    const unsigned char* kernel = decoded_[kKernel].data;
    const unsigned char* operation = decoded_[kOperation].data;
    const unsigned char* metadata = decoded_[kMetadata].data;
    std::uint64_t index = 0;
    for (std::size_t tile_idx = 0; tile_idx < report.tiles.size(); ++tile_idx) {
      TileProfile& tile = report.tiles[tile_idx];
      const std::uint64_t count =
          load_u64(decoded_[kTiles].data + kTileBytes * tile_idx + 16);
      tile.samples.resize(count);
      for (std::uint64_t sample_idx = 0; sample_idx < count;
           ++sample_idx, ++index) {
        CycleSample& sample = tile.samples[sample_idx];
        ProfileStep& step = sample.step;
        sample.start_cycle = load_u32(start + 4 * index);
        sample.end_cycle = load_u32(end + 4 * index);
        step.local_index = load_u32(local + 4 * index);
        step.phase = load_u32(phase + 4 * index);
        step.epoch = load_u32(epoch + 4 * index);
        const unsigned char kind_value = kind[index];
        const std::uint32_t kernel_id = load_u32(kernel + 4 * index);
        const std::uint32_t operation_id = load_u32(operation + 4 * index);
        const std::uint32_t list_id = load_u32(metadata + 4 * index);
        if (kind_value > static_cast<unsigned char>(ProfileStepKind::Idle) ||
            kernel_id >= string_count_ || operation_id >= string_count_ ||
            list_id >= list_count_) {
          return fail_sample(tile_idx, sample_idx, index, kind_value, kernel_id,
                             operation_id);
        }
        step.kind = static_cast<ProfileStepKind>(kind_value);
        // Copies from the interned table: short names stay in the string's
        // own buffer, so most samples cost no allocation for them.
        step.kernel = strings_[kernel_id];
        step.operation = strings_[operation_id];
        step.metadata = lists_[list_id];
      }
    }
    return true;
  }

  bool fail_sample(std::size_t tile_idx, std::uint64_t sample_idx,
                   std::uint64_t index, unsigned char kind_value,
                   std::uint32_t kernel_id, std::uint32_t operation_id) {
    const std::string path = "tiles[" + std::to_string(tile_idx) +
                             "].samples[" + std::to_string(sample_idx) + "]";
    if (kind_value > static_cast<unsigned char>(ProfileStepKind::Idle)) {
      return fail("kind " + std::to_string(kind_value) +
                      " is not one of 0 (exchange), 1 (compute), 2 "
                      "(synchronization), 3 (idle)",
                  where(kKind, index), path + ".step.kind");
    }
    const std::string of = " of " + std::to_string(string_count_);
    if (kernel_id >= string_count_) {
      return fail(
          "string id " + std::to_string(kernel_id) + " out of range" + of,
          where(kKernel, 4 * index), path + ".step.kernel");
    }
    if (operation_id >= string_count_) {
      return fail(
          "string id " + std::to_string(operation_id) + " out of range" + of,
          where(kOperation, 4 * index), path + ".step.operation");
    }
    return fail(
        "metadata list id " +
            std::to_string(load_u32(decoded_[kMetadata].data + 4 * index)) +
            " out of range of " + std::to_string(list_count_),
        where(kMetadata, 4 * index), path + ".step.metadata");
  }

  const unsigned char* data_;
  std::size_t size_;
  std::string_view file_name_;
  const ReadLimits& limits_;
  LoadError error_;

  std::uint64_t clock_hz_ = 0;
  std::uint64_t tile_count_ = 0;
  std::uint64_t sample_count_ = 0;
  std::uint64_t string_count_ = 0;
  std::uint64_t list_count_ = 0;
  std::uint64_t entry_count_ = 0;
  std::array<DirectoryEntry, kSectionCount> directory_{};
  std::array<Decoded, kSectionCount> decoded_{};
  std::vector<std::string> strings_;
  std::vector<std::vector<ProfileMetadata>> lists_;
};

}  // namespace

bool looks_like_report_package(std::string_view bytes) {
  return !bytes.empty() &&
         static_cast<unsigned char>(bytes.front()) == kPackageMagic[0];
}

std::optional<std::string> encode_report_package(
    const ProfileReport& report, std::string& out,
    const PackageWriteOptions& options) {
  std::size_t sample_count = 0;
  for (const auto& tile : report.tiles) sample_count += tile.samples.size();

  StringIds strings;
  ListIds lists;
  std::array<Bytes, kSectionCount> raw;
  raw[kTiles] = Bytes(report.tiles.size() * kTileBytes);
  for (std::size_t i = kStartCycle; i <= kMetadata; ++i) {
    raw[i] = i == kKind ? Bytes(sample_count) : u32_column(sample_count);
  }

  std::size_t index = 0;
  const CycleSample* previous = nullptr;
  std::uint32_t kernel_id = 0;
  std::uint32_t operation_id = 0;
  std::uint32_t list_id = 0;
  for (std::size_t tile_idx = 0; tile_idx < report.tiles.size(); ++tile_idx) {
    const TileProfile& tile = report.tiles[tile_idx];
    unsigned char* tile_bytes = raw[kTiles].data() + kTileBytes * tile_idx;
    store_u32(tile_bytes, tile.physical_tile);
    store_u32(tile_bytes + 4, 0);
    store_u64(tile_bytes + 8, index);
    store_u64(tile_bytes + 16, tile.samples.size());
    for (const CycleSample& sample : tile.samples) {
      const ProfileStep& step = sample.step;
      // Neighbouring samples usually share names and metadata; comparing
      // with the previous sample skips most hash lookups.
      if (previous == nullptr || step.kernel != previous->step.kernel) {
        kernel_id = strings.id(step.kernel);
      }
      if (previous == nullptr || step.operation != previous->step.operation) {
        operation_id = strings.id(step.operation);
      }
      if (previous == nullptr || step.metadata != previous->step.metadata) {
        list_id = lists.id(step.metadata, strings);
      }
      previous = &sample;
      store_u32(raw[kStartCycle].data() + 4 * index, sample.start_cycle);
      store_u32(raw[kEndCycle].data() + 4 * index, sample.end_cycle);
      store_u32(raw[kLocalIndex].data() + 4 * index, step.local_index);
      store_u32(raw[kPhase].data() + 4 * index, step.phase);
      store_u32(raw[kEpoch].data() + 4 * index, step.epoch);
      raw[kKind][index] = static_cast<unsigned char>(step.kind);
      store_u32(raw[kKernel].data() + 4 * index, kernel_id);
      store_u32(raw[kOperation].data() + 4 * index, operation_id);
      store_u32(raw[kMetadata].data() + 4 * index, list_id);
      ++index;
    }
  }
  if (strings.overflow()) {
    return "the report has more distinct strings than 32-bit ids can name";
  }
  if (lists.overflow()) {
    return "the report has more distinct metadata lists than 32-bit ids can "
           "name";
  }

  const auto& texts = strings.strings();
  raw[kStringOffsets] = Bytes((texts.size() + 1) * 8);
  std::uint64_t text_bytes = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    store_u64(raw[kStringOffsets].data() + 8 * i, text_bytes);
    text_bytes += texts[i].size();
  }
  store_u64(raw[kStringOffsets].data() + 8 * texts.size(), text_bytes);
  raw[kStringBytes].reserve(text_bytes);
  for (const std::string_view text : texts) {
    raw[kStringBytes].insert(raw[kStringBytes].end(), text.begin(), text.end());
  }
  raw[kListOffsets] = Bytes(lists.offsets().size() * 8);
  for (std::size_t i = 0; i < lists.offsets().size(); ++i) {
    store_u64(raw[kListOffsets].data() + 8 * i, lists.offsets()[i]);
  }
  raw[kListEntries] = Bytes(lists.entries().size() * 4);
  for (std::size_t i = 0; i < lists.entries().size(); ++i) {
    store_u32(raw[kListEntries].data() + 4 * i, lists.entries()[i]);
  }

  std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(options.compress ? ZSTD_createCCtx()
                                                             : nullptr);
  std::array<StoredSection, kSectionCount> sections;
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    // Compress one section at a time and drop its raw bytes at once, so the
    // writer never holds two full copies of the columns.
    sections[i] = store_section(std::move(raw[i]), options, cctx.get());
    raw[i] = Bytes();
  }

  out.clear();
  std::uint64_t offset = kPreambleBytes;
  std::string preamble(kPreambleBytes, '\0');
  auto* head = reinterpret_cast<unsigned char*>(preamble.data());
  std::memcpy(head, kPackageMagic.data(), kPackageMagic.size());
  store_u32(head + 8, kPackageVersion);
  store_u32(head + 12, 0);
  store_u64(head + 16, report.clock_hz);
  store_u64(head + 24, report.tiles.size());
  store_u64(head + 32, sample_count);
  store_u64(head + 40, texts.size());
  store_u64(head + 48, lists.count());
  store_u64(head + 56, lists.entries().size() / 2);
  store_u32(head + 64, kSectionCount);
  store_u32(head + 68, 0);
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    const StoredSection& section = sections[i];
    unsigned char* entry = head + kHeaderBytes + kEntryBytes * i;
    store_u32(entry, static_cast<std::uint32_t>(i + 1));
    store_u32(entry + 4, static_cast<std::uint32_t>(section.encoding));
    store_u64(entry + 8, offset);
    store_u64(entry + 16, section.stored.size());
    store_u64(entry + 24, section.size);
    store_u64(entry + 32,
              XXH64(section.stored.data(), section.stored.size(), 0));
    offset = round_up8(offset + section.stored.size());
  }
  store_u64(head + kDirectoryEnd, XXH64(head, kDirectoryEnd, 0));

  out.reserve(offset);
  out += preamble;
  for (const StoredSection& section : sections) {
    out.append(reinterpret_cast<const char*>(section.stored.data()),
               section.stored.size());
    out.resize(round_up8(out.size()), '\0');
  }
  return std::nullopt;
}

LoadResult parse_report_package(std::string_view bytes,
                                std::string_view file_name,
                                const ReadLimits& limits) {
  if (bytes.size() > limits.max_file_bytes) {
    LoadError error;
    error.file = std::string(file_name);
    error.message =
        "input is " + std::to_string(bytes.size()) + " bytes, more than the " +
        std::to_string(limits.max_file_bytes) + "-byte limit for reports";
    return error;
  }
  return PackageReader(bytes, file_name, limits).read();
}

}  // namespace zyl_package
