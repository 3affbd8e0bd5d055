// The near misses of language patterns: the `first` walk of each start, then the reason it
// stopped, by the chain's classifier applied to the element the walk waited on.
#include "explain/language_misses.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "explain/classify.hpp"
#include "match/element_walk.hpp"
#include "match/partitions.hpp"
#include "system/cancel.hpp"

namespace vashlet {

namespace {

// The element the walk waited on and, when that is not too_few, the run's events it could have
// taken there (ascending): the next element that cannot be skipped or, where only the `$`
// anchor was missing, the last element, which only the run's last event can complete.
struct Waited {
  std::size_t element = 0;
  std::vector<std::size_t> candidates;
};

Waited waited_element(const Pattern& pattern, const EventView& events, const Run& run,
                      const ElementWalk& walk) {
  Waited waited{pattern.steps.size() - 1, {}};
  for (std::size_t next = walk.element + 1; next < pattern.steps.size(); ++next) {
    if (pattern.steps[next].min_count > 0) {
      waited.element = next;
      break;
    }
  }
  const Step& step = pattern.steps[waited.element];
  const bool completing = element_complete(pattern, waited.element, 1);
  for (std::size_t j = walk.last + 1; j < run.end; ++j) {
    if (!fits_type(step, events[j])) continue;
    if (!end_anchor_allows(pattern, run, j, completing)) continue;
    waited.candidates.push_back(j);
  }
  return waited;
}

NearMiss explained(const Pattern& pattern, const EventView& events, const Run& run,
                   std::size_t start, ElementWalk walk) {
  NearMiss miss;
  miss.partition = events[start].partition;
  miss.start_index = start;
  miss.reached_steps = walk.path.size();
  for (const WalkStep& step : walk.path) {
    miss.indices.push_back(step.index);
    miss.elements.push_back(step.element);
  }
  const Step& current = pattern.steps[walk.element];
  if (walk.count < current.min_count) {
    miss.element = walk.element;
    miss.detail = TooFew{walk.count, current.min_count};
  } else {
    Waited waited = waited_element(pattern, events, run, walk);
    const Step& step = pattern.steps[waited.element];
    const Transition none;
    const Transition& transition =
        step.transition_from_previous ? *step.transition_from_previous : none;
    explain::ElementLimits limits{events[start].ts, pattern.within_elapsed,
                                  transition.min_elapsed};
    // Element 0 waited on again (only under `$`) is joined by no transition.
    Step judged = step;
    if (!judged.transition_from_previous) judged.transition_from_previous = none;
    miss.element = waited.element;
    miss.detail = explain::classify(events, run.end, judged, waited.candidates, walk.last,
                                    walk.bindings, &limits);
  }
  miss.next_event_type = element_label(pattern.steps[miss.element]);
  miss.captures = std::move(walk.bindings);
  return miss;
}

std::string quantifier(const Step& step) {
  const std::uint32_t low = step.min_count;
  const std::optional<std::uint32_t> high = step.max_count;
  if (high && *high == low && low == 1) return "";
  if (!high && low == 1) return "+";
  if (high && low == 0 && *high == 1) return "?";
  std::string text = "{";
  text += std::to_string(low);
  if (!high || *high != low) text += ',';
  if (high && *high != low) text += std::to_string(*high);
  text += '}';
  return text;
}

std::string branch_label(const Atom& atom) { return atom.any_type ? "*" : atom.event_type; }

}  // namespace

std::string element_label(const Step& step) {
  std::string label;
  if (step.alternatives.empty()) {
    label = branch_label(step.atom);
  } else {
    label = "(";
    for (std::size_t k = 0; k < step.branch_count(); ++k) {
      if (k) label += " | ";
      label += branch_label(step.branch(k));
    }
    label += ")";
  }
  return label + quantifier(step);
}

std::vector<NearMiss> language_near_misses(const EventView& events, const Pattern& pattern,
                                           std::size_t threads) {
  return map_runs<NearMiss>(events, threads, [&] {
    return [&](const Run& run, std::vector<NearMiss>& out) {
      Checkpoint checkpoint;  // a walk may read the whole run
      for (std::size_t start = run.begin; start < run.end; ++start) {
        checkpoint(run.end - start);
        std::optional<ElementWalk> walk = walk_first(pattern, events, run, start);
        if (!walk || walk->completed) continue;
        out.push_back(explained(pattern, events, run, start, std::move(*walk)));
      }
    };
  });
}

}  // namespace vashlet
