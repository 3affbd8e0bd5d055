// Reference matcher of the language: `first` is the walk of each start; `all` a depth-first
// enumeration of every assignment of later events to elements that the definition admits;
// `non_overlapping` the first walks of the starts after each match's last event.
#include "match/element_reference.hpp"

#include <algorithm>
#include <utility>

#include "match/element_walk.hpp"
#include "match/partitions.hpp"

namespace vashlet {

namespace {

Match make_match(const EventView& events, const std::vector<WalkStep>& path, Bindings captures) {
  Match match;
  for (const WalkStep& step : path) {
    match.indices.push_back(step.index);
    match.elements.push_back(step.element);
  }
  match.partition = events[path.front().index].partition;
  match.start = events[path.front().index].ts;
  match.end = events[path.back().index].ts;
  match.captures = std::move(captures);
  return match;
}

// One level of the enumeration: the path's state after its last event, and the next
// (candidate, element) pair this level tries.
struct Level {
  Bindings bindings;
  std::uint32_t element = 0;
  std::uint32_t count = 0;
  std::size_t candidate = 0;
  std::uint32_t option = 0;  // elements tried for `candidate`: element + option
};

// Every match that begins with events[start], in search order (sorted by the caller).
void enumerate_from(const Pattern& pattern, const EventView& events, const Run& run,
                    std::size_t start, std::vector<Match>& out) {
  const std::uint32_t elements = static_cast<std::uint32_t>(pattern.steps.size());
  std::optional<TakenBranch> first = take_branch(pattern.steps.front(), events[start], Bindings{});
  std::vector<WalkStep> path{WalkStep{start, 0, first->branch}};
  std::vector<Level> stack;
  stack.push_back(Level{std::move(first->bindings), 0, 1, start + 1, 0});
  const auto complete_here = [&](const Level& level) {
    return element_complete(pattern, level.element, level.count) &&
           end_anchor_allows(pattern, run, path.back().index, true);
  };
  if (complete_here(stack.back())) out.push_back(make_match(events, path, stack.back().bindings));

  while (!stack.empty()) {
    Level& level = stack.back();
    const std::size_t last = path.back().index;
    bool descended = false;
    for (; level.candidate < run.end && !descended; ++level.candidate, level.option = 0) {
      if (!within_whole_window(pattern, events, start, level.candidate)) {
        level.candidate = run.end;
        break;
      }
      // Options: one more of the current element, then each later element reachable by
      // skipping optional ones; in ascending element order.
      for (; level.element + level.option < elements && !descended; ++level.option) {
        const std::uint32_t target = level.element + level.option;
        const Step& step = pattern.steps[target];
        if (level.option == 0) {
          if (!below_maximum(step, level.count)) continue;
        } else {
          if (level.count < pattern.steps[level.element].min_count) break;
          bool skippable = true;
          for (std::uint32_t between = level.element + 1; between < target; ++between) {
            skippable = skippable && pattern.steps[between].min_count == 0;
          }
          if (!skippable) break;
        }
        if (!element_transition_allows(pattern, target, events, last, level.candidate,
                                       level.bindings)) {
          continue;
        }
        std::optional<TakenBranch> taken = take_branch(step, events[level.candidate], level.bindings);
        if (!taken) continue;
        const std::uint32_t count = level.option == 0 ? level.count + 1 : 1;
        path.push_back(WalkStep{level.candidate, target, taken->branch});
        Level child{std::move(taken->bindings), target, count, level.candidate + 1, 0};
        ++level.option;  // resume after this option
        descended = true;
        if (element_complete(pattern, target, count) &&
            end_anchor_allows(pattern, run, path.back().index, true)) {
          out.push_back(make_match(events, path, child.bindings));
        }
        stack.push_back(std::move(child));
        break;
      }
      if (descended) break;
    }
    if (descended) continue;
    stack.pop_back();
    path.pop_back();
  }
}

bool precedes(const Match& a, const Match& b) {
  if (a.indices != b.indices) return a.indices < b.indices;
  return a.elements < b.elements;
}

void match_run(const Pattern& pattern, const EventView& events, const Run& run,
               std::vector<Match>& out) {
  const MatchConsumption mode = pattern.consumption;
  std::size_t next_start = run.begin;
  for (std::size_t start = run.begin; start < run.end; ++start) {
    if (start < next_start || !is_start(pattern, events, run, start)) continue;
    if (mode == MatchConsumption::ExhaustivePerStart) {
      const std::size_t begin = out.size();
      enumerate_from(pattern, events, run, start, out);
      std::sort(out.begin() + static_cast<std::ptrdiff_t>(begin), out.end(), precedes);
      continue;
    }
    std::optional<ElementWalk> walk = walk_first(pattern, events, run, start);
    if (!walk->completed) continue;
    out.push_back(make_match(events, walk->path, std::move(walk->bindings)));
    if (mode == MatchConsumption::NonOverlapping) next_start = walk->last + 1;
  }
}

}  // namespace

std::vector<Match> element_reference_matches(const Pattern& pattern, const EventView& events,
                                             std::size_t threads) {
  return map_runs<Match>(events, threads, [&] {
    return [&](const Run& run, std::vector<Match>& out) { match_run(pattern, events, run, out); };
  });
}

}  // namespace vashlet
