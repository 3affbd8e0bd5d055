#include "system/cpu_count.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstdint>
#include <chrono>
#include <fstream>
#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace vashlet {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<long long> whole_number(std::string_view text) {
  text = trimmed(text);
  long long number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return number;
}

std::optional<std::size_t> cores_of(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;  // -1 (v1) or nonsense: no quota
  const long long cores = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<std::size_t>(std::max<long long>(cores, 1));
}

std::optional<std::string> file_text(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The group's directory under `base` and each ancestor up to `base` itself; only `base` where
// the group's own directory is not there (a container sees its group as its root).
std::vector<std::string> group_and_ancestors(const std::string& base, std::string_view group) {
  std::vector<std::string> dirs;
  std::string path(trimmed(group));
  while (!path.empty() && path != "/") {
    if (std::ifstream(base + path + "/cgroup.procs") || file_text(base + path + "/cpu.max") ||
        file_text(base + path + "/cpu.cfs_quota_us")) {
      dirs.push_back(base + path);
    }
    path.erase(path.rfind('/'));
  }
  dirs.push_back(base);
  return dirs;
}

// The path of the v2 group ("0::/path") and of the v1 group of the cpu controller.
void groups_of(std::string_view self_cgroup, std::string& v2, std::string& v1) {
  while (!self_cgroup.empty()) {
    const std::size_t end = std::min(self_cgroup.find('\n'), self_cgroup.size());
    const std::string_view line = self_cgroup.substr(0, end);
    self_cgroup.remove_prefix(std::min(end + 1, self_cgroup.size()));
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) {
      v2 = path;
      continue;
    }
    std::string_view rest = controllers;
    while (!rest.empty()) {
      const std::size_t comma = std::min(rest.find(','), rest.size());
      if (rest.substr(0, comma) == "cpu") v1 = path;
      rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
  }
}

std::size_t affinity_cores() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

}  // namespace

std::optional<std::size_t> quota_cores_v2(std::string_view cpu_max) {
  cpu_max = trimmed(cpu_max);
  const std::size_t space = cpu_max.find(' ');
  const std::string_view quota = cpu_max.substr(0, space);
  if (quota == "max") return std::nullopt;
  // The period may be left out; the kernel's default is 100 ms.
  const std::optional<long long> period =
      space == std::string_view::npos ? 100000 : whole_number(cpu_max.substr(space + 1));
  const std::optional<long long> amount = whole_number(quota);
  if (!amount || !period) return std::nullopt;
  return cores_of(*amount, *period);
}

std::optional<std::size_t> quota_cores_v1(std::string_view quota, std::string_view period) {
  const std::optional<long long> amount = whole_number(quota);
  const std::optional<long long> length = whole_number(period);
  if (!amount || !length) return std::nullopt;
  return cores_of(*amount, *length);
}

std::optional<std::size_t> cgroup_quota_cores(const std::string& root,
                                               std::string_view self_cgroup) {
  std::string v2;
  std::string v1;
  groups_of(self_cgroup, v2, v1);
  std::optional<std::size_t> cores;
  for (const std::string& dir : group_and_ancestors(root, v2)) {
    if (const auto text = file_text(dir + "/cpu.max")) cores = tighter(cores, quota_cores_v2(*text));
  }
  for (const char* controller : {"/cpu", "/cpu,cpuacct", "/cpuacct,cpu"}) {
    for (const std::string& dir : group_and_ancestors(root + controller, v1)) {
      const auto quota = file_text(dir + "/cpu.cfs_quota_us");
      const auto period = file_text(dir + "/cpu.cfs_period_us");
      if (quota && period) cores = tighter(cores, quota_cores_v1(*quota, *period));
    }
  }
  return cores;
}

std::size_t usable_cores() {
  // Reading the files costs a few dozen system calls: not on every call. Two threads that find
  // the figure old both read it, which is harmless; there is no lock for a fork to find held.
  static std::atomic<std::int64_t> read_until{0};
  static std::atomic<std::size_t> quota{0};  // 0: none
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  if (now >= read_until.load(std::memory_order_acquire)) {
    const std::optional<std::string> self = file_text("/proc/self/cgroup");
    // Tests set a quota by pointing at a cgroup file system of their own.
    const char* root = std::getenv("VASHLET_TEST_CGROUP_ROOT");
    quota.store(cgroup_quota_cores(root != nullptr ? root : "/sys/fs/cgroup",
                                   self ? *self : std::string())
                    .value_or(0),
                std::memory_order_relaxed);
    read_until.store(now + 5000, std::memory_order_release);
  }
  const std::size_t cap = quota.load(std::memory_order_relaxed);
  const std::size_t cores = affinity_cores();
  return cap > 0 ? std::min(cap, cores) : cores;
}

}  // namespace vashlet
