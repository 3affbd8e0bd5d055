#include "table_events.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "event_order.hpp"

namespace vashlet {

using arrow::ColumnKind;
using arrow::ColumnReader;
using arrow::fail;
using arrow::FailureKind;
using arrow::InputFailure;

// Builds the result of the readers below; a friend of SortedEvents.
class SortedEventsBuilder {
 public:
  static SortedEvents& access(SortedEvents& events) { return events; }
  static std::vector<Event>& owned(SortedEvents& e) { return e.owned_; }
  static std::vector<const Event*>& order(SortedEvents& e) { return e.order_; }
  static std::vector<std::uint64_t>& rows(SortedEvents& e) { return e.rows_; }
  static std::vector<std::uint32_t>& partitions(SortedEvents& e) { return e.partitions_; }
  static PartitionValues& values(SortedEvents& e) { return e.values_; }
  static KeyValues& ids(SortedEvents& e) { return e.ids_; }
  static std::string& ts_format(SortedEvents& e) { return e.ts_format_; }
};

namespace {

using Build = SortedEventsBuilder;

// The attribute names that any atom of the pattern reads, byte-wise sorted, without repeats.
std::vector<std::string> attributes_read(const Pattern& pattern) {
  std::vector<std::string> names;
  const auto add_atom = [&](const Atom& atom) {
    for (const Predicate& p : atom.predicates) names.push_back(p.attribute);
    for (const ReferencePredicate& r : atom.reference_predicates) names.push_back(r.attribute);
    for (const Capture& c : atom.captures) names.push_back(c.attribute);
  };
  for (const Step& step : pattern.steps) {
    add_atom(step.atom);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) add_atom(atom);
    }
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return compare_bytes(a, b) < 0; });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

// The event types that any atom names, each with its number.
std::vector<std::string> types_named(const Pattern& pattern) {
  std::vector<std::string> types;
  const auto add = [&](const std::string& type) {
    if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
  };
  for (const Step& step : pattern.steps) {
    add(step.atom.event_type);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) add(atom.event_type);
    }
  }
  return types;
}

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

bool is_string_kind(ColumnKind kind) { return kind == ColumnKind::String; }

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

// Reads batches into events, then sorts them.
class TableReader {
 public:
  TableReader(const ArrowSchema& schema, const EventColumns& columns, const Pattern& pattern)
      : columns_(columns), types_(types_named(pattern)) {
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
      const ArrowSchema& id_schema = *schema.children[id_];
      const ArrowSchema& id_values = id_schema.dictionary ? *id_schema.dictionary : id_schema;
      id_values_.format = *schema_kind(id_schema) == ColumnKind::UInt ? "l" : id_values.format;
    }

    const ArrowSchema& partition_schema = *schema.children[partition_];
    const ArrowSchema& partition_values =
        partition_schema.dictionary ? *partition_schema.dictionary : partition_schema;
    Build::values(result_).format = partition_values.format;
    if (*schema_kind(partition_schema) == ColumnKind::UInt) Build::values(result_).format = "l";
    Build::ts_format(result_) = schema.children[ts_]->format;
    if (*schema_kind(*schema.children[ts_]) == ColumnKind::UInt) Build::ts_format(result_) = "l";

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
      attributes_.push_back({std::move(name), at});
    }
  }

  void read(const ArrowSchema& schema, const ArrowArray& batch) {
    if (batch.n_children != column_count_ || (batch.n_children > 0 && !batch.children) ||
        batch.length < 0 || batch.offset < 0) {
      fail(FailureKind::Value, "data has a batch that does not match its schema");
    }
    const std::int64_t length = batch.length;
    const auto reader = [&](std::int64_t column, const std::string& name) {
      ColumnReader column_reader(name, *schema.children[column], *batch.children[column],
                                 batch.offset);
      column_reader.set_first_row(first_row_);
      if (column_reader.length() < length) {
        fail(FailureKind::Value, "column '" + name + "' is shorter than its batch");
      }
      return column_reader;
    };
    const ColumnReader partition = reader(partition_, columns_.partition);
    const ColumnReader ts = reader(ts_, columns_.ts);
    const ColumnReader type = reader(type_, columns_.type);
    for (const ColumnReader* key : {&partition, &ts, &type}) {
      refuse_nulls(*key, length, "every event needs a partition, a timestamp and a type");
    }
    std::optional<ColumnReader> id;
    if (id_ >= 0) {
      id.emplace(reader(id_, *columns_.id));
      refuse_nulls(*id, length, "the id column must name every row");
    }
    std::vector<ColumnReader> attributes;
    attributes.reserve(attributes_.size());
    for (const Attribute& attribute : attributes_) {
      attributes.push_back(reader(attribute.column, attribute.name));
    }

    std::vector<std::int32_t> dictionary_types;  // type number per dictionary entry
    if (type.is_dictionary()) {
      const ColumnReader& dictionary = type.dictionary();
      dictionary_types.resize(static_cast<std::size_t>(dictionary.length()));
      for (std::int64_t i = 0; i < dictionary.length(); ++i) {
        dictionary_types[i] = dictionary.is_null(i) ? -1 : type_number(dictionary.string_at(i));
      }
    }
    dictionary_partitions_.assign(
        partition.is_dictionary() ? static_cast<std::size_t>(partition.dictionary().length()) : 0,
        kUnknown);

    std::vector<Event>& events = Build::owned(result_);
    for (std::int64_t row = 0; row < length; ++row) {
      const std::int32_t type_number_of_row =
          type.is_dictionary() ? dictionary_types[type.dictionary_index(row)]
                               : this->type_number(type.string_at(row));
      if (type_number_of_row < 0) continue;
      Event& event = events.emplace_back();
      event.typ = types_[type_number_of_row];
      event.ts = ts_value(ts, row);
      partition_of_.push_back(partition_number(partition, row));
      rows_.push_back(first_row_ + static_cast<std::uint64_t>(row));
      if (id) {
        if (id_values_.holds_strings()) {
          id_values_.strings.emplace_back(id->string_at(row));
        } else {
          id_values_.ints.push_back(id->kind() == ColumnKind::UInt ? id->value_at(row).as_int()
                                                                   : id->int_at(row));
        }
      }
      if (!attributes.empty()) event.attrs.reserve(attributes.size());
      for (std::size_t a = 0; a < attributes.size(); ++a) {
        Value value = attributes[a].value_at(row);
        if (value.kind() != ValueKind::Null) event.attrs.set(attributes_[a].name, std::move(value));
      }
    }
    first_row_ += static_cast<std::uint64_t>(length);
  }

  // Sorts by (partition, timestamp, input row) and hands the events over.
  SortedEvents finish() {
    PartitionValues& values = Build::values(result_);
    // Rank the partitions in their own order: strings byte-wise, integers by value.
    const std::size_t count = values.size();
    std::vector<std::uint32_t> by_rank(count);
    for (std::uint32_t i = 0; i < count; ++i) by_rank[i] = i;
    if (values.holds_strings()) {
      std::sort(by_rank.begin(), by_rank.end(), [&](std::uint32_t a, std::uint32_t b) {
        return compare_bytes(values.strings[a], values.strings[b]) < 0;
      });
    } else {
      std::sort(by_rank.begin(), by_rank.end(),
                [&](std::uint32_t a, std::uint32_t b) { return values.ints[a] < values.ints[b]; });
    }
    std::vector<std::uint32_t> rank(count);
    for (std::uint32_t r = 0; r < count; ++r) rank[by_rank[r]] = r;

    std::vector<Event>& events = Build::owned(result_);
    struct Key {
      std::uint32_t rank;
      std::int64_t ts;
      std::size_t position;  // input order among the events, so unique
    };
    std::vector<Key> keys(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      const std::uint32_t r = rank[partition_of_[i]];
      // The partition as events carry it: the rank, big-endian, so byte order is rank order.
      char bytes[4] = {static_cast<char>(r >> 24), static_cast<char>(r >> 16),
                       static_cast<char>(r >> 8), static_cast<char>(r)};
      events[i].partition.assign(bytes, sizeof bytes);
      keys[i] = {r, events[i].ts, i};
    }
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
      if (a.rank != b.rank) return a.rank < b.rank;
      if (a.ts != b.ts) return a.ts < b.ts;
      return a.position < b.position;
    });
    std::vector<const Event*>& order = Build::order(result_);
    std::vector<std::uint64_t>& rows = Build::rows(result_);
    std::vector<std::uint32_t>& partitions = Build::partitions(result_);
    order.reserve(keys.size());
    rows.reserve(keys.size());
    partitions.reserve(keys.size());
    for (const Key& key : keys) {
      order.push_back(&events[key.position]);
      rows.push_back(rows_[key.position]);
      partitions.push_back(partition_of_[key.position]);
    }
    if (id_ >= 0) {
      KeyValues& ids = Build::ids(result_);
      ids.format = id_values_.format;
      if (id_values_.holds_strings()) {
        ids.strings.reserve(keys.size());
        for (const Key& key : keys) ids.strings.push_back(std::move(id_values_.strings[key.position]));
      } else {
        ids.ints.reserve(keys.size());
        for (const Key& key : keys) ids.ints.push_back(id_values_.ints[key.position]);
      }
    }
    return std::move(result_);
  }

 private:
  struct Attribute {
    std::string name;
    std::int64_t column;
  };
  static constexpr std::uint32_t kUnknown = static_cast<std::uint32_t>(-1);

  std::int64_t find_column(const ArrowSchema& schema, const char* role, const std::string& name) {
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

  void check_key_column(const ArrowSchema& schema, std::int64_t at, const std::string& name,
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

  void refuse_nulls(const ColumnReader& column, std::int64_t length, const char* why) const {
    if (!column.has_nulls() && column.kind() != ColumnKind::Null) return;
    for (std::int64_t row = 0; row < length; ++row) {
      if (column.is_null(row)) {
        fail(FailureKind::Value, "column '" + column.name() + "' is null at row " +
                                     std::to_string(first_row_ + static_cast<std::uint64_t>(row)) +
                                     "; " + why);
      }
    }
  }

  std::int32_t type_number(std::string_view type) const {
    for (std::size_t i = 0; i < types_.size(); ++i) {
      if (types_[i].size() == type.size() && std::string_view(types_[i]) == type) {
        return static_cast<std::int32_t>(i);
      }
    }
    return -1;
  }

  std::int64_t ts_value(const ColumnReader& ts, std::int64_t row) const {
    if (ts.kind() == ColumnKind::UInt) return ts.value_at(row).as_int();  // checks the range
    return ts.int_at(row);
  }

  std::uint32_t partition_number(const ColumnReader& partition, std::int64_t row) {
    if (partition.is_dictionary()) {
      const std::int64_t index = partition.dictionary_index(row);
      std::uint32_t& known = dictionary_partitions_[static_cast<std::size_t>(index)];
      if (known == kUnknown) known = value_number(partition.dictionary(), index);
      return known;
    }
    return value_number(partition, row);
  }

  std::uint32_t value_number(const ColumnReader& column, std::int64_t row) {
    PartitionValues& values = Build::values(result_);
    if (is_string_kind(column.kind())) {
      const std::string_view text = column.string_at(row);
      if (last_string_ && text == *last_string_) return last_number_;
      auto found = string_numbers_.find(text);
      if (found == string_numbers_.end()) {
        values.strings.emplace_back(text);
        found = string_numbers_.emplace(std::string(text), values.strings.size() - 1).first;
      }
      last_string_ = &found->first;
      return last_number_ = found->second;
    }
    const std::int64_t number =
        column.kind() == ColumnKind::UInt ? column.value_at(row).as_int() : column.int_at(row);
    if (last_string_ == nullptr && has_last_int_ && number == last_int_) return last_number_;
    auto found = int_numbers_.find(number);
    if (found == int_numbers_.end()) {
      values.ints.push_back(number);
      found = int_numbers_.emplace(number, values.ints.size() - 1).first;
    }
    has_last_int_ = true;
    last_int_ = number;
    return last_number_ = found->second;
  }

  EventColumns columns_;
  std::vector<std::string> types_;
  std::vector<Attribute> attributes_;
  std::int64_t column_count_ = 0;
  std::int64_t partition_ = -1, ts_ = -1, type_ = -1, id_ = -1;
  KeyValues id_values_;  // by event, in input order
  std::uint64_t first_row_ = 0;

  SortedEvents result_;
  std::vector<std::uint32_t> partition_of_;  // by event, in input order
  std::vector<std::uint64_t> rows_;          // by event, in input order
  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> string_numbers_;
  std::unordered_map<std::int64_t, std::uint32_t> int_numbers_;
  std::vector<std::uint32_t> dictionary_partitions_;
  const std::string* last_string_ = nullptr;
  bool has_last_int_ = false;
  std::int64_t last_int_ = 0;
  std::uint32_t last_number_ = 0;
};

InputFailure producer_failure(const char* what, int code, const char* message) {
  std::string text = std::string("the data's producer failed while ") + what;
  if (message && *message) text += ": " + std::string(message);
  else text += " (error code " + std::to_string(code) + ")";
  return InputFailure{code == ENOMEM ? FailureKind::Memory : FailureKind::Producer, text, code};
}

template <class Body>
Checked<SortedEvents> guarded_read(Body&& body) {
  try {
    return body();
  } catch (InputFailure& failure) {
    return std::move(failure);
  } catch (const std::bad_alloc&) {
    return InputFailure{FailureKind::Memory, "out of memory while reading the data", ENOMEM};
  }
}

}  // namespace

Checked<SortedEvents> events_from_stream(ArrowArrayStream* raw, const EventColumns& columns,
                                         const Pattern& pattern) {
  arrow::OwnedStream stream(raw);
  return guarded_read([&]() -> Checked<SortedEvents> {
    arrow::OwnedSchema schema;
    if (const int code = stream->get_schema(&*stream, schema.out()); code != 0) {
      return producer_failure("giving its schema", code, stream->get_last_error(&*stream));
    }
    TableReader reader(*schema, columns, pattern);
    while (true) {
      arrow::OwnedArray batch;
      if (const int code = stream->get_next(&*stream, batch.out()); code != 0) {
        return producer_failure("giving a batch", code, stream->get_last_error(&*stream));
      }
      if (batch.empty()) break;  // the end of the stream
      reader.read(*schema, *batch);
    }
    return reader.finish();
  });
}

Checked<SortedEvents> events_from_batch(ArrowSchema* raw_schema, ArrowArray* raw_batch,
                                        const EventColumns& columns, const Pattern& pattern) {
  arrow::OwnedSchema schema(raw_schema);
  arrow::OwnedArray batch(raw_batch);
  return guarded_read([&]() -> Checked<SortedEvents> {
    TableReader reader(*schema, columns, pattern);
    reader.read(*schema, *batch);
    return reader.finish();
  });
}

SortedEvents events_from_list(const EventView& events) {
  SortedEvents result;
  const std::vector<std::size_t> order = event_order(events);
  std::vector<const Event*>& pointers = Build::order(result);
  std::vector<std::uint64_t>& rows = Build::rows(result);
  std::vector<std::uint32_t>& partitions = Build::partitions(result);
  PartitionValues& values = Build::values(result);
  values.format = "u";
  pointers.reserve(order.size());
  rows.reserve(order.size());
  partitions.reserve(order.size());
  for (const std::size_t position : order) {
    const Event& event = events[position];
    if (values.strings.empty() || values.strings.back() != event.partition) {
      values.strings.push_back(event.partition);
    }
    pointers.push_back(&event);
    rows.push_back(position);
    partitions.push_back(static_cast<std::uint32_t>(values.strings.size() - 1));
  }
  return result;
}

}  // namespace vashlet
