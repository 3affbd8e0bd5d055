#include "process.hpp"

#include "match/paths_taken.hpp"
#include "match/workers.hpp"
#include "memory/memory.hpp"
#include "system/cpu_count.hpp"
#include "tuning.hpp"

namespace vashlet::py {

namespace {

constexpr auto kReleaseMemorySignature = signature("release_memory()");

Ref release_memory(const Arguments<0>&) {
  std::size_t freed = 0;
  {
    const GilReleased unlocked;  // unmapping hundreds of megabytes takes a while
    dismiss_idle_workers();        // their stacks, too, are kept for the next calls
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

constexpr auto kPathsTakenSignature = signature("_paths_taken()");

// A dict of name -> count.
template <class Entries>
Ref counts_to_py(const Entries& entries) {
  Ref dict = Ref::checked(PyDict_New());
  for (const auto& [name, count] : entries) {
    Ref value = size_to_py(count);
    if (PyDict_SetItemString(dict.get(), name, value.get()) < 0) throw PythonError{};
  }
  return dict;
}

Ref paths_taken(const Arguments<0>&) {
  const std::array<std::uint64_t, kPaths> counts = take_paths_taken();
  std::vector<std::pair<const char*, std::size_t>> entries;
  for (std::size_t p = 0; p < kPaths; ++p) {
    entries.emplace_back(path_name(static_cast<Path>(p)), static_cast<std::size_t>(counts[p]));
  }
  return counts_to_py(entries);
}

constexpr auto kWorkerThreadsSignature = signature("_worker_threads()");

Ref worker_threads(const Arguments<0>&) { return size_to_py(worker_count()); }

constexpr auto kTuningSignature = signature("_tuning()");

Ref tuning_thresholds(const Arguments<0>&) {
  const std::pair<const char*, std::size_t> entries[] = {
      {"cached_run", tuning::kCachedRun},
      {"split_from", tuning::kSplitFrom},
      {"reach_index_from", tuning::kReachIndexFrom},
      {"file_above", tuning::kFileAbove},
      {"table_rows_per_slice", tuning::kTableRowsPerSlice},
  };
  return counts_to_py(entries);
}

}  // namespace

PyMethodDef paths_taken_def = function_def<kPathsTakenSignature, paths_taken>(
    "_paths_taken",
    "_paths_taken()\n--\n\n"
    "How many runs (or steps) each matching strategy took since the last call, which resets the\n"
    "counts. For tests.");

PyMethodDef worker_threads_def = function_def<kWorkerThreadsSignature, worker_threads>(
    "_worker_threads",
    "_worker_threads()\n--\n\n"
    "The worker threads the module keeps now, busy or idle. For tests.");

PyMethodDef tuning_def = function_def<kTuningSignature, tuning_thresholds>(
    "_tuning",
    "_tuning()\n--\n\n"
    "The thresholds that choose the matching strategies (see _paths_taken). For tests.");

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
