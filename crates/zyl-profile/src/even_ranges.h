// Cutting work into contiguous ranges of about equal cost, one per thread:
// the scan's tiles, the occupancy's rows and the summaries' groups are all
// shared out this way.
#pragma once

#include <cstddef>
#include <vector>

namespace zyl_profile::detail {

// Returns the bounds that cut items [first, end) into at most `parts`
// contiguous ranges of about equal total `weight(i)` (their sum `total`):
// ascending values from `first` to `end`, range k being [bounds[k],
// bounds[k + 1]). Items are never reordered, so work done range by range
// and merged in order is the work done in one pass.
template <typename Weight>
std::vector<std::size_t> even_ranges(std::size_t first, std::size_t end,
                                     std::size_t parts, std::size_t total,
                                     Weight&& weight) {
  std::vector<std::size_t> bounds{first};
  std::size_t seen = 0;
  for (std::size_t i = first; i < end; ++i) {
    seen += weight(i);
    const std::size_t ranges = bounds.size();
    if (ranges < parts && seen * parts >= total * ranges) {
      bounds.push_back(i + 1);
    }
  }
  if (bounds.back() != end) bounds.push_back(end);
  return bounds;
}

}  // namespace zyl_profile::detail
