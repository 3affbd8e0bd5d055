// One worker's matcher of runs: the choice of strategy per run (chains, the step matcher, or
// chains or the step matcher over each key's events of a long correlated run), each run's
// matches handed to the caller's sink, if any, once they are final.
#pragma once

#include <cstddef>
#include <optional>

#include "match/chain_completions.hpp"
#include "match/chain_matcher.hpp"
#include "match/element_matcher.hpp"
#include "match/exhaustive_budget.hpp"
#include "match/keyed_chains.hpp"
#include "match/match_order.hpp"
#include "match/partitions.hpp"
#include "match/paths_taken.hpp"
#include "match/results.hpp"
#include "match/run_sink.hpp"
#include "match/step_matcher.hpp"
#include "plan/plan.hpp"

namespace vashlet {

class RunMatcher {
 public:
  RunMatcher(const Plan& plan, const EventView& events, MatchBudget& budget);
  RunMatcher(const RunMatcher&) = delete;  // one per worker, built in place
  ~RunMatcher() { paths_taken_.publish(); }

  // Appends the matches of `run` to `out`, in order, then hands them to `sink` where there is
  // one. Runs are given in ascending order.
  void match_run(const Run& run, FlatMatches& out, RunSink* sink = nullptr);

 private:
  bool takes_chains(const Run& run) const {
    return (chains_ && ChainMatcher::takes(run)) ||
           (completions_ && ChainCompletions::takes(run));
  }
  StepMatcher& steps();
  void match_by_key(const Run& run, FlatMatches& out);

  const Plan& plan_;
  const EventView& events_;
  std::optional<KeyedRuns> keyed_;  // the plan's, with this worker's tables
  std::optional<KeyedChains> keyed_chains_;  // where the keys' events may be followed as chains
  MatchBudget& budget_;
  PathsTaken paths_taken_;
  std::optional<ChainMatcher> chains_;
  std::optional<ChainCompletions> completions_;  // exhaustive mode's chains
  std::optional<StepMatcher> steps_;
  std::optional<ElementMatcher> elements_;
  MatchOrder order_;
};

}  // namespace vashlet
