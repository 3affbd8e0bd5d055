// Near misses of patterns of the language (uses_elements): each start's `first` walk, and why it
// stopped where it did.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "explain/explain.hpp"
#include "model/model.hpp"

namespace vashlet {

// One near miss per start whose `first` walk (match/element_walk.hpp) does not complete: its
// matched events, the element it stopped at and the reason (too_few when that element is below
// its minimum count, otherwise the reason the next required element was not taken, judged as a
// chain's step is). One walk per start, so the work is polynomial in the run's length.
std::vector<NearMiss> language_near_misses(const EventView& events, const Pattern& pattern,
                                           std::size_t threads);

// An element as the funnel and the near misses name it: its first branch's type (`*` for any
// type), alternatives joined with " | " in parentheses, then its quantifier: "failed{3}",
// "(purchase | subscribe)", "cart?", "view+".
std::string element_label(const Step& step);

}  // namespace vashlet
