// The table reader's shared parts: the reader class, whose work lies in three files by job
// (table_columns.cpp finds and checks the columns, table_batches.cpp reads and checks the
// batches' keys, table_sort.cpp sorts the keys and builds the events in event order), and the
// builder that fills SortedEvents.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_in.hpp"
#include "arrow/key_numbers.hpp"
#include "arrow/record_blocks.hpp"
#include "arrow/table_events.hpp"
#include "match/partitions.hpp"
#include "memory/memory.hpp"
#include "tuning.hpp"

namespace vashlet {

// Builds the result of the table and list readers; a friend of SortedEvents.
class SortedEventsBuilder {
 public:
  static EventBlock& block(SortedEvents& e) { return e.block_; }
  static std::vector<LargeVector<Event>>& owned(SortedEvents& e) { return e.owned_; }
  static FillLaterVector<const Event*>& order(SortedEvents& e) { return e.order_; }
  static FillLaterVector<std::uint64_t>& rows(SortedEvents& e) { return e.rows_; }
  static LargeVector<std::uint32_t>& partitions(SortedEvents& e) { return e.partitions_; }
  static PartitionValues& values(SortedEvents& e) { return e.values_; }
  static bool& numbered(SortedEvents& e) { return e.numbered_; }
  static FillLaterVector<std::uint32_t>& types(SortedEvents& e) { return e.types_; }
  static std::vector<std::string>& type_names(SortedEvents& e) { return e.type_names_; }
  static KeyValues& ids(SortedEvents& e) { return e.ids_; }
  static std::string& ts_format(SortedEvents& e) { return e.ts_format_; }
  static std::vector<std::string>& absent_types(SortedEvents& e) { return e.absent_types_; }
  static std::size_t& threads(SortedEvents& e) { return e.threads_; }
};

namespace table_reading {

using arrow::ColumnKind;
using arrow::ColumnReader;
using Build = SortedEventsBuilder;

// Reads the batches' keys and checks every value events will hold, then sorts the keys and
// builds the events in event order.
class TableReader {
 public:
  // Finds and checks the columns that the events and the pattern need.
  TableReader(const ArrowSchema& schema, const EventColumns& columns, const Pattern& pattern,
              std::size_t threads);
  // Moves the columns that events are built from out of `batch` (which the caller then
  // releases); the schema must outlive the reader.
  void read(const ArrowSchema& schema, ArrowArray& batch);
  // Sorts by (partition, timestamp, input row) and builds the events in that order.
  SortedEvents finish();

 private:
  struct Attribute {
    std::string name;
    std::int64_t column;
    bool is_string;  // its values (a dictionary's, where encoded) are strings
  };

  // A value read from a batch and checked, kept until its event is built after the sort.
  // A string's bytes stay in the batch's column, which the reader keeps (kept_arrays_).
  // Trivial, so that the reader's buffer of them is not cleared first (each read cell is
  // written): null() is the null cell.
  struct Cell {
    std::uint64_t payload;  // the integer, the double's or bool's bits, or the bytes' address
    // The kind in the top byte; below it, a string's size (offsets are below 2^56).
    std::uint64_t tagged;
    static Cell null() {
      Cell cell;
      cell.set(ValueKind::Null, 0);
      return cell;
    }
    ValueKind kind() const { return static_cast<ValueKind>(tagged >> 56); }
    std::size_t size() const { return tagged & ((std::uint64_t{1} << 56) - 1); }
    void set(ValueKind kind, std::uint64_t value, std::uint64_t size = 0) {
      payload = value;
      tagged = (std::uint64_t{static_cast<std::uint8_t>(kind)} << 56) | size;
    }
  };

  static constexpr std::uint32_t kUnknown = static_cast<std::uint32_t>(-1);
  static constexpr std::int32_t kNullType = -2;  // a type dictionary's null entry
  static constexpr const char* kEveryEventNeeds =
      "every event needs a partition, a timestamp and a type";
  static constexpr const char* kIdNamesEveryRow = "the id column must name every row";

  // Columns (table_columns.cpp).
  std::int64_t find_column(const ArrowSchema& schema, const char* role, const std::string& name);
  void check_key_column(const ArrowSchema& schema, std::int64_t at, const std::string& name,
                        const char* role, std::initializer_list<ColumnKind> allowed,
                        const char* wanted);

  // Rows (table_batches.cpp). The per-row helpers are inline, as they were in the class body:
  // only that file calls them, and its loops need them inlined.
  void refuse_nulls(const ColumnReader& column, std::int64_t length, const char* why) const;
  // A key column is null at `row`: its own bitmap says so, or its dictionary's does.
  [[noreturn]] void null_at(const ColumnReader& column, std::int64_t row, const char* why) const;
  inline std::int32_t type_number(std::string_view type) const;
  // The integer of a key column (timestamps, integer partitions and ids).
  static inline std::int64_t integer_at(const ColumnReader& column, std::int64_t row);
  // Reads what partition_number reads, so that its failure is found on any thread (for
  // dictionary-encoded partitions, numbered after the row pass).
  inline void check_partition(const ColumnReader& partition, std::int64_t row) const;
  template <class SliceRows>
  void number_partitions(const ColumnReader& partition, std::size_t slices,
                         const SliceRows& slice_rows,
                         const std::vector<std::vector<std::int64_t>>& first_rows,
                         std::vector<KeyNumbers>& slice_numbers,
                         const std::vector<std::size_t>& kept_before, std::size_t first);
  // The bytes by which a partition value is numbered: a string's own, an integer's eight.
  static inline std::string_view partition_key(const ColumnReader& column, std::int64_t row,
                                               char (&bytes)[8]);
  inline std::uint32_t partition_number(const ColumnReader& partition, std::int64_t row);
  inline std::uint32_t value_number(const ColumnReader& column, std::int64_t row);
  // As above, given the bytes partition_key read at `row` (they must stay valid meanwhile).
  inline std::uint32_t value_number(const ColumnReader& column, std::int64_t row,
                                    std::string_view key);
  // Keeps the value of a partition met for the first time at `row` (its bytes `key`), checked.
  void keep_partition_value(const ColumnReader& column, std::int64_t row, std::string_view key);
  // The value at `row`, failing as value_at(row) would, without copying a string.
  static inline Cell cell_at(const ColumnReader& column, std::int64_t row);
  static inline Value value_of(const Cell& cell);
  void keep_string_columns(ArrowArray& batch);

  // Order (table_sort.cpp).
  // Whether the events came in event order: by partition rank, then by timestamp.
  bool in_event_order(const std::vector<std::uint32_t>& rank) const;
  // The input positions of the events in event order, and their partitions in that order.
  struct EventOrder {
    FillLaterVector<std::size_t> positions;
    LargeVector<std::uint32_t> partitions;
  };
  EventOrder sorted_positions(const std::vector<std::uint32_t>& rank) const;
  // The events, in event order: the n-th from input position position(n), its partition
  // in_order[n], with their rows in that order.
  template <class Position>
  void build_events(const std::vector<std::uint32_t>& rank, const Position& position,
                    const LargeVector<std::uint32_t>& in_order);

  // As for_slices splits `items` on the reader's threads.
  std::size_t slices_of(std::size_t items) const {
    return slice_count(items, threads_, tuning::kReaderRowsPerSlice);
  }

  EventColumns columns_;
  std::size_t threads_;
  std::vector<std::string> types_;
  // Whether rows of types the pattern does not name are kept too (type number types_.size(),
  // each event holding its own type).
  bool every_type_ = false;
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
  // By event, in input order: what the sort and the building of the events need, one record
  // of record_words() words each: the timestamp, the input row and the type number, then
  // attributes_.size() cells of two words, of which only those its type reads are written (and
  // read). The events are built in event order, which visits the records at random, so all an
  // event is built from lies together: in one cache line where a record fits one (records are
  // padded to a power of two words, and start on line boundaries).
  static constexpr std::size_t kTsWord = 0, kRowWord = 1, kTypeWord = 2, kCellWords = 3;
  static constexpr std::size_t kLineWords = RecordBlocks::kLineWords;
  std::size_t record_words() const {
    const std::size_t words = kCellWords + 2 * attributes_.size();
    if (words <= kLineWords) return std::bit_ceil(words);
    return (words + kLineWords - 1) / kLineWords * kLineWords;
  }
  std::uint64_t* record(std::size_t at) { return records_[at]; }
  const std::uint64_t* record(std::size_t at) const { return records_[at]; }
  static std::int64_t ts_of(const std::uint64_t* record) {
    return static_cast<std::int64_t>(record[kTsWord]);
  }
  static Cell cell_of(const std::uint64_t* record, std::size_t a) {
    Cell cell;
    std::memcpy(&cell, record + kCellWords + 2 * a, sizeof cell);
    return cell;
  }
  static void set_cell(std::uint64_t* record, std::size_t a, const Cell& cell) {
    std::memcpy(record + kCellWords + 2 * a, &cell, sizeof cell);
  }
  RecordBlocks records_;
  std::size_t events_ = 0;  // records held
  // The timestamps again, by themselves, for the sort's passes in input order.
  FillLaterVector<std::int64_t> stamps_;
  LargeVector<std::string_view> other_types_;  // the types of events of types not named
  std::vector<arrow::OwnedArray> kept_arrays_;  // the string columns that cells point into
  // The rows of a batch that events are built from, and their type numbers: each slice's from
  // its first row's place on. Only the places up to each slice's count are written, and read.
  FillLaterVector<std::int64_t> kept_rows_;
  FillLaterVector<std::int32_t> kept_types_;
  std::vector<char> type_met_;               // per type of the pattern: whether a row had it
  LargeVector<std::uint32_t> partition_of_;  // by event, in input order
  KeyNumbers partition_numbers_;
  std::vector<std::uint32_t> dictionary_partitions_;
};

}  // namespace table_reading
}  // namespace vashlet
