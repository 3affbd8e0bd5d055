// The rules of the pattern language's elements, and the `first` walk of one start: the
// definition of what a start matches in `first` mode, which the compiled element matcher and
// the near-miss analysis follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

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
};
std::optional<TakenBranch> take_branch(const Step& step, const Event& event,
                                       const Bindings& bindings);
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

// The `first` walk from events[start] over the run (pattern valid, windows in ticks); nothing
// when events[start] is not a start.
std::optional<ElementWalk> walk_first(const Pattern& pattern, const EventView& events,
                                      const Run& run, std::size_t start);

}  // namespace vashlet
