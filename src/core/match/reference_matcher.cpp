// Reference matcher: a plain depth-first search over every candidate path. It states what a
// pattern means and is kept free of any optimisation beyond not recursing on the native stack.
#include "match/reference_matcher.hpp"

#include <optional>
#include <utility>

#include "match/element_reference.hpp"
#include "match/partitions.hpp"
#include "match/transitions.hpp"
#include "model/duration.hpp"
#include "plan/validate.hpp"

namespace vashlet {

namespace {

Match make_match(const EventView& events, std::vector<std::size_t> indices, Bindings captures) {
  Match match;
  match.partition = events[indices.front()].partition;
  match.start = events[indices.front()].ts;
  match.end = events[indices.back()].ts;
  match.indices = std::move(indices);
  match.captures = std::move(captures);
  return match;
}

// One level of the search: the bindings after the last entry of the path at this depth, and the
// next candidate event that this level will try.
struct SearchFrame {
  Bindings bindings;
  std::size_t next_candidate = 0;
};

// Appends, in search order, every match that completes `path` (one entry, for step 0) within the
// run ending before `run_end`. The path is shared by all levels: level k owns path[k].
void extend_path(const EventView& events, std::size_t run_end, const Pattern& pattern,
                 std::vector<std::size_t> path, Bindings bindings, bool exhaustive,
                 std::vector<Match>& out) {
  if (path.empty()) invariant_failure("path is non-empty");
  std::vector<SearchFrame> stack;
  stack.push_back(SearchFrame{std::move(bindings), path.back() + 1});

  while (!stack.empty()) {
    const std::size_t step_index = path.size();
    if (step_index == pattern.steps.size()) {
      out.push_back(make_match(events, path, std::move(stack.back().bindings)));
      stack.pop_back();
      path.pop_back();
      continue;
    }
    const Step& step = pattern.steps[step_index];
    if (!step.transition_from_previous) invariant_failure("transition exists after first step");
    const Transition& transition = *step.transition_from_previous;
    const std::size_t last = path.back();

    SearchFrame& frame = stack.back();
    std::optional<Bindings> child;
    std::size_t candidate = frame.next_candidate;
    for (; candidate < run_end; ++candidate) {
      // An expired window or a passed forbidden event does not end the scan.
      if (!transition_allows(events, last, candidate, transition, frame.bindings)) continue;
      child = step.atom.evaluate(events[candidate], frame.bindings);
      if (child) break;
    }
    if (!child) {
      stack.pop_back();
      path.pop_back();
      continue;
    }
    // First-successor search stops at the first passing candidate, whatever its subtree yields.
    frame.next_candidate = exhaustive ? candidate + 1 : run_end;
    path.push_back(candidate);
    stack.push_back(SearchFrame{std::move(*child), candidate + 1});
  }
}

}  // namespace

std::vector<Match> oracle_matches(const Pattern& pattern, const EventView& events,
                                  std::size_t threads) {
  if (!validate_pattern(pattern)) {
    invariant_failure("oracle_matches requires a structurally valid pattern");
  }
  if (!windows_resolved(pattern)) invariant_failure("oracle_matches requires windows in ticks");
  if (uses_elements(pattern)) return element_reference_matches(pattern, events, threads);
  const bool exhaustive = pattern.consumption == MatchConsumption::ExhaustivePerStart;
  const Atom& first = pattern.steps.front().atom;
  return map_runs<Match>(events, threads, [&] {
    return [&](const Run& run, std::vector<Match>& out) {
      for (std::size_t i = run.begin; i < run.end; ++i) {
        if (std::optional<Bindings> started = first.evaluate(events[i], Bindings{})) {
          extend_path(events, run.end, pattern, {i}, std::move(*started), exhaustive, out);
        }
      }
    };
  });
}

}  // namespace vashlet
