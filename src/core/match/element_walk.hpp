// The rules of the pattern language's elements, and the `first` walk of one start: the
// definition of what a start matches in `first` mode, which the compiled element matcher and
// the near-miss analysis follow.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "match/transitions.hpp"

#include "match/partitions.hpp"
#include "model/model.hpp"

namespace vashlet {

// One matched event of a walk: its index, the element it was taken as and that element's branch.
struct WalkStep {
  std::size_t index = 0;
  std::uint32_t element = 0;
  std::uint32_t branch = 0;
  friend bool operator==(const WalkStep&, const WalkStep&) = default;
};

// The end of a walk: the path it took, the bindings after it, whether it completed and where it
// stopped (the element of its last matched event, that element's count and the event).
struct ElementWalk {
  std::vector<WalkStep> path;
  Bindings bindings;
  bool completed = false;
  std::uint32_t element = 0;
  std::uint32_t count = 0;
  std::size_t last = 0;
};

// The branch of `step` that `event` passes first, in written order, with the bindings it makes.
struct TakenBranch {
  std::uint32_t branch = 0;
  Bindings bindings;
  bool unchanged = false;  // the branch captures nothing: `bindings` is left empty, not copied
};
std::optional<TakenBranch> take_branch(const Step& step, const Event& event,
                                       const Bindings& bindings);
// True when `event` has the type of one of `step`'s branches (or a branch takes any type).
bool fits_type(const Step& step, const Event& event);
// Allocation-free form of take_branch: the first branch `event` passes, if any.
std::optional<std::uint32_t> passing_branch(const Step& step, const Event& event,
                                            const Bindings& bindings);

// The transition written before element `element` holds from events[from] to events[to]:
// its `<=` window, its `>=` gap and its absences. Element 0 has none (true).
bool element_transition_allows(const Pattern& pattern, std::size_t element, const EventView& events,
                               std::size_t from, std::size_t to, const Bindings& bindings);

// True when a walk whose last event is element `element`, taken `count` times, is complete:
// the element has its minimum and every later element is optional.
bool element_complete(const Pattern& pattern, std::size_t element, std::uint32_t count);

// True when `count` occurrences are below the element's maximum.
bool below_maximum(const Step& step, std::uint32_t count);

// The whole-match conditions on an event taken after `start`: within the pattern's window, and,
// where it would complete a `$` pattern, the run's last event.
bool within_whole_window(const Pattern& pattern, const EventView& events, std::size_t start,
                         std::size_t candidate);
bool end_anchor_allows(const Pattern& pattern, const Run& run, std::size_t candidate,
                       bool completing);

// True when events[start] starts a match: it passes the first element and, with `^`, is the
// run's first event.
bool is_start(const Pattern& pattern, const EventView& events, const Run& run,
              std::size_t start);

// Which events since the walk's last matched one a transition's absences forbid, found once per
// element as the walk reads on: re-reading them for every candidate made a walk that stays put
// quadratic in its run, and the explanation of all starts cubic.
class AbsenceCursors {
 public:
  explicit AbsenceCursors(std::size_t elements) : scanned_(elements), blocker_(elements) {}

  // The events before `count` were let go: every index moves down by `count`.
  void shift(std::size_t count) {
    for (std::size_t& scanned : scanned_) scanned -= count;
    for (std::size_t& blocker : blocker_) {
      if (blocker != kNoBlocker) blocker -= count;
    }
  }

  void restart(std::size_t last) {
    std::fill(scanned_.begin(), scanned_.end(), last + 1);
    std::fill(blocker_.begin(), blocker_.end(), kNoBlocker);
  }

  // No event strictly between the walk's last event and `candidate` (ascending over calls
  // between restarts) is forbidden by the transition before `element`.
  bool clear(const Transition& transition, std::size_t element, const EventView& events,
             std::size_t candidate, const Bindings& bindings) {
    if (transition.absence.empty()) return true;
    std::size_t& scanned = scanned_[element];
    std::size_t& blocker = blocker_[element];
    for (; blocker == kNoBlocker && scanned < candidate; ++scanned) {
      if (forbidden_by(transition, events[scanned], bindings)) blocker = scanned;
    }
    return blocker == kNoBlocker;
  }

 private:
  static constexpr std::size_t kNoBlocker = static_cast<std::size_t>(-1);
  std::vector<std::size_t> scanned_, blocker_;
};

// A value that every event a walk can take next carries under `attribute` (its hash, ValueHash):
// an event whose value there hashes otherwise leaves the walk as it is.
struct WalkKey {
  const std::string* attribute = nullptr;
  std::uint64_t hash = 0;
};

// The `first` walk of one start, read one event at a time (walk_first reads a whole run; a
// stream reads on as events come).
class FirstWalk {
 public:
  // Begins at events[start], which must be a start.
  FirstWalk(const Pattern& pattern, const EventView& events, std::size_t start);
  // Reads events[candidate], the event after those read before; true once the walk completes.
  bool read(const Pattern& pattern, const EventView& events, const Run& run, std::size_t candidate);
  // Begins again at events[start], a start of the same pattern, reusing the walk's room: a
  // stream begins a walk per start, and most end soon.
  void begin_at(const Pattern& pattern, const EventView& events, std::size_t start);
  // The same where the start is known to pass `branch` of the first element (the first it passes).
  void begin_at(const Pattern& pattern, const EventView& events, std::size_t start,
                std::uint32_t branch);
  void mark_complete(bool completed) { walk_.completed = completed; }
  bool completed() const { return walk_.completed; }
  const ElementWalk& walk() const { return walk_; }
  ElementWalk result() && { return std::move(walk_); }
  std::size_t start() const { return start_; }
  // The events before `count` were let go: every index moves down by `count`.
  void shift(std::size_t count);
  // The latest timestamp at which an event can still be taken (the walk is over once every later
  // event comes after it); nothing where no window bounds the next one.
  std::optional<std::int64_t> deadline(const Pattern& pattern, const EventView& events) const;
  // The key of the events that can move the walk: every branch of every element it may take
  // next compares one attribute with `==` to a bound name (or captures it into a bound name).
  // None where the branches share no such equality.
  std::optional<WalkKey> key(const Pattern& pattern) const;

  // may_take, deadline and key of a walk that has taken only events[start] (by the first
  // element's `branch`), without making one: a stream begins a walk once an event may move it.
  static bool fresh_may_take(const Pattern& pattern, const Event& event);
  static std::optional<std::int64_t> fresh_deadline(const Pattern& pattern,
                                                    const EventView& events, std::size_t start);
  static std::optional<WalkKey> fresh_key(const Pattern& pattern, const Event& start,
                                          std::uint32_t branch);

 private:
  // Whether `event` has the type of an element the walk could take it as.
  bool may_take(const Pattern& pattern, const Event& event) const;

  ElementWalk walk_;
  AbsenceCursors cursors_;
  std::size_t start_;
};

// The `first` walk from events[start] over the run (pattern valid, windows in ticks); nothing
// when events[start] is not a start.
std::optional<ElementWalk> walk_first(const Pattern& pattern, const EventView& events,
                                      const Run& run, std::size_t start);

}  // namespace vashlet
