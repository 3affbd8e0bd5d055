// Structural validation of a pattern: a first step without a transition, and a transition into
// every later one.
#include "plan/validate.hpp"

namespace vashlet {

Status validate_pattern(const Pattern& pattern) {
  if (pattern.steps.empty()) return Error{"pattern must contain at least one step"};
  if (pattern.steps.front().transition_from_previous) {
    return Error{"the first pattern step cannot have a transition"};
  }
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    if (!pattern.steps[i].transition_from_previous) {
      return Error{"every step after the first must have a transition"};
    }
  }
  return Ok{};
}

}  // namespace vashlet
