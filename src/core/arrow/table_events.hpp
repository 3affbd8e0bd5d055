// From a table (an Arrow stream or batch) or an unsorted event list to events in event order:
// reads only the columns and rows a pattern can use, sorts them natively, and remembers the
// input row of every event so that results can name rows of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "arrow/arrow_abi.hpp"
#include "arrow/arrow_in.hpp"
#include "arrow/event_block.hpp"
#include "memory/memory.hpp"
#include "model/model.hpp"

namespace vashlet {

// The names of the three columns every event needs.
struct EventColumns {
  std::string partition = "partition";
  std::string ts = "ts";
  std::string type = "type";
  std::optional<std::string> id;  // a column whose values name rows in results, if any
};

// Values of a key column (the partitions, or the row ids), in the column's own type.
struct KeyValues {
  std::string format;                // "u", "U", "vu", or an integer format
  std::vector<std::int64_t> ints;    // for integer columns
  std::vector<std::string> strings;  // for string columns
  bool holds_strings() const { return format == "u" || format == "U" || format == "vu"; }
  std::size_t size() const { return holds_strings() ? strings.size() : ints.size(); }
};

// The distinct partitions, numbered by first appearance.
using PartitionValues = KeyValues;

// Events in event order, with where each came from. The table readers leave out events whose type
// no atom of the pattern names: they can neither advance, block nor explain anything.
class SortedEvents {
 public:
  SortedEvents() = default;
  SortedEvents(SortedEvents&&) = default;
  SortedEvents& operator=(SortedEvents&&) = default;
  ~SortedEvents();

  // Over a table, with the reader's partition and type numbers.
  EventView view() const {
    if (!numbered_) return EventView(order_.data(), order_.size());
    const EventNumbers numbers{partitions_.data(), types_.data(), &type_names_};
    if (in_block()) return EventView::in_place(block_.data(), block_.size(), numbers);
    return EventView(order_.data(), order_.size(), numbers);
  }
  std::size_t size() const { return in_block() ? block_.size() : order_.size(); }
  const Event& operator[](std::size_t i) const {
    return in_block() ? block_.data()[i] : *order_[i];
  }

  std::uint64_t row(std::size_t i) const { return rows_[i]; }
  std::uint32_t partition(std::size_t i) const { return partitions_[i]; }
  const PartitionValues& partition_values() const { return values_; }
  // The id of each event, by position in event order, when an id column was read.
  const KeyValues* ids() const { return ids_.format.empty() ? nullptr : &ids_; }
  const std::string& ts_format() const { return ts_format_; }
  // The event types the pattern names that no row of a table had (empty for an event list or
  // a table without rows).
  const std::vector<std::string>& absent_types() const { return absent_types_; }

 private:
  friend class SortedEventsBuilder;
  // The table reader's events, in event order: where it holds any, order_ is not written.
  EventBlock block_;
  std::vector<LargeVector<Event>> owned_;  // the owned list path's
  // Written whole by whoever builds them, so not zeroed first.
  FillLaterVector<const Event*> order_;  // event order
  FillLaterVector<std::uint64_t> rows_;  // by position in event order
  LargeVector<std::uint32_t> partitions_;
  // Where a table reader read the events: each one's type number, in type_names_ (its size for
  // a type not among them).
  bool numbered_ = false;
  FillLaterVector<std::uint32_t> types_;
  std::vector<std::string> type_names_;
  PartitionValues values_;
  KeyValues ids_;
  std::string ts_format_ = "l";
  std::vector<std::string> absent_types_;
  std::size_t threads_ = 1;  // that read the events, and that free their attributes

  bool in_block() const { return block_.size() > 0; }
};

template <class T>
using Checked = std::variant<T, arrow::InputFailure>;

// Takes the stream over (it is released before this returns, also on failure). Large batches
// are read on up to `threads` threads; the result is the same for any.
Checked<SortedEvents> events_from_stream(ArrowArrayStream* stream, const EventColumns& columns,
                                         const Pattern& pattern, std::size_t threads = 1);
// Takes the schema and the batch over (a struct array of columns, as one record batch).
Checked<SortedEvents> events_from_batch(ArrowSchema* schema, ArrowArray* batch,
                                        const EventColumns& columns, const Pattern& pattern,
                                        std::size_t threads = 1);
// Reads `events` in place (they must outlive the result); rows are their positions.
SortedEvents events_from_list(const EventView& events);
// The same over copies that the result owns, for a caller that keeps the events longer than the
// list.
SortedEvents events_from_owned_list(std::vector<Event> events);

}  // namespace vashlet
