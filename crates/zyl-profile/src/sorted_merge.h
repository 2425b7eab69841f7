// The merge of two ascending lists that folds equal elements: how the
// sorted parts of partials (shard positions, groups, candidates) and of
// settled group states (tiles, phase pairs, duration counts) combine.
#pragma once

#include <iterator>
#include <utility>
#include <vector>

namespace zyl_profile::detail {

// Returns the ascending merge of `left` and `right` under `less`; an element
// of `right` equal to one of `left` is folded into it by `fold(kept, other)`
// and appears once. Either list is returned as is when the other is empty.
template <typename T, typename Less, typename Fold>
std::vector<T> merge_sorted(std::vector<T>&& left, std::vector<T>&& right,
                            Less less, Fold fold) {
  if (right.empty()) return std::move(left);
  if (left.empty()) return std::move(right);
  std::vector<T> merged;
  merged.reserve(left.size() + right.size());
  auto l = left.begin();
  auto r = right.begin();
  while (l != left.end() && r != right.end()) {
    if (less(*l, *r)) {
      merged.push_back(std::move(*l++));
    } else if (less(*r, *l)) {
      merged.push_back(std::move(*r++));
    } else {
      fold(*l, std::move(*r++));
      merged.push_back(std::move(*l++));
    }
  }
  std::move(l, left.end(), std::back_inserter(merged));
  std::move(r, right.end(), std::back_inserter(merged));
  return merged;
}

}  // namespace zyl_profile::detail
