// How long after its start a match of a pattern can still be taken: what decides a start that
// has not matched once the watermark is past it.
#pragma once

#include <cstdint>
#include <optional>

#include "model/model.hpp"

namespace vashlet {

// The longest time from a start to the last event of any of its matches, or of the deepest
// partial path the near-miss analysis can find: the sum of the windows along the pattern (a
// repeated element's window counted once per occurrence after its first), at most the pattern's
// `within`. Nothing when no such bound exists (a transition without a window, a repetition
// without a maximum, or a repeated first element, whose occurrences no transition joins) and no
// `within` bounds the whole. `pattern` has its windows in ticks.
std::optional<std::int64_t> match_horizon(const Pattern& pattern);

// True when an event at `ts` lies beyond the horizon of a start at `start_ts`.
bool beyond_horizon(std::int64_t start_ts, std::int64_t ts, std::optional<std::int64_t> horizon);

}  // namespace vashlet
