// Reads the kernel's own figures: /proc/meminfo and the cgroup v2 files.
#include "machine_memory.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>

namespace zyl_package::detail {
namespace {

// The first number in the file at `path`; nothing for "max" or a missing
// file.
std::optional<std::uint64_t> read_number(const char* path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  if (in >> value) return value;
  return std::nullopt;
}

std::optional<std::uint64_t> mem_available() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  return std::nullopt;
}

}  // namespace

std::uint64_t available_memory_bytes() {
  std::uint64_t available = mem_available().value_or(UINT64_MAX);
  const std::optional<std::uint64_t> cap =
      read_number("/sys/fs/cgroup/memory.max");
  const std::optional<std::uint64_t> used =
      read_number("/sys/fs/cgroup/memory.current");
  if (cap && used)
    available = std::min(available, *cap - std::min(*cap, *used));
  return available;
}

std::uint64_t memory_budget(std::uint64_t limit) {
  return limit != 0 ? limit : available_memory_bytes();
}

}  // namespace zyl_package::detail
