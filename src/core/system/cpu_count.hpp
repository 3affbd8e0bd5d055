// How many cores a process may keep busy: its CPU affinity, capped by the CPU quota of its
// control group (a container's CPU limit), which the affinity does not show.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vashlet {

// The cores this process may run on, capped by its cgroup's CPU quota; at least 1. The quota is
// read again every few seconds at most, under $VASHLET_TEST_CGROUP_ROOT where tests set one.
std::size_t usable_cores();

// The cores that a cgroup v2 `cpu.max` ("quota period", or "max ..." for none) allows:
// ceil(quota / period), at least 1; nothing when there is no quota or the text is not one.
std::optional<std::size_t> quota_cores_v2(std::string_view cpu_max);
// The same for cgroup v1's `cpu.cfs_quota_us` (-1 for none) and `cpu.cfs_period_us`.
std::optional<std::size_t> quota_cores_v1(std::string_view quota, std::string_view period);

// The tightest quota of the cgroups of this process under the cgroup file system at `root`
// (normally /sys/fs/cgroup), `self_cgroup` being the text of /proc/self/cgroup: the process's own
// group and its ancestors, in v2 (`cpu.max`) and in v1 (`cpu/` or `cpu,cpuacct/`), falling back
// to the root's own files where the group's directory is not visible (inside a container).
std::optional<std::size_t> cgroup_quota_cores(const std::string& root, std::string_view self_cgroup);

}  // namespace vashlet
