// The near-miss table: one row per near miss with the columns of its reason (the failed
// clauses, the blocking event, the window exceeded), written here from NearMiss records; a chain
// pattern's flat rows go to near_miss_rows_table.cpp.
#include "arrow/near_miss_columns.hpp"

#include <algorithm>
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

ElapsedFormat elapsed_format(std::string_view ts) {
  if (ts == "tdD") return {"tDs", 86400};
  if (ts == "tdm") return {"tDm", 1};
  const std::string_view kind = ts.substr(0, 2);
  if (ts.size() >= 3 && (kind == "ts" || kind == "tt" || kind == "tD")) {
    return {std::string("tD") + ts[2], 1};
  }
  return {};
}

std::int64_t scaled(std::int64_t ticks, std::int64_t scale) {
  std::int64_t out;
  if (!__builtin_mul_overflow(ticks, scale, &out)) return out;
  return ticks < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

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

}  // namespace

arrow::Table near_miss_table(const Pattern& pattern, const SortedEvents& events,
                             const TableRun& run) {
  if (!uses_elements(pattern)) {
    const std::vector<std::string> names = explain::capture_names(pattern);
    return near_miss_rows_table(pattern, events, names,
                                explain::near_miss_rows(events.view(), pattern, names, run.threads),
                                nullptr, run.threads);
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
