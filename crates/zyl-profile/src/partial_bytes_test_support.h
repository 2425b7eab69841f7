// Partial bytes changed on purpose, for the tests and the fuzz target. The
// reader checks the checksum before any field, so bytes crafted to reach a
// field get a fresh checksum, computed here with xxHash as the writer does.
#pragma once

#include <xxhash.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "zyl_profile/partial.h"

namespace zyl_profile::testing {

inline constexpr std::size_t kPartialChecksumSize = 8;

// The bytes of a partial without their checksum.
inline std::string without_checksum(std::string_view bytes) {
  return std::string(bytes.substr(0, bytes.size() - kPartialChecksumSize));
}

// `body` followed by the checksum the reader expects: the XXH3-64 of
// `body`, little-endian.
inline std::string with_checksum(std::string body) {
  std::uint64_t sum = XXH3_64bits(body.data(), body.size());
  for (std::size_t i = 0; i < kPartialChecksumSize; ++i, sum >>= 8) {
    body.push_back(static_cast<char>(sum & 0xffU));
  }
  return body;
}

// `value` as the bytes write a number (unsigned LEB128).
inline std::string varint(std::uint64_t value) {
  std::string bytes;
  for (; value >= 0x80; value >>= 7) {
    bytes.push_back(static_cast<char>((value & 0x7fU) | 0x80U));
  }
  bytes.push_back(static_cast<char>(value));
  return bytes;
}

}  // namespace zyl_profile::testing
