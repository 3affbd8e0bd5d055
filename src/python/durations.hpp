// Windows with a unit on the Python side: `datetime.timedelta` and `numpy.timedelta64` as
// durations of the builder, and the `ts_unit` argument that says what integer timestamps count.
#pragma once

#include <optional>
#include <string>

#include "model/duration.hpp"
#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

// The duration `object` stands for when it is a `datetime.timedelta` (or a subclass, such as
// pandas' Timedelta, whose nanoseconds count too) or a `numpy.timedelta64`; nothing for any other
// object. NumPy is never imported: its scalar is recognised by its type's name. A negative or
// not-a-time value, or one in a calendar unit or finer than nanoseconds, raises ValueError.
std::optional<Duration> duration_from_py(PyObject* object);

// `pattern` with its windows in ticks of `axis` (see resolve_windows); a failure raises
// ValueError.
Pattern windows_in_ticks(const Pattern& pattern, Result<TimeAxis> axis);

}  // namespace vashlet::py
