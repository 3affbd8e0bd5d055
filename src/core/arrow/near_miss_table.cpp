// The near-miss table: one row per near miss with the columns of its reason (the failed
// clauses, the blocking event, the window exceeded).
#include "arrow/near_miss_columns.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "arrow/result_columns.hpp"
#include "explain/explain.hpp"
#include "explain/near_miss_rows.hpp"
#include "json/json.hpp"
#include "match/element_walk.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"

namespace vashlet {

using result_columns::BoolBuilder;
using result_columns::Column;
using result_columns::FixedBuilder;
using result_columns::StringBuilder;
using result_columns::binding_names;
using result_columns::captures_column;
using result_columns::KeyColumn;
using result_columns::RowColumn;
using result_columns::RowListColumn;
using result_columns::table_of;

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

  // The failed clauses of the rows that each(visit) visits (visit(rows, row) in turn), null
  // where a row has no failed step. Written a field at a time: each pass stays in one builder.
  template <class Each>
  void append_all(const Each& each) {
    using explain::FailedClause;
    std::size_t rows_total = 0;
    each([&](const explain::NearMissRows&, std::size_t) { ++rows_total; });
    offsets_.reserve(offsets_.size() + rows_total);
    each([&](const explain::NearMissRows& rows, std::size_t row) {
      const std::size_t count = rows.failure_count(row);
      if (rows.verdict(row).reason != explain::Reason::PredicateFailed) {
        validity_.append(false);
      } else {
        validity_.append(true);
      }
      offsets_.push_back(offsets_.back() + static_cast<std::int64_t>(count));
    });
    // The clauses in table order, each with its bound value: the passes below walk this list.
    struct ClauseAt {
      const FailedClause* clause;
      const Value* bound;
    };
    std::vector<ClauseAt> found;
    found.reserve(static_cast<std::size_t>(offsets_.back()));
    each([&](const explain::NearMissRows& rows, std::size_t row) {
      const FailedClause* clause = rows.failures(row);
      for (std::size_t k = rows.failure_count(row); k > 0; --k, ++clause) {
        const bool bound = clause->kind != FailedClause::Kind::Predicate &&
                           clause->bound_name != FailedClause::kNoName;
        found.push_back({clause, bound ? rows.capture(row, clause->bound_name) : nullptr});
      }
    });
    const auto clauses = [&](const auto& visit) {
      for (const ClauseAt& at : found) visit(at.bound, *at.clause);
    };
    // Every field has a string or a null per clause: room for them all up front. The bytes are
    // a guess where a clause's text varies; the builders grow past it as they must.
    const std::size_t n = found.size();
    for (StringBuilder* field : {&attribute_, &expected_, &binding_, &bound_, &name_, &actual_}) {
      field->reserve(n, n * 4);
    }
    type_.reserve(n, n * std::string_view("reference").size());
    operator_.reserve(n, n * 2);
    using Kind = FailedClause::Kind;
    clauses([&](const Value*, const FailedClause& clause) {
      type_.append(clause.kind == Kind::Predicate   ? "predicate"
                   : clause.kind == Kind::Reference ? "reference"
                                                    : "capture");
    });
    clauses([&](const Value*, const FailedClause& clause) {
      attribute_.append(clause.kind == Kind::Predicate
                            ? clause.atom->predicates[clause.clause].attribute
                        : clause.kind == Kind::Reference
                            ? clause.atom->reference_predicates[clause.clause].attribute
                            : clause.atom->captures[clause.clause].attribute);
    });
    clauses([&](const Value*, const FailedClause& clause) {
      if (clause.kind == Kind::Predicate) {
        operator_.append(operator_symbol(clause.atom->predicates[clause.clause].op));
      } else if (clause.kind == Kind::Reference) {
        operator_.append(operator_symbol(clause.atom->reference_predicates[clause.clause].op));
      } else {
        operator_.append_null();
      }
    });
    clauses([&](const Value*, const FailedClause& clause) {
      expected(clause.kind == Kind::Predicate ? &clause.atom->predicates[clause.clause].value
                                              : nullptr);
    });
    clauses([&](const Value*, const FailedClause& clause) {
      text(binding_, clause.kind == Kind::Reference
                         ? &clause.atom->reference_predicates[clause.clause].binding
                         : nullptr);
    });
    clauses([&](const Value* bound, const FailedClause&) { literal(bound_, bound); });
    clauses([&](const Value*, const FailedClause& clause) {
      text(name_, clause.kind == Kind::Capture ? &clause.atom->captures[clause.clause].name
                                               : nullptr);
    });
    const Value null = Value::null();
    clauses([&](const Value*, const FailedClause& clause) {
      const Value* actual = clause.actual ? &*clause.actual : nullptr;
      literal(actual_, clause.kind == Kind::Capture && !actual ? &null : actual);
    });
  }

  void append_null() {
    validity_.append(false);
    offsets_.push_back(offsets_.back());
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
  // Integers, the common case, are written without a string of their own.
  static void literal(StringBuilder& out, const Value* value) {
    if (!value) {
      out.append_null();
    } else if (value->kind() == ValueKind::Int) {
      char digits[24];
      const auto written = std::to_chars(std::begin(digits), std::end(digits), value->as_int());
      out.append(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
    } else {
      out.append(value_literal(*value));
    }
  }

  // A predicate's literal is the same on every near miss: written once.
  void expected(const Value* value) {
    if (!value) {
      expected_.append_null();
      return;
    }
    if (value != last_expected_) {
      last_expected_ = value;
      last_expected_text_ = value_literal(*value);
    }
    expected_.append(last_expected_text_);
  }
  static void text(StringBuilder& out, const std::string* value) {
    value ? out.append(*value) : out.append_null();
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
  const Value* last_expected_ = nullptr;
  std::string last_expected_text_;
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

  // `late_fits`: for a window_exceeded detail, whether its late candidate satisfies the step.
  void append(const NearMissDetail& detail, bool late_fits) {
    const PredicateFailed* failed = std::get_if<PredicateFailed>(&detail);
    const AbsenceBlocked* blocked = std::get_if<AbsenceBlocked>(&detail);
    const WindowExceeded* late = std::get_if<WindowExceeded>(&detail);
    event_row_.append(failed ? std::optional(failed->event_index) : std::nullopt);
    candidate_row_.append(blocked ? std::optional(blocked->candidate_index)
                          : late  ? std::optional(late->candidate_index)
                                  : std::nullopt);
    blocking_row_.append(blocked ? std::optional(blocked->blocking_index) : std::nullopt);
    blocked ? blocking_type_.append(blocked->blocking_event_type) : blocking_type_.append_null();
    blocked ? satisfies_.append(blocked->candidate_satisfies)
    : late  ? satisfies_.append(late_fits)
            : satisfies_.append_null();
    late ? gap_.append(scaled(late->gap, elapsed_.scale)) : gap_.append_null();
    late ? max_elapsed_.append(scaled(late->max_elapsed, elapsed_.scale))
         : max_elapsed_.append_null();
    failures_.append(failed ? &failed->failures : nullptr);
  }

  // The details of the rows that each(visit) visits, a column at a time.
  template <class Each>
  void append_all(const SortedEvents& events, const Each& each) {
    using explain::Reason;
    using explain::RowVerdict;
    const auto verdicts = [&](const auto& visit) {
      each([&](const explain::NearMissRows& rows, std::size_t row) { visit(rows.verdict(row)); });
    };
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::PredicateFailed ? event_row_.append(v.event)
                                          : event_row_.append(std::nullopt);
    });
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::AbsenceBlocked || v.reason == Reason::WindowExceeded
          ? candidate_row_.append(v.event)
          : candidate_row_.append(std::nullopt);
    });
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::AbsenceBlocked ? blocking_row_.append(v.blocking)
                                         : blocking_row_.append(std::nullopt);
    });
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::AbsenceBlocked ? blocking_type_.append(events[v.blocking].typ)
                                         : blocking_type_.append_null();
    });
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::AbsenceBlocked || v.reason == Reason::WindowExceeded
          ? satisfies_.append(v.satisfies)
          : satisfies_.append_null();
    });
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::WindowExceeded ? gap_.append(scaled(v.gap, elapsed_.scale))
                                         : gap_.append_null();
    });
    verdicts([&](const RowVerdict& v) {
      v.reason == Reason::WindowExceeded ? max_elapsed_.append(scaled(v.max_elapsed, elapsed_.scale))
                                         : max_elapsed_.append_null();
    });
    failures_.append_all(each);
  }

  void reserve(std::size_t rows) {
    for (RowColumn* column : {&event_row_, &candidate_row_, &blocking_row_}) column->reserve(rows);
    blocking_type_.reserve(rows, 0);
    satisfies_.reserve(rows);
    gap_.reserve(rows);
    max_elapsed_.reserve(rows);
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

namespace {

// Whether the late candidate of a window_exceeded near miss satisfies the step it missed, under
// the bindings of its path: a fitting event that came too late, or none that fits in time.
bool late_candidate_fits(const Pattern& pattern, const SortedEvents& events, const NearMiss& miss) {
  const WindowExceeded* late = std::get_if<WindowExceeded>(&miss.detail);
  if (!late || miss.element >= pattern.steps.size()) return false;
  const Step& step = pattern.steps[miss.element];
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    if (step.branch(k).accepts(events[late->candidate_index], miss.captures)) return true;
  }
  return false;
}

// The columns only language patterns' tables have: the element a near miss stopped at, the
// element of each of its rows, and the count reached and needed of a too_few one.
class ElementColumns {
 public:
  void append(const NearMiss& miss) {
    element_.append(static_cast<std::int64_t>(miss.element));
    for (const std::uint32_t element : miss.elements) {
      items_.append(static_cast<std::int32_t>(element));
    }
    offsets_.push_back(offsets_.back() + static_cast<std::int64_t>(miss.elements.size()));
    const TooFew* few = std::get_if<TooFew>(&miss.detail);
    few ? count_.append(static_cast<std::int64_t>(few->count)) : count_.append_null();
    few ? needed_.append(static_cast<std::int64_t>(few->needed)) : needed_.append_null();
  }
  Column element() { return element_.finish("element"); }
  Column elements() {
    return arrow::list_column("elements", std::move(offsets_), items_.finish("item"));
  }
  void finish_counts(std::vector<Column>& columns) {
    columns.push_back(count_.finish("count"));
    columns.push_back(needed_.finish("needed"));
  }

 private:
  FixedBuilder element_{"l", 8}, count_{"l", 8}, needed_{"l", 8}, items_{"i", 4};
  std::vector<std::int64_t> offsets_{0};
};

}  // namespace

namespace {

// The columns every near-miss table has, from its start row to its reason's detail, set up
// alike for both writers; a language pattern's element columns go between them.
struct LeadColumns {
  explicit LeadColumns(const SortedEvents& events)
      : start_rows(events), partitions(events.partition_values()), rows(events), details(events) {}

  std::vector<Column> finish(ElementColumns* elements) {
    std::vector<Column> columns;
    columns.push_back(start_rows.finish("start_row"));
    columns.push_back(partitions.finish("partition"));
    columns.push_back(reached.finish("reached_steps"));
    if (elements) columns.push_back(elements->element());
    columns.push_back(rows.finish("rows"));
    if (elements) columns.push_back(elements->elements());
    columns.push_back(next_types.finish("next_event_type"));
    columns.push_back(reasons.finish("reason"));
    details.finish(columns);
    if (elements) elements->finish_counts(columns);
    return columns;
  }

  RowColumn start_rows;
  KeyColumn partitions;
  FixedBuilder reached{"l", 8};
  RowListColumn rows;
  StringBuilder next_types;
  StringBuilder reasons;
  DetailColumns details;
};

constexpr std::string_view kReasonNames[] = {"predicate_failed", "absence_blocked",
                                             "window_exceeded", "no_successor"};

}  // namespace

arrow::Table near_miss_rows_table(const Pattern& pattern, const SortedEvents& events,
                                  const std::vector<std::string>& names,
                                  const std::vector<explain::NearMissRows>& parts,
                                  const std::vector<RowAt>* only) {
  std::size_t total = 0;
  if (only) {
    total = only->size();
  } else {
    for (const explain::NearMissRows& part : parts) total += part.size();
  }
  // Calls visit(part, row) for every row written, in table order.
  const auto each = [&](const auto& visit) {
    if (only) {
      for (const RowAt& at : *only) visit(parts[at.part], at.row);
    } else {
      for (const explain::NearMissRows& part : parts) {
        for (std::size_t row = 0; row < part.size(); ++row) visit(part, row);
      }
    }
  };
  using Rows = explain::NearMissRows;
  // A column at a time: each pass keeps one builder at hand.
  LeadColumns lead(events);
  std::size_t longest_type = 0;
  for (const Step& step : pattern.steps) {
    longest_type = std::max(longest_type, step.atom.event_type.size());
  }
  lead.next_types.reserve(total, total * longest_type);
  lead.reasons.reserve(total, total * kReasonNames[0].size());
  lead.details.reserve(total);
  lead.start_rows.reserve(total);
  lead.reached.reserve(total);
  each([&](const Rows& part, std::size_t row) { lead.start_rows.append(part.start(row)); });
  each([&](const Rows& part, std::size_t row) {
    lead.partitions.append(events.partition(part.start(row)));
  });
  each([&](const Rows& part, std::size_t row) {
    lead.reached.append(static_cast<std::int64_t>(part.reached(row)));
  });
  each([&](const Rows& part, std::size_t row) { lead.rows.append(part.path(row), part.reached(row)); });
  each([&](const Rows& part, std::size_t row) {
    lead.next_types.append(pattern.steps[part.reached(row)].atom.event_type);
  });
  each([&](const Rows& part, std::size_t row) {
    lead.reasons.append(kReasonNames[static_cast<std::size_t>(part.verdict(row).reason)]);
  });
  lead.details.append_all(events, each);
  std::vector<Column> columns = lead.finish(nullptr);
  std::vector<std::vector<const Value*>> captures(names.size());
  for (std::size_t name = 0; name < names.size(); ++name) {
    captures[name].reserve(total);
    each([&](const Rows& part, std::size_t row) { captures[name].push_back(part.capture(row, name)); });
  }
  // Picked rows keep the kinds their captures have in the table of every near miss.
  std::vector<result_columns::ValueKinds> kinds(names.size(), result_columns::ValueKinds{});
  if (only) {
    // The parts hold the rows they kept and noted the kinds of the others.
    std::vector<const Value*> cells;
    for (const explain::NearMissRows& part : parts) {
      for (std::size_t name = 0; name < names.size(); ++name) {
        cells.clear();
        for (std::size_t row = 0; row < part.size(); ++row) {
          cells.push_back(part.capture(row, name));
        }
        result_columns::note_kinds(kinds[name], cells);
        for (std::size_t kind = 0; kind < kinds[name].size(); ++kind) {
          if (part.dropped_kinds(name) >> kind & 1u) kinds[name][kind] = true;
        }
      }
    }
  } else {
    for (std::size_t name = 0; name < names.size(); ++name) {
      result_columns::note_kinds(kinds[name], captures[name]);
    }
  }
  std::vector<Column> fields;
  for (std::size_t name = 0; name < names.size(); ++name) {
    fields.push_back(result_columns::value_column(names[name], captures[name], kinds[name]));
  }
  columns.push_back(
      arrow::struct_column("captures", static_cast<std::int64_t>(total), std::move(fields)));
  return table_of(std::move(columns), total);
}

arrow::Table near_miss_table(const Pattern& pattern, const SortedEvents& events,
                             const TableRun& run) {
  if (!uses_elements(pattern)) {
    const std::vector<std::string> names = explain::capture_names(pattern);
    return near_miss_rows_table(pattern, events, names,
                                explain::near_miss_rows(events.view(), pattern, names, run.threads),
                                nullptr);
  }
  return near_miss_table_of(pattern, events, near_misses(events.view(), pattern, run.threads));
}

arrow::Table near_miss_table_of(const Pattern& pattern, const SortedEvents& events,
                                const std::vector<NearMiss>& misses) {
  LeadColumns lead(events);
  std::vector<const Bindings*> captures;
  captures.reserve(misses.size());
  const bool language = uses_elements(pattern);
  ElementColumns elements;
  for (const NearMiss& miss : misses) {
    if (language) elements.append(miss);
    lead.start_rows.append(miss.start_index);
    lead.partitions.append(events.partition(miss.start_index));
    lead.reached.append(static_cast<std::int64_t>(miss.reached_steps));
    lead.rows.append(miss.indices);
    lead.next_types.append(miss.next_event_type);
    lead.reasons.append(near_miss_reason(miss.detail));
    lead.details.append(miss.detail, late_candidate_fits(pattern, events, miss));
    captures.push_back(&miss.captures);
  }
  std::vector<Column> columns = lead.finish(language ? &elements : nullptr);
  columns.push_back(captures_column(binding_names(pattern), captures));
  return table_of(std::move(columns), misses.size());
}

}  // namespace vashlet
