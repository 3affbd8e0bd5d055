// The near-miss table of a chain pattern, written from the flat rows of its near misses by slices
// of rows on several threads. A first pass over each slice reads every row once, writes the
// columns of one entry per row at their positions and counts the entries of the list columns;
// the lists and strings are then written at the places those counts give them. Most strings are
// one of a few texts (types, reasons, a clause's fields), copied by number.
#include <algorithm>
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
#include "arrow/sliced_columns.hpp"
#include "json/json.hpp"
#include "match/partitions.hpp"
#include "tuning.hpp"

namespace vashlet {

namespace {

using arrow::Column;
using arrow::FixedWriter;
using arrow::RowSlices;
using arrow::SlicedBitmap;
using arrow::Validity;
using explain::FailedClause;
using explain::NearMissRows;
using explain::Reason;
using explain::RowVerdict;

constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

// A row of the table: a part and a row of it.
struct RowOf {
  const NearMissRows* part;
  std::size_t row;
};
using Rows = FillLaterVector<RowOf>;  // each written once it is sized

// References to input rows, written by position (several threads may write disjoint ones): row
// numbers in place or, where the input has an id column, the events' positions, whose ids are
// looked up once all are written.
class RowRefs {
 public:
  RowRefs(const SortedEvents& events, std::size_t length)
      : events_(events), numbers_("l", 8, events.ids() ? 0 : length) {
    if (events.ids()) indices_.resize(length);
  }
  void put(std::size_t at, std::size_t index) {
    if (index != kNoRow && index >= events_.size()) {
      invariant_failure("a result names an event outside the input");
    }
    if (events_.ids()) {
      indices_[at] = index;
    } else {
      const std::size_t row = index == kNoRow ? 0 : events_.row(index);
      numbers_.set<std::int64_t>(at, static_cast<std::int64_t>(row));
    }
  }
  // `valid`: the rows that name an event (none given: all).
  Column finish(std::string name, Validity valid = {}) {
    if (!events_.ids()) return numbers_.finish(std::move(name), std::move(valid));
    result_columns::RowColumn ids(events_);
    for (const std::size_t index : indices_) {
      ids.append(index == kNoRow ? std::nullopt : std::optional(index));
    }
    return ids.finish(std::move(name));
  }

 private:
  const SortedEvents& events_;
  FixedWriter numbers_;
  FillLaterVector<std::size_t> indices_;
};

// Whether two failures are of the same clause of the pattern.
bool same_clause(const FailedClause& a, const FailedClause& b) {
  return a.atom == b.atom && a.kind == b.kind && a.clause == b.clause;
}

// The text of one clause of the pattern as the failures column writes it, the same on every
// near miss that fails it (null: the clause's kind has no such field).
struct ClauseText {
  const FailedClause* failure;  // one failure of the clause, among the rows
  std::optional<std::string_view> type, attribute, op, expected, binding, name;
  std::string expected_text;  // the predicate's literal
};

// The clauses that the near misses fail: few, since they are the pattern's own.
class ClauseTexts {
 public:
  // Adds `failed`'s clause, unless it is there already.
  void add(const FailedClause& failed) {
    std::uint32_t hint = 0;
    if (find(failed, hint) < texts_.size()) return;
    texts_.push_back(text_of(failed));
    ClauseText& text = texts_.back();
    if (failed.kind == FailedClause::Kind::Predicate) text.expected = text.expected_text;
  }
  // The position of `failed`'s clause in texts() (texts().size(): not there). `hint`, a
  // position to try first, is left at the one found: the rows of a stretch mostly fail one.
  std::uint32_t find(const FailedClause& failed, std::uint32_t& hint) const {
    if (hint < texts_.size() && same_clause(*texts_[hint].failure, failed)) return hint;
    for (hint = 0; hint < texts_.size(); ++hint) {
      if (same_clause(*texts_[hint].failure, failed)) return hint;
    }
    return hint;
  }
  const std::deque<ClauseText>& texts() const { return texts_; }

 private:
  static ClauseText text_of(const FailedClause& failed) {
    using Kind = FailedClause::Kind;
    const Atom& atom = *failed.atom;
    ClauseText text{&failed, {}, {}, {}, {}, {}, {}, {}};
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
};


// The columns of one entry per row, the first pass's work, with what it counts per slice.
struct RowColumns {
  RowColumns(const SortedEvents& events, const RowSlices& slices, const ElapsedFormat& elapsed)
      : start_row(events, slices.rows()), event_row(events, slices.rows()),
        candidate_row(events, slices.rows()), blocking_row(events, slices.rows()),
        reached("l", 8, slices.rows()), gap(elapsed.format, 8, slices.rows()),
        max_elapsed(elapsed.format, 8, slices.rows()), failed(slices.rows()),
        has_candidate(slices.rows()), blocked(slices.rows()), satisfies(slices.rows()),
        late(slices.rows()),
        items(slices.size() + 1, 0), failures(slices.size() + 1, 0), clauses(slices.size()) {
    partition.resize(slices.rows());
    next_type.resize(slices.rows());
    reason.resize(slices.rows());
    blocking.resize(slices.rows());
  }

  RowRefs start_row, event_row, candidate_row, blocking_row;
  FixedWriter reached, gap, max_elapsed;
  SlicedBitmap failed, has_candidate, blocked, satisfies, late;
  // By number: the partition, the next step, the reason; the blocking event (kNoRow: none).
  FillLaterVector<std::uint32_t> partition, next_type, reason;
  FillLaterVector<std::size_t> blocking;
  // Per slice, after a leading 0: the path entries and failed clauses of its rows, and one
  // failure of each clause its rows fail.
  std::vector<std::size_t> items, failures;
  std::vector<std::vector<const FailedClause*>> clauses;
};

// Keeps one failure of each clause in `met`: few, since they are the pattern's own, and mostly
// the one met last.
void note_clause(std::vector<const FailedClause*>& met, const FailedClause& failed) {
  if (!met.empty() && same_clause(*met.back(), failed)) return;
  for (const FailedClause* c : met) {
    if (same_clause(*c, failed)) return;
  }
  met.push_back(&failed);
}

// The first pass: each row read once, in slices.
void write_rows(const SortedEvents& events, const Rows& rows,
                const RowSlices& slices, std::int64_t scale, RowColumns& out) {
  slices.run([&](std::size_t s, std::size_t begin, std::size_t end) {
    SlicedBitmap::Writer failed(out.failed, begin), has_candidate(out.has_candidate, begin),
        blocked_out(out.blocked, begin), satisfies(out.satisfies, begin), late(out.late, begin);
    std::size_t items = 0, failures = 0;
    std::vector<const FailedClause*>& clauses = out.clauses[s];
    for (std::size_t i = begin; i < end; ++i) {
      const NearMissRows& part = *rows[i].part;
      const std::size_t row = rows[i].row;
      const std::size_t start = part.start(row);
      out.start_row.put(i, start);
      out.partition[i] = events.partition(start);
      const std::size_t reached = part.reached(row);
      out.reached.set<std::int64_t>(i, static_cast<std::int64_t>(reached));
      out.next_type[i] = static_cast<std::uint32_t>(reached);
      items += reached;
      const RowVerdict& v = part.verdict(row);
      out.reason[i] = static_cast<std::uint32_t>(v.reason);
      const bool is_failed = v.reason == Reason::PredicateFailed;
      const bool blocked = v.reason == Reason::AbsenceBlocked;
      const bool is_late = v.reason == Reason::WindowExceeded;
      const bool candidate = blocked || is_late;
      out.event_row.put(i, is_failed ? v.event : kNoRow);
      out.candidate_row.put(i, candidate ? v.event : kNoRow);
      out.blocking_row.put(i, blocked ? v.blocking : kNoRow);
      out.blocking[i] = blocked ? v.blocking : kNoRow;
      failed.push(is_failed);
      has_candidate.push(candidate);
      blocked_out.push(blocked);
      satisfies.push(candidate && v.satisfies);
      late.push(is_late);
      out.gap.set<std::int64_t>(i, is_late ? scaled(v.gap, scale) : 0);
      out.max_elapsed.set<std::int64_t>(i, is_late ? scaled(v.max_elapsed, scale) : 0);
      const std::size_t count = part.failure_count(row);
      const FailedClause* failure = part.failures(row);
      for (std::size_t k = 0; k < count; ++k) note_clause(clauses, failure[k]);
      failures += count;
    }
    out.items[s + 1] = items;
    out.failures[s + 1] = failures;
  });
  for (std::size_t s = 0; s < slices.size(); ++s) {
    out.items[s + 1] += out.items[s];
    out.failures[s + 1] += out.failures[s];
  }
}

// The input rows of every row's path, a list per row.
Column path_column(const SortedEvents& events, const Rows& rows,
                   const RowSlices& slices, const std::vector<std::size_t>& items) {
  std::vector<std::int64_t> offsets(rows.size() + 1);
  RowRefs refs(events, items.back());
  slices.run([&](std::size_t s, std::size_t begin, std::size_t end) {
    std::size_t at = items[s];
    if (begin == 0) offsets[0] = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t* path = rows[i].part->path(rows[i].row);
      const std::size_t count = rows[i].part->reached(rows[i].row);
      for (std::size_t k = 0; k < count; ++k) refs.put(at++, path[k]);
      offsets[i + 1] = static_cast<std::int64_t>(at);
    }
  });
  return arrow::list_column("rows", std::move(offsets), refs.finish("item"));
}

// Values as pattern literals: integers, the common case, formatted in place; a value of another
// kind through value_literal.
Column literals(std::string name, const RowSlices& slices,
                const std::vector<const Value*>& values) {
  return arrow::formatted_strings("u", std::move(name), slices,
                                  [&](std::size_t k, std::string& text) {
    const Value* v = values[k];
    if (!v) return false;
    if (v->kind() == ValueKind::Int) {  // formatted in place: room for any 64-bit integer
      const std::size_t at = text.size();
      text.resize(at + 24);
      const char* end = std::to_chars(text.data() + at, text.data() + text.size(), v->as_int()).ptr;
      text.resize(static_cast<std::size_t>(end - text.data()));
    } else {
      text += value_literal(*v);
    }
    return true;
  });
}

// The failed clauses of every row: null where a row has no failed step (`valid`). Each clause
// is read once, into its clause's number and its two values; each field is then a pass over
// those.
Column failures_column(const Rows& rows, const RowSlices& slices,
                       const RowColumns& counts, Validity valid, std::size_t threads) {
  ClauseTexts clauses;
  for (const std::vector<const FailedClause*>& met : counts.clauses) {
    for (const FailedClause* c : met) clauses.add(*c);
  }
  const std::size_t m = counts.failures.back();
  std::vector<std::int64_t> offsets(rows.size() + 1);
  FillLaterVector<std::uint32_t> which(m);
  std::vector<const Value*> bound(m), actual(m);
  // A capture's event without the attribute captures null.
  const Value null = Value::null();
  slices.run([&](std::size_t s, std::size_t begin, std::size_t end) {
    std::size_t at = counts.failures[s];
    std::uint32_t hint = 0;
    if (begin == 0) offsets[0] = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const NearMissRows& part = *rows[i].part;
      const std::size_t row = rows[i].row;
      const FailedClause* failed = part.failures(row);
      const std::size_t count = part.failure_count(row);
      for (std::size_t k = 0; k < count; ++k, ++at) {
        const FailedClause& c = failed[k];
        which[at] = clauses.find(c, hint);
        const bool has_bound =
            c.kind != FailedClause::Kind::Predicate && c.bound_name != FailedClause::kNoName;
        bound[at] = has_bound ? part.capture(row, c.bound_name) : nullptr;
        actual[at] = c.actual                               ? &*c.actual
                     : c.kind == FailedClause::Kind::Capture ? &null
                                                             : nullptr;
      }
      offsets[i + 1] = static_cast<std::int64_t>(at);
    }
  });
  const RowSlices items(m, threads, tuning::kTableRowsPerSlice);
  const std::deque<ClauseText>& texts_of = clauses.texts();
  std::vector<arrow::ChosenTexts> texts;
  const auto field = [&](const char* name, std::optional<std::string_view> ClauseText::*member) {
    texts.push_back({"u", name, {}});
    for (const ClauseText& clause : texts_of) texts.back().texts.push_back(clause.*member);
  };
  field("type", &ClauseText::type);
  field("attribute", &ClauseText::attribute);
  field("operator", &ClauseText::op);
  field("expected", &ClauseText::expected);
  field("binding", &ClauseText::binding);
  field("name", &ClauseText::name);
  std::vector<Column> chosen = arrow::chosen_string_columns(std::move(texts), which, threads);
  std::vector<Column> fields;
  for (std::size_t f = 0; f < 5; ++f) fields.push_back(std::move(chosen[f]));
  fields.push_back(literals("bound", items, bound));
  fields.push_back(std::move(chosen[5]));
  fields.push_back(literals("actual", items, actual));
  return arrow::list_column(
      "failures", std::move(offsets),
      arrow::struct_column("item", static_cast<std::int64_t>(m), std::move(fields)),
      std::move(valid));
}

// The captures, a field per name, as the table of every near miss would type them: picked rows
// (`only`) keep the kinds of the parts' rows, kept or dropped.
Column captures_column(const std::vector<std::string>& names,
                       const std::vector<explain::NearMissRows>& parts,
                       const Rows& rows, const RowSlices& slices, bool only,
                       std::size_t threads) {
  std::vector<Column> fields;
  std::vector<const Value*> cells(rows.size());
  for (std::size_t name = 0; name < names.size(); ++name) {
    slices.run([&](std::size_t, std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) cells[i] = rows[i].part->capture(rows[i].row, name);
    });
    if (!only) {
      fields.push_back(result_columns::value_column(names[name], cells, threads));
      continue;
    }
    result_columns::ValueKinds kinds{};
    std::vector<const Value*> all;
    for (const NearMissRows& part : parts) {
      all.clear();
      for (std::size_t row = 0; row < part.size(); ++row) all.push_back(part.capture(row, name));
      result_columns::note_kinds(kinds, all);
      for (std::size_t kind = 0; kind < kinds.size(); ++kind) {
        if (part.dropped_kinds(name) >> kind & 1u) kinds[kind] = true;
      }
    }
    fields.push_back(result_columns::value_column(names[name], cells, kinds));
  }
  return arrow::struct_column("captures", static_cast<std::int64_t>(rows.size()),
                              std::move(fields));
}

// The rows of the table: every row of every part in order, or those of `only`.
Rows table_rows(const std::vector<explain::NearMissRows>& parts, const std::vector<RowAt>* only,
                std::size_t threads) {
  Rows rows;
  if (only) {
    rows.reserve(only->size());
    for (const RowAt& at : *only) rows.push_back({&parts[at.part], at.row});
    return rows;
  }
  const std::vector<std::size_t> firsts = explain::first_rows_of_parts(parts);
  rows.resize(firsts.back());
  for_slices(rows.size(), threads, tuning::kTableRowsPerSlice,
             [&](std::size_t begin, std::size_t end) {
    // The part that holds row `begin`: the last one that starts at or before it.
    std::size_t p = static_cast<std::size_t>(
        std::upper_bound(firsts.begin(), firsts.end(), begin) - firsts.begin() - 1);
    for (std::size_t i = begin; i < end; ++i) {
      while (i == firsts[p + 1]) ++p;
      rows[i] = {&parts[p], i - firsts[p]};
    }
  });
  return rows;
}

}  // namespace

arrow::Table near_miss_rows_table(const Pattern& pattern, const SortedEvents& events,
                                  const std::vector<std::string>& names,
                                  const std::vector<explain::NearMissRows>& parts,
                                  const std::vector<RowAt>* only, std::size_t threads) {
  const Rows rows = table_rows(parts, only, threads);
  const std::size_t n = rows.size();
  const RowSlices slices(n, threads, tuning::kTableRowsPerSlice);
  const ElapsedFormat elapsed = elapsed_format(events.ts_format());
  RowColumns row_columns(events, slices, elapsed);
  write_rows(events, rows, slices, elapsed.scale, row_columns);
  RowColumns& c = row_columns;
  std::vector<Column> columns;
  columns.push_back(c.start_row.finish("start_row"));
  columns.push_back(result_columns::partition_column(events, c.partition, threads));
  columns.push_back(c.reached.finish("reached_steps"));
  columns.push_back(path_column(events, rows, slices, c.items));
  // The next step's type and the reason: a few texts, chosen by number.
  std::vector<std::optional<std::string_view>> step_types(pattern.steps.size());
  for (std::size_t k = 0; k < step_types.size(); ++k) {
    step_types[k] = pattern.steps[k].atom.event_type;
  }
  columns.push_back(
      arrow::chosen_strings("u", "next_event_type", c.next_type, step_types, threads));
  const std::vector<std::optional<std::string_view>> reasons(std::begin(kReasonNames),
                                                             std::end(kReasonNames));
  columns.push_back(arrow::chosen_strings("u", "reason", c.reason, reasons, threads));
  // The reason-specific columns, null where a reason has no such field.
  Validity failed = std::move(c.failed).validity();
  Validity has_candidate = std::move(c.has_candidate).validity();
  columns.push_back(c.event_row.finish("event_row", Validity(failed)));
  columns.push_back(c.candidate_row.finish("candidate_row", Validity(has_candidate)));
  columns.push_back(c.blocking_row.finish("blocking_row", std::move(c.blocked).validity()));
  const EventView view = events.view();
  columns.push_back(arrow::formatted_strings(
      "u", "blocking_event_type", slices, [&](std::size_t i, std::string& text) {
        if (c.blocking[i] == kNoRow) return false;
        text.append(view[c.blocking[i]].typ);
        return true;
      }));
  columns.push_back(arrow::bool_column("candidate_satisfies", static_cast<std::int64_t>(n),
                                       std::move(c.satisfies).bits(), std::move(has_candidate)));
  Validity late = std::move(c.late).validity();
  columns.push_back(c.gap.finish("gap", Validity(late)));
  columns.push_back(c.max_elapsed.finish("max_elapsed", std::move(late)));
  columns.push_back(failures_column(rows, slices, row_columns, std::move(failed), threads));
  columns.push_back(captures_column(names, parts, rows, slices, only != nullptr, threads));
  return result_columns::table_of(std::move(columns), n);
}

}  // namespace vashlet
