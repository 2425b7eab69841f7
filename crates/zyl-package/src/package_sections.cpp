// Section checksums, chunked zstd frames and the package preamble, shared by
// every package writer so that they agree to the byte.
#include "package_sections.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "write_progress.h"

namespace zyl_package::detail {
namespace {

constexpr std::uint64_t kHeaderBytes = 72;
constexpr std::uint64_t kEntryBytes = 40;
constexpr std::uint64_t kDirectoryEnd =
    kHeaderBytes + kEntryBytes * kPackageSections;
static_assert(kDirectoryEnd + 8 == kPackagePreambleBytes);

void store_u32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void store_u64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

SectionChecksum::SectionChecksum(std::uint32_t version) {
  if (version == 1) {
    xxh64_.reset(XXH64_createState());
    if (!xxh64_) throw std::bad_alloc();
    XXH64_reset(xxh64_.get(), 0);
  } else {
    xxh3_.reset(XXH3_createState());
    if (!xxh3_) throw std::bad_alloc();
    XXH3_64bits_reset(xxh3_.get());
  }
}

void SectionChecksum::update(const void* data, std::size_t size) {
  if (xxh64_) {
    XXH64_update(xxh64_.get(), data, size);
  } else {
    XXH3_64bits_update(xxh3_.get(), data, size);
  }
}

std::uint64_t SectionChecksum::digest() const {
  return xxh64_ ? XXH64_digest(xxh64_.get()) : XXH3_64bits_digest(xxh3_.get());
}

std::uint64_t package_checksum(std::uint32_t version, const void* data,
                               std::size_t size) {
  return version == 1 ? XXH64(data, size, 0) : XXH3_64bits(data, size);
}

SectionCompressor::SectionCompressor(int level, std::uint64_t size)
    : cctx_(ZSTD_createCCtx()), output_(ZSTD_CStreamOutSize()) {
  if (!cctx_) throw std::bad_alloc();
  // The pledged size puts the content size in the frame header, as a
  // reader that checks it expects.
  failed_ = ZSTD_isError(ZSTD_CCtx_setParameter(
                cctx_.get(), ZSTD_c_compressionLevel, level)) != 0 ||
            ZSTD_isError(ZSTD_CCtx_setParameter(
                cctx_.get(), ZSTD_c_contentSizeFlag, 1)) != 0 ||
            ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx_.get(), size)) != 0;
}

bool SectionCompressor::run(std::span<const unsigned char> input,
                            ZSTD_EndDirective mode, const Sink& sink) {
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  for (;;) {
    ZSTD_outBuffer out{output_.data(), output_.size(), 0};
    const std::size_t left = ZSTD_compressStream2(cctx_.get(), &out, &in, mode);
    if (ZSTD_isError(left) != 0) return false;
    if (out.pos > 0) sink(output_.data(), out.pos);
    // Continuing is done once zstd took all the input; ending once it has
    // also flushed the whole frame.
    if (mode == ZSTD_e_continue ? in.pos == in.size : left == 0) return true;
  }
}

void SectionCompressor::add(std::span<const unsigned char> chunk,
                            const Sink& sink) {
  if (!failed_) failed_ = !run(chunk, ZSTD_e_continue, sink);
}

bool SectionCompressor::finish(const Sink& sink) {
  if (!failed_) failed_ = !run({}, ZSTD_e_end, sink);
  return !failed_;
}

void plan_section(std::span<const unsigned char> raw,
                  const PackageWriteOptions& options, PlannedSection& section,
                  WriteProgress* progress) {
  section = PlannedSection{};
  section.size = raw.size();
  section.stored = raw;
  if (!options.compress || raw.empty()) return;
  std::vector<unsigned char> packed;
  SectionCompressor compressor(options.compression_level, raw.size());
  const auto append = [&packed](const unsigned char* data, std::size_t size) {
    packed.insert(packed.end(), data, data + size);
  };
  for (std::size_t at = 0; at < raw.size(); at += kCompressChunkBytes) {
    const std::size_t chunk = std::min(kCompressChunkBytes, raw.size() - at);
    compressor.add(raw.subspan(at, chunk), append);
    if (progress != nullptr) progress->add(chunk);
  }
  // Kept only where it saves bytes: a raw section maps for free.
  if (compressor.finish(append) && packed.size() < raw.size()) {
    packed.shrink_to_fit();
    section.compressed = std::move(packed);
    section.stored = section.compressed;
    section.encoding = kZstdEncoding;
  }
}

std::uint64_t lay_out_package(
    std::uint32_t version, const PackageCounts& counts,
    const std::array<SectionEntry, kPackageSections>& entries,
    std::array<std::uint64_t, kPackageSections>& offsets,
    std::array<unsigned char, kPackagePreambleBytes>& preamble, bool shard) {
  const std::uint64_t alignment = version == 1 ? 8 : 64;
  unsigned char* head = preamble.data();
  std::fill(preamble.begin(), preamble.end(), 0);
  std::memcpy(head, kPackageMagic.data(), kPackageMagic.size());
  store_u32(head + 8, version);
  store_u32(head + 12, shard ? kShardFlag : 0);
  store_u64(head + 16, counts.clock_hz);
  store_u64(head + 24, counts.tiles);
  store_u64(head + 32, counts.samples);
  store_u64(head + 40, counts.strings);
  store_u64(head + 48, counts.lists);
  store_u64(head + 56, counts.entries);
  store_u32(head + 64, static_cast<std::uint32_t>(kPackageSections));
  store_u32(head + 68,
            version == 1 ? 0 : static_cast<std::uint32_t>(alignment));
  std::uint64_t offset = kPackagePreambleBytes;
  for (std::size_t i = 0; i < kPackageSections; ++i) {
    const SectionEntry& section = entries[i];
    unsigned char* entry = head + kHeaderBytes + kEntryBytes * i;
    offsets[i] = offset;
    store_u32(entry, static_cast<std::uint32_t>(i + 1));
    store_u32(entry + 4, section.encoding);
    store_u64(entry + 8, offset);
    store_u64(entry + 16, section.stored_size);
    store_u64(entry + 24, section.size);
    store_u64(entry + 32, section.checksum);
    offset = (offset + section.stored_size + alignment - 1) & ~(alignment - 1);
  }
  store_u64(head + kDirectoryEnd,
            package_checksum(version, head, kDirectoryEnd));
  return shard ? offset + kShardBlockBytes : offset;
}

std::array<unsigned char, kShardBlockBytes> encode_shard_block(
    const ShardIdentity& shard) {
  std::array<unsigned char, kShardBlockBytes> block{};
  unsigned char* p = block.data();
  std::memcpy(p, kShardTag.data(), kShardTag.size());
  std::memcpy(p + 8, shard.profile.data(), shard.profile.size());
  store_u32(p + 24, shard.index);
  store_u32(p + 28, shard.count);
  // Always XXH3-64: only version 2 carries the block.
  store_u64(p + kShardChecksumAt, XXH3_64bits(p, kShardChecksumAt));
  return block;
}

Written check_write_options(const PackageWriteOptions& options) {
  if (options.version != 1 && options.version != 2) {
    return WriteError{{},
                      "package version " + std::to_string(options.version) +
                          " cannot be written (versions 1 and 2 can)"};
  }
  if (!options.shard) return {};
  const ShardIdentity& shard = *options.shard;
  if (options.version != 2) {
    return WriteError{{}, "a shard identity needs package version 2"};
  }
  if (shard.index >= shard.count) {
    return WriteError{{},
                      "shard index " + std::to_string(shard.index) +
                          " is not below the shard count " +
                          std::to_string(shard.count)};
  }
  return {};
}

}  // namespace zyl_package::detail
