// The matchers' public face: validation, compilation into a Plan, the compiled and the
// reference matcher, and the transition helpers they share with the near-miss analysis.
#pragma once

#include <cstddef>
#include <vector>

#include "match/reference_matcher.hpp"
#include "match/results.hpp"
#include "match/transitions.hpp"
#include "match/window.hpp"
#include "plan/plan.hpp"
#include "plan/validate.hpp"

namespace vashlet {

// The compiled matcher (compile, then Plan::matches); `threads` as for Plan::matches.
std::vector<Match> compiled_matches(const Pattern& pattern, const EventView& events,
                                    std::size_t threads = 1);

}  // namespace vashlet
