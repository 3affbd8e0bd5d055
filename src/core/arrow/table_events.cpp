// The readers' entry points: an Arrow stream or one batch through the table reader, with the
// producer's and the allocator's failures turned into input failures; an event list put in event
// order in place; and freeing the events' attributes on several threads.
#include "arrow/table_events.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <new>
#include <utility>

#include "arrow/event_order.hpp"
#include "arrow/table_reader.hpp"

namespace vashlet {

using arrow::FailureKind;
using arrow::InputFailure;

namespace {

using Build = SortedEventsBuilder;
using table_reading::TableReader;

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
    constexpr std::size_t kSlice = tuning::kReaderRowsPerSlice;
    if (std::min(threads_, block.size() / kSlice) < 2) continue;  // one slice: nothing gained
    try {
      for_slices(block.size(), threads_, kSlice, [&](std::size_t begin, std::size_t end) {
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
  FillLaterVector<const Event*>& pointers = Build::order(result);
  FillLaterVector<std::uint64_t>& rows = Build::rows(result);
  LargeVector<std::uint32_t>& partitions = Build::partitions(result);
  PartitionValues& values = Build::values(result);
  values.format = std::string("u");  // assigned in place, a literal trips GCC 12 -Wrestrict
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

SortedEvents events_from_owned_list(std::vector<Event> events) {
  LargeVector<Event> block(std::make_move_iterator(events.begin()),
                           std::make_move_iterator(events.end()));
  std::vector<const Event*> pointers;
  pointers.reserve(block.size());
  for (const Event& event : block) pointers.push_back(&event);
  SortedEvents result = events_from_list(EventView(pointers.data(), pointers.size()));
  Build::owned(result).push_back(std::move(block));  // moving keeps the events where they are
  return result;
}

}  // namespace vashlet
