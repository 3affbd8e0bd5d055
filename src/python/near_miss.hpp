// The class `NearMiss` (native `PyNearMiss`), the function `near_miss_events` and the funnel's
// element labels.
#pragma once

#include "frame.hpp"

namespace vashlet::py {

PyTypeObject* near_miss_type();

extern PyMethodDef near_miss_events_def;
// `_rebuild_near_miss(...)`: what a pickled `NearMiss` is rebuilt with.
extern PyMethodDef rebuild_near_miss_def;
// `_element_labels(pattern)`: the funnel's step labels of a language pattern, None for a chain.
extern PyMethodDef element_labels_def;

}  // namespace vashlet::py
