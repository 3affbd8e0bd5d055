// The Python class `Event` (native `PyEvent`, one core event) and the function `sort_events`.
#pragma once

#include <vector>

#include "frame.hpp"
#include "model.hpp"

namespace vashlet::py {

// The `Event` type object, created on first need.
PyTypeObject* event_type();

// A new `Event` object owning `event`.
Ref event_to_py(Event event);

// The core event inside an `Event` object (borrowed), or null when `object` is not an `Event`.
const Event* event_of(PyObject* object);

// The event-list parameter: a sequence (not a str) of `Event` objects, copied in order.
// Raises the unprefixed TypeErrors; the call frame adds the parameter name.
std::vector<Event> events_from_py(PyObject* object);

extern PyMethodDef sort_events_def;

}  // namespace vashlet::py
