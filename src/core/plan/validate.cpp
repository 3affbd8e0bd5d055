// Structural validation of a pattern: a first step without a transition, and a transition into
// every later one.
#include "plan/validate.hpp"

#include <string>

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
  for (std::size_t i = 0; i < pattern.steps.size(); ++i) {
    const Step& step = pattern.steps[i];
    const std::string where = "step " + std::to_string(i);
    if (step.max_count && *step.max_count == 0) {
      return Error{where + " is taken at most 0 times: a step's maximum count must be at least 1"};
    }
    if (step.max_count && *step.max_count < step.min_count) {
      return Error{where + " is taken at least " + std::to_string(step.min_count) + " and at most " +
                   std::to_string(*step.max_count) + " times: the maximum must not be below the minimum"};
    }
    if (i == 0 && step.min_count == 0) {
      return Error{"the first step cannot be optional: a match starts with an event"};
    }
  }
  return Ok{};
}

}  // namespace vashlet
