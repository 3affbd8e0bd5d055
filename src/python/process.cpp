#include "process.hpp"

#include "system/cpu_count.hpp"
#include "memory/memory.hpp"

namespace vashlet::py {

namespace {

constexpr auto kReleaseMemorySignature = signature("release_memory()");

Ref release_memory(const Arguments<0>&) {
  std::size_t freed = 0;
  {
    const GilReleased unlocked;  // unmapping hundreds of megabytes takes a while
    freed = release_kept_memory();
  }
  return size_to_py(freed);
}

constexpr auto kCgroupQuotaCoresSignature =
    signature("_cgroup_quota_cores()", {"root", "self_cgroup"}, 2);

Ref quota_cores_under(const Arguments<2>& args) {
  const std::string root = args.convert(0, text_from_py);
  const std::string self_cgroup = args.convert(1, text_from_py);
  const std::optional<std::size_t> cores = vashlet::cgroup_quota_cores(root, self_cgroup);
  return cores ? size_to_py(*cores) : Ref::borrowed(Py_None);
}

}  // namespace

PyMethodDef release_memory_def = function_def<kReleaseMemorySignature, release_memory>(
    "release_memory",
    "release_memory()\n--\n\n"
    "Give the memory that the module keeps for its next calls back to the system now, and trim\n"
    "the heap. Large buffers and result slabs are otherwise kept for about two seconds after a\n"
    "call (set VASHLET_KEEP_MEMORY=0 to turn that off). Results still held are not touched.\n"
    "Returns the number of kept bytes freed.");

PyMethodDef cgroup_quota_cores_def = function_def<kCgroupQuotaCoresSignature, quota_cores_under>(
    "_cgroup_quota_cores",
    "_cgroup_quota_cores(root, self_cgroup)\n--\n\n"
    "The cores that the CPU quotas under the cgroup file system at `root` allow a process whose\n"
    "/proc/self/cgroup reads `self_cgroup` (None: no quota). For tests.");

}  // namespace vashlet::py
