// The near-miss table of a chain pattern, written from the flat rows of its near misses: each
// column in one pass over the rows, its buffers sized once, integers formatted in place. Most
// strings are one of a few texts (types, reasons, a clause's fields), copied by number.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/near_miss_columns.hpp"
#include "arrow/result_columns.hpp"
#include "json/json.hpp"

namespace vashlet {

namespace {

using arrow::BitmapWriter;
using arrow::Column;
using arrow::FixedWriter;
using arrow::Validity;
using explain::FailedClause;
using explain::NearMissRows;
using explain::Reason;
using explain::RowVerdict;

constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

// The offsets of a string column while it is written, one buffer for all of a table's.
using Ends = LargeVector<std::int64_t>;

// A row of the table: a part and a row of it.
struct RowOf {
  const NearMissRows* part;
  std::size_t row;
};

// References to input rows, written by position in ascending order: row numbers in place, or
// the values of the id column.
class RowRefs {
 public:
  RowRefs(const SortedEvents& events, std::size_t length)
      : events_(events), numbers_("l", 8, events.ids() ? 0 : length),
        valid_(events.ids() ? 0 : length) {
    if (events.ids()) ids_.emplace(events);
  }
  void put(std::size_t at, std::size_t index) {
    if (ids_) return ids_->append(index == kNoRow ? std::nullopt : std::optional(index));
    if (index == kNoRow) return numbers_.set<std::int64_t>(at, 0);
    if (index >= events_.size()) invariant_failure("a result names an event outside the input");
    numbers_.set(at, static_cast<std::int64_t>(events_.row(index)));
    valid_.set(at);
  }
  Column finish(std::string name) {
    if (ids_) return ids_->finish(std::move(name));
    return numbers_.finish(std::move(name), std::move(valid_).validity());
  }

 private:
  const SortedEvents& events_;
  std::optional<result_columns::RowColumn> ids_;
  FixedWriter numbers_;
  BitmapWriter valid_;
};

template <class Ref>
Column row_refs(const SortedEvents& events, std::string name, std::size_t length, const Ref& ref) {
  RowRefs refs(events, length);
  for (std::size_t i = 0; i < length; ++i) refs.put(i, ref(i));
  return refs.finish(std::move(name));
}

// 64-bit integers, null where value(i) gives nullopt.
template <class Get>
Column integers(std::string format, std::string name, std::size_t length, const Get& value) {
  FixedWriter out(std::move(format), 8, length);
  BitmapWriter valid(length);
  for (std::size_t i = 0; i < length; ++i) {
    const std::optional<std::int64_t> v = value(i);
    out.set<std::int64_t>(i, v ? *v : 0);
    if (v) valid.set(i);
  }
  return out.finish(std::move(name), std::move(valid).validity());
}

// Values as pattern literals, each written once as it is met: integers, the common case,
// formatted in place; a value of another kind through value_literal.
template <class Get>
Column literals(Ends& ends, std::string name, std::size_t length, const Get& value) {
  ends.clear();
  ends.reserve(length + 1);
  ends.push_back(0);
  BitmapWriter valid(length);
  LargeVector<std::uint8_t> data;
  // Most literals are short numbers: a guess that spares most of the growth.
  data.reserve(length * 4 + 8);
  char digits[24];
  const auto append = [&](const char* begin, const char* end) {
    data.insert(data.end(), reinterpret_cast<const std::uint8_t*>(begin),
                reinterpret_cast<const std::uint8_t*>(end));
  };
  for (std::size_t i = 0; i < length; ++i) {
    if (const Value* v = value(i)) {
      valid.set(i);
      if (v->kind() == ValueKind::Int) {
        const char* end = std::to_chars(std::begin(digits), std::end(digits), v->as_int()).ptr;
        append(digits, end);
      } else {
        const std::string text = value_literal(*v);
        append(text.data(), text.data() + text.size());
      }
    }
    ends.push_back(static_cast<std::int64_t>(data.size()));
  }
  return arrow::string_column("u", std::move(name), ends, std::move(data),
                              std::move(valid).validity());
}

// The text of one clause of the pattern as the failures column writes it, the same on every
// near miss that fails it (null: the clause's kind has no such field).
struct ClauseText {
  const Atom* atom;
  FailedClause::Kind kind;
  std::uint32_t clause;
  std::optional<std::string_view> type, attribute, op, expected, binding, name;
  std::string expected_text;  // the predicate's literal
};

// The clauses that the near misses fail: few, since they are the pattern's own.
class ClauseTexts {
 public:
  // The position of `failed`'s clause in texts().
  std::uint32_t of(const FailedClause& failed) {
    if (last_ < texts_.size() && same(texts_[last_], failed)) return last_;
    for (last_ = 0; last_ < texts_.size(); ++last_) {
      if (same(texts_[last_], failed)) return last_;
    }
    texts_.push_back(text_of(failed));
    ClauseText& text = texts_.back();
    if (text.kind == FailedClause::Kind::Predicate) text.expected = text.expected_text;
    return last_;
  }
  const std::deque<ClauseText>& texts() const { return texts_; }

 private:
  static bool same(const ClauseText& text, const FailedClause& failed) {
    return text.atom == failed.atom && text.kind == failed.kind && text.clause == failed.clause;
  }
  static ClauseText text_of(const FailedClause& failed) {
    using Kind = FailedClause::Kind;
    const Atom& atom = *failed.atom;
    ClauseText text{failed.atom, failed.kind, failed.clause, {}, {}, {}, {}, {}, {}, {}};
    switch (failed.kind) {
      case Kind::Predicate: {
        const Predicate& p = atom.predicates[failed.clause];
        text.type = "predicate";
        text.attribute = p.attribute;
        text.op = operator_symbol(p.op);
        text.expected_text = value_literal(p.value);
        break;
      }
      case Kind::Reference: {
        const ReferencePredicate& r = atom.reference_predicates[failed.clause];
        text.type = "reference";
        text.attribute = r.attribute;
        text.op = operator_symbol(r.op);
        text.binding = r.binding;
        break;
      }
      case Kind::Capture: {
        const Capture& c = atom.captures[failed.clause];
        text.type = "capture";
        text.attribute = c.attribute;
        text.name = c.name;
        break;
      }
    }
    return text;
  }

  std::deque<ClauseText> texts_;  // stable: `expected` views its element's own text
  std::uint32_t last_ = 0;
};

// The failed clauses of every row: null where a row has no failed step. The clauses are read
// once, into their clause's number and their two values; each field is then a pass over those.
Column failures_column(const std::vector<RowOf>& rows, Ends& ends) {
  const std::size_t n = rows.size();
  std::vector<std::int64_t> offsets;
  offsets.reserve(n + 1);
  offsets.push_back(0);
  BitmapWriter valid(n);
  ClauseTexts clauses;
  // Most near misses fail one clause or none: room for one each spares most of the growth.
  std::vector<std::uint32_t> which;
  std::vector<const Value*> bound, actual;
  which.reserve(n);
  bound.reserve(n);
  actual.reserve(n);
  // A capture's event without the attribute captures null.
  const Value null = Value::null();
  for (std::size_t i = 0; i < n; ++i) {
    const NearMissRows& part = *rows[i].part;
    const std::size_t row = rows[i].row;
    if (part.verdict(row).reason == Reason::PredicateFailed) valid.set(i);
    const std::size_t count = part.failure_count(row);
    offsets.push_back(offsets.back() + static_cast<std::int64_t>(count));
    const FailedClause* failed = part.failures(row);
    for (std::size_t k = 0; k < count; ++k) {
      const FailedClause& c = failed[k];
      which.push_back(clauses.of(c));
      const bool has_bound =
          c.kind != FailedClause::Kind::Predicate && c.bound_name != FailedClause::kNoName;
      bound.push_back(has_bound ? part.capture(row, c.bound_name) : nullptr);
      actual.push_back(c.actual                               ? &*c.actual
                       : c.kind == FailedClause::Kind::Capture ? &null
                                                               : nullptr);
    }
  }
  const std::size_t m = which.size();
  const std::deque<ClauseText>& texts_of = clauses.texts();
  std::vector<std::optional<std::string_view>> text(texts_of.size());
  std::vector<Column> fields;
  const auto field = [&](const char* name, std::optional<std::string_view> ClauseText::*member) {
    for (std::size_t t = 0; t < texts_of.size(); ++t) text[t] = texts_of[t].*member;
    fields.push_back(arrow::chosen_strings("u", name, which, text));
  };
  field("type", &ClauseText::type);
  field("attribute", &ClauseText::attribute);
  field("operator", &ClauseText::op);
  field("expected", &ClauseText::expected);
  field("binding", &ClauseText::binding);
  fields.push_back(literals(ends, "bound", m, [&](std::size_t k) { return bound[k]; }));
  field("name", &ClauseText::name);
  fields.push_back(literals(ends, "actual", m, [&](std::size_t k) { return actual[k]; }));
  return arrow::list_column(
      "failures", std::move(offsets),
      arrow::struct_column("item", static_cast<std::int64_t>(m), std::move(fields)),
      std::move(valid).validity());
}

// The reason-specific columns, null where a reason has no such field: the fixed-width ones in
// one pass over the verdicts.
void detail_columns(const SortedEvents& events, const std::vector<RowOf>& rows, Ends& ends,
                    std::vector<Column>& columns) {
  const std::size_t n = rows.size();
  RowRefs event_row(events, n), candidate_row(events, n), blocking_row(events, n);
  BitmapWriter satisfies(n), has_candidate(n), late(n);
  const ElapsedFormat elapsed = elapsed_format(events.ts_format());
  FixedWriter gap(elapsed.format, 8, n), max_elapsed(elapsed.format, 8, n);
  // The blocking events' types, few (those that the transitions forbid), by number; 0: none.
  const EventView view = events.view();
  std::vector<std::optional<std::string_view>> types{std::nullopt};
  std::vector<std::uint32_t> blocking_type(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const RowVerdict& v = rows[i].part->verdict(rows[i].row);
    const bool candidate = v.reason == Reason::AbsenceBlocked || v.reason == Reason::WindowExceeded;
    event_row.put(i, v.reason == Reason::PredicateFailed ? v.event : kNoRow);
    candidate_row.put(i, candidate ? v.event : kNoRow);
    blocking_row.put(i, v.reason == Reason::AbsenceBlocked ? v.blocking : kNoRow);
    if (candidate) {
      has_candidate.set(i);
      if (v.satisfies) satisfies.set(i);
    }
    if (v.reason == Reason::AbsenceBlocked) {
      const std::string_view type = view[v.blocking].typ;
      std::uint32_t t = 1;
      while (t < types.size() && !same_bytes(*types[t], type)) ++t;
      if (t == types.size()) types.emplace_back(type);
      blocking_type[i] = t;
    }
    const bool is_late = v.reason == Reason::WindowExceeded;
    if (is_late) late.set(i);
    gap.set<std::int64_t>(i, is_late ? scaled(v.gap, elapsed.scale) : 0);
    max_elapsed.set<std::int64_t>(i, is_late ? scaled(v.max_elapsed, elapsed.scale) : 0);
  }
  columns.push_back(event_row.finish("event_row"));
  columns.push_back(candidate_row.finish("candidate_row"));
  columns.push_back(blocking_row.finish("blocking_row"));
  columns.push_back(arrow::chosen_strings("u", "blocking_event_type", blocking_type, types));
  const auto length = static_cast<std::int64_t>(n);
  Validity candidate_valid = std::move(has_candidate).validity();
  columns.push_back(arrow::bool_column("candidate_satisfies", length, std::move(satisfies).bits(),
                                       std::move(candidate_valid)));
  Validity late_valid = std::move(late).validity();
  columns.push_back(gap.finish("gap", Validity(late_valid)));
  columns.push_back(max_elapsed.finish("max_elapsed", std::move(late_valid)));
  columns.push_back(failures_column(rows, ends));
}

}  // namespace

arrow::Table near_miss_rows_table(const Pattern& pattern, const SortedEvents& events,
                                  const std::vector<std::string>& names,
                                  const std::vector<explain::NearMissRows>& parts,
                                  const std::vector<RowAt>* only) {
  std::vector<RowOf> rows;
  if (only) {
    rows.reserve(only->size());
    for (const RowAt& at : *only) rows.push_back({&parts[at.part], at.row});
  } else {
    std::size_t total = 0;
    for (const NearMissRows& part : parts) total += part.size();
    rows.reserve(total);
    for (const NearMissRows& part : parts) {
      for (std::size_t row = 0; row < part.size(); ++row) rows.push_back({&part, row});
    }
  }
  const std::size_t n = rows.size();
  Ends ends;
  std::vector<Column> columns;
  columns.push_back(row_refs(events, "start_row", n,
                             [&](std::size_t i) { return rows[i].part->start(rows[i].row); }));
  const PartitionValues& partitions = events.partition_values();
  if (partitions.format == "u" || partitions.format == "U") {
    std::vector<std::optional<std::string_view>> names(partitions.strings.begin(),
                                                       partitions.strings.end());
    std::vector<std::uint32_t> chosen(n);
    for (std::size_t i = 0; i < n; ++i) {
      chosen[i] = events.partition(rows[i].part->start(rows[i].row));
    }
    columns.push_back(arrow::chosen_strings(partitions.format, "partition", chosen, names));
  } else {
    result_columns::KeyColumn column(partitions);
    for (const RowOf& at : rows) column.append(events.partition(at.part->start(at.row)));
    columns.push_back(column.finish("partition"));
  }
  columns.push_back(integers("l", "reached_steps", n, [&](std::size_t i) {
    return std::optional(static_cast<std::int64_t>(rows[i].part->reached(rows[i].row)));
  }));
  std::vector<std::int64_t> offsets;
  offsets.reserve(n + 1);
  offsets.push_back(0);
  for (const RowOf& at : rows) {
    offsets.push_back(offsets.back() + static_cast<std::int64_t>(at.part->reached(at.row)));
  }
  RowRefs items(events, static_cast<std::size_t>(offsets.back()));
  std::size_t item = 0;
  for (const RowOf& at : rows) {
    const std::size_t* path = at.part->path(at.row);
    for (std::size_t k = 0; k < at.part->reached(at.row); ++k) items.put(item++, path[k]);
  }
  columns.push_back(arrow::list_column("rows", std::move(offsets), items.finish("item")));
  // The next step's type and the reason: a few texts, chosen by number.
  std::vector<std::optional<std::string_view>> step_types(pattern.steps.size());
  for (std::size_t k = 0; k < step_types.size(); ++k) {
    step_types[k] = pattern.steps[k].atom.event_type;
  }
  std::vector<std::uint32_t> chosen(n);
  for (std::size_t i = 0; i < n; ++i) {
    chosen[i] = static_cast<std::uint32_t>(rows[i].part->reached(rows[i].row));
  }
  columns.push_back(arrow::chosen_strings("u", "next_event_type", chosen, step_types));
  const std::vector<std::optional<std::string_view>> reasons(std::begin(kReasonNames),
                                                             std::end(kReasonNames));
  for (std::size_t i = 0; i < n; ++i) {
    chosen[i] = static_cast<std::uint32_t>(rows[i].part->verdict(rows[i].row).reason);
  }
  columns.push_back(arrow::chosen_strings("u", "reason", chosen, reasons));
  detail_columns(events, rows, ends, columns);
  // The captures, a field per name, as the table of every near miss would type them.
  std::vector<Column> fields;
  std::vector<const Value*> cells;
  for (std::size_t name = 0; name < names.size(); ++name) {
    cells.clear();
    cells.reserve(n);
    for (const RowOf& at : rows) cells.push_back(at.part->capture(at.row, name));
    result_columns::ValueKinds kinds{};
    if (only) {
      // Picked rows keep the kinds of the parts' rows, kept or dropped.
      std::vector<const Value*> all;
      for (const NearMissRows& part : parts) {
        all.clear();
        for (std::size_t row = 0; row < part.size(); ++row) all.push_back(part.capture(row, name));
        result_columns::note_kinds(kinds, all);
        for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
          if (part.dropped_kinds(name) >> kind & 1u) kinds[kind] = true;
        }
      }
    } else {
      result_columns::note_kinds(kinds, cells);
    }
    fields.push_back(result_columns::value_column(names[name], cells, kinds));
  }
  columns.push_back(
      arrow::struct_column("captures", static_cast<std::int64_t>(n), std::move(fields)));
  return result_columns::table_of(std::move(columns), n);
}

}  // namespace vashlet
