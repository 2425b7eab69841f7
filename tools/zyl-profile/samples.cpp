// sample_kind_name and order_by_name, shared by the commands.
#include "samples.h"

#include <algorithm>
#include <array>
#include <charconv>  // std::to_chars

namespace zyl_profile::cli {

std::string_view sample_kind_name(const ProfileColumns& columns,
                                  std::size_t sample) {
  return zyl_package::step_kind_name(
      static_cast<ProfileStepKind>(columns.kind[sample]));
}

void order_by_name(const ProfileColumns& columns,
                   std::span<const zyl_package::MetadataPair> metadata,
                   std::vector<std::uint32_t>& order) {
  const auto count = static_cast<std::uint32_t>(metadata.size());
  order.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) order[i] = i;
  if (count < 2) return;
  const auto name = [&](std::uint32_t i) {
    return columns.string(metadata[i].name);
  };
  // Equal ids are equal names; only different ids need their text compared.
  const auto same_name = [&](std::uint32_t i, std::uint32_t j) {
    return metadata[i].name == metadata[j].name || name(i) == name(j);
  };
  // first[i]: the index where entry i's name first appears.
  std::vector<std::uint32_t> first(count);
  if (count <= 16) {
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t j = 0;
      while (!same_name(j, i)) ++j;
      first[i] = j;
    }
  } else {
    // Long lists (only hostile input has them) sort instead of scanning.
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t left, std::uint32_t right) {
                const int by_name = name(left).compare(name(right));
                return by_name != 0 ? by_name < 0 : left < right;
              });
    for (std::uint32_t i = 0; i < count; ++i) {
      const bool starts_run = i == 0 || !same_name(order[i], order[i - 1]);
      first[order[i]] = starts_run ? order[i] : first[order[i - 1]];
    }
  }
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t left, std::uint32_t right) {
              return first[left] != first[right] ? first[left] < first[right]
                                                 : left < right;
            });
}

}  // namespace zyl_profile::cli
