// The pieces of a package write that the in-memory writer and the streaming
// writer of generated profiles share, so the two give the same bytes: the
// section checksums, zstd compression fed in fixed chunks, the decision to
// keep a section raw, and the header with its directory.
#pragma once

#include <xxhash.h>
#include <zstd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "package_io.h"
#include "zyl_package/report_package.h"

namespace zyl_package::detail {

// A section is compressed from chunks of exactly this many bytes (the last
// one shorter). zstd's frame may depend on how its input arrives, so every
// writer feeds the same chunks; a streaming writer's buffers hold one chunk.
inline constexpr std::size_t kCompressChunkBytes = std::size_t{1} << 20;

inline constexpr std::uint32_t kRawEncoding = 0;
inline constexpr std::uint32_t kZstdEncoding = 1;

// The checksum a package version stores, computed over bytes that arrive in
// pieces: XXH64 (seed 0) for version 1, XXH3-64 for version 2. Equals the
// one-shot checksum of the concatenated pieces.
class SectionChecksum {
 public:
  explicit SectionChecksum(std::uint32_t version);

  void update(const void* data, std::size_t size);
  [[nodiscard]] std::uint64_t digest() const;

 private:
  struct Free {
    void operator()(XXH64_state_t* state) const { XXH64_freeState(state); }
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
  };
  std::unique_ptr<XXH64_state_t, Free> xxh64_;
  std::unique_ptr<XXH3_state_t, Free> xxh3_;
};

// Returns the checksum of `data` by the algorithm of `version`.
[[nodiscard]] std::uint64_t package_checksum(std::uint32_t version,
                                             const void* data,
                                             std::size_t size);

// One section as one zstd frame with its content size recorded. Input comes
// through add(), one chunk of kCompressChunkBytes at a time (the last may be
// shorter); compressed bytes go to the sink as they are produced.
class SectionCompressor {
 public:
  using Sink = std::function<void(const unsigned char*, std::size_t)>;

  // Starts a frame of `size` decoded bytes at zstd level `level`. Throws
  // std::bad_alloc when zstd has no memory for a context.
  SectionCompressor(int level, std::uint64_t size);

  void add(std::span<const unsigned char> chunk, const Sink& sink);
  // Ends the frame; returns false when zstd failed at any point, in which
  // case the output is no frame and the section must be stored raw.
  [[nodiscard]] bool finish(const Sink& sink);

 private:
  bool run(std::span<const unsigned char> input, ZSTD_EndDirective mode,
           const Sink& sink);

  struct Free {
    void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
  };
  std::unique_ptr<ZSTD_CCtx, Free> cctx_;
  std::vector<unsigned char> output_;
  bool failed_ = false;
};

class WriteProgress;

// Fills `section` for the bytes `raw`: viewing them, or, when `options` ask
// for compression and the frame is smaller, owning the frame. A compression
// counts the bytes of `raw` in `progress`, when given, as it goes.
void plan_section(std::span<const unsigned char> raw,
                  const PackageWriteOptions& options, PlannedSection& section,
                  WriteProgress* progress = nullptr);

// What the header records besides the directory.
struct PackageCounts {
  std::uint64_t clock_hz = 0;
  std::uint64_t tiles = 0;
  std::uint64_t samples = 0;
  std::uint64_t strings = 0;
  std::uint64_t lists = 0;
  std::uint64_t entries = 0;
};

// One directory entry as written.
struct SectionEntry {
  std::uint32_t encoding = kRawEncoding;
  std::uint64_t stored_size = 0;
  std::uint64_t size = 0;  // decoded
  std::uint64_t checksum = 0;
};

// Places the sections back to back after the preamble at the alignment of
// `version`, fills `offsets` and `preamble` (header, directory, header
// checksum) and returns the file size. Offsets depend only on the stored
// sizes, so a writer may place its sections before their checksums are
// known and build the preamble again once they are. `shard` sets the shard
// flag and counts the identity block, which the writer puts in the file's
// last kShardBlockBytes bytes (encode_shard_block).
std::uint64_t lay_out_package(
    std::uint32_t version, const PackageCounts& counts,
    const std::array<SectionEntry, kPackageSections>& entries,
    std::array<std::uint64_t, kPackageSections>& offsets,
    std::array<unsigned char, kPackagePreambleBytes>& preamble,
    bool shard = false);

// Returns the identity block of a shard as stored: the tag, the profile's
// fingerprint, index and count, reserved zeros and the XXH3-64 of the rest.
[[nodiscard]] std::array<unsigned char, kShardBlockBytes> encode_shard_block(
    const ShardIdentity& shard);

}  // namespace zyl_package::detail
