// Result columns whose building reads whole results: binding names, value columns of mixed
// kinds, the captures struct, and the table that holds the columns.
#include "arrow/result_columns.hpp"

#include <algorithm>
#include <atomic>
#include <memory>

#include "arrow/sliced_columns.hpp"
#include "explain/near_miss_rows.hpp"
#include "json/json.hpp"
#include "tuning.hpp"

namespace vashlet::result_columns {

std::size_t integer_width(std::string_view format) {
  if (format == "c" || format == "C") return 1;
  if (format == "s" || format == "S") return 2;
  if (format == "i" || format == "I" || format == "tdD" || format == "tts" || format == "ttm") {
    return 4;
  }
  return 8;
}

std::vector<std::string> binding_names(const Pattern& pattern) {
  return explain::capture_names(pattern);
}

void note_kinds(ValueKinds& kinds, const std::vector<const Value*>& cells) {
  for (const Value* cell : cells) {
    if (cell) kinds[static_cast<std::size_t>(cell->kind())] = true;
  }
}

namespace {

// The column of `cells` where all are Ints (none missing or Null), written by slices of cells
// in the one pass that finds it so: captures are mostly such, and their values lie all over the
// input, so each is read once, and fetched a few cells ahead. Nothing where some cell is not an
// Int.
std::optional<Column> int_column(std::string& name, const std::vector<const Value*>& cells,
                                 std::size_t threads) {
  const std::size_t count = cells.size();
  if (count == 0 || !cells[0] || cells[0]->kind() != ValueKind::Int) return std::nullopt;
  FixedWriter out("l", 8, count);
  std::atomic<bool> all_ints{true};
  constexpr std::size_t kAhead = tuning::kCopyAhead;
  const arrow::RowSlices slices(count, threads, tuning::kTableRowsPerSlice);
  slices.run([&](std::size_t, std::size_t begin, std::size_t end) {
    for (std::size_t n = begin; n < end; ++n) {
      if (n + kAhead < end && cells[n + kAhead]) __builtin_prefetch(cells[n + kAhead]);
      const Value* cell = cells[n];
      if (!cell || cell->kind() != ValueKind::Int) {
        all_ints.store(false, std::memory_order_relaxed);
        return;
      }
      out.set(n, cell->as_int());
    }
  });
  if (!all_ints.load()) return std::nullopt;
  return out.finish(std::move(name));
}

}  // namespace

Column value_column(std::string name, const std::vector<const Value*>& cells,
                    std::size_t threads) {
  if (std::optional<Column> ints = int_column(name, cells, threads)) return std::move(*ints);
  ValueKinds kinds{};
  note_kinds(kinds, cells);
  return value_column(std::move(name), cells, kinds);
}

Column value_column(std::string name, const std::vector<const Value*>& cells,
                    const ValueKinds& kinds) {
  const bool strings = kinds[static_cast<int>(ValueKind::String)];
  const bool ints = kinds[static_cast<int>(ValueKind::Int)];
  const bool floats = kinds[static_cast<int>(ValueKind::Float)];
  const bool bools = kinds[static_cast<int>(ValueKind::Bool)];
  const int present = strings + ints + floats + bools;
  const auto is_null = [](const Value* cell) { return !cell || cell->kind() == ValueKind::Null; };
  const std::int64_t length = static_cast<std::int64_t>(cells.size());
  if (present == 0) return arrow::null_column(std::move(name), length);
  if (present == 1 && ints) {
    FixedBuilder out("l", 8);
    for (const Value* cell : cells) is_null(cell) ? out.append_null() : out.append(cell->as_int());
    return out.finish(std::move(name));
  }
  if ((present == 1 && floats) || (present == 2 && ints && floats)) {
    FixedBuilder out("g", 8);
    for (const Value* cell : cells) {
      if (is_null(cell)) {
        out.append_null();
      } else {
        out.append(cell->kind() == ValueKind::Int ? static_cast<double>(cell->as_int())
                                                  : cell->as_float());
      }
    }
    return out.finish(std::move(name));
  }
  if (present == 1 && bools) {
    BoolBuilder out;
    for (const Value* cell : cells) is_null(cell) ? out.append_null() : out.append(cell->as_bool());
    return out.finish(std::move(name));
  }
  StringBuilder out;
  for (const Value* cell : cells) {
    if (is_null(cell)) {
      out.append_null();
    } else if (cell->kind() == ValueKind::String && present == 1) {
      out.append(cell->as_string());
    } else {
      out.append(value_literal(*cell));
    }
  }
  return out.finish(std::move(name));
}

Column captures_column(const std::vector<std::string>& names,
                       const std::vector<const Bindings*>& captures) {
  std::vector<Column> fields;
  std::vector<const Value*> cells(captures.size());
  for (const std::string& name : names) {
    for (std::size_t row = 0; row < captures.size(); ++row) cells[row] = captures[row]->find(name);
    fields.push_back(value_column(name, cells));
  }
  return arrow::struct_column("captures", static_cast<std::int64_t>(captures.size()),
                              std::move(fields));
}

arrow::Table table_of(std::vector<Column> columns, std::size_t rows) {
  return std::make_shared<const Column>(
      arrow::struct_column("", static_cast<std::int64_t>(rows), std::move(columns)));
}

Column partition_column(const SortedEvents& events, std::span<const std::uint32_t> chosen,
                        std::size_t threads) {
  const PartitionValues& partitions = events.partition_values();
  if (partitions.format == "u" || partitions.format == "U") {
    const std::vector<std::optional<std::string_view>> names(partitions.strings.begin(),
                                                             partitions.strings.end());
    return arrow::chosen_strings(partitions.format, "partition", chosen, names, threads);
  }
  if (partitions.holds_strings()) {  // views: built in order
    KeyColumn column(partitions);
    for (const std::uint32_t number : chosen) column.append(number);
    return column.finish("partition");
  }
  FixedWriter out(partitions.format, integer_width(partitions.format), chosen.size());
  const arrow::RowSlices slices(chosen.size(), threads, tuning::kTableRowsPerSlice);
  slices.run([&](std::size_t, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      at_width(out.width(), partitions.ints[chosen[i]], [&](auto narrowed) { out.set(i, narrowed); });
    }
  });
  return out.finish("partition");
}

}  // namespace vashlet::result_columns
