// The parallel driver: a plan's runs shared among worker threads, each with a RunMatcher of its
// own over the one shared plan, and the matches gathered in order.
#include <utility>

#include "match/exhaustive_budget.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "match/run_matcher.hpp"
#include "memory/memory.hpp"

namespace vashlet {

namespace {

MatchBudget budget_of(const Plan& plan, std::size_t threads) {
  return MatchBudget(plan.max_matches, plan.exhaustive(), plan.steps.size(), plan.layout.size(),
                     threads);
}

}  // namespace

std::vector<FlatMatches> Plan::flat_matches(const EventView& events,
                                            std::size_t threads) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  MatchBudget budget = budget_of(*this, threads);
  return map_run_chunks<FlatMatches>(events, threads, [&] {
    return [matcher = RunMatcher(*this, events, budget)](const Run& run,
                                                         FlatMatches& out) mutable {
      matcher.match_run(run, out);
    };
  });
}

std::vector<SinkPart> Plan::flat_matches(const EventView& events, std::size_t threads,
                                         const MakeRunSink& make_sink) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  MatchBudget budget = budget_of(*this, threads);
  return map_run_chunks<SinkPart>(events, threads, [&] {
    return [matcher = RunMatcher(*this, events, budget), &make_sink](const Run& run,
                                                                     SinkPart& out) mutable {
      if (!out.sink) out.sink = make_sink();
      matcher.match_run(run, out.matches, out.sink.get());
    };
  });
}

std::vector<Match> Plan::matches(const EventView& events, std::size_t threads) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  MatchBudget budget = budget_of(*this, threads);
  // Each run's matches go through a flat buffer that the worker reuses, then become Match
  // records.
  return map_runs<Match>(events, threads, [&] {
    return [matcher = RunMatcher(*this, events, budget), flat = FlatMatches(), this,
            &events](const Run& run, std::vector<Match>& out) mutable {
      flat.clear();
      matcher.match_run(run, flat);
      reserve_for(out, out.size() + flat.size());
      for (std::size_t m = 0; m < flat.size(); ++m) {
        Match& match = out.emplace_back();
        match.indices.assign(flat.indices_of(m), flat.indices_of(m) + flat.length_of(m));
        if (flat.variable) {
          match.elements.assign(flat.elements_of(m), flat.elements_of(m) + flat.length_of(m));
        }
        const Event& first = events[match.indices.front()];
        match.partition = first.partition;
        match.start = first.ts;
        match.end = flat.ends[m];
        match.captures = layout.to_bindings(flat.values_of(m));
      }
    };
  });
}

std::vector<Match> compiled_matches(const Pattern& pattern, const EventView& events,
                                    std::size_t threads) {
  return compile(pattern).matches(events, threads);
}

}  // namespace vashlet
