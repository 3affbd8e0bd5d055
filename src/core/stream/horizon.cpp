// The bound on a match's span that decides the starts of a stream.
#include "stream/horizon.hpp"

#include <limits>

namespace vashlet {

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

std::optional<std::int64_t> saturated_sum(std::int64_t a, std::int64_t b) {
  if (a > kMax - b) return std::nullopt;
  return a + b;
}

}  // namespace

std::optional<std::int64_t> match_horizon(const Pattern& pattern) {
  std::optional<std::int64_t> total = std::int64_t{0};
  for (std::size_t k = 0; k < pattern.steps.size() && total; ++k) {
    const Step& step = pattern.steps[k];
    const std::uint64_t occurrences = step.max_count ? *step.max_count : 0;  // 0: no maximum
    if (k == 0) {
      // Later occurrences of the first element are joined by no transition.
      if (occurrences != 1) total.reset();
      continue;
    }
    const std::optional<Transition>& transition = step.transition_from_previous;
    if (!transition || !transition->max_elapsed || occurrences == 0) {
      total.reset();
      break;
    }
    const std::int64_t window = *transition->max_elapsed;
    if (window > 0 && occurrences > static_cast<std::uint64_t>(kMax / window)) {
      total.reset();
      break;
    }
    total = saturated_sum(*total, window * static_cast<std::int64_t>(occurrences));
  }
  if (pattern.within_elapsed && (!total || *pattern.within_elapsed < *total)) {
    return *pattern.within_elapsed;
  }
  return total;
}

bool beyond_horizon(std::int64_t start_ts, std::int64_t ts, std::optional<std::int64_t> horizon) {
  if (!horizon) return false;
  if (start_ts > 0 && *horizon > kMax - start_ts) return false;  // nothing lies beyond
  return ts > start_ts + *horizon;
}

}  // namespace vashlet
