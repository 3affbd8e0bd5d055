// The building blocks of result tables: integer columns written back at their input width, key
// columns (partitions, ids) in their own type, references to input rows, and value columns for
// captures, whose kind follows the values they hold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/arrow_out.hpp"
#include "arrow/table_events.hpp"
#include "model/model.hpp"

namespace vashlet::result_columns {

using arrow::BoolBuilder;
using arrow::Column;
using arrow::FixedBuilder;
using arrow::FixedWriter;
using arrow::StringBuilder;

// The byte width of the integers of an integer or temporal format.
std::size_t integer_width(std::string_view format);

// Calls write(value) with `value` as an integer of `width` bytes: the values came from a column
// of that width, and go back at it.
template <class Write>
void at_width(std::size_t width, std::int64_t value, const Write& write) {
  switch (width) {
    case 1: write(static_cast<std::int8_t>(value)); break;
    case 2: write(static_cast<std::int16_t>(value)); break;
    case 4: write(static_cast<std::int32_t>(value)); break;
    default: write(value); break;
  }
}

// Integers of one format, written back at its own width.
class IntegerColumn {
 public:
  explicit IntegerColumn(const std::string& format)
      : width_(integer_width(format)), builder_(format, width_) {}
  void append_null() { builder_.append_null(); }
  void append(std::int64_t value) {
    at_width(width_, value, [&](auto narrowed) { builder_.append(narrowed); });
  }
  Column finish(std::string name) { return builder_.finish(std::move(name)); }

 private:
  std::size_t width_;
  FixedBuilder builder_;
};

// Values of a key column (partitions, row ids), in the column's own type.
class KeyColumn {
 public:
  explicit KeyColumn(const KeyValues& values)
      : values_(values),
        strings_(values.holds_strings() ? values.format : "u"),
        integers_(values.holds_strings() ? "l" : values.format) {}
  void append(std::size_t at) {
    if (values_.holds_strings()) {
      strings_.append(values_.strings[at]);
    } else {
      integers_.append(values_.ints[at]);
    }
  }
  void append_null() { values_.holds_strings() ? strings_.append_null() : integers_.append_null(); }
  Column finish(std::string name) {
    return values_.holds_strings() ? strings_.finish(std::move(name))
                                   : integers_.finish(std::move(name));
  }

 private:
  const KeyValues& values_;
  StringBuilder strings_;
  IntegerColumn integers_;
};

// The partition of each row of a result, given by its number (`chosen`, as the events number
// partitions), in the partition column's own type; written on up to `threads` threads.
Column partition_column(const SortedEvents& events, std::span<const std::uint32_t> chosen,
                        std::size_t threads);

// References to events of the input: their row numbers, or their values in the id column.
class RowColumn {
 public:
  explicit RowColumn(const SortedEvents& events)
      : events_(events), ids_(events.ids() ? std::optional<KeyColumn>(*events.ids()) : std::nullopt) {}
  void append(std::size_t index) {
    if (index >= events_.size()) invariant_failure("a result names an event outside the input");
    if (ids_) {
      ids_->append(index);
    } else {
      numbers_.append(static_cast<std::int64_t>(events_.row(index)));
    }
  }
  void append(std::optional<std::size_t> index) {
    if (index) {
      append(*index);
    } else {
      ids_ ? ids_->append_null() : numbers_.append_null();
    }
  }
  Column finish(std::string name) {
    return ids_ ? ids_->finish(std::move(name)) : numbers_.finish(std::move(name));
  }

 private:
  const SortedEvents& events_;
  std::optional<KeyColumn> ids_;
  FixedBuilder numbers_{"l", 8};
};

// A list of row references per result, one per event of its path.
class RowListColumn {
 public:
  explicit RowListColumn(const SortedEvents& events) : items_(events) {}
  void append(const std::size_t* indices, std::size_t count) {
    for (std::size_t n = 0; n < count; ++n) items_.append(indices[n]);
    offsets_.push_back(offsets_.back() + static_cast<std::int64_t>(count));
  }
  void append(const std::vector<std::size_t>& indices) { append(indices.data(), indices.size()); }
  Column finish(std::string name) {
    return arrow::list_column(std::move(name), std::move(offsets_), items_.finish("item"));
  }

 private:
  RowColumn items_;
  std::vector<std::int64_t> offsets_{0};
};

// The binding names that a result can carry: those the steps capture, byte-wise sorted.
std::vector<std::string> binding_names(const Pattern& pattern);

// One column of values of any kind. Values of one kind keep it; Int and Float together become
// floats; any other mixture becomes text, each value written as a pattern literal. Null cells
// are nulls. Integers without nulls, the usual captures, are written on up to `threads` threads.
Column value_column(std::string name, const std::vector<const Value*>& cells,
                    std::size_t threads = 1);

// The kinds of value present among cells: marks kinds[ValueKind] for each non-null cell.
using ValueKinds = std::array<bool, 5>;
void note_kinds(ValueKinds& kinds, const std::vector<const Value*>& cells);

// As value_column, with the column's kind chosen as for cells of `kinds`: the cells are rows
// picked from a larger result, and are written as that result's column would hold them.
Column value_column(std::string name, const std::vector<const Value*>& cells,
                    const ValueKinds& kinds);

// The struct column "captures": a field per name, from each result's bindings.
Column captures_column(const std::vector<std::string>& names,
                       const std::vector<const Bindings*>& captures);

// A table of `columns`, each `rows` long.
arrow::Table table_of(std::vector<Column> columns, std::size_t rows);

}  // namespace vashlet::result_columns
