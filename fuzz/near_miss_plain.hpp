// The near-miss analysis stated plainly, as the fuzzers' reference: every admissible path from
// every start, nothing remembered, nothing pruned. Exponential, so for tiny inputs only.
#pragma once

#include <vector>

#include "explain/explain.hpp"
#include "model/model.hpp"

namespace vashlet::fuzz {

std::vector<NearMiss> plain_near_misses(const EventView& events, const Pattern& pattern);

}  // namespace vashlet::fuzz
