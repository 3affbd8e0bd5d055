#include "arrow/table_events.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "arrow/event_order.hpp"
#include "arrow/key_numbers.hpp"
#include "plan/literal_checks.hpp"
#include "memory/memory.hpp"
#include "match/partitions.hpp"

namespace vashlet {

using arrow::ColumnKind;
using arrow::ColumnReader;
using arrow::fail;
using arrow::FailureKind;
using arrow::InputFailure;

// Builds the result of the readers below; a friend of SortedEvents.
class SortedEventsBuilder {
 public:
  static std::vector<LargeVector<Event>>& owned(SortedEvents& e) { return e.owned_; }
  static LargeVector<const Event*>& order(SortedEvents& e) { return e.order_; }
  static LargeVector<std::uint64_t>& rows(SortedEvents& e) { return e.rows_; }
  static LargeVector<std::uint32_t>& partitions(SortedEvents& e) { return e.partitions_; }
  static PartitionValues& values(SortedEvents& e) { return e.values_; }
  static KeyValues& ids(SortedEvents& e) { return e.ids_; }
  static std::string& ts_format(SortedEvents& e) { return e.ts_format_; }
  static std::vector<std::string>& absent_types(SortedEvents& e) { return e.absent_types_; }
  static std::size_t& threads(SortedEvents& e) { return e.threads_; }
};

namespace {

using Build = SortedEventsBuilder;

// Rows (or events) per slice of the work shared among the reader's threads, at least.
constexpr std::size_t kRowsPerSlice = std::size_t{1} << 16;

bool byte_order(const std::string& a, const std::string& b) { return compare_bytes(a, b) < 0; }


// The attribute names that the atoms of the pattern read (only those of atoms of `type`, when
// given), byte-wise sorted, without repeats.
std::vector<std::string> attributes_read(const Pattern& pattern,
                                         std::optional<std::string_view> type = std::nullopt) {
  std::vector<std::string> names;
  const auto add_atom = [&](const Atom& atom) {
    if (type && atom.event_type != *type) return;
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
  for (const Step& step : pattern.steps) {
    add(step.atom.event_type);
    if (step.transition_from_previous) {
      for (const Atom& atom : step.transition_from_previous->absence) add(atom.event_type);
    }
  }
  return types;
}

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

// Reads batches into events, then sorts them.
class TableReader {
 public:
  TableReader(const ArrowSchema& schema, const EventColumns& columns, const Pattern& pattern,
              std::size_t threads)
      : columns_(columns), threads_(std::max<std::size_t>(threads, 1)),
        types_(types_named(pattern)) {
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
      attributes_.push_back({std::move(name), at});
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
    attributes_of_type_.resize(types_.size());
    for (std::size_t t = 0; t < types_.size(); ++t) {
      const std::vector<std::string> names = attributes_read(pattern, types_[t]);
      for (std::size_t a = 0; a < attributes_.size(); ++a) {
        if (std::binary_search(names.begin(), names.end(), attributes_[a].name, byte_order)) {
          attributes_of_type_[t].push_back(a);
        }
      }
    }
  }

  void read(const ArrowSchema& schema, const ArrowArray& batch) {
    const std::string batch_name = "batch " + std::to_string(batch_number_);
    if (batch.n_children != column_count_) {
      fail(FailureKind::Value, "data has a batch that does not match its schema: " + batch_name +
                                   " has " + std::to_string(batch.n_children) +
                                   " columns, the schema " + std::to_string(column_count_));
    }
    if ((batch.n_children > 0 && !batch.children) || batch.length < 0 || batch.offset < 0 ||
        batch.length > (std::int64_t{1} << 56) || batch.offset > (std::int64_t{1} << 56)) {
      fail(FailureKind::Value, "data has a malformed " + batch_name +
                                   " (a negative or impossibly large length or offset, or "
                                   "no columns)");
    }
    const std::int64_t length = batch.length;
    const auto reader = [&](std::int64_t column, const std::string& name) {
      if (!batch.children[column]) {
        fail(FailureKind::Value, "column '" + name + "' is missing from " + batch_name);
      }
      ColumnReader column_reader({name, batch_number_, first_row_}, *schema.children[column],
                                 *batch.children[column], batch.offset);
      if (column_reader.length() < length) {
        fail(FailureKind::Value, "column '" + name + "' is shorter than its batch (" +
                                     batch_name + " has " + std::to_string(length) +
                                     " rows, the column " +
                                     std::to_string(column_reader.length()) + ")");
      }
      return column_reader;
    };
    const ColumnReader partition = reader(partition_, columns_.partition);
    const ColumnReader ts = reader(ts_, columns_.ts);
    const ColumnReader type = reader(type_, columns_.type);
    for (const ColumnReader* key : {&partition, &ts, &type}) {
      refuse_nulls(*key, length, kEveryEventNeeds);
    }
    std::optional<ColumnReader> id;
    if (id_ >= 0) {
      id.emplace(reader(id_, *columns_.id));
      refuse_nulls(*id, length, kIdNamesEveryRow);
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
        dictionary_types[i] = dictionary.is_null(i) ? kNullType : type_number(dictionary.string_at(i));
      }
    }
    dictionary_partitions_.assign(
        partition.is_dictionary() ? static_cast<std::size_t>(partition.dictionary().length()) : 0,
        kUnknown);

    // The types first, to know how many events this batch holds: each batch's events live in
    // one block of their own, which never moves. Rows are read in slices, on several threads;
    // each slice's events take the positions after those of the slices before it.
    row_types_.resize(static_cast<std::size_t>(length));
    const std::size_t rows = static_cast<std::size_t>(length);
    const std::size_t slices = slices_of(rows);
    const auto slice_rows = [&](std::size_t s) {
      return std::pair<std::int64_t, std::int64_t>(static_cast<std::int64_t>(rows * s / slices),
                                                   static_cast<std::int64_t>(rows * (s + 1) / slices));
    };
    std::vector<std::size_t> kept_before(slices + 1, 0);
    // Which of the pattern's types each slice met, for the warning about types never met; rows
    // of other types mark the last entry, so that the loop takes no branch.
    const std::size_t others = types_.size();
    std::vector<std::vector<char>> met(slices, std::vector<char>(others + 1, 0));
    in_slices(slices, [&](std::size_t s) {
      const auto [begin, end] = slice_rows(s);
      std::size_t kept = 0;
      char* met_here = met[s].data();
      for (std::int64_t row = begin; row < end; ++row) {
        const std::int32_t number = type.is_dictionary()
                                        ? dictionary_types[type.dictionary_index(row)]
                                        : this->type_number(type.string_at(row));
        if (number == kNullType) [[unlikely]] null_at(type, row, kEveryEventNeeds);
        row_types_[static_cast<std::size_t>(row)] = number;
        kept += number >= 0;
        met_here[number >= 0 ? static_cast<std::size_t>(number) : others] = 1;
      }
      kept_before[s + 1] = kept;
    });
    for (std::size_t s = 0; s < slices; ++s) {
      kept_before[s + 1] += kept_before[s];
      for (std::size_t t = 0; t < types_.size(); ++t) type_met_[t] |= met[s][t];
    }
    const std::size_t kept = kept_before[slices];
    if (kept == 0) {
      first_row_ += static_cast<std::uint64_t>(length);
      ++batch_number_;
      return;
    }
    LargeVector<Event>& block = Build::owned(result_).emplace_back();
    reserve_for(block, kept);  // exactly: the events never move once they are made
    block.resize(kept);
    const std::size_t first = events_.size();  // this batch's first position
    events_.resize(first + kept);
    stamps_.resize(first + kept);
    rows_.resize(first + kept);
    partition_of_.resize(first + kept);
    if (id) {
      id_values_.holds_strings() ? id_values_.strings.resize(first + kept)
                                 : id_values_.ints.resize(first + kept);
    }
    // Per row, in this order, what may fail: the timestamp, the partition, the id, the
    // attributes. Each slice stops at its first failure; the lowest failed slice's is the one
    // raised, so the failure reported is that of the first failing row, as in one pass.
    in_slices(slices, [&](std::size_t s) {
      const auto [begin, end] = slice_rows(s);
      std::size_t at = first + kept_before[s];
      for (std::int64_t row = begin; row < end; ++row) {
        const std::int32_t type_number_of_row = row_types_[static_cast<std::size_t>(row)];
        if (type_number_of_row < 0) continue;
        Event& event = block[at - first];
        events_[at] = &event;
        event.typ = types_[type_number_of_row];
        event.ts = integer_at(ts, row);
        stamps_[at] = event.ts;
        check_partition(partition, row);
        rows_[at] = first_row_ + static_cast<std::uint64_t>(row);
        if (id) {
          if (id->is_dictionary() && id->dictionary().is_null(id->dictionary_index(row)))
              [[unlikely]] {
            null_at(*id, row, kIdNamesEveryRow);
          }
          if (id_values_.holds_strings()) {
            id_values_.strings[at] = id->text_at(row);
          } else {
            id_values_.ints[at] = integer_at(*id, row);
          }
        }
        const std::vector<std::size_t>& read = attributes_of_type_[type_number_of_row];
        if (!read.empty()) event.attrs.reserve(read.size());
        for (const std::size_t a : read) {
          Value value = attributes[a].value_at(row);
          if (value.kind() != ValueKind::Null) event.attrs.set(attributes_[a].name, std::move(value));
        }
        ++at;
      }
    });
    number_partitions(partition, slices, slice_rows, kept_before, first);
    first_row_ += static_cast<std::uint64_t>(length);
    ++batch_number_;
  }

  // Sorts by (partition, timestamp, input row) and hands the events over.
  SortedEvents finish() {
    for (std::size_t t = 0; t < types_.size() && first_row_ > 0; ++t) {
      if (!type_met_[t]) Build::absent_types(result_).push_back(types_[t]);
    }
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

    // The partition as events carry it: the rank, big-endian, so byte order is rank order.
    std::size_t base = 0;
    for (LargeVector<Event>& block : Build::owned(result_)) {
      for_slices(block.size(), threads_, kRowsPerSlice, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const std::uint32_t r = rank[partition_of_[base + i]];
          const char bytes[4] = {static_cast<char>(r >> 24), static_cast<char>(r >> 16),
                                 static_cast<char>(r >> 8), static_cast<char>(r)};
          block[i].partition.assign(bytes, sizeof bytes);
        }
      });
      base += block.size();
    }
    if (in_event_order(rank)) {  // often so: a stream of one partition, or a sorted table
      Build::order(result_) = std::move(events_);
      Build::rows(result_) = std::move(rows_);
      Build::partitions(result_) = std::move(partition_of_);
      if (id_ >= 0) {
        Build::ids(result_) = std::move(id_values_);
      }
      return std::move(result_);
    }
    const LargeVector<std::size_t> keys = sorted_positions(rank);
    LargeVector<const Event*>& order = Build::order(result_);
    LargeVector<std::uint64_t>& rows = Build::rows(result_);
    LargeVector<std::uint32_t>& partitions = Build::partitions(result_);
    reserve_for(order, keys.size());
    reserve_for(rows, keys.size());
    reserve_for(partitions, keys.size());
    order.resize(keys.size());
    rows.resize(keys.size());
    partitions.resize(keys.size());
    for_slices(keys.size(), threads_, kRowsPerSlice, [&](std::size_t begin, std::size_t end) {
      for (std::size_t n = begin; n < end; ++n) {
        order[n] = events_[keys[n]];
        rows[n] = rows_[keys[n]];
        partitions[n] = partition_of_[keys[n]];
      }
    });
    if (id_ >= 0) {
      KeyValues& ids = Build::ids(result_);
      ids.format = id_values_.format;
      if (id_values_.holds_strings()) {
        ids.strings.reserve(keys.size());
        for (const std::size_t key : keys) ids.strings.push_back(std::move(id_values_.strings[key]));
      } else {
        ids.ints.reserve(keys.size());
        for (const std::size_t key : keys) ids.ints.push_back(id_values_.ints[key]);
      }
    }
    return std::move(result_);
  }

 private:
  struct Attribute {
    std::string name;
    std::int64_t column;
  };

  // Whether the events came in event order: by partition rank, then by timestamp.
  bool in_event_order(const std::vector<std::uint32_t>& rank) const {
    for (std::size_t i = 1; i < partition_of_.size(); ++i) {
      const std::uint32_t before = rank[partition_of_[i - 1]];
      const std::uint32_t now = rank[partition_of_[i]];
      if (now < before || (now == before && stamps_[i] < stamps_[i - 1])) return false;
    }
    return true;
  }

  // The input positions of the events in event order. A counting sort by partition keeps the
  // input order within each partition; a partition whose timestamps then do not ascend (rare:
  // streams arrive in time order) is sorted by timestamp, stably, so ties keep their input
  // order.
  LargeVector<std::size_t> sorted_positions(const std::vector<std::uint32_t>& rank) const {
    const std::size_t count = rank.size();
    std::vector<std::size_t> starts(count + 1, 0);
    for (const std::uint32_t partition : partition_of_) ++starts[rank[partition] + 1];
    for (std::size_t r = 0; r < count; ++r) starts[r + 1] += starts[r];
    LargeVector<std::size_t> positions;
    reserve_for(positions, partition_of_.size());
    positions.resize(partition_of_.size());
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < partition_of_.size(); ++i) {
      positions[next[rank[partition_of_[i]]]++] = i;
    }
    const auto earlier = [&](std::size_t a, std::size_t b) { return stamps_[a] < stamps_[b]; };
    for (std::size_t r = 0; r < count; ++r) {
      const auto begin = positions.begin() + static_cast<std::ptrdiff_t>(starts[r]);
      const auto end = positions.begin() + static_cast<std::ptrdiff_t>(starts[r + 1]);
      if (!std::is_sorted(begin, end, earlier)) std::stable_sort(begin, end, earlier);
    }
    return positions;
  }
  static constexpr std::uint32_t kUnknown = static_cast<std::uint32_t>(-1);
  static constexpr std::int32_t kNullType = -2;  // a type dictionary's null entry

  // As for_slices splits `items` on the reader's threads.
  std::size_t slices_of(std::size_t items) const {
    return std::max<std::size_t>(1, std::min(threads_, items / kRowsPerSlice));
  }

  // Runs work(s) for each slice s < slices, slice 0 on the calling thread.
  template <class Work>
  static void in_slices(std::size_t slices, const Work& work) {
    if (slices == 1) {
      work(std::size_t{0});
      return;
    }
    run_chunks(slices, [&](std::size_t s, const std::atomic<std::size_t>&) { work(s); });
  }

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

  static constexpr const char* kEveryEventNeeds =
      "every event needs a partition, a timestamp and a type";
  static constexpr const char* kIdNamesEveryRow = "the id column must name every row";

  void refuse_nulls(const ColumnReader& column, std::int64_t length, const char* why) const {
    if (const std::optional<std::int64_t> row = column.first_null(length)) {
      null_at(column, *row, why);
    }
  }

  // A key column is null at `row`: its own bitmap says so, or its dictionary's does.
  [[noreturn]] void null_at(const ColumnReader& column, std::int64_t row, const char* why) const {
    fail(FailureKind::Value, "column '" + column.name() + "' is null at row " +
                                 std::to_string(first_row_ + static_cast<std::uint64_t>(row)) +
                                 "; " + why);
  }

  std::int32_t type_number(std::string_view type) const {
    // Most rows of a wide table are of types the pattern does not name, and most of those
    // already differ in length.
    if (type.size() < 64 && ((type_lengths_ >> type.size()) & 1) == 0) return -1;
    const ShortKey key(type);
    for (std::size_t i = 0; i < types_.size(); ++i) {
      if (key.fits ? type_keys_[i].same_as(key)
                   : types_[i].size() == type.size() && std::string_view(types_[i]) == type) {
        return static_cast<std::int32_t>(i);
      }
    }
    return -1;
  }

  // The integer of a key column (timestamps, integer partitions and ids).
  static std::int64_t integer_at(const ColumnReader& column, std::int64_t row) {
    if (column.kind() == ColumnKind::UInt) return column.value_at(row).as_int();  // checks the range
    return column.int_at(row);
  }

  // Reads what partition_number reads, so that its failure is found on any thread.
  void check_partition(const ColumnReader& partition, std::int64_t row) const {
    char bytes[8];
    if (partition.is_dictionary()) {
      const std::int64_t index = partition.dictionary_index(row);
      if (partition.dictionary().is_null(index)) null_at(partition, row, kEveryEventNeeds);
      partition_key(partition.dictionary(), index, bytes);
    } else {
      partition_key(partition, row, bytes);
    }
  }

  // Numbers the partitions of the batch's events in order of first appearance. On several
  // slices, each numbers its own in its order, then the slices' numbers are translated, slice
  // after slice, into the reader's: a partition's first appearance is in the first slice that
  // has it, at that slice's first appearance.
  template <class SliceRows>
  void number_partitions(const ColumnReader& partition, std::size_t slices,
                         const SliceRows& slice_rows, const std::vector<std::size_t>& kept_before,
                         std::size_t first) {
    if (slices == 1 || partition.is_dictionary()) {  // a dictionary numbers each value once
      std::size_t at = first;
      for (std::int64_t row = 0; row < slice_rows(slices - 1).second; ++row) {
        if (row_types_[static_cast<std::size_t>(row)] >= 0) {
          partition_of_[at++] = partition_number(partition, row);
        }
      }
      return;
    }
    std::vector<std::vector<std::int64_t>> first_rows(slices);  // per slice, per local number
    in_slices(slices, [&](std::size_t s) {
      KeyNumbers local;
      const auto [begin, end] = slice_rows(s);
      std::size_t at = first + kept_before[s];
      for (std::int64_t row = begin; row < end; ++row) {
        if (row_types_[static_cast<std::size_t>(row)] < 0) continue;
        char bytes[8];
        partition_of_[at++] =
            local.number(partition_key(partition, row, bytes), [&] { first_rows[s].push_back(row); });
      }
    });
    std::vector<std::vector<std::uint32_t>> global(slices);
    for (std::size_t s = 0; s < slices; ++s) {
      for (const std::int64_t row : first_rows[s]) global[s].push_back(value_number(partition, row));
    }
    in_slices(slices, [&](std::size_t s) {
      for (std::size_t at = first + kept_before[s]; at < first + kept_before[s + 1]; ++at) {
        partition_of_[at] = global[s][partition_of_[at]];
      }
    });
  }

  // The bytes by which a partition value is numbered: a string's own, an integer's eight.
  static std::string_view partition_key(const ColumnReader& column, std::int64_t row,
                                        char (&bytes)[8]) {
    if (is_string_kind(column.kind())) return column.string_at(row);
    const std::int64_t number = integer_at(column, row);
    std::memcpy(bytes, &number, sizeof number);
    return std::string_view(bytes, sizeof bytes);
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
    char bytes[8];
    const std::string_view key = partition_key(column, row, bytes);
    return partition_numbers_.number(key, [&] {
      if (is_string_kind(column.kind())) {
        // Each distinct partition is checked once, when it is first seen.
        if (!arrow::valid_utf8(key)) column.fail_at(row, "a string that is not UTF-8");
        values.strings.emplace_back(key);
      } else {
        values.ints.push_back(integer_at(column, row));
      }
    });
  }

  EventColumns columns_;
  std::size_t threads_;
  std::vector<std::string> types_;
  std::vector<ShortKey> type_keys_;  // of types_
  std::uint64_t type_lengths_ = 0;   // bit n set: some type has n bytes (or n >= 64)
  std::vector<Attribute> attributes_;                        // byte-wise by name
  std::vector<std::vector<std::size_t>> attributes_of_type_;  // by type number
  std::int64_t column_count_ = 0;
  std::int64_t partition_ = -1, ts_ = -1, type_ = -1, id_ = -1;
  KeyValues id_values_;  // by event, in input order
  std::uint64_t first_row_ = 0;
  std::uint64_t batch_number_ = 0;  // of the batch being read, counted from 0

  SortedEvents result_;
  LargeVector<const Event*> events_;         // in input order
  LargeVector<std::int64_t> stamps_;         // their timestamps, for the sort
  LargeVector<std::int32_t> row_types_;      // the type number of each row of a batch
  std::vector<char> type_met_;               // per type of the pattern: whether a row had it
  LargeVector<std::uint32_t> partition_of_;  // by event, in input order
  LargeVector<std::uint64_t> rows_;          // by event, in input order
  KeyNumbers partition_numbers_;
  std::vector<std::uint32_t> dictionary_partitions_;
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
                                         const Pattern& pattern, std::size_t threads) {
  arrow::OwnedStream stream(raw);
  return guarded_read([&]() -> Checked<SortedEvents> {
    if (!stream->get_schema || !stream->get_next || !stream->get_last_error) {
      return InputFailure{FailureKind::Value, "data is a malformed Arrow stream (it lacks a "
                                              "callback)", 0};
    }
    arrow::OwnedSchema schema;
    if (const int code = stream->get_schema(&*stream, schema.out()); code != 0) {
      return producer_failure("giving its schema", code, stream->get_last_error(&*stream));
    }
    if (schema.empty()) {
      return InputFailure{FailureKind::Value, "the data's producer gave no schema (it reported "
                                              "success but left the schema released)", 0};
    }
    TableReader reader(*schema, columns, pattern, threads);
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
                                        const EventColumns& columns, const Pattern& pattern,
                                        std::size_t threads) {
  arrow::OwnedSchema schema(raw_schema);
  arrow::OwnedArray batch(raw_batch);
  return guarded_read([&]() -> Checked<SortedEvents> {
    TableReader reader(*schema, columns, pattern, threads);
    reader.read(*schema, *batch);
    return reader.finish();
  });
}

// The events' attributes are freed on several threads, slice by slice; what is left
// for the blocks' own destruction is then trivial.
SortedEvents::~SortedEvents() {
  for (LargeVector<Event>& block : owned_) {
    if (std::min(threads_, block.size() / kRowsPerSlice) < 2) continue;  // one slice: nothing gained
    try {
      for_slices(block.size(), threads_, kRowsPerSlice, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) block[i] = Event();
      });
    } catch (...) {
      // Left to the blocks' destruction on this thread.
    }
  }
}

SortedEvents events_from_list(const EventView& events) {
  SortedEvents result;
  const std::vector<std::size_t> order = event_order(events);
  LargeVector<const Event*>& pointers = Build::order(result);
  LargeVector<std::uint64_t>& rows = Build::rows(result);
  LargeVector<std::uint32_t>& partitions = Build::partitions(result);
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
