// Helpers that the matchers and the near-miss analysis share: the tests of one transition
// (window and forbidden events), and the event order that runs are read in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "match/window.hpp"
#include "model/model.hpp"

namespace vashlet {

// True when some absence atom of `transition` accepts `event` under `bindings`: the one absence
// test of the matchers and the near-miss analysis.
bool forbidden_by(const Transition& transition, const Event& event, const Bindings& bindings);

bool transition_allows(const EventView& events, std::size_t from, std::size_t to,
                       const Transition& transition, const Bindings& bindings);

bool is_sorted_by_partition_time_index(const EventView& events);
// The pairwise rule that is_sorted_by_partition_time_index applies to every pair of neighbours.
bool in_event_order(const Event& previous, const Event& next);

}  // namespace vashlet
