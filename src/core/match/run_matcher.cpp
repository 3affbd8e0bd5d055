// Strategy per run and event copying: chains where the plan allows them, else the step matcher,
// over each key's events of a long run where the pattern's steps are correlated by one name.
#include "match/run_matcher.hpp"

#include "match/tuning.hpp"
#include "memory/memory.hpp"
#include "memory/packed_events.hpp"

namespace vashlet {

RunMatcher::RunMatcher(const Plan& plan, const EventView& events, bool copy_events,
                       MatchBudget& budget)
    : plan_(plan), events_(events), keyed_(plan.keyed_runs), copy_events_(copy_events),
      budget_(budget) {
  if (plan.chains) chains_.emplace(plan, events);
}

void RunMatcher::match_run(const Run& run, FlatMatches& out) {
  const std::size_t begin = out.size();
  const bool by_key = keyed_ && run.end - run.begin >= tuning::kSplitFrom && !takes_chains(run);
  if (by_key) {
    paths_taken_.note(Path::Keyed);
    match_by_key(run, out);  // copies each key's events as it goes
  } else if (takes_chains(run)) {
    paths_taken_.note(Path::Chains);
    chains_->match_run(run, out);
  } else {
    steps().match_run(run, out);
  }
  // Exhaustive matchers add their matches to the budget as they come.
  if (!budget_.exhaustive()) budget_.add_matches(out.size() - begin, events_, run.begin, run.end);
  if (!by_key) copy_events(out, begin, events_);
}

StepMatcher& RunMatcher::steps() {
  if (!steps_) steps_.emplace(plan_, events_, budget_, paths_taken_);
  return *steps_;
}

void RunMatcher::match_by_key(const Run& run, FlatMatches& out) {
  keyed_->group(events_, run);
  const EventView grouped(keyed_->grouped().data(), keyed_->grouped().size());
  StepMatcher matcher(plan_, grouped, budget_, paths_taken_);
  const std::size_t begin = out.size();
  // A group's events are copied right after its matching, which has just read them: in the
  // order of the run they lie all over memory.
  for (std::size_t g = 0; g < keyed_->groups(); ++g) {
    const std::size_t group_begin = out.size();
    matcher.match_run(keyed_->group_run(g), out);
    copy_events(out, group_begin, grouped);
  }
  for (std::size_t n = begin * out.steps; n < out.indices.size(); ++n) {
    out.indices[n] = keyed_->source(out.indices[n]);
  }
  order_.order(out, begin, false, plan_.exhaustive());
}

// Copies of the events of the matches from `begin` on, named by their positions in `events`,
// where the caller asks for them. A long run's earlier events have left the cache, so those of
// the matches a few turns ahead are fetched early: the events, then their attributes.
void RunMatcher::copy_events(FlatMatches& out, std::size_t begin, const EventView& events) const {
  if (!copy_events_) return;
  constexpr std::size_t kAhead = tuning::kCopyAhead;  // matches
  const auto fetch = [&](std::size_t m, auto&& what) {
    if (m >= out.size()) return;
    for (std::size_t s = 0; s < out.steps; ++s) what(events[out.indices_of(m)[s]]);
  };
  reserve_for(out.copies, out.size());
  for (std::size_t m = begin; m < out.size(); ++m) {
    fetch(m + 2 * kAhead, [](const Event& event) { prefetch(&event, sizeof(Event)); });
    fetch(m + kAhead, [](const Event& event) {
      prefetch_attributes(event, tuning::kAttributeBytes);
    });
    const std::size_t* indices = out.indices_of(m);
    const PackedEventSlabs::Place place = out.copy_slabs.add(
        out.steps, [&](std::size_t s) -> const Event& { return events[indices[s]]; });
    if (out.copy_slabs.ts(place, out.steps - 1) != out.ends[m]) {
      invariant_failure("a match disagrees with the events it names");
    }
    out.copies.push_back(place);
  }
}

}  // namespace vashlet
