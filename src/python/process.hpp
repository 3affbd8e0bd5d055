// Functions about the process rather than the data: giving kept memory back; and, for tests,
// the cores a container's CPU quota allows and the matching strategies taken.
#pragma once

#include "frame.hpp"

namespace vashlet::py {

extern PyMethodDef release_memory_def;
extern PyMethodDef cgroup_quota_cores_def;
extern PyMethodDef worker_threads_def;
extern PyMethodDef paths_taken_def;
extern PyMethodDef tuning_def;

}  // namespace vashlet::py
