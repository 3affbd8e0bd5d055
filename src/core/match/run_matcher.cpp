// Strategy per run: the element matcher for patterns of the language; else chains where the plan
// allows them (followed, or in exhaustive mode enumerated), else the step matcher, either of them
// over each key's events of a long run where the pattern's steps are correlated by one name.
#include "match/run_matcher.hpp"

#include "system/cancel.hpp"
#include "tuning.hpp"

namespace vashlet {

RunMatcher::RunMatcher(const Plan& plan, const EventView& events, MatchBudget& budget)
    : plan_(plan), events_(events), keyed_(plan.keyed_runs), keyed_chains_(KeyedChains::of(plan)),
      budget_(budget) {
  if (plan.chains) chains_.emplace(plan, events);
  if (ChainCompletions::applies(plan)) completions_.emplace(plan, events, budget);
}

void RunMatcher::match_run(const Run& run, FlatMatches& out, RunSink* sink) {
  const std::size_t begin = out.size();
  if (plan_.language) {
    paths_taken_.note(Path::Elements);
    if (!elements_) elements_.emplace(plan_, events_, budget_, paths_taken_);
    elements_->match_run(run, out);
    if (!budget_.exhaustive()) budget_.add_matches(out.size() - begin, events_, run.begin, run.end);
    if (sink) sink->run_matched(out, begin, events_);
    return;
  }
  const bool by_key = keyed_ && run.end - run.begin >= tuning::kSplitFrom && !takes_chains(run) &&
                      KeyedRuns::takes(run);
  if (by_key) {
    paths_taken_.note(Path::Keyed);
    match_by_key(run, out);
  } else if (takes_chains(run) && completions_) {
    paths_taken_.note(Path::ExhaustiveChains);
    completions_->match_run(run, out);
  } else if (takes_chains(run)) {
    paths_taken_.note(Path::Chains);
    chains_->match_run(run, out);
  } else {
    steps().match_run(run, out);
  }
  if (!by_key && events_.numbers().types) paths_taken_.note(Path::NumberedTypes);
  // Exhaustive matchers add their matches to the budget as they come.
  if (!budget_.exhaustive()) budget_.add_matches(out.size() - begin, events_, run.begin, run.end);
  if (sink) sink->run_matched(out, begin, events_);
}

StepMatcher& RunMatcher::steps() {
  if (!steps_) steps_.emplace(plan_, events_, budget_, paths_taken_);
  return *steps_;
}

void RunMatcher::match_by_key(const Run& run, FlatMatches& out) {
  keyed_->number(events_, run);
  // Where every key may be followed as chains, the run needs no grouping: its matches come in
  // run order from one pass over it.
  if (keyed_chains_ && keyed_->all_exact()) {
    keyed_chains_->match_run(*keyed_, events_, out);
    paths_taken_.note(Path::KeyedChains);
    return;
  }
  keyed_->place();
  std::optional<EventView> grouped;  // made for the step matcher, where a key needs it
  std::optional<StepMatcher> matcher;
  const std::size_t begin = out.size();
  bool chained = false;
  Checkpoint checkpoint;  // the step matcher has its own; chains may stop between keys
  for (std::size_t g = 0; g < keyed_->groups(); ++g) {
    if (keyed_chains_ && keyed_->exact(g)) {
      const Run group = keyed_->group_run(g);
      checkpoint(group.end - group.begin);
      keyed_chains_->match_group(*keyed_, g, events_, out);
      chained = true;
      continue;
    }
    if (!matcher) {
      grouped.emplace(keyed_->grouped_events(events_));
      matcher.emplace(plan_, *grouped, budget_, paths_taken_);
    }
    // The step matcher gives positions among the grouped events; chains give the sources.
    const std::size_t first = out.indices.size();
    matcher->match_run(keyed_->group_run(g), out);
    for (std::size_t n = first; n < out.indices.size(); ++n) {
      out.indices[n] = keyed_->source(out.indices[n]);
    }
  }
  if (chained) paths_taken_.note(Path::KeyedChains);
  order_.order(out, begin, false, plan_.exhaustive());
}

}  // namespace vashlet
