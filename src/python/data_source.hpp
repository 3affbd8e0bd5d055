// The `data` argument of the table calls and of a stream's push: an Arrow C stream capsule, a
// (schema, array) capsule pair, or a sequence of `Event` objects, taken over with the GIL so that
// its events can be read without it; and the exceptions a failed reading raises.
#pragma once

#include <optional>

#include "arrow/arrow_abi.hpp"
#include "arrow/arrow_in.hpp"
#include "arrow/table_events.hpp"
#include "event.hpp"
#include "frame.hpp"

namespace vashlet::py {

inline constexpr const char* kStreamCapsule = "arrow_array_stream";
inline constexpr const char* kSchemaCapsule = "arrow_schema";
inline constexpr const char* kArrayCapsule = "arrow_array";

// What a data argument holds: exactly one of a stream, a (schema, batch) pair, or events. The
// capsules' contents are read in place (the reader takes them over and leaves `release` null),
// so the argument must outlive the reading.
struct DataSource {
  ArrowArrayStream* stream = nullptr;
  ArrowSchema* schema = nullptr;
  ArrowArray* batch = nullptr;
  std::optional<EventList> events;
};

// Checks and takes over `source`: a capsule already consumed, a foreign capsule (or tuple of
// capsules) and, with an id column, a sequence of events raise; a sequence that is not of
// `Event` objects raises TypeError under the parameter name "data".
DataSource data_source(PyObject* source, const EventColumns& columns);

// The exception of a failed reading: TypeError, ValueError, MemoryError, or the producer's.
[[noreturn]] void raise_input_failure(const arrow::InputFailure& failure);

}  // namespace vashlet::py
