// One worker's matcher of runs: the choice of strategy per run (chains, the step matcher, or the
// step matcher over each key's events of a long correlated run), and copies of the matches'
// events where the caller asks for them.
#pragma once

#include <cstddef>
#include <optional>

#include "match/chain_matcher.hpp"
#include "match/exhaustive_budget.hpp"
#include "match/match_order.hpp"
#include "match/partitions.hpp"
#include "match/paths_taken.hpp"
#include "match/results.hpp"
#include "match/step_matcher.hpp"
#include "plan/plan.hpp"

namespace vashlet {

class RunMatcher {
 public:
  RunMatcher(const Plan& plan, const EventView& events, bool copy_events, MatchBudget& budget);
  RunMatcher(const RunMatcher&) = delete;  // one per worker, built in place
  ~RunMatcher() { paths_taken_.publish(); }

  // Appends the matches of `run` to `out`, in order. Runs are given in ascending order.
  void match_run(const Run& run, FlatMatches& out);

 private:
  bool takes_chains(const Run& run) const { return chains_ && ChainMatcher::takes(run); }
  StepMatcher& steps();
  void match_by_key(const Run& run, FlatMatches& out);
  void copy_events(FlatMatches& out, std::size_t begin, const EventView& events) const;

  const Plan& plan_;
  const EventView& events_;
  std::optional<KeyedRuns> keyed_;  // the plan's, with this worker's tables
  bool copy_events_;
  MatchBudget& budget_;
  PathsTaken paths_taken_;
  std::optional<ChainMatcher> chains_;
  std::optional<StepMatcher> steps_;
  MatchOrder order_;
};

}  // namespace vashlet
