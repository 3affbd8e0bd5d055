// The class `NearMiss` (native `PyNearMiss`) and the function `near_miss_events`.
#pragma once

#include "frame.hpp"

namespace vashlet::py {

PyTypeObject* near_miss_type();

extern PyMethodDef near_miss_events_def;
// `_rebuild_near_miss(...)`: what a pickled `NearMiss` is rebuilt with.
extern PyMethodDef rebuild_near_miss_def;

}  // namespace vashlet::py
