// The class `NearMiss` (native `PyNearMiss`) and the function `near_miss_events`.
#pragma once

#include "frame.hpp"

namespace vashlet::py {

PyTypeObject* near_miss_type();

extern PyMethodDef near_miss_events_def;

}  // namespace vashlet::py
