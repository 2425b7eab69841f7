// Fuzzes the binary package reader on arbitrary bytes. Each input is read
// twice: as given (which mostly exercises the header and checksum checks)
// and with every checksum recomputed, so that mutations reach the section
// decoders and column checks behind the checksums. The record and the
// column readers must agree on every input; whatever they accept must
// encode, in either version, compressed or not, into a package that reads
// back equal.
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"

namespace {

// The fixed layout the checksums live in (both versions): a 72-byte header,
// 14 directory entries of 40 bytes, then the header checksum.
constexpr std::size_t kHeaderBytes = 72;
constexpr std::size_t kEntryBytes = 40;
constexpr std::size_t kSections = 14;
constexpr std::size_t kDirectoryEnd = kHeaderBytes + kSections * kEntryBytes;
constexpr std::size_t kFirstSection = kDirectoryEnd + 8;

std::uint64_t load_u64(const std::string& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    value |=
        static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i]))
        << (8 * i);
  }
  return value;
}

void store_u64(std::string& bytes, std::size_t at, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

// Version 1 checksums with XXH64, version 2 (and anything else, so that
// mutated versions still get past the checksum) with XXH3-64.
std::uint64_t checksum(const std::string& bytes, const char* data,
                       std::size_t size) {
  return bytes[8] == 1 ? XXH64(data, size, 0) : XXH3_64bits(data, size);
}

// Rewrites each section checksum whose section lies inside the input, then
// the header checksum. Returns false when there is nothing to fix.
bool fix_checksums(std::string& bytes) {
  if (bytes.size() < kFirstSection) return false;
  for (std::size_t i = 0; i < kSections; ++i) {
    const std::size_t entry = kHeaderBytes + i * kEntryBytes;
    const std::uint64_t offset = load_u64(bytes, entry + 8);
    const std::uint64_t stored = load_u64(bytes, entry + 16);
    if (offset > bytes.size() || stored > bytes.size() - offset) continue;
    store_u64(bytes, entry + 32,
              checksum(bytes, bytes.data() + offset,
                       static_cast<std::size_t>(stored)));
  }
  store_u64(bytes, kDirectoryEnd, checksum(bytes, bytes.data(), kDirectoryEnd));
  return true;
}

void check_round_trip(const zyl_package::ProfileReport& report) {
  for (const unsigned options_index : {0U, 1U, 2U, 3U}) {
    std::string encoded;
    zyl_package::PackageWriteOptions options;
    options.compress = (options_index & 1U) != 0;
    options.version = (options_index & 2U) != 0 ? 1 : 2;
    FUZZ_CHECK(
        zyl_package::encode_report_package(report, encoded, options).ok());
    const zyl_package::LoadResult reread =
        zyl_package::parse_report(encoded, "reread.zpk");
    if (!reread.ok()) {
      std::fprintf(stderr, "re-read failed: %s\n",
                   reread.error().to_string().c_str());
    }
    FUZZ_CHECK(reread.ok());
    FUZZ_CHECK(reread.value() == report);
  }
}

void read_once(std::string_view bytes) {
  const zyl_package::LoadResult loaded =
      zyl_package::parse_report_package(bytes, "fuzz.zpk");
  // The column reader accepts what the record reader accepts, with the same
  // content, and rejects the rest with the same error (bytes that do not
  // start like a package are JSON to it); only the record reader's memory
  // estimate (records take more room) may refuse more.
  const zyl_package::ColumnsResult columns =
      zyl_package::parse_columns(bytes, "fuzz.zpk");
  if (loaded.ok()) {
    FUZZ_CHECK(columns.ok());
    FUZZ_CHECK(zyl_package::to_report(columns.value()) == loaded.value());
  } else if (zyl_package::looks_like_report_package(bytes) &&
             loaded.error().message.find("bytes in memory") ==
                 std::string::npos) {
    FUZZ_CHECK(!columns.ok());
    FUZZ_CHECK(columns.error() == loaded.error());
  }
  if (!loaded.ok()) {
    FUZZ_CHECK(!loaded.error().message.empty());
    FUZZ_CHECK(!loaded.error().to_string().empty());
    return;
  }
  check_round_trip(loaded.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  read_once(bytes);
  if (fix_checksums(bytes)) read_once(bytes);
  return 0;
}
