// The memory this process may still take, so that a read too big for the
// machine is refused with a message instead of being killed by the system.
#pragma once

#include <cstdint>

namespace zyl_package::detail {

// Returns the bytes of memory available now: the system's estimate of what
// can be had without swapping (MemAvailable), lowered to the room left under
// the process's cgroup limit when there is one. Returns UINT64_MAX when
// neither can be read.
[[nodiscard]] std::uint64_t available_memory_bytes();

// Returns `limit` when it is set (not 0), else available_memory_bytes().
[[nodiscard]] std::uint64_t memory_budget(std::uint64_t limit);

}  // namespace zyl_package::detail
