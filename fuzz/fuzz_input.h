// Turns fuzz input bytes into values: a cursor that never fails (bytes past
// the end read as 0) and helpers biased to the values that matter to a
// profile, so most inputs decode into a meaningful report and query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

// Stops the fuzzer on a broken invariant; the message names the condition.
#define FUZZ_CHECK(condition)                                            \
  do {                                                                   \
    if (!(condition)) {                                                  \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, \
                   __FILE__, __LINE__);                                  \
      __builtin_trap();                                                  \
    }                                                                    \
  } while (false)

namespace zyl_fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  [[nodiscard]] bool at_end() const { return position_ >= size_; }

  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }

  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
  }

  std::uint64_t u64() {
    const std::uint64_t low = u32();
    return low | (static_cast<std::uint64_t>(u32()) << 32);
  }

  // A number from a mix of small values, the edges of the 32-bit counter,
  // the phase table's edge (2^16) and the whole u64 range.
  std::uint64_t number() {
    constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
    constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
    switch (byte() % 8) {
      case 0:
        return byte() % 4;
      case 1:
        return byte();
      case 2:
        return u16();
      case 3:
        return u32();
      case 4:
        return u64();
      case 5:
        return kU32Max - byte() % 4;
      case 6:
        return (std::uint64_t{1} << 16) - 2 + byte() % 4;
      default:
        return kU64Max - byte() % 4;
    }
  }

  // A short string: mostly from a three-letter alphabet, so that equality
  // and substring filters hit often; sometimes the engine's placeholder
  // names or raw bytes (control characters, invalid UTF-8).
  std::string text() {
    static constexpr const char* kSpecial[] = {"(no kernel)", "(missing)",
                                               "block", ""};
    const std::uint8_t header = byte();
    if ((header & 0xC0) == 0x40) return kSpecial[header % 4];
    const std::size_t length = header % 5;
    std::string result;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint8_t value = byte();
      result.push_back((header & 0x80) != 0
                           ? static_cast<char>(value)
                           : static_cast<char>('a' + value % 3));
    }
    return result;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace zyl_fuzz
