#include "arrow/table_results.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "explain/explain.hpp"
#include "json/json.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"

namespace vashlet {

using arrow::BoolBuilder;
using arrow::Column;
using arrow::FixedBuilder;
using arrow::FixedWriter;
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

namespace {

// Matches per slice of the result when its columns are written on several threads.
constexpr std::size_t kMatchesPerSlice = 1 << 16;

// The flat parts of a result, addressed by match number across all of them.
class MatchParts {
 public:
  explicit MatchParts(std::vector<FlatMatches> parts) : parts_(std::move(parts)) {
    for (const FlatMatches& part : parts_) {
      starts_.push_back(total_);
      total_ += part.size();
    }
  }
  std::size_t size() const { return total_; }
  // Calls visit(number, part, m) for the matches numbered [begin, end), in order.
  template <class Visit>
  void visit(std::size_t begin, std::size_t end, const Visit& visit) const {
    for (std::size_t p = 0; p < parts_.size(); ++p) {
      const std::size_t first = std::max(begin, starts_[p]);
      const std::size_t last = std::min(end, starts_[p] + parts_[p].size());
      for (std::size_t number = first; number < last; ++number) {
        visit(number, parts_[p], number - starts_[p]);
      }
    }
  }

 private:
  std::vector<FlatMatches> parts_;
  std::vector<std::size_t> starts_;
  std::size_t total_ = 0;
};

void set_integer(FixedWriter& out, std::size_t at, std::int64_t value) {
  at_width(out.width(), value, [&](auto narrowed) { out.set(at, narrowed); });
}

// The partition of every match, in the partition column's type.
Column match_partitions(const MatchParts& matches, const SortedEvents& events,
                        std::size_t threads) {
  const PartitionValues& values = events.partition_values();
  const std::size_t total = matches.size();
  if (!values.holds_strings()) {
    FixedWriter out(values.format, integer_width(values.format), total);
    for_slices(total, threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
      matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
        set_integer(out, number, values.ints[events.partition(part.indices_of(m)[0])]);
      });
    });
    return out.finish("partition");
  }
  if (values.format == "vu") {
    StringBuilder out("vu");
    matches.visit(0, total, [&](std::size_t, const FlatMatches& part, std::size_t m) {
      out.append(values.strings[events.partition(part.indices_of(m)[0])]);
    });
    return out.finish("partition");
  }
  // Offsets first, then the bytes, each slice copying its own.
  std::vector<std::int64_t> offsets(total + 1, 0);
  matches.visit(0, total, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
    offsets[number + 1] = offsets[number] + static_cast<std::int64_t>(
        values.strings[events.partition(part.indices_of(m)[0])].size());
  });
  LargeVector<std::uint8_t> data(static_cast<std::size_t>(offsets.back()));
  for_slices(total, threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
    matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
      const std::string& text = values.strings[events.partition(part.indices_of(m)[0])];
      std::memcpy(data.data() + offsets[number], text.data(), text.size());
    });
  });
  return arrow::string_column(values.format, "partition", offsets, std::move(data));
}

// The input rows of every match's events.
Column match_rows(const MatchParts& matches, const SortedEvents& events, std::size_t steps,
                  std::size_t threads) {
  const std::size_t total = matches.size();
  std::vector<std::int64_t> offsets(total + 1);
  for (std::size_t number = 0; number <= total; ++number) {
    offsets[number] = static_cast<std::int64_t>(number * steps);
  }
  if (events.ids()) {  // values of an id column, of any key type
    RowListColumn rows(events);
    matches.visit(0, total, [&](std::size_t, const FlatMatches& part, std::size_t m) {
      rows.append(part.indices_of(m), steps);
    });
    return rows.finish("rows");
  }
  FixedWriter items("l", 8, total * steps);
  for_slices(total, threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
    matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
      const std::size_t* indices = part.indices_of(m);
      for (std::size_t k = 0; k < steps; ++k) {
        if (indices[k] >= events.size()) {
          invariant_failure("a result names an event outside the input");
        }
        items.set(number * steps + k, static_cast<std::int64_t>(events.row(indices[k])));
      }
    });
  });
  return arrow::list_column("rows", std::move(offsets), items.finish("item"));
}

// The bound values of every match: one column per binding name, from that name's slot.
Column match_captures(const MatchParts& matches, const Pattern& pattern,
                      const Plan& compiled) {
  const std::vector<std::string> slots = compiled.slot_names();
  std::vector<Column> fields;
  std::vector<const Value*> cells(matches.size());
  for (const std::string& name : binding_names(pattern)) {
    const std::size_t slot =
        static_cast<std::size_t>(std::find(slots.begin(), slots.end(), name) - slots.begin());
    if (slot == slots.size()) invariant_failure("a match binds every name of its pattern");
    matches.visit(0, matches.size(), [&](std::size_t number, const FlatMatches& part,
                                         std::size_t m) { cells[number] = part.values_of(m)[slot]; });
    fields.push_back(value_column(name, cells));
  }
  return arrow::struct_column("captures", static_cast<std::int64_t>(matches.size()),
                              std::move(fields));
}

}  // namespace

arrow::Table match_table(const Pattern& source, const SortedEvents& events, const TableRun& run) {
  Pattern pattern = source;
  if (run.exhaustive) pattern.consumption = MatchConsumption::ExhaustivePerStart;
  const Plan compiled = compile(pattern, run.max_matches);
  // The matches come flat and go straight into the columns, several threads writing each: no
  // record per match.
  const MatchParts matches(compiled.flat_matches(events.view(), run.threads));
  const std::size_t total = matches.size();
  const std::size_t steps = compiled.steps.size();

  FixedWriter numbers("l", 8, total);
  FixedWriter starts(events.ts_format(), integer_width(events.ts_format()), total);
  FixedWriter ends(events.ts_format(), integer_width(events.ts_format()), total);
  for_slices(total, run.threads, kMatchesPerSlice, [&](std::size_t begin, std::size_t end) {
    matches.visit(begin, end, [&](std::size_t number, const FlatMatches& part, std::size_t m) {
      numbers.set(number, static_cast<std::int64_t>(number));
      set_integer(starts, number, events[part.indices_of(m)[0]].ts);
      set_integer(ends, number, part.ends[m]);
    });
  });
  std::vector<Column> columns;
  columns.push_back(numbers.finish("match"));
  columns.push_back(match_partitions(matches, events, run.threads));
  columns.push_back(starts.finish("start"));
  columns.push_back(ends.finish("end"));
  columns.push_back(match_rows(matches, events, steps, run.threads));
  columns.push_back(match_captures(matches, pattern, compiled));
  return table_of(std::move(columns), total);
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

// How elapsed times (gap, max_elapsed) are written: as integers for an integer timestamp column,
// as durations in the unit of a temporal one. Dates count days, which no duration unit is, so
// theirs are written in seconds.
struct ElapsedFormat {
  std::string format = "l";
  std::int64_t scale = 1;
};

ElapsedFormat elapsed_format(std::string_view ts) {
  if (ts == "tdD") return {"tDs", 86400};
  if (ts == "tdm") return {"tDm", 1};
  const std::string_view kind = ts.substr(0, 2);
  if (ts.size() >= 3 && (kind == "ts" || kind == "tt" || kind == "tD")) {
    return {std::string("tD") + ts[2], 1};
  }
  return {};
}

// Saturates rather than wraps: only a window beyond any date's reach can exceed it.
std::int64_t scaled(std::int64_t ticks, std::int64_t scale) {
  std::int64_t out;
  if (!__builtin_mul_overflow(ticks, scale, &out)) return out;
  return ticks < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

// The reason-specific columns of the near-miss table, null where a reason has no such field.
class DetailColumns {
 public:
  explicit DetailColumns(const SortedEvents& events)
      : event_row_(events), candidate_row_(events), blocking_row_(events),
        elapsed_(elapsed_format(events.ts_format())),
        gap_(elapsed_.format, 8), max_elapsed_(elapsed_.format, 8) {}

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
    late ? gap_.append(scaled(late->gap, elapsed_.scale)) : gap_.append_null();
    late ? max_elapsed_.append(scaled(late->max_elapsed, elapsed_.scale))
         : max_elapsed_.append_null();
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
  ElapsedFormat elapsed_;
  FixedBuilder gap_, max_elapsed_;
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

namespace {

// The events that satisfy the first step: their type is the step's and, with no bindings yet,
// its atom accepts them (as near_misses judges a start).
std::uint64_t count_starts(const Pattern& pattern, const EventView& events, std::size_t threads) {
  const Atom& first = pattern.steps.front().atom;
  const Bindings empty;
  constexpr std::size_t kEventsPerSlice = std::size_t{1} << 16;
  std::vector<std::uint64_t> counts(std::max<std::size_t>(threads, 1), 0);
  std::atomic<std::size_t> next_slot{0};
  for_slices(events.size(), threads, kEventsPerSlice, [&](std::size_t begin, std::size_t end) {
    std::uint64_t found = 0;
    visit_events(events, begin, end, [&](std::size_t, const Event& event) {
      found += same_bytes(event.typ, first.event_type) && first.accepts(event, empty);
      return true;
    });
    counts[next_slot.fetch_add(1)] = found;
  });
  std::uint64_t total = 0;
  for (const std::uint64_t count : counts) total += count;
  return total;
}

}  // namespace

FunnelTable funnel_table(const Pattern& pattern, const SortedEvents& events, const TableRun& run) {
  if (!validate_pattern(pattern)) {
    invariant_failure("funnel_table requires a structurally valid pattern");
  }
  FunnelTable funnel;
  funnel.starts = count_starts(pattern, events.view(), run.threads);
  funnel.near_misses = near_miss_table(pattern, events, run);
  return funnel;
}

arrow::Table events_read_table(const Pattern&, const SortedEvents& events, const TableRun&) {
  FixedBuilder count("l", 8);
  count.append(static_cast<std::int64_t>(events.size()));
  std::vector<Column> columns;
  columns.push_back(count.finish("events"));
  return table_of(std::move(columns), 1);
}

}  // namespace vashlet
