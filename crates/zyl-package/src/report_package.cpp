// Writer and strict reader of the binary package: a header, a directory of
// sections (strings, tiles, one column per sample field, metadata lists),
// each checksummed and optionally zstd-compressed. Version 2 aligns
// sections to 64 bytes so that a mapped file is used as columns in place.
#include "zyl_package/report_package.h"

#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "column_checks.h"
#include "machine_memory.h"
#include "package_io.h"
#include "package_sections.h"
#include "write_progress.h"

namespace zyl_package {
namespace {

// Raw sections are the columns' own memory, read and written as they are.
static_assert(std::endian::native == std::endian::little,
              "the package stores little-endian columns; a big-endian host "
              "would need a byte-swapping decoder");

constexpr std::uint64_t kHeaderBytes = 72;
constexpr std::uint64_t kEntryBytes = 40;
constexpr std::uint32_t kSectionCount = detail::kPackageSections;
constexpr std::uint64_t kDirectoryEnd =
    kHeaderBytes + kEntryBytes * kSectionCount;
constexpr std::uint64_t kPreambleBytes = detail::kPackagePreambleBytes;
static_assert(kPreambleBytes == kDirectoryEnd + 8);
static_assert(kPreambleBytes % 64 == 0);
constexpr std::uint64_t kIdCapacity = std::uint64_t{1} << 32U;
// A zstd block decodes to at most 128 KiB and takes at least 4 bytes, so no
// real frame expands more than about 32768 times; a larger claim is a lie.
constexpr std::uint64_t kMaxCompressionRatio = std::uint64_t{1} << 16U;
// Below this many stored bytes a second thread costs more than it saves.
constexpr std::uint64_t kParallelBytes = std::uint64_t{1} << 20U;
constexpr std::uint64_t kV2Alignment = 64;
using detail::kShardBlockBytes;
using detail::kShardChecksumAt;
using detail::kShardFlag;
using detail::kShardTag;

enum class Encoding : std::uint32_t { Raw = 0, Zstd = 1 };

// Section ids are their position in the directory plus one; the sample
// columns stand at detail::array_of(column).
using detail::ColumnArray;
constexpr std::size_t section_index(ColumnArray array) {
  return static_cast<std::size_t>(array);
}
constexpr std::size_t kStringOffsets =
    section_index(ColumnArray::StringOffsets);
constexpr std::size_t kStringBytes = section_index(ColumnArray::StringBytes);
constexpr std::size_t kTiles = section_index(ColumnArray::Tiles);
constexpr std::size_t kListOffsets = section_index(ColumnArray::ListOffsets);
constexpr std::size_t kListEntries = section_index(ColumnArray::ListEntries);
static_assert(kListEntries + 1 == kSectionCount);

constexpr std::array<std::string_view, kSectionCount> kSectionNames = [] {
  std::array<std::string_view, kSectionCount> names{};
  names[kStringOffsets] = "string offsets";
  names[kStringBytes] = "string bytes";
  names[kTiles] = "tiles";
  for_each_sample_column([&names](const auto& column) {
    names[section_index(detail::array_of(column))] = column.name;
  });
  names[kListOffsets] = "metadata list offsets";
  names[kListEntries] = "metadata entries";
  return names;
}();

// Per section: the bytes of one element, and whether it is a sample column
// of ids (string or list ids, or kinds), whose largest value the checks
// bound and the checksum pass finds.
struct SectionShape {
  std::uint64_t width = 1;
  bool ids = false;
};

constexpr std::array<SectionShape, kSectionCount> kSectionShapes = [] {
  std::array<SectionShape, kSectionCount> shapes{};
  shapes[kStringOffsets].width = 8;
  shapes[kTiles].width = sizeof(ColumnTile);  // 24
  for_each_sample_column([&shapes](const auto& column) {
    using Column = std::remove_cvref_t<decltype(column)>;
    SectionShape& shape = shapes[section_index(detail::array_of(column))];
    shape.width = sizeof(typename Column::Element);
    shape.ids = Column::kValues != SampleValues::Number;
  });
  shapes[kListOffsets].width = 8;
  shapes[kListEntries].width = sizeof(MetadataPair);
  return shapes;
}();

// largest_id reads ids of these widths only.
static_assert(all_sample_columns([](const auto& column) {
  using Column = std::remove_cvref_t<decltype(column)>;
  return Column::kValues == SampleValues::Number ||
         sizeof(typename Column::Element) == 1 ||
         sizeof(typename Column::Element) == 4;
}));

// Little-endian access to the header and directory, byte by byte so it
// reads the same whatever the alignment of the input.
std::uint32_t load_u32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8U |
         std::uint32_t{p[2]} << 16U | std::uint32_t{p[3]} << 24U;
}
std::uint64_t load_u64(const unsigned char* p) {
  return std::uint64_t{load_u32(p)} | std::uint64_t{load_u32(p + 4)} << 32U;
}

std::uint64_t alignment_of(std::uint32_t version) {
  return version == 1 ? 8 : kV2Alignment;
}
std::uint64_t round_up(std::uint64_t n, std::uint64_t alignment) {
  return (n + alignment - 1) & ~(alignment - 1);
}
// Version 1 used XXH64; version 2 uses XXH3-64, several times faster, so
// verifying a mapped file costs little next to the first query.
std::uint64_t checksum(std::uint32_t version, const void* data,
                       std::size_t size) {
  return version == 1 ? XXH64(data, size, 0) : XXH3_64bits(data, size);
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

struct DctxFree {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// ---------------------------------------------------------------- reading

struct DirectoryEntry {
  Encoding encoding = Encoding::Raw;
  std::uint64_t offset = 0;
  std::uint64_t stored_size = 0;
  std::uint64_t size = 0;
  std::uint64_t checksum = 0;
};

// What keeps a package's columns alive: the input (a mapping or a buffer)
// and the decoded compressed sections.
struct PackageStorage {
  std::shared_ptr<const void> input;
  std::array<std::unique_ptr<unsigned char[]>, kSectionCount> decoded;
};

// The outcome of verifying (and, when compressed, decoding) one section.
struct SectionWork {
  bool checksum_ok = true;
  std::uint64_t computed = 0;
  std::uint32_t largest = 0;  // of an id column's decoded values
  std::string decode_error;   // empty when decoded or raw
  std::unique_ptr<unsigned char[]> owned;
};

template <typename T>
std::span<const T> view_as(const unsigned char* data, std::uint64_t bytes) {
  return {reinterpret_cast<const T*>(data),
          static_cast<std::size_t>(bytes / sizeof(T))};
}

class PackageReader {
 public:
  PackageReader(const char* data, std::size_t size, std::string_view file_name,
                const ReadLimits& limits, bool for_records)
      : data_(reinterpret_cast<const unsigned char*>(data)),
        size_(size),
        file_name_(file_name),
        limits_(limits),
        for_records_(for_records) {}

  ColumnsResult read(std::shared_ptr<const void> keep_alive) {
    try {
      if (!read_header() || !read_directory() ||
          !read_shard_block(data_ + size_ - kShardBlockBytes) ||
          !check_memory()) {
        return std::move(error_);
      }
      auto storage = std::make_shared<PackageStorage>();
      storage->input = std::move(keep_alive);
      if (!verify_and_decode(*storage)) return std::move(error_);
      ProfileColumns columns = make_columns(*storage);
      columns.shard = shard_;
      columns.storage = std::move(storage);
      if (auto fault = detail::find_column_fault(columns, limits_, &maxima_)) {
        const auto section = static_cast<std::size_t>(fault->array);
        fail(std::move(fault->error.message), where(section, fault->byte),
             std::move(fault->error.json_path));
        return std::move(error_);
      }
      return columns;
    } catch (const std::bad_alloc&) {
      // The limits keep allocations proportional to the file; memory can
      // still run short on a small machine, which is a load error too.
      fail("not enough memory to load the package");
      return std::move(error_);
    }
  }

  // Reads the identity alone: `data_` holds only the preamble (size_ is
  // the file's), `block` the file's last kShardBlockBytes bytes or null.
  Loaded<std::optional<ShardIdentity>> identity(const unsigned char* block) {
    if (!read_header() || !read_directory()) return std::move(error_);
    // A shard's size was checked to leave room for the preamble and block.
    if (flagged_ && !read_shard_block(block)) return std::move(error_);
    return shard_;
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
    version_ = load_u32(data_ + 8);
    if (version_ != 1 && version_ != 2) {
      return fail("unknown package version " + std::to_string(version_) +
                      " (this reader knows versions 1 and 2)",
                  8);
    }
    alignment_ = alignment_of(version_);
    const std::uint32_t sections = load_u32(data_ + 64);
    if (sections != kSectionCount) {
      return fail("section count is " + std::to_string(sections) +
                      ", version " + std::to_string(version_) + " has " +
                      std::to_string(kSectionCount),
                  64);
    }
    const std::uint64_t stored = load_u64(data_ + kDirectoryEnd);
    const std::uint64_t computed = checksum(version_, data_, kDirectoryEnd);
    if (stored != computed) {
      return fail("header checksum mismatch: stored " + hex(stored) +
                      ", computed " + hex(computed),
                  kDirectoryEnd);
    }
    const std::uint32_t flags = load_u32(data_ + 12);
    if ((flags & ~kShardFlag) != 0) {
      return fail("unknown flags " + hex(flags & ~kShardFlag), 12);
    }
    flagged_ = (flags & kShardFlag) != 0;
    if (flagged_ && version_ != 2) {
      return fail("the shard flag is set in a version " +
                      std::to_string(version_) +
                      " package (only version 2 carries a shard identity)",
                  12);
    }
    const std::uint32_t last = load_u32(data_ + 68);
    if (version_ == 1 && last != 0) {
      return fail("reserved header field is not zero", 68);
    }
    if (version_ == 2 && last != kV2Alignment) {
      return fail("section alignment is " + std::to_string(last) +
                      ", version 2 uses " + std::to_string(kV2Alignment),
                  68);
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
    const SectionShape& shape = kSectionShapes[index];
    std::uint64_t count = sample_count_;
    if (index == kStringOffsets) count = string_count_ + 1;
    if (index == kTiles) count = tile_count_;
    if (index == kListOffsets) count = list_count_ + 1;
    if (index == kListEntries) count = entry_count_;
    if (count > UINT64_MAX / shape.width) return false;
    bytes = count * shape.width;
    return true;
  }

  bool read_directory() {
    // Also keeps the "+ 1" of the offset counts from overflowing.
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
    const std::string boundary = alignment_ == 8 ? "not on an 8-byte boundary"
                                                 : "not on a 64-byte boundary";
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
      if (section.offset % alignment_ != 0) {
        return fail(section_label(i) + " starts at byte " +
                        std::to_string(section.offset) + ", " + boundary,
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
      end = round_up(section.offset + section.stored_size, alignment_);
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
      const std::uint64_t owned =
          for_records_ || section.encoding == Encoding::Zstd ? section.size : 0;
      decoded_total = owned > UINT64_MAX - decoded_total
                          ? UINT64_MAX
                          : decoded_total + owned;
    }
    if (flagged_) {
      // A shard ends with its identity block; `end` stays the block's
      // offset (the section ends are at most the file size, so this cannot
      // overflow).
      if (end + kShardBlockBytes < size_) {
        return fail(std::to_string(size_ - end - kShardBlockBytes) +
                        " unexpected bytes after the shard identity block",
                    end + kShardBlockBytes);
      }
      if (end + kShardBlockBytes > size_) {
        return fail("truncated file: the shard identity block needs bytes " +
                        std::to_string(end) + ".." +
                        std::to_string(end + kShardBlockBytes) +
                        " but the file has " + std::to_string(size_),
                    size_);
      }
    } else if (end < size_) {
      return fail(std::to_string(size_ - end) +
                      " unexpected bytes after the last section",
                  end);
    } else if (end > size_) {
      return fail("truncated file: the last section's padding ends at byte " +
                      std::to_string(end) + " but the file has " +
                      std::to_string(size_),
                  size_);
    }
    decoded_total_ = decoded_total;
    return true;
  }

  // Checks the identity block at the end of a flagged file, whose place the
  // directory checks confirmed; `block` holds its bytes. Sets shard_.
  bool read_shard_block(const unsigned char* block) {
    if (!flagged_) return true;
    const std::uint64_t at = size_ - kShardBlockBytes;
    if (std::memcmp(block, kShardTag.data(), kShardTag.size()) != 0) {
      return fail("the shard identity block does not start with its tag", at);
    }
    const std::uint64_t stored = load_u64(block + kShardChecksumAt);
    const std::uint64_t computed = XXH3_64bits(block, kShardChecksumAt);
    if (stored != computed) {
      return fail("shard identity checksum mismatch: stored " + hex(stored) +
                      ", computed " + hex(computed),
                  at + kShardChecksumAt);
    }
    for (std::uint64_t k = 32; k < kShardChecksumAt; ++k) {
      if (block[k] != 0) {
        return fail("reserved shard identity byte is not zero", at + k);
      }
    }
    ShardIdentity shard;
    std::memcpy(shard.profile.data(), block + 8, shard.profile.size());
    shard.index = load_u32(block + 24);
    shard.count = load_u32(block + 28);
    if (shard.count == 0) return fail("the shard count is 0", at + 28);
    if (shard.index >= shard.count) {
      return fail("shard index " + std::to_string(shard.index) +
                      " is not below the shard count " +
                      std::to_string(shard.count),
                  at + 24);
    }
    shard_ = shard;
    return true;
  }

  bool check_memory() {
    // Memory the load takes beyond the input: the decoded compressed
    // sections, and for a record reader the records too (which take far
    // more room than columns). Both are checked before anything is
    // allocated.
    std::uint64_t needed = decoded_total_;
    if (for_records_) {
      const std::uint64_t per_sample = sizeof(CycleSample);
      needed = std::max(needed, sample_count_ > UINT64_MAX / per_sample
                                    ? UINT64_MAX
                                    : sample_count_ * per_sample);
    }
    if (needed > limits_.max_file_bytes) {
      return fail("the package would take " + std::to_string(needed) +
                      " bytes in memory, more than the " +
                      std::to_string(limits_.max_file_bytes) +
                      "-byte limit for reports",
                  32);
    }
    // Refused here, before anything is decoded, rather than killed by the
    // system halfway.
    if (const std::uint64_t budget =
            detail::memory_budget(limits_.max_memory_bytes);
        needed > budget) {
      return fail("the package would take " + std::to_string(needed) +
                      " bytes in memory, more than the " +
                      std::to_string(budget) + " bytes available",
                  32);
    }
    return true;
  }

  // Checks the checksum of section `i` and decodes it when compressed. Runs
  // on several threads at once; touches only `work`.
  void process(std::size_t i, SectionWork& work,
               std::unique_ptr<ZSTD_DCtx, DctxFree>& dctx) const {
    const DirectoryEntry& section = directory_[i];
    const unsigned char* stored = data_ + section.offset;
    const bool ids = kSectionShapes[i].ids;
    if (ids && section.encoding == Encoding::Raw) {
      work.computed =
          checksum_and_largest(stored, section.stored_size, i, work.largest);
      work.checksum_ok = work.computed == section.checksum;
      return;
    }
    work.computed = checksum(version_, stored, section.stored_size);
    work.checksum_ok = work.computed == section.checksum;
    if (!work.checksum_ok || section.encoding == Encoding::Raw) return;
    const unsigned long long frame_size =
        ZSTD_getFrameContentSize(stored, section.stored_size);
    if (frame_size == ZSTD_CONTENTSIZE_ERROR) {
      work.decode_error = section_label(i) + " is not a zstd frame";
      return;
    }
    if (frame_size != ZSTD_CONTENTSIZE_UNKNOWN && frame_size != section.size) {
      work.decode_error = "decompressed size mismatch in " + section_label(i) +
                          ": the frame holds " + std::to_string(frame_size) +
                          " bytes, the directory says " +
                          std::to_string(section.size);
      return;
    }
    if (!dctx) {
      dctx.reset(ZSTD_createDCtx());
      if (!dctx) {
        work.decode_error = "not enough memory for the zstd decoder";
        return;
      }
    }
    // The size is bounded by the ratio and limit checks; a zero-size request
    // still gets a valid pointer for zstd.
    work.owned.reset(new (
        std::nothrow) unsigned char[std::max<std::uint64_t>(section.size, 1)]);
    if (!work.owned) {
      work.decode_error = "not enough memory to decompress " + section_label(i);
      return;
    }
    const std::size_t produced =
        ZSTD_decompressDCtx(dctx.get(), work.owned.get(), section.size, stored,
                            section.stored_size);
    if (ZSTD_isError(produced) != 0) {
      work.decode_error =
          section_label(i) +
          " does not decompress: " + ZSTD_getErrorName(produced) +
          " (or holds more than " + std::to_string(section.size) + " bytes)";
    } else if (produced != section.size) {
      work.decode_error = "decompressed size mismatch in " + section_label(i) +
                          ": it decodes to " + std::to_string(produced) +
                          " bytes, the directory says " +
                          std::to_string(section.size);
    } else if (ids) {
      work.largest = largest_id(work.owned.get(), section.size, i);
    }
  }

  // Returns the largest value of id column `i` held in `bytes`.
  static std::uint32_t largest_id(const unsigned char* bytes,
                                  std::uint64_t size, std::size_t i) {
    std::uint32_t largest = 0;
    if (kSectionShapes[i].width == 1) {
      for (std::uint64_t k = 0; k < size; ++k) {
        largest = std::max<std::uint32_t>(largest, bytes[k]);
      }
      return largest;
    }
    // Raw sections are aligned for their values; decoded ones come from new.
    const auto* values = reinterpret_cast<const std::uint32_t*>(bytes);
    for (std::uint64_t k = 0; k < size / 4; ++k) {
      largest = std::max(largest, values[k]);
    }
    return largest;
  }

  // The checksum of a raw id column and its largest value, in one pass: each
  // block is hashed and then scanned while it is still in the cache, so the
  // id checks cost no second read of the column from memory.
  std::uint64_t checksum_and_largest(const unsigned char* stored,
                                     std::uint64_t size, std::size_t i,
                                     std::uint32_t& largest) const {
    constexpr std::uint64_t kBlock = std::uint64_t{1} << 16;
    largest = 0;
    const auto blocks = [&](auto&& update) {
      for (std::uint64_t at = 0; at < size; at += kBlock) {
        const std::uint64_t length = std::min(kBlock, size - at);
        update(stored + at, static_cast<std::size_t>(length));
        largest = std::max(largest, largest_id(stored + at, length, i));
      }
    };
    if (version_ == 1) {
      const std::unique_ptr<XXH64_state_t, decltype(&XXH64_freeState)> state(
          XXH64_createState(), &XXH64_freeState);
      if (!state) throw std::bad_alloc();
      XXH64_reset(state.get(), 0);
      blocks([&](const void* p, std::size_t n) {
        XXH64_update(state.get(), p, n);
      });
      return XXH64_digest(state.get());
    }
    const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> state(
        XXH3_createState(), &XXH3_freeState);
    if (!state) throw std::bad_alloc();
    XXH3_64bits_reset(state.get());
    blocks([&](const void* p, std::size_t n) {
      XXH3_64bits_update(state.get(), p, n);
    });
    return XXH3_64bits_digest(state.get());
  }

  // Verifies every checksum and decodes the compressed sections, largest
  // first, on this thread and one helper. Faults are reported in section
  // order whichever thread met them: checksums first, then decoding.
  bool verify_and_decode(PackageStorage& storage) {
    std::array<SectionWork, kSectionCount> work;
    std::array<std::size_t, kSectionCount> order{};
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < kSectionCount; ++i) {
      order[i] = i;
      total += directory_[i].stored_size;
    }
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
      return directory_[a].stored_size > directory_[b].stored_size;
    });
    std::atomic<std::size_t> next{0};
    std::atomic<bool> out_of_memory{false};
    const auto run = [&] {
      std::unique_ptr<ZSTD_DCtx, DctxFree> dctx;
      for (std::size_t k = next.fetch_add(1); k < kSectionCount;
           k = next.fetch_add(1)) {
        try {
          process(order[k], work[order[k]], dctx);
        } catch (const std::bad_alloc&) {
          out_of_memory = true;
        }
      }
    };
    std::thread helper;
    if (total >= kParallelBytes) {
      try {
        helper = std::thread(run);
      } catch (const std::system_error&) {
        // No thread to be had: this one does all the work.
      }
    }
    run();
    if (helper.joinable()) helper.join();
    if (out_of_memory) return fail("not enough memory to load the package");
    for (std::size_t i = 0; i < kSectionCount; ++i) {
      if (!work[i].checksum_ok) {
        return fail("checksum mismatch in " + section_label(i) + ": stored " +
                        hex(directory_[i].checksum) + ", computed " +
                        hex(work[i].computed),
                    directory_[i].offset);
      }
    }
    for (std::size_t i = 0; i < kSectionCount; ++i) {
      if (!work[i].decode_error.empty()) {
        return fail(std::move(work[i].decode_error), directory_[i].offset);
      }
      storage.decoded[i] = std::move(work[i].owned);
    }
    for_each_sample_column([&](const auto& column) {
      maxima_.largest[column.kIndex] =
          work[section_index(detail::array_of(column))].largest;
    });
    return true;
  }

  const unsigned char* section_data(const PackageStorage& storage,
                                    std::size_t i) const {
    return storage.decoded[i] ? storage.decoded[i].get()
                              : data_ + directory_[i].offset;
  }

  // Views the sections as columns; their sizes were checked against the
  // header's counts, the alignment of raw sections by the directory checks.
  ProfileColumns make_columns(const PackageStorage& s) const {
    const auto bytes = [&](std::size_t i) { return section_data(s, i); };
    const auto size = [&](std::size_t i) { return directory_[i].size; };
    ProfileColumns c;
    c.clock_hz = clock_hz_;
    c.string_offsets =
        view_as<std::uint64_t>(bytes(kStringOffsets), size(kStringOffsets));
    c.string_bytes = view_as<char>(bytes(kStringBytes), size(kStringBytes));
    c.tiles = view_as<ColumnTile>(bytes(kTiles), size(kTiles));
    for_each_sample_column([&](const auto& column) {
      using T = typename std::remove_cvref_t<decltype(column)>::Element;
      const std::size_t i = section_index(detail::array_of(column));
      c.*column.column = view_as<T>(bytes(i), size(i));
    });
    c.list_offsets =
        view_as<std::uint64_t>(bytes(kListOffsets), size(kListOffsets));
    c.list_entries =
        view_as<MetadataPair>(bytes(kListEntries), size(kListEntries));
    return c;
  }

  // Where byte `byte` of section `section` lies in the file: exact for raw
  // sections, the section's start for compressed ones.
  std::uint64_t where(std::size_t section, std::uint64_t byte) const {
    const DirectoryEntry& entry = directory_[section];
    return entry.offset + (entry.encoding == Encoding::Raw ? byte : 0);
  }

  const unsigned char* data_;
  std::size_t size_;
  std::string_view file_name_;
  const ReadLimits& limits_;
  bool for_records_;
  LoadError error_;

  std::uint32_t version_ = 0;
  std::uint64_t alignment_ = 8;
  std::uint64_t clock_hz_ = 0;
  std::uint64_t tile_count_ = 0;
  std::uint64_t sample_count_ = 0;
  std::uint64_t string_count_ = 0;
  std::uint64_t list_count_ = 0;
  std::uint64_t entry_count_ = 0;
  std::array<DirectoryEntry, kSectionCount> directory_{};
  std::uint64_t decoded_total_ = 0;  // memory the decoded sections take
  bool flagged_ = false;             // the header's shard flag
  std::optional<ShardIdentity> shard_;
  detail::IdMaxima maxima_;
};

// ---------------------------------------------------------------- writing

template <typename T>
std::span<const unsigned char> bytes_of(std::span<const T> values) {
  return {reinterpret_cast<const unsigned char*>(values.data()),
          values.size_bytes()};
}

std::string too_large_input(std::size_t size, std::uint64_t cap) {
  return "input is " + std::to_string(size) + " bytes, more than the " +
         std::to_string(cap) + "-byte limit for reports";
}

LoadError input_error(std::string_view file_name, std::string message) {
  LoadError error;
  error.file = std::string(file_name);
  error.message = std::move(message);
  return error;
}

}  // namespace

namespace detail {

ColumnsResult read_package_columns(const char* data, std::size_t size,
                                   std::shared_ptr<const void> keep_alive,
                                   std::string_view file_name,
                                   const ReadLimits& limits, bool for_records) {
  return PackageReader(data, size, file_name, limits, for_records)
      .read(std::move(keep_alive));
}

Loaded<std::optional<ShardIdentity>> read_package_identity(
    const unsigned char* preamble, std::uint64_t file_size,
    const unsigned char* block, std::string_view file_name) {
  // The limits play no part: nothing is decoded or allocated.
  const ReadLimits limits;
  return PackageReader(reinterpret_cast<const char*>(preamble),
                       static_cast<std::size_t>(file_size), file_name, limits,
                       false)
      .identity(block);
}

Written plan_package(const ProfileColumns& columns,
                     const PackageWriteOptions& options, PackagePlan& plan,
                     ReadProgress* progress) {
  if (Written checked = check_write_options(options); !checked.ok()) {
    return checked;
  }
  if (columns.string_count() > kIdCapacity) {
    return WriteError{
        {}, "the report has more distinct strings than 32-bit ids can name"};
  }
  if (columns.list_count() > kIdCapacity) {
    return WriteError{{},
                      "the report has more distinct metadata lists than "
                      "32-bit ids can name"};
  }
  // A writer must never store what its reader rejects; any string length is
  // fine to store, the reader's limit is the reader's choice.
  ReadLimits unlimited;
  unlimited.max_string_bytes = SIZE_MAX;
  if (Loaded<void> checked = check_columns(columns, unlimited); !checked.ok()) {
    return WriteError{{}, "invalid columns: " + checked.error().to_string()};
  }

  std::array<std::span<const unsigned char>, kSectionCount> raw;
  raw[kStringOffsets] = bytes_of(columns.string_offsets);
  raw[kStringBytes] = bytes_of(columns.string_bytes);
  raw[kTiles] = bytes_of(columns.tiles);
  for_each_sample_column([&](const auto& column) {
    raw[section_index(detail::array_of(column))] =
        bytes_of(columns.*column.column);
  });
  raw[kListOffsets] = bytes_of(columns.list_offsets);
  raw[kListEntries] = bytes_of(columns.list_entries);
  // Progress counts decoded section bytes: once for the write, and once
  // more for the compression, which can take as long as the write and comes
  // before it.
  std::uint64_t section_bytes = 0;
  for (const auto& bytes : raw) section_bytes += bytes.size();
  detail::WriteProgress counted(progress,
                                section_bytes * (options.compress ? 2 : 1));
  std::array<detail::SectionEntry, kSectionCount> entries;
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    PlannedSection& section = plan.sections[i];
    detail::plan_section(raw[i], options, section, &counted);
    entries[i] = {section.encoding, section.stored.size(), section.size,
                  checksum(options.version, section.stored.data(),
                           section.stored.size())};
  }
  const detail::PackageCounts counts{
      columns.clock_hz,       columns.tiles.size(),
      columns.sample_count(), columns.string_count(),
      columns.list_count(),   columns.list_entries.size()};
  plan.total_bytes =
      detail::lay_out_package(options.version, counts, entries, plan.offsets,
                              plan.preamble, options.shard.has_value());
  if (options.shard) plan.shard_block = encode_shard_block(*options.shard);
  return {};
}

void write_package(const PackagePlan& plan, std::ostream& out,
                   ReadProgress* progress) {
  static constexpr std::array<char, kV2Alignment> kZeros{};
  // Counts decoded section bytes toward the total plan_package set: a raw
  // section as its pieces go out, a compressed one once its frame has.
  detail::WriteProgress counted(progress);
  // Sections go out in pieces of a megabyte, so a display sees a large
  // section move rather than jump; the stream passes pieces this large
  // straight to the file.
  const auto write = [&out, &counted](const void* data, std::uint64_t size,
                                      bool count) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const std::uint64_t piece =
          std::min<std::uint64_t>(size, kCompressChunkBytes);
      out.write(bytes, static_cast<std::streamsize>(piece));
      if (count) counted.add(piece);
      bytes += piece;
      size -= piece;
    }
  };
  write(plan.preamble.data(), plan.preamble.size(), false);
  std::uint64_t at = kPreambleBytes;
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    const PlannedSection& section = plan.sections[i];
    const bool raw = section.encoding == kRawEncoding;
    write(kZeros.data(), plan.offsets[i] - at, false);
    write(section.stored.data(), section.stored.size(), raw);
    if (!raw) counted.add(section.size);
    at = plan.offsets[i] + section.stored.size();
  }
  const std::uint64_t block = plan.shard_block ? kShardBlockBytes : 0;
  write(kZeros.data(), plan.total_bytes - block - at, false);
  if (plan.shard_block) write(plan.shard_block->data(), block, false);
}

}  // namespace detail

bool looks_like_report_package(std::string_view bytes) {
  return !bytes.empty() &&
         static_cast<unsigned char>(bytes.front()) == kPackageMagic[0];
}

Written encode_columns_package(const ProfileColumns& columns, std::string& out,
                               const PackageWriteOptions& options) {
  detail::PackagePlan plan;
  // In memory: the plan's error names no file, and there is none.
  if (Written planned = detail::plan_package(columns, options, plan);
      !planned.ok()) {
    return planned;
  }
  out.clear();
  out.reserve(plan.total_bytes);
  const auto append = [&out](const void* data, std::uint64_t size) {
    out.append(static_cast<const char*>(data), size);
  };
  append(plan.preamble.data(), plan.preamble.size());
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    out.resize(plan.offsets[i], '\0');
    append(plan.sections[i].stored.data(), plan.sections[i].stored.size());
  }
  if (plan.shard_block) {
    out.resize(plan.total_bytes - kShardBlockBytes, '\0');
    append(plan.shard_block->data(), plan.shard_block->size());
  }
  out.resize(plan.total_bytes, '\0');
  return {};
}

Written encode_report_package(const ProfileReport& report, std::string& out,
                              const PackageWriteOptions& options) {
  return encode_columns_package(to_columns(report), out, options);
}

LoadResult parse_report_package(std::string_view bytes,
                                std::string_view file_name,
                                const ReadLimits& limits) {
  if (bytes.size() > limits.max_file_bytes) {
    return input_error(file_name,
                       too_large_input(bytes.size(), limits.max_file_bytes));
  }
  try {
    // Raw sections are viewed in place, which needs the alignment of their
    // widest element; input that lacks it is copied first.
    std::unique_ptr<std::uint64_t[]> aligned;
    const char* data = bytes.data();
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(std::uint64_t) != 0) {
      aligned.reset(new (std::nothrow) std::uint64_t[bytes.size() / 8 + 1]);
      if (!aligned) {
        return input_error(file_name, "not enough memory to load the package");
      }
      std::memcpy(aligned.get(), bytes.data(), bytes.size());
      data = reinterpret_cast<const char*>(aligned.get());
    }
    ColumnsResult columns = detail::read_package_columns(
        data, bytes.size(), nullptr, file_name, limits, true);
    if (!columns.ok()) return columns.error();
    return to_report(columns.value());
  } catch (const std::bad_alloc&) {
    return input_error(file_name, "not enough memory to load the package");
  }
}

}  // namespace zyl_package
