// Reading a table's batches: each row's type first (rows of types the pattern does not name are
// skipped), then on several threads the timestamps, partitions and ids, with the attributes each
// type reads checked, and the partitions numbered in order of first appearance. The events are
// built after the sort (table_sort.cpp), in event order, from the columns each batch leaves.
#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "arrow/table_reader.hpp"

namespace vashlet::table_reading {
namespace {

using arrow::fail;
using arrow::FailureKind;

bool is_string_kind(ColumnKind kind) { return kind == ColumnKind::String; }

// The partition of the previous event, so that a run of events of one partition (as a sorted
// table has) is numbered without a look-up each. A string key's bytes stay in their column for
// the batch; an integer's eight are copied.
struct LastKey {
  char bytes[8];
  std::string_view key;
  std::uint32_t number = 0;
  bool known = false;

  bool is(std::string_view other) const { return known && same_bytes(key, other); }
  void remember(std::string_view other, bool is_string, std::uint32_t numbered) {
    if (!is_string) {
      std::memcpy(bytes, other.data(), sizeof bytes);
      other = std::string_view(bytes, sizeof bytes);
    }
    key = other;
    number = numbered;
    known = true;
  }
};

}  // namespace

void TableReader::refuse_nulls(const ColumnReader& column, std::int64_t length, const char* why) const {
  if (const std::optional<std::int64_t> row = column.first_null(length)) {
    null_at(column, *row, why);
  }
}

void TableReader::null_at(const ColumnReader& column, std::int64_t row, const char* why) const {
  fail(FailureKind::Value, "column '" + column.name() + "' is null at row " +
                               std::to_string(first_row_ + static_cast<std::uint64_t>(row)) +
                               "; " + why);
}

std::int32_t TableReader::type_number(std::string_view type) const {
  const std::int32_t other = every_type_ ? static_cast<std::int32_t>(types_.size()) : -1;
  // Most rows of a wide table are of types the pattern does not name, and most of those
  // already differ in length.
  if (type.size() < 64 && ((type_lengths_ >> type.size()) & 1) == 0) return other;
  const ShortKey key(type);
  for (std::size_t i = 0; i < types_.size(); ++i) {
    if (key.fits ? type_keys_[i].same_as(key)
                 : types_[i].size() == type.size() && std::string_view(types_[i]) == type) {
      return static_cast<std::int32_t>(i);
    }
  }
  return other;
}

std::int64_t TableReader::integer_at(const ColumnReader& column, std::int64_t row) {
  if (column.kind() == ColumnKind::UInt) return column.value_at(row).as_int();  // checks the range
  return column.int_at(row);
}

void TableReader::check_partition(const ColumnReader& partition, std::int64_t row) const {
  char bytes[8];
  if (partition.is_dictionary()) {
    const std::int64_t index = partition.dictionary_index(row);
    if (partition.dictionary().is_null(index)) null_at(partition, row, kEveryEventNeeds);
    partition_key(partition.dictionary(), index, bytes);
  } else {
    partition_key(partition, row, bytes);
  }
}

std::string_view TableReader::partition_key(const ColumnReader& column, std::int64_t row,
                                            char (&bytes)[8]) {
  if (is_string_kind(column.kind())) return column.string_at(row);
  const std::int64_t number = integer_at(column, row);
  std::memcpy(bytes, &number, sizeof number);
  return std::string_view(bytes, sizeof bytes);
}

std::uint32_t TableReader::partition_number(const ColumnReader& partition, std::int64_t row) {
  if (partition.is_dictionary()) {
    const std::int64_t index = partition.dictionary_index(row);
    std::uint32_t& known = dictionary_partitions_[static_cast<std::size_t>(index)];
    if (known == kUnknown) known = value_number(partition.dictionary(), index);
    return known;
  }
  return value_number(partition, row);
}

std::uint32_t TableReader::value_number(const ColumnReader& column, std::int64_t row) {
  char bytes[8];
  return value_number(column, row, partition_key(column, row, bytes));
}

std::uint32_t TableReader::value_number(const ColumnReader& column, std::int64_t row,
                                        std::string_view key) {
  return partition_numbers_.number(key, [&] { keep_partition_value(column, row, key); });
}

void TableReader::keep_partition_value(const ColumnReader& column, std::int64_t row,
                                       std::string_view key) {
  PartitionValues& values = Build::values(result_);
  if (is_string_kind(column.kind())) {
    // Each distinct partition is checked once, when it is first seen.
    if (!arrow::valid_utf8(key)) column.fail_at(row, "a string that is not UTF-8");
    values.strings.emplace_back(key);
  } else {
    values.ints.push_back(integer_at(column, row));
  }
}

// Numbers the partitions of the batch's events in order of first appearance. A dictionary
// numbers each of its values once. Otherwise the row pass has numbered each slice's partitions
// in its own order (slice_number), noting each one's first row: those are translated, slice
// after slice, into the reader's numbers, since a partition's first appearance is in the first
// slice that has it, at that slice's first appearance.
template <class SliceRows>
void TableReader::number_partitions(const ColumnReader& partition, std::size_t slices,
                                    const SliceRows& slice_rows,
                                    const std::vector<std::vector<std::int64_t>>& first_rows,
                                    std::vector<KeyNumbers>& slice_numbers,
                                    const std::vector<std::size_t>& kept_before, std::size_t first) {
  if (partition.is_dictionary()) {
    std::size_t at = first;
    for (std::size_t s = 0; s < slices; ++s) {
      const std::int64_t* const kept_rows =
          kept_rows_.data() + static_cast<std::size_t>(slice_rows(s).first);
      for (std::size_t k = 0; k < kept_before[s + 1] - kept_before[s]; ++k) {
        partition_of_[at++] = partition_number(partition, kept_rows[k]);
      }
    }
    return;
  }
  // Per slice, the reader's number of each of its own; a slice whose numbers are the reader's
  // already keeps them.
  std::vector<std::vector<std::uint32_t>> global(slices);
  std::vector<char> renumbered(slices, 0);
  std::size_t s = 0;
  if (partition_numbers_.size() == 0) {
    // The first partitions met: the first slice's numbers become the reader's, without looking
    // its partitions up again.
    char bytes[8];
    for (const std::int64_t row : first_rows[0]) {
      keep_partition_value(partition, row, partition_key(partition, row, bytes));
    }
    partition_numbers_ = std::move(slice_numbers[0]);
    s = 1;
  }
  for (; s < slices; ++s) {
    for (const std::int64_t row : first_rows[s]) {
      global[s].push_back(value_number(partition, row));
      renumbered[s] |= static_cast<char>(global[s].back() != global[s].size() - 1);
    }
  }
  // Often one slice alone is renumbered (the second of two, every one of a later batch's):
  // each is shared out on all the threads, which would otherwise wait for the one.
  for (std::size_t r = 0; r < slices; ++r) {
    if (!renumbered[r]) continue;
    std::uint32_t* const numbers = partition_of_.data() + first + kept_before[r];
    const std::uint32_t* const of_local = global[r].data();
    for_slices(kept_before[r + 1] - kept_before[r], threads_, tuning::kReaderRowsPerSlice,
               [&](std::size_t begin, std::size_t end) {
                 for (std::size_t at = begin; at < end; ++at) numbers[at] = of_local[numbers[at]];
               });
  }
}

TableReader::Cell TableReader::cell_at(const ColumnReader& column, std::int64_t row) {
  Cell cell = Cell::null();
  if (column.is_null(row)) return cell;
  if (column.is_dictionary()) return cell_at(column.dictionary(), column.dictionary_index(row));
  switch (column.kind()) {
    case ColumnKind::Int:
      cell.set(ValueKind::Int, static_cast<std::uint64_t>(column.int_at(row)));
      break;
    case ColumnKind::UInt:  // value_at checks the range
      cell.set(ValueKind::Int, static_cast<std::uint64_t>(column.value_at(row).as_int()));
      break;
    case ColumnKind::Float: {
      const double number = column.float_at(row);
      std::uint64_t bits;
      std::memcpy(&bits, &number, sizeof number);
      cell.set(ValueKind::Float, bits);
      break;
    }
    case ColumnKind::Bool: cell.set(ValueKind::Bool, column.bool_at(row)); break;
    case ColumnKind::String: {
      const std::string_view text = column.text_at(row);
      cell.set(ValueKind::String, reinterpret_cast<std::uintptr_t>(text.data()), text.size());
      break;
    }
    case ColumnKind::Null: break;
  }
  return cell;
}

// Cells of strings point into their columns until the events are built, so those columns are
// kept: Arrow lets a consumer move children out of a batch, and the rest is released with it.
void TableReader::keep_string_columns(ArrowArray& batch) {
  std::vector<std::int64_t> columns;
  for (const Attribute& attribute : attributes_) {
    if (attribute.is_string) columns.push_back(attribute.column);
  }
  if (every_type_) columns.push_back(type_);
  std::sort(columns.begin(), columns.end());
  columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  for (const std::int64_t column : columns) kept_arrays_.emplace_back(batch.children[column]);
}

void TableReader::read(const ArrowSchema& schema, ArrowArray& batch) {
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
  kept_rows_.resize(static_cast<std::size_t>(length));
  kept_types_.resize(static_cast<std::size_t>(length));
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
  run_slices(slices, [&](std::size_t s) {
    const auto [begin, end] = slice_rows(s);
    std::size_t kept = 0;
    char* met_here = met[s].data();
    std::int64_t* const kept_rows = kept_rows_.data() + begin;
    std::int32_t* const kept_types = kept_types_.data() + begin;
    const auto note = [&](std::int64_t row, std::int32_t number) {
      if (number == kNullType) [[unlikely]] null_at(type, row, kEveryEventNeeds);
      // Written always, kept by counting: the types come in no order, so a branch on them
      // would be mispredicted at every other row.
      kept_rows[kept] = row;
      kept_types[kept] = number;
      kept += number >= 0;
      // -1 (not named) as unsigned is above every type number: min gives `others`, no branch.
      met_here[std::min<std::size_t>(static_cast<std::uint32_t>(number), others)] = 1;
    };
    if (type.is_dictionary()) {
      for (std::int64_t row = begin; row < end; ++row) {
        note(row, dictionary_types[type.dictionary_index(row)]);
      }
    } else {
      type.for_each_string(begin, end, [&](std::int64_t row, std::string_view text) {
        note(row, this->type_number(text));
      });
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
  const std::size_t first = events_;  // this batch's first position
  events_ += kept;
  records_.grow(first, events_);
  stamps_.resize(events_);
  if (every_type_) other_types_.resize(first + kept);
  partition_of_.resize(first + kept);
  if (id) {
    id_values_.holds_strings() ? id_values_.strings.resize(first + kept)
                               : id_values_.ints.resize(first + kept);
  }
  // Per row, in this order, what may fail: the type of a row whose type the pattern does not
  // name, the timestamp, the partition, the id, the attributes. Each slice stops at its first
  // failure; the lowest failed slice's is the one raised, so the failure reported is that of
  // the first failing row, as in one pass.
  // Partitions not dictionary-encoded are numbered per slice here (see number_partitions); a
  // run of rows of one partition, as a sorted table has, is numbered without a look-up each.
  const bool numbered_here = !partition.is_dictionary();
  const bool string_partitions = is_string_kind(partition.kind());
  std::vector<std::vector<std::int64_t>> first_rows(slices);  // per slice, per local number
  std::vector<KeyNumbers> slice_numbers(slices);
  run_slices(slices, [&](std::size_t s) {
    const std::int64_t begin = slice_rows(s).first;
    std::size_t at = first + kept_before[s];
    KeyNumbers& local = slice_numbers[s];
    LastKey last;
    const std::int64_t* const kept_rows = kept_rows_.data() + begin;
    const std::int32_t* const kept_types = kept_types_.data() + begin;
    const std::size_t kept_here = kept_before[s + 1] - kept_before[s];
    for (std::size_t k = 0; k < kept_here; ++k) {
      const std::int64_t row = kept_rows[k];
      const std::int32_t type_number_of_row = kept_types[k];
      if (static_cast<std::size_t>(type_number_of_row) == types_.size()) {
        other_types_[at] = type.text_at(row);
      }
      std::uint64_t* const keys = record(at);
      keys[kTypeWord] = static_cast<std::uint64_t>(type_number_of_row);
      const std::int64_t stamp = integer_at(ts, row);
      keys[kTsWord] = static_cast<std::uint64_t>(stamp);
      stamps_[at] = stamp;
      if (numbered_here) {
        char bytes[8];
        const std::string_view key = partition_key(partition, row, bytes);
        if (!last.is(key)) {
          last.remember(key, string_partitions,
                        local.number(key, [&] { first_rows[s].push_back(row); }));
        }
        partition_of_[at] = last.number;
      } else {
        check_partition(partition, row);
      }
      keys[kRowWord] = first_row_ + static_cast<std::uint64_t>(row);
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
      for (const std::size_t a : attributes_of_type_[type_number_of_row]) {
        set_cell(keys, a, cell_at(attributes[a], row));
      }
      ++at;
    }
  });
  number_partitions(partition, slices, slice_rows, first_rows, slice_numbers, kept_before, first);
  keep_string_columns(batch);
  first_row_ += static_cast<std::uint64_t>(length);
  ++batch_number_;
}

}  // namespace vashlet::table_reading
