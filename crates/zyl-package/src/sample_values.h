// A sample's values as its columns hold them and back, driven by
// kSampleColumns: every builder of columns (records, JSON text, the
// generator) and every reader of samples out of columns goes through these,
// so a new field is handled wherever its column is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "zyl_package/profile_columns.h"
#include "zyl_package/profile_report.h"

namespace zyl_package::detail {

template <template <typename> class Array, typename Columns>
struct ArraysOf;
template <template <typename> class Array, typename... Columns>
struct ArraysOf<Array, std::tuple<Columns...>> {
  using type = std::tuple<Array<typename Columns::Element>...>;
};

// One `Array` of each sample column's elements, for the builders that grow
// columns in arrays of their own (a vector, a GrowingArray) before they
// become ProfileColumns.
template <template <typename> class Array>
class SampleArrays {
 public:
  template <typename Column>
  [[nodiscard]] auto& operator[](const Column& /*column*/) {
    return std::get<Column::kIndex>(arrays_);
  }
  template <typename Column>
  [[nodiscard]] const auto& operator[](const Column& /*column*/) const {
    return std::get<Column::kIndex>(arrays_);
  }
  // Samples held: the length of the first array (all are kept equal).
  [[nodiscard]] std::size_t size() const { return std::get<0>(arrays_).size(); }

 private:
  typename ArraysOf<Array, std::remove_const_t<decltype(kSampleColumns)>>::type
      arrays_;
};

// Calls `out(column, value)` for each sample column in table order, with
// `sample`'s value as that column stores it: a string as
// `string_id(text)`, the metadata list as `list_id()`. Ids are asked for in
// column order (kernel, operation, then the list, which interns its own
// strings), the order of first use that gives every builder the same ids.
template <typename StringId, typename ListId, typename Out>
void for_each_sample_value(const SampleView& sample, StringId&& string_id,
                           ListId&& list_id, Out&& out) {
  for_each_sample_column([&](const auto& column) {
    using Column = std::remove_cvref_t<decltype(column)>;
    using T = typename Column::Element;
    if constexpr (Column::kValues == SampleValues::Number) {
      out(column, static_cast<T>(sample.*column.field));
    } else if constexpr (Column::kValues == SampleValues::Kind) {
      // A kind outside the enumeration (only a cast makes one) reads as
      // exchange everywhere, as step_kind_name says; storing it as such
      // keeps the columns valid.
      const auto kind = static_cast<T>(sample.*column.field);
      constexpr auto kLast = static_cast<T>(ProfileStepKind::Idle);
      out(column, kind <= kLast ? kind : T{0});
    } else if constexpr (Column::kValues == SampleValues::StringId) {
      out(column, static_cast<T>(string_id(sample.*column.field)));
    } else {
      out(column, static_cast<T>(list_id()));
    }
  });
}

// Returns sample `i` of `columns` (below sample_count()), its strings
// borrowed from the columns. Its metadata list is columns.metadata[i].
[[nodiscard]] inline SampleView sample_view(const ProfileColumns& columns,
                                            std::size_t i) {
  SampleView sample;
  for_each_sample_column([&](const auto& column) {
    using Column = std::remove_cvref_t<decltype(column)>;
    using Field = typename Column::ViewField;
    if constexpr (Column::kValues == SampleValues::StringId) {
      sample.*column.field = columns.string((columns.*column.column)[i]);
    } else if constexpr (Column::kValues != SampleValues::ListId) {
      sample.*column.field = static_cast<Field>((columns.*column.column)[i]);
    }
  });
  return sample;
}

// Returns the fields of `sample` but its metadata, borrowing its strings.
[[nodiscard]] inline SampleView view_of(const CycleSample& sample) {
  const ProfileStep& step = sample.step;
  return {.start_cycle = sample.start_cycle,
          .end_cycle = sample.end_cycle,
          .local_index = step.local_index,
          .phase = step.phase,
          .epoch = step.epoch,
          .kind = step.kind,
          .operation = step.operation,
          .kernel = step.kernel};
}

// Sets the fields of `record` that `sample` holds; its metadata is left as
// it is.
inline void assign_fields(CycleSample& record, const SampleView& sample) {
  record.start_cycle = sample.start_cycle;
  record.end_cycle = sample.end_cycle;
  ProfileStep& step = record.step;
  step.local_index = sample.local_index;
  step.phase = sample.phase;
  step.epoch = sample.epoch;
  step.kind = sample.kind;
  step.operation = sample.operation;
  step.kernel = sample.kernel;
}

}  // namespace zyl_package::detail
