// Bounds on what one matching call may hold: the matches the caller allows (max_matches), and in
// exhaustive mode the partial paths and matches that fit in the memory the process may use; and
// the pruning of exhaustive partial paths that an equality reference rules out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "plan/atom_plan.hpp"
#include "model/model.hpp"
#include "model/value_hash.hpp"

namespace vashlet {

// Thrown by the matchers when a call passes one of its bounds; the message names the bound, the
// partition and its size. Not an internal failure: the call asked for more than it may have.
class MatchLimitError : public std::runtime_error {
 public:
  enum class Kind : std::uint8_t { MaxMatches, Memory };
  MatchLimitError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The bytes this process may allocate: the least of the physical memory, its address-space and
// data limits, and its cgroup's memory limit (where the system tells them).
std::size_t usable_memory_bytes();

// Shared by the workers of one call. Matches are counted against max_matches in every mode; in
// exhaustive mode, where both can grow with a power of a partition's length, the partial paths a
// worker holds and the matches of the call are also held to a share of the usable memory, so a
// call that would exhaust it fails with a message instead.
class MatchBudget {
 public:
  MatchBudget(std::optional<std::size_t> max_matches, bool exhaustive, std::size_t steps,
              std::size_t slots, std::size_t workers);

  bool exhaustive() const { return exhaustive_; }
  bool counts_matches() const { return max_matches_ != kUnbounded || exhaustive_; }

  // Adds `count` matches of the run that starts at `run_begin` in `events`; throws once the
  // call holds more than it may.
  void add_matches(std::size_t count, const EventView& events, std::size_t run_begin,
                   std::size_t run_end) {
    if (!counts_matches() || count == 0) return;
    const std::size_t total = matches_.fetch_add(count, std::memory_order_relaxed) + count;
    if (total > match_limit_) fail_matches(total, events, run_begin, run_end);
  }
  // Whether one more match (beyond `pending` not yet added) would pass a bound: a cheap test for
  // a matcher that adds its matches in batches.
  bool would_pass(std::size_t pending) const {
    return matches_.load(std::memory_order_relaxed) + pending > match_limit_;
  }
  // Throws when a worker holding `paths` partial paths holds more than its share.
  void check_paths(std::size_t paths, const EventView& events, std::size_t run_begin,
                   std::size_t run_end) const {
    if (paths > path_limit_) fail_paths(paths, events, run_begin, run_end);
  }

 private:
  static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

  [[noreturn]] void fail_matches(std::size_t total, const EventView& events,
                                 std::size_t run_begin, std::size_t run_end) const;
  [[noreturn]] void fail_paths(std::size_t paths, const EventView& events, std::size_t run_begin,
                               std::size_t run_end) const;

  bool exhaustive_;
  std::size_t max_matches_ = kUnbounded;
  std::size_t memory_ = 0;  // the bytes that the bounds below share
  std::size_t match_limit_ = kUnbounded;  // the least of max_matches and the memory's share
  std::size_t path_limit_ = kUnbounded;   // per worker
  std::atomic<std::size_t> matches_{0};
};

// Exhaustive mode, per run: for each step whose atom compares `attr == $name` (its keyed test),
// the last event of the run that may take the step (see StepMatcher::plan_completions) for each
// value of `attr`. A partial path whose bound value no such event after its last one holds can
// never complete: it is dropped before it is filed. Runs short enough that their partial paths
// cannot crowd memory are not indexed (see tuning::kReachIndexFrom).
class KeyedReach {
 public:
  explicit KeyedReach(const std::vector<plan::StepPlan>& steps);

  bool applies() const { return applies_; }
  void start_run(bool indexed);
  // Event i, which the run's backward pass has found may take step k; after steps[k].admits.
  void note(std::size_t k, std::size_t i, const plan::AtomPlan& atom) {
    if (!indexed_ || atom.keyed_slot() == plan::kNone) return;
    const Value& value = atom.key_value();
    if (equals_nothing(value)) return;
    last_[k].emplace(value, i);  // backwards: the first one noted is the last of the run
  }
  // Whether a partial path that waits for step k, last at event i and holding `bound`, may
  // still complete as far as the keyed tests of steps k and later tell.
  bool may_complete(std::size_t k, std::size_t i, const plan::SlotValues& bound) const;

 private:
  // Open addressing from a value's key (ValueKeyEqual) to an event index; the values point into
  // the events' attributes, which outlive the matcher. Storage is kept from run to run.
  class LastByValue {
   public:
    void clear();
    // Keeps the index already stored under the value's key, if any.
    void emplace(const Value& value, std::size_t index);
    std::size_t find(const Value& value) const;  // plan::kNone when absent

   private:
    struct Slot {
      const Value* value = nullptr;
      std::size_t index = 0;
    };
    std::size_t position(const std::vector<Slot>& slots, const Value& value) const;
    void grow();
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
  };

  const std::vector<plan::StepPlan>& steps_;
  bool applies_ = false;
  bool indexed_ = false;
  std::vector<LastByValue> last_;  // per step
};

}  // namespace vashlet
