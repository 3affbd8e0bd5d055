// The table reader's shared parts: the reader class, whose work lies in three files by job
// (table_columns.cpp finds and checks the columns, table_batches.cpp reads batches into events,
// table_sort.cpp puts them in event order), and the builder that fills SortedEvents.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/arrow_in.hpp"
#include "arrow/key_numbers.hpp"
#include "arrow/table_events.hpp"
#include "match/partitions.hpp"
#include "memory/memory.hpp"

namespace vashlet {

// Builds the result of the table and list readers; a friend of SortedEvents.
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

// Rows (or events) per slice of the work shared among the reader's threads, at least.
inline constexpr std::size_t kRowsPerSlice = std::size_t{1} << 16;

namespace table_reading {

using arrow::ColumnKind;
using arrow::ColumnReader;
using Build = SortedEventsBuilder;

// Reads batches into events, then sorts them.
class TableReader {
 public:
  // Finds and checks the columns that the events and the pattern need.
  TableReader(const ArrowSchema& schema, const EventColumns& columns, const Pattern& pattern,
              std::size_t threads);
  void read(const ArrowSchema& schema, const ArrowArray& batch);
  // Sorts by (partition, timestamp, input row) and hands the events over.
  SortedEvents finish();

 private:
  struct Attribute {
    std::string name;
    std::int64_t column;
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
  // Reads what partition_number reads, so that its failure is found on any thread.
  inline void check_partition(const ColumnReader& partition, std::int64_t row) const;
  template <class SliceRows>
  void number_partitions(const ColumnReader& partition, std::size_t slices,
                         const SliceRows& slice_rows, const std::vector<std::size_t>& kept_before,
                         std::size_t first);
  // The bytes by which a partition value is numbered: a string's own, an integer's eight.
  static inline std::string_view partition_key(const ColumnReader& column, std::int64_t row,
                                               char (&bytes)[8]);
  inline std::uint32_t partition_number(const ColumnReader& partition, std::int64_t row);
  inline std::uint32_t value_number(const ColumnReader& column, std::int64_t row);

  // Order (table_sort.cpp).
  // Whether the events came in event order: by partition rank, then by timestamp.
  bool in_event_order(const std::vector<std::uint32_t>& rank) const;
  LargeVector<std::size_t> sorted_positions(const std::vector<std::uint32_t>& rank) const;

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
  LargeVector<const Event*> events_;         // in input order
  LargeVector<std::int64_t> stamps_;         // their timestamps, for the sort
  LargeVector<std::int32_t> row_types_;      // the type number of each row of a batch
  std::vector<char> type_met_;               // per type of the pattern: whether a row had it
  LargeVector<std::uint32_t> partition_of_;  // by event, in input order
  LargeVector<std::uint64_t> rows_;          // by event, in input order
  KeyNumbers partition_numbers_;
  std::vector<std::uint32_t> dictionary_partitions_;
};

}  // namespace table_reading
}  // namespace vashlet
