// Match ordering: a run's matches, written as they complete, put in the run's order.
#pragma once

#include <cstddef>
#include <vector>

#include "match/results.hpp"

namespace vashlet {

// Puts matches in the run's order: ascending index lists. Matchers write matches as they
// complete, while what they read is still in the cache, but matches complete in no particular
// order; so a run's matches are ordered by first event at its end (in first-successor mode no two
// share one), and those that share a first event (only in exhaustive mode) by their whole index
// lists. Where there are many matches for the span of events they start in, a counting sort by
// first event costs a pass over each, where a comparison sort of a large run's matches would
// cost a growing factor per match.
class MatchOrder {
 public:
  // Orders the matches of `out` from `begin` on; `in_order`: they are known to ascend by first
  // event already.
  void order(FlatMatches& out, std::size_t begin, bool in_order, bool exhaustive);

 private:
  std::vector<std::size_t> first_counts_;
  std::vector<std::size_t> order_;
  FlatMatches reordered_;
};

}  // namespace vashlet
