#include "table_results.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "explain.hpp"
#include "json.hpp"
#include "matcher.hpp"

namespace vashlet {

using arrow::BoolBuilder;
using arrow::Column;
using arrow::FixedBuilder;
using arrow::StringBuilder;

namespace {

// The byte width of the integers of an integer or temporal format.
std::size_t integer_width(std::string_view format) {
  if (format == "c" || format == "C") return 1;
  if (format == "s" || format == "S") return 2;
  if (format == "i" || format == "I" || format == "tdD" || format == "tts" || format == "ttm") {
    return 4;
  }
  return 8;
}

// Integers of one format, written back at its own width (the values came from such a column).
class IntegerColumn {
 public:
  explicit IntegerColumn(const std::string& format)
      : width_(integer_width(format)), builder_(format, width_) {}
  void append_null() { builder_.append_null(); }
  void append(std::int64_t value) {
    switch (width_) {
      case 1: builder_.append(static_cast<std::int8_t>(value)); break;
      case 2: builder_.append(static_cast<std::int16_t>(value)); break;
      case 4: builder_.append(static_cast<std::int32_t>(value)); break;
      default: builder_.append(value); break;
    }
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
  void append(const std::vector<std::size_t>& indices) {
    for (const std::size_t index : indices) items_.append(index);
    offsets_.push_back(offsets_.back() + static_cast<std::int64_t>(indices.size()));
  }
  Column finish(std::string name) {
    return arrow::list_column(std::move(name), std::move(offsets_), items_.finish("item"));
  }

 private:
  RowColumn items_;
  std::vector<std::int64_t> offsets_{0};
};

// The binding names that a result can carry: those the steps capture, byte-wise sorted.
std::vector<std::string> binding_names(const Pattern& pattern) {
  std::vector<std::string> names;
  for (const Step& step : pattern.steps) {
    for (const Capture& capture : step.atom.captures) names.push_back(capture.name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return compare_bytes(a, b) < 0; });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// One column of values of any kind. Values of one kind keep it; Int and Float together become
// floats; any other mixture becomes text, each value written as a pattern literal. Null cells
// are nulls.
Column value_column(std::string name, const std::vector<const Value*>& cells) {
  bool kinds[5] = {};
  for (const Value* cell : cells) {
    if (cell) kinds[static_cast<int>(cell->kind())] = true;
  }
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

}  // namespace

arrow::Table match_table(const Pattern& source, const SortedEvents& events, const TableRun& run) {
  Pattern pattern = source;
  if (run.exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
  const std::vector<Match> matches = compiled_matches(pattern, events.view(), run.threads);

  FixedBuilder numbers("l", 8);
  KeyColumn partitions(events.partition_values());
  IntegerColumn starts(events.ts_format());
  IntegerColumn ends(events.ts_format());
  RowListColumn rows(events);
  std::vector<const Bindings*> captures;
  captures.reserve(matches.size());
  std::int64_t number = 0;
  for (const Match& match : matches) {
    numbers.append(number++);
    partitions.append(events.partition(match.indices.front()));
    starts.append(match.start);
    ends.append(match.end);
    rows.append(match.indices);
    captures.push_back(&match.captures);
  }
  std::vector<Column> columns;
  columns.push_back(numbers.finish("match"));
  columns.push_back(partitions.finish("partition"));
  columns.push_back(starts.finish("start"));
  columns.push_back(ends.finish("end"));
  columns.push_back(rows.finish("rows"));
  columns.push_back(captures_column(binding_names(pattern), captures));
  return table_of(std::move(columns), matches.size());
}

namespace {

// The failed clauses of one near miss: a list of structs with every field any clause has.
class FailuresColumn {
 public:
  void append(const std::vector<PredicateFailure>* failures) {
    if (!failures) {
      validity_.append(false);
      offsets_.push_back(offsets_.back());
      return;
    }
    validity_.append(true);
    for (const PredicateFailure& failure : *failures) append_one(failure);
    offsets_.push_back(offsets_.back() + static_cast<std::int64_t>(failures->size()));
  }

  Column finish() {
    std::vector<Column> fields;
    fields.push_back(type_.finish("type"));
    fields.push_back(attribute_.finish("attribute"));
    fields.push_back(operator_.finish("operator"));
    fields.push_back(expected_.finish("expected"));
    fields.push_back(binding_.finish("binding"));
    fields.push_back(bound_.finish("bound"));
    fields.push_back(name_.finish("name"));
    fields.push_back(actual_.finish("actual"));
    const std::int64_t items = offsets_.back();
    return arrow::list_column("failures", std::move(offsets_),
                              arrow::struct_column("item", items, std::move(fields)),
                              std::move(validity_));
  }

 private:
  static void literal(StringBuilder& out, const std::optional<Value>& value) {
    value ? out.append(value_literal(*value)) : out.append_null();
  }

  void append_one(const PredicateFailure& failure) {
    std::visit(
        [&](const auto& clause) {
          using Clause = std::decay_t<decltype(clause)>;
          if constexpr (std::is_same_v<Clause, PredicateFailure::Predicate>) {
            type_.append("predicate");
            attribute_.append(clause.attribute);
            operator_.append(operator_symbol(clause.op));
            literal(expected_, clause.expected);
            binding_.append_null();
            bound_.append_null();
            name_.append_null();
            literal(actual_, clause.actual);
          } else if constexpr (std::is_same_v<Clause, PredicateFailure::Reference>) {
            type_.append("reference");
            attribute_.append(clause.attribute);
            operator_.append(operator_symbol(clause.op));
            expected_.append_null();
            binding_.append(clause.binding);
            literal(bound_, clause.bound);
            name_.append_null();
            literal(actual_, clause.actual);
          } else {
            type_.append("capture");
            attribute_.append(clause.attribute);
            operator_.append_null();
            expected_.append_null();
            binding_.append_null();
            literal(bound_, clause.bound);
            name_.append(clause.name);
            literal(actual_, clause.actual);
          }
        },
        failure.failure);
  }

  std::vector<std::int64_t> offsets_{0};
  arrow::Validity validity_;
  StringBuilder type_, attribute_, operator_, expected_, binding_, bound_, name_, actual_;
};

// The reason-specific columns of the near-miss table, null where a reason has no such field.
class DetailColumns {
 public:
  explicit DetailColumns(const SortedEvents& events)
      : event_row_(events), candidate_row_(events), blocking_row_(events) {}

  void append(const NearMissDetail& detail) {
    const PredicateFailed* failed = std::get_if<PredicateFailed>(&detail);
    const AbsenceBlocked* blocked = std::get_if<AbsenceBlocked>(&detail);
    const WindowExceeded* late = std::get_if<WindowExceeded>(&detail);
    event_row_.append(failed ? std::optional(failed->event_index) : std::nullopt);
    candidate_row_.append(blocked ? std::optional(blocked->candidate_index)
                          : late  ? std::optional(late->candidate_index)
                                  : std::nullopt);
    blocking_row_.append(blocked ? std::optional(blocked->blocking_index) : std::nullopt);
    blocked ? blocking_type_.append(blocked->blocking_event_type) : blocking_type_.append_null();
    blocked ? satisfies_.append(blocked->candidate_satisfies) : satisfies_.append_null();
    late ? gap_.append(late->gap) : gap_.append_null();
    late ? max_elapsed_.append(late->max_elapsed) : max_elapsed_.append_null();
    failures_.append(failed ? &failed->failures : nullptr);
  }

  void finish(std::vector<Column>& columns) {
    columns.push_back(event_row_.finish("event_row"));
    columns.push_back(candidate_row_.finish("candidate_row"));
    columns.push_back(blocking_row_.finish("blocking_row"));
    columns.push_back(blocking_type_.finish("blocking_event_type"));
    columns.push_back(satisfies_.finish("candidate_satisfies"));
    columns.push_back(gap_.finish("gap"));
    columns.push_back(max_elapsed_.finish("max_elapsed"));
    columns.push_back(failures_.finish());
  }

 private:
  RowColumn event_row_, candidate_row_, blocking_row_;
  StringBuilder blocking_type_;
  BoolBuilder satisfies_;
  FixedBuilder gap_{"l", 8}, max_elapsed_{"l", 8};
  FailuresColumn failures_;
};

}  // namespace

arrow::Table near_miss_table(const Pattern& pattern, const SortedEvents& events,
                             const TableRun& run) {
  const std::vector<NearMiss> misses = near_misses(events.view(), pattern, run.threads);

  RowColumn start_rows(events);
  KeyColumn partitions(events.partition_values());
  FixedBuilder reached("l", 8);
  RowListColumn rows(events);
  StringBuilder next_types;
  StringBuilder reasons;
  DetailColumns details(events);
  std::vector<const Bindings*> captures;
  captures.reserve(misses.size());
  for (const NearMiss& miss : misses) {
    start_rows.append(miss.start_index);
    partitions.append(events.partition(miss.start_index));
    reached.append(static_cast<std::int64_t>(miss.reached_steps));
    rows.append(miss.indices);
    next_types.append(miss.next_event_type);
    reasons.append(near_miss_reason(miss.detail));
    details.append(miss.detail);
    captures.push_back(&miss.captures);
  }
  std::vector<Column> columns;
  columns.push_back(start_rows.finish("start_row"));
  columns.push_back(partitions.finish("partition"));
  columns.push_back(reached.finish("reached_steps"));
  columns.push_back(rows.finish("rows"));
  columns.push_back(next_types.finish("next_event_type"));
  columns.push_back(reasons.finish("reason"));
  details.finish(columns);
  columns.push_back(captures_column(binding_names(pattern), captures));
  return table_of(std::move(columns), misses.size());
}

arrow::Table events_read_table(const Pattern&, const SortedEvents& events, const TableRun&) {
  FixedBuilder count("l", 8);
  count.append(static_cast<std::int64_t>(events.size()));
  std::vector<Column> columns;
  columns.push_back(count.finish("events"));
  return table_of(std::move(columns), 1);
}

}  // namespace vashlet
