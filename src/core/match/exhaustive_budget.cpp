// Limits of exhaustive matching: the match budget, the memory estimate, and the reachability
// test by value.
#include "match/exhaustive_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <string>

namespace vashlet {

namespace {

// What the estimates below count per partial path: its place in a step's list and in up to two
// indexes by value, a path node, and a bindings slot with its values.
constexpr std::size_t kPathBytes = 160;
// The share of the usable memory that the matches and partial paths of one call may take: the
// matches are copied again into the result, and the process holds more than the matcher.
constexpr std::size_t kShare = 4;

std::size_t limit_of(int resource) {
  struct rlimit limit {};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<std::size_t>::max();
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

// The memory limit of the process's cgroup (v2, then v1), where it has one.
std::size_t cgroup_limit() {
  for (const char* path : {"/sys/fs/cgroup/memory.max",
                           "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text) || text.empty() || text == "max") continue;
    try {
      return static_cast<std::size_t>(std::stoull(text));
    } catch (const std::exception&) {
      continue;
    }
  }
  return std::numeric_limits<std::size_t>::max();
}

std::string with_commas(std::size_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// "partition 'p' (40,000 events)"
std::string partition_text(const EventView& events, std::size_t run_begin, std::size_t run_end) {
  const std::string& name = events[run_begin].partition;
  std::string shown;
  for (const char c : name.substr(0, 80)) {
    shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  }
  if (name.size() > 80) shown += "...";
  return "partition '" + shown + "' (" + with_commas(run_end - run_begin) + " events)";
}

std::string mebibytes(std::size_t bytes) { return with_commas(bytes >> 20) + " MiB"; }

}  // namespace

std::size_t usable_memory_bytes() {
  std::size_t usable = std::numeric_limits<std::size_t>::max();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) {
    usable = static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
  }
  usable = std::min({usable, limit_of(RLIMIT_AS), limit_of(RLIMIT_DATA), cgroup_limit()});
  return usable;
}

MatchBudget::MatchBudget(std::optional<std::size_t> max_matches, bool exhaustive,
                         std::size_t steps, std::size_t slots, std::size_t workers)
    : exhaustive_(exhaustive) {
  if (max_matches) max_matches_ = match_limit_ = *max_matches;
  if (!exhaustive) return;
  memory_ = usable_memory_bytes() / kShare;
  // Half for the matches, half for the partial paths, shared among the workers.
  const std::size_t match_bytes = 8 * (steps + slots + 1);
  match_limit_ = std::min(match_limit_, memory_ / 2 / match_bytes);
  path_limit_ = memory_ / 2 / std::max<std::size_t>(workers, 1) / (kPathBytes + 8 * slots);
}

void MatchBudget::fail_matches(std::size_t total, const EventView& events, std::size_t run_begin,
                               std::size_t run_end) const {
  if (total > max_matches_) {
    throw MatchLimitError(MatchLimitError::Kind::MaxMatches,
                          "more than max_matches=" + std::to_string(max_matches_) +
                              " matches; the limit was passed in " +
                              partition_text(events, run_begin, run_end));
  }
  throw MatchLimitError(
      MatchLimitError::Kind::Memory,
      "exhaustive matching would hold more than " + with_commas(match_limit_) +
          " matches, beyond its share (" + mebibytes(memory_) +
          ") of the memory this process may use; the limit was passed in " +
          partition_text(events, run_begin, run_end) +
          ". Narrow the pattern (windows, predicates), or bound the result with max_matches");
}

void MatchBudget::fail_paths(std::size_t, const EventView& events, std::size_t run_begin,
                             std::size_t run_end) const {
  throw MatchLimitError(
      MatchLimitError::Kind::Memory,
      "exhaustive matching of " + partition_text(events, run_begin, run_end) +
          " would hold more than " + with_commas(path_limit_) +
          " partial paths at once, beyond its share (" + mebibytes(memory_) +
          ") of the memory this process may use. Narrow the pattern (windows, predicates)");
}

// ---------------------------------------------------------------------------------------------

KeyedReach::KeyedReach(const std::vector<plan::StepPlan>& steps)
    : steps_(steps), last_(steps.size()) {
  for (std::size_t k = 1; k < steps.size(); ++k) {
    applies_ = applies_ || steps[k].advance.keyed_slot() != plan::kNone;
  }
}

void KeyedReach::start_run(bool indexed) {
  indexed_ = applies_ && indexed;
  if (!indexed_) return;
  for (LastByValue& table : last_) table.clear();
}

bool KeyedReach::may_complete(std::size_t k, std::size_t i, const plan::SlotValues& bound) const {
  if (!indexed_) return true;
  for (std::size_t m = k; m < steps_.size(); ++m) {
    const std::size_t slot = steps_[m].advance.keyed_slot();
    if (slot == plan::kNone || slot >= bound.size()) continue;
    const std::size_t last = last_[m].find(*bound[slot]);
    if (last == plan::kNone || last <= i) return false;
  }
  return true;
}

void KeyedReach::LastByValue::clear() {
  if (size_ == 0) return;
  std::fill(slots_.begin(), slots_.end(), Slot{});
  size_ = 0;
}

std::size_t KeyedReach::LastByValue::position(const std::vector<Slot>& slots,
                                              const Value& value) const {
  const std::size_t mask = slots.size() - 1;
  std::size_t at = static_cast<std::size_t>(ValueHash{}(value)) & mask;
  while (slots[at].value && !ValueKeyEqual{}(*slots[at].value, value)) at = (at + 1) & mask;
  return at;
}

void KeyedReach::LastByValue::grow() {
  std::vector<Slot> bigger(slots_.empty() ? 64 : 2 * slots_.size());
  for (const Slot& slot : slots_) {
    if (slot.value) bigger[position(bigger, *slot.value)] = slot;
  }
  slots_ = std::move(bigger);
}

void KeyedReach::LastByValue::emplace(const Value& value, std::size_t index) {
  if (2 * (size_ + 1) > slots_.size()) grow();
  Slot& slot = slots_[position(slots_, value)];
  if (slot.value) return;
  slot = Slot{&value, index};
  ++size_;
}

std::size_t KeyedReach::LastByValue::find(const Value& value) const {
  if (size_ == 0 || equals_nothing(value)) return plan::kNone;
  const Slot& slot = slots_[position(slots_, value)];
  return slot.value ? slot.index : plan::kNone;
}

}  // namespace vashlet
