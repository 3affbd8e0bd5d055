// Helpers shared with the near-miss analysis: transition tests and the event order check.
#include "match/transitions.hpp"

namespace vashlet {

bool forbidden_by(const Transition& transition, const Event& event, const Bindings& bindings) {
  for (const Atom& atom : transition.absence) {
    if (atom.accepts(event, bindings)) return true;
  }
  return false;
}

bool transition_allows(const EventView& events, std::size_t from, std::size_t to,
                       const Transition& transition, const Bindings& bindings) {
  if (from >= to || to >= events.size()) {
    invariant_failure("transition_allows requires from < to < number of events");
  }
  const std::int64_t from_ts = events[from].ts;
  const std::int64_t to_ts = events[to].ts;
  if (to_ts < from_ts) return false;
  if (transition.max_elapsed && window_exceeded(from_ts, to_ts, *transition.max_elapsed)) {
    return false;
  }
  if (to == from + 1 || transition.absence.empty()) return true;
  for (std::size_t j = from + 1; j < to; ++j) {
    if (forbidden_by(transition, events[j], bindings)) return false;
  }
  return true;
}

bool is_sorted_by_partition_time_index(const EventView& events) {
  for (std::size_t i = 1; i < events.size(); ++i) {
    if (!in_event_order(events[i - 1], events[i])) return false;
  }
  return true;
}

bool in_event_order(const Event& previous, const Event& next) {
  if (same_bytes(previous.partition, next.partition)) return previous.ts <= next.ts;
  return compare_bytes(previous.partition, next.partition) < 0;
}

}  // namespace vashlet
