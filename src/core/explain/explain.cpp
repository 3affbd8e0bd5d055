// The near-miss analysis over runs: for each start of each run that did not match, its deepest
// path (deepest_path.hpp) and why the next step was not taken (classify.hpp), runs shared among
// threads.
#include "explain/explain.hpp"

#include <optional>
#include <utility>

#include "explain/classify.hpp"
#include "explain/deepest_path.hpp"
#include "explain/language_misses.hpp"
#include "explain/pattern_facts.hpp"
#include "explain/run_candidates.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "model/duration.hpp"

namespace vashlet {

std::string_view near_miss_reason(const NearMissDetail& detail) {
  switch (detail.index()) {
    case 0: return "predicate_failed";
    case 1: return "absence_blocked";
    case 2: return "window_exceeded";
    case 3: return "no_successor";
    case 4: return "too_few";
  }
  invariant_failure("unknown near-miss detail");
}

namespace {

using explain::classify;
using explain::classify_if_stuck;
using explain::DeepestPathSearch;
using explain::PathResult;
using explain::PatternFacts;
using explain::RunCandidates;

NearMiss near_miss(const EventView& events, const Pattern& pattern, std::size_t start,
                   std::vector<std::size_t> path, NearMissDetail detail, Bindings captures) {
  NearMiss miss;
  miss.partition = events[start].partition;
  miss.start_index = start;
  miss.reached_steps = path.size();
  miss.element = path.size();
  miss.next_event_type = pattern.steps[path.size()].atom.event_type;
  miss.detail = std::move(detail);
  miss.indices = std::move(path);
  miss.captures = std::move(captures);
  return miss;
}

// Appends the near misses of the run events[begin, end) to `out`, in ascending start order.
void near_misses_of_run(const EventView& events, const Pattern& pattern, const PatternFacts& facts,
                        std::size_t begin, std::size_t end, std::vector<NearMiss>& out) {
  const std::size_t n = pattern.steps.size();
  const Atom& first = pattern.steps.front().atom;
  const Bindings empty;
  const RunCandidates run(events, begin, end, facts.types);
  // Most starts of a long run take no second step: one pass over the second step's candidates
  // tells that and why, and the search is built only for the others.
  std::optional<DeepestPathSearch> search;
  Checkpoint checkpoint;  // where a long run may stop for a cancelled call
  for (std::size_t start : run.of_step(0)) {
    std::optional<Bindings> bindings = first.evaluate(events[start], empty);
    if (!bindings) continue;
    if (std::optional<NearMissDetail> stuck =
            classify_if_stuck(events, pattern.steps[1], run.of_step(1), start, *bindings,
                              checkpoint)) {
      out.push_back(near_miss(events, pattern, start, {start}, std::move(*stuck),
                              std::move(*bindings)));
      continue;
    }
    if (!search) search.emplace(events, pattern, facts, run);
    PathResult deepest = search->deepest_path(start, std::move(*bindings));
    const std::size_t reached = deepest.path.size();
    if (reached == n) continue;
    NearMissDetail detail = classify(events, end, pattern.steps[reached], run.of_step(reached),
                                     deepest.path.back(), deepest.bindings);
    out.push_back(near_miss(events, pattern, start, std::move(deepest.path), std::move(detail),
                            std::move(deepest.bindings)));
  }
}

}  // namespace

std::vector<NearMiss> near_misses(const EventView& events, const Pattern& pattern,
                                  std::size_t threads) {
  if (!validate_pattern(pattern)) {
    invariant_failure("near_misses requires a structurally valid pattern");
  }
  if (!windows_resolved(pattern)) invariant_failure("near_misses requires windows in ticks");
  if (uses_elements(pattern)) return language_near_misses(events, pattern, threads);
  const std::size_t n = pattern.steps.size();
  if (n < 2) return {};  // every start of a one-step pattern is a complete match
  const PatternFacts facts(pattern);
  return map_runs<NearMiss>(events, threads, [&] {
    return [&](const Run& run, std::vector<NearMiss>& out) {
      near_misses_of_run(events, pattern, facts, run.begin, run.end, out);
    };
  });
}

}  // namespace vashlet
