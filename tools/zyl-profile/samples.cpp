// with_window, sample_kind_name and order_by_name, shared by trace, export
// and diff.
#include "samples.h"

#include <algorithm>
#include <array>
#include <charconv>  // std::to_chars

#include "output.h"  // json_escape

namespace zyl_profile::cli {

Query with_window(Query query, const std::optional<TimeBound>& from,
                  const std::optional<TimeBound>& to,
                  const ProfileColumns& columns) {
  if (!from && !to) return query;
  // Only a percentage needs the span, which costs a pass over the columns.
  const bool percent =
      (from && from->percent_scale != 0) || (to && to->percent_scale != 0);
  const std::uint64_t span = percent ? profile_span(columns) : 0;
  if (from) query.from_offset = resolve_bound(*from, span);
  if (to) query.to_offset = resolve_bound(*to, span);
  return query;
}

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

void append_csv_field(std::string_view text, std::string& out) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void append_json_string(std::string_view text, std::string& out) {
  out += '"';
  out += json_escape(text);
  out += '"';
}

void append_decimal(std::uint64_t value, std::string& out) {
  std::array<char, 20> digits{};
  const auto [end, ec] =
      std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), end);
}

}  // namespace zyl_profile::cli
