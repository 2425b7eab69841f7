// The time test shared by the record matcher and the column matcher.
#pragma once

#include <cstdint>

#include "zyl_profile/query.h"

namespace zyl_profile::detail {

// True when the sample's time interval [offset, offset + duration) passes the
// point and window tests of `query`.
[[nodiscard]] bool matches_time(const Query& query, std::uint64_t offset,
                                std::uint32_t sample_duration);

}  // namespace zyl_profile::detail
