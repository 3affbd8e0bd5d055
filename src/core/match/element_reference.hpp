// The reference matcher of the pattern language: what a pattern with language elements matches
// in each mode, stated plainly, which the compiled element matcher is tested against.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "match/results.hpp"
#include "model/model.hpp"

namespace vashlet {

// Every match of `pattern` (valid, windows in ticks) over `events` (in event order) in the
// pattern's consumption mode; the runs are shared among `threads` native threads.
std::vector<Match> element_reference_matches(const Pattern& pattern, const EventView& events,
                                             std::size_t threads = 1);

}  // namespace vashlet
