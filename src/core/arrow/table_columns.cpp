// Finding and checking the columns a table reader needs: the partition, timestamp, type and id
// columns by name and kind, the attribute columns the pattern reads (only those), and literals
// that cannot compare with their column's type.
#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "arrow/table_reader.hpp"
#include "plan/literal_checks.hpp"

namespace vashlet::table_reading {
namespace {

using arrow::fail;
using arrow::FailureKind;

bool byte_order(const std::string& a, const std::string& b) { return compare_bytes(a, b) < 0; }


// Calls visit(atom) for every atom of the pattern: each branch of each step, each absence.
template <class Visit>
void for_each_atom(const Pattern& pattern, const Visit& visit) {
  for (const Step& step : pattern.steps) {
    for (std::size_t k = 0; k < step.branch_count(); ++k) visit(step.branch(k));
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) visit(atom);
    }
  }
}

// The attribute names that the atoms of the pattern read (only those of atoms that take events
// of `type`, when given; with `any_only`, of atoms of any type only), byte-wise sorted, without
// repeats.
std::vector<std::string> attributes_read(const Pattern& pattern,
                                         std::optional<std::string_view> type = std::nullopt,
                                         bool any_only = false) {
  std::vector<std::string> names;
  for_each_atom(pattern, [&](const Atom& atom) {
    if ((type || any_only) && !atom.any_type && (any_only || atom.event_type != *type)) return;
    for (const Predicate& p : atom.predicates) names.push_back(p.attribute);
    for (const ReferencePredicate& r : atom.reference_predicates) names.push_back(r.attribute);
    for (const Capture& c : atom.captures) names.push_back(c.attribute);
  });
  std::sort(names.begin(), names.end(), byte_order);
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// The event types that any atom names, each with its number.
std::vector<std::string> types_named(const Pattern& pattern) {
  std::vector<std::string> types;
  const auto add = [&](const std::string& type) {
    if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
  };
  for_each_atom(pattern, [&](const Atom& atom) {
    if (!atom.any_type) add(atom.event_type);
  });
  return types;
}

// Whether the pattern needs every event, whatever its type: an atom of any type takes or forbids
// any, and an anchor is at the partition's first or last event of all.
bool reads_every_type(const Pattern& pattern) {
  bool any = pattern.anchored_start || pattern.anchored_end;
  for_each_atom(pattern, [&](const Atom& atom) { any = any || atom.any_type; });
  return any;
}

// The kind of a column from its schema alone (a dictionary counts as its values).
std::optional<ColumnKind> schema_kind(const ArrowSchema& schema) {
  const ArrowSchema& values = schema.dictionary ? *schema.dictionary : schema;
  const std::string_view format = values.format ? values.format : "";
  if (format == "u" || format == "U" || format == "vu") return ColumnKind::String;
  if (format == "L") return ColumnKind::UInt;
  if (arrow::is_integer_format(format)) return ColumnKind::Int;
  if (format == "f" || format == "g") return ColumnKind::Float;
  if (format == "b") return ColumnKind::Bool;
  if (format == "n") return ColumnKind::Null;
  return std::nullopt;
}

// The format in which results give back a key column's values: its own, a dictionary's value
// format, and int64 for uint64 (whose values are checked to fit).
std::string output_format(const ArrowSchema& column) {
  if (*schema_kind(column) == ColumnKind::UInt) return "l";
  const ArrowSchema& values = column.dictionary ? *column.dictionary : column;
  return values.format;
}

std::string column_list(const ArrowSchema& schema) {
  std::string text;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    if (i > 0) text += ", ";
    text += "'";
    text += schema.children[i]->name ? schema.children[i]->name : "";
    text += "'";
  }
  return text;
}

}  // namespace

TableReader::TableReader(const ArrowSchema& schema, const EventColumns& columns,
                         const Pattern& pattern, std::size_t threads)
    : columns_(columns), threads_(std::max<std::size_t>(threads, 1)),
      types_(types_named(pattern)), every_type_(reads_every_type(pattern)) {
  Build::threads(result_) = threads_;
  type_met_.assign(types_.size(), 0);
  for (const std::string& type : types_) {
    type_keys_.emplace_back(type);
    if (type.size() >= 64) type_lengths_ = ~std::uint64_t{0};
    type_lengths_ |= type.size() < 64 ? std::uint64_t{1} << type.size() : 0;
  }
  if (!schema.format || std::string_view(schema.format) != "+s") {
    fail(FailureKind::Type, "data must be a table of columns (a struct of columns), not " +
                                arrow::describe_format(schema.format ? schema.format : ""));
  }
  if (schema.n_children < 0 || (schema.n_children > 0 && !schema.children)) {
    fail(FailureKind::Value, "data has a malformed schema");
  }
  column_count_ = schema.n_children;
  partition_ = find_column(schema, "partition", columns.partition);
  ts_ = find_column(schema, "ts", columns.ts);
  type_ = find_column(schema, "type", columns.type);
  check_key_column(schema, partition_, columns.partition, "partition",
                   {ColumnKind::String, ColumnKind::Int, ColumnKind::UInt},
                   "a string or integer column");
  check_key_column(schema, ts_, columns.ts, "ts", {ColumnKind::Int, ColumnKind::UInt},
                   "an integer, timestamp, date, time or duration column");
  if (schema.children[ts_]->dictionary) {
    fail(FailureKind::Type, "ts column '" + columns.ts + "' must not be dictionary-encoded");
  }
  check_key_column(schema, type_, columns.type, "type", {ColumnKind::String},
                   "a string column");
  if (columns.id) {
    id_ = find_column(schema, "id", *columns.id);
    check_key_column(schema, id_, *columns.id, "id",
                     {ColumnKind::String, ColumnKind::Int, ColumnKind::UInt},
                     "a string or integer column");
    id_values_.format = output_format(*schema.children[id_]);
  }
  Build::values(result_).format = output_format(*schema.children[partition_]);
  Build::ts_format(result_) = output_format(*schema.children[ts_]);

  for (std::string& name : attributes_read(pattern)) {
    if (name == columns.partition || name == columns.ts || name == columns.type) {
      fail(FailureKind::Value, "the pattern reads the attribute '" + name +
                                   "', but that column holds the events' " +
                                   (name == columns.partition ? "partition"
                                    : name == columns.ts     ? "timestamp"
                                                             : "type") +
                                   ", not an attribute");
    }
    const std::int64_t at = find_column(schema, nullptr, name);
    if (!schema_kind(*schema.children[at])) {
      fail(FailureKind::Type,
           "column '" + name + "' has type " +
               arrow::describe_format(schema.children[at]->format ? schema.children[at]->format
                                                                  : "") +
               ", which events cannot hold (supported: integers, floats, booleans, strings, "
               "timestamps, dates, times and durations)");
    }
    const bool is_string = *schema_kind(*schema.children[at]) == ColumnKind::String;
    attributes_.push_back({std::move(name), at, is_string});
  }
  const auto type_of = [&](const std::string& name) -> std::optional<ColumnType> {
    for (const Attribute& attribute : attributes_) {
      if (attribute.name != name) continue;
      const ArrowSchema& column = *schema.children[attribute.column];
      const ArrowSchema& values = column.dictionary ? *column.dictionary : column;
      return ColumnType{*schema_kind(column),
                        arrow::describe_format(values.format ? values.format : "")};
    }
    return std::nullopt;
  };
  if (const auto mismatch = literal_mismatch(pattern, type_of)) {
    fail(FailureKind::Value, *mismatch);
  }
  // Each event keeps only the attributes that the atoms of its own type read.
  // The last entry: events of the other types, kept where the pattern reads every type.
  attributes_of_type_.resize(types_.size() + 1);
  for (std::size_t t = 0; t <= types_.size(); ++t) {
    const std::vector<std::string> names =
        t < types_.size() ? attributes_read(pattern, types_[t])
                          : attributes_read(pattern, std::nullopt, true);
    for (std::size_t a = 0; a < attributes_.size(); ++a) {
      if (std::binary_search(names.begin(), names.end(), attributes_[a].name, byte_order)) {
        attributes_of_type_[t].push_back(a);
      }
    }
  }
  records_ = RecordBlocks(record_words());
}

std::int64_t TableReader::find_column(const ArrowSchema& schema, const char* role,
                                      const std::string& name) {
  std::int64_t found = -1;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (!child) fail(FailureKind::Value, "data has a malformed schema");
    if (child->name && name == child->name) {
      if (found >= 0) {
        fail(FailureKind::Value, "data has more than one column named '" + name + "'");
      }
      found = i;
    }
  }
  if (found < 0) {
    if (role) {
      fail(FailureKind::Value, std::string(role) + " column '" + name +
                                   "' is not in the data (its columns: " + column_list(schema) +
                                   ")");
    }
    fail(FailureKind::Value, "the pattern reads the attribute '" + name +
                                 "', but the data has no column of that name (its columns: " +
                                 column_list(schema) + ")");
  }
  return found;
}

void TableReader::check_key_column(const ArrowSchema& schema, std::int64_t at, const std::string& name,
                                   const char* role, std::initializer_list<ColumnKind> allowed,
                                   const char* wanted) {
  const std::optional<ColumnKind> kind = schema_kind(*schema.children[at]);
  if (kind && std::find(allowed.begin(), allowed.end(), *kind) != allowed.end()) return;
  const ArrowSchema& child = *schema.children[at];
  std::string type = arrow::describe_format(child.format ? child.format : "");
  if (child.dictionary) {
    type = "dictionary of " +
           arrow::describe_format(child.dictionary->format ? child.dictionary->format : "");
  }
  fail(FailureKind::Type, std::string(role) + " column '" + name + "' must be " + wanted +
                              ", not " + type);
}

}  // namespace vashlet::table_reading
