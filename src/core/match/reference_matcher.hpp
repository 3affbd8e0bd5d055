// The reference matcher: the readable definition of what a pattern matches, which the compiled
// matchers are tested against.
#pragma once

#include <cstddef>
#include <vector>

#include "match/results.hpp"
#include "model/model.hpp"

namespace vashlet {

// Every match of `pattern` (valid, windows in ticks) over `events` (in event order); the runs
// are shared among `threads` native threads, with the same result for any number.
std::vector<Match> oracle_matches(const Pattern& pattern, const EventView& events,
                                  std::size_t threads = 1);

}  // namespace vashlet
