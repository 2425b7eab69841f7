// Fuzzes partial results. The first four bytes seed a random profile and
// query, cut into two shards whose merged partials must answer as the whole
// profile does; the rest of the input damages the first shard's bytes, and
// whatever the reader then accepts must read back equal from its own bytes,
// finish, and merge (or be refused) without fault. Damaged bytes keep their
// checksum, and must then be refused, or, when the input's length leaves a
// byte or two over, get it made again so the damage reaches the fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <variant>

#include "partial_bytes_test_support.h"
#include "random_cases.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/shards.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/scan.h"

namespace {

using namespace zyl_profile;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 4) return 0;
  std::mt19937 rng(static_cast<std::uint32_t>(data[0]) |
                   (static_cast<std::uint32_t>(data[1]) << 8) |
                   (static_cast<std::uint32_t>(data[2]) << 16) |
                   (static_cast<std::uint32_t>(data[3]) << 24));
  const zyl_package::ProfileColumns columns =
      zyl_package::to_columns(testing::varied_report(rng));
  // Shards of one profile are asked in the whole profile's cycles: a shard
  // alone would take a share of its own span.
  const Query asked = testing::varied_query(rng);
  const Query query = resolve_bounds(asked, profile_span(columns));
  const std::size_t cut = rng() % (columns.tiles.size() + 1);
  const PartialResult first =
      query_partial(zyl_package::tile_range(columns, 0, cut), query, 0);
  const PartialResult second = query_partial(
      zyl_package::tile_range(columns, cut, columns.tiles.size()), query, 1);
  {
    PartialResult merged = second;
    check(merge_partial(merged, PartialResult(first)).ok());
    check(finish_partial(std::move(merged)) ==
          zyl_profile::query(columns, asked));
  }

  // The rest of the input, in triples: two bytes of position and one to
  // add there. One or two bytes left over ask for a new checksum.
  const std::string original = serialise_partial(first);
  std::string bytes = original;
  for (std::size_t i = 4; i + 2 < size; i += 3) {
    const std::size_t at =
        (data[i] | (std::size_t{data[i + 1]} << 8)) % bytes.size();
    bytes[at] = static_cast<char>(bytes[at] + data[i + 2]);
  }
  const bool reseal = (size - 4) % 3 != 0;
  if (reseal) {
    bytes = testing::with_checksum(testing::without_checksum(bytes));
  }
  auto parsed = parse_partial(bytes);
  check(reseal || bytes == original || !parsed.ok());
  if (parsed.ok()) {
    const PartialResult& partial = parsed.value();
    const auto again = parse_partial(serialise_partial(partial));
    check(again.ok() && again.value() == partial);
    PartialResult merged = std::move(parsed).value();
    (void)merge_partial(merged, PartialResult(second));
    (void)finish_partial(std::move(merged));
  }
  return 0;
}
