// The module functions that parse, read and run patterns, and the class `Match`.
#pragma once

#include "event.hpp"
#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

PyTypeObject* match_type();

extern PyMethodDef parse_pattern_def;
extern PyMethodDef pattern_def;  // pattern(text): the pattern language
extern PyMethodDef pattern_from_json_def;
extern PyMethodDef match_events_def;
// `_time_matching(...)`: match_events' matching alone, timed natively (for benchmarks).
extern PyMethodDef time_matching_def;
// `_rebuild_match(indices, events, captures)`: what a pickled `Match` is rebuilt with.
extern PyMethodDef rebuild_match_def;

// Results copied on a thread of their own only from this many on: fewer are not worth a thread.
constexpr std::size_t kResultsPerSlice = 4096;

// ValueError "events must be grouped by partition and sorted by (timestamp, input order); call
// sort_events first" unless `events` are in event order.
void require_event_order(const EventList& events);

// A valid private copy of the `pattern` argument: coerced, then validated (ValueError with the
// validation message).
Pattern valid_pattern_argument(PyObject* pattern);

}  // namespace vashlet::py
