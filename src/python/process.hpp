// Functions about the process rather than the data: giving kept memory back, and the cores a
// container's CPU quota allows (for tests).
#pragma once

#include "frame.hpp"

namespace vashlet::py {

extern PyMethodDef release_memory_def;
extern PyMethodDef cgroup_quota_cores_def;

}  // namespace vashlet::py
