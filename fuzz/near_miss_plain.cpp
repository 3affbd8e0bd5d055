#include "near_miss_plain.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "match/matcher.hpp"

namespace vashlet::fuzz {
namespace {

struct Path {
  std::vector<std::size_t> indices;
  Bindings bindings;
};

// The longest admissible extension of `path` for steps k onwards; among equally long ones the
// lexicographically smallest. Takes its path by value: each branch owns its own.
Path deepest_path(const EventView& events, std::size_t run_end, const Pattern& pattern,
                  std::size_t k, Path path) {
  if (k == pattern.steps.size()) return path;
  const std::size_t last = path.indices.back();
  const Step& step = pattern.steps[k];
  const Transition& transition = *step.transition_from_previous;
  std::optional<Path> best;
  for (std::size_t j = last + 1; j < run_end; ++j) {
    if (!transition_allows(events, last, j, transition, path.bindings)) continue;
    std::optional<Bindings> extended = step.atom.evaluate(events[j], path.bindings);
    if (!extended) continue;
    Path child_path{path.indices, std::move(*extended)};
    child_path.indices.push_back(j);
    Path child = deepest_path(events, run_end, pattern, k + 1, std::move(child_path));
    if (!best || child.indices.size() > best->indices.size() ||
        (child.indices.size() == best->indices.size() && child.indices < best->indices)) {
      best = std::move(child);
    }
  }
  return best ? std::move(*best) : std::move(path);
}

std::optional<Value> attribute(const Event& event, const std::string& name) {
  const Value* value = event.attrs.find(name);
  return value ? std::optional<Value>(*value) : std::nullopt;
}

// The failed clauses of the candidate; the atom's own captures are checked, not applied.
std::vector<PredicateFailure> failed_clauses(const Atom& atom, const Event& event, const Bindings& bindings) {
  std::vector<PredicateFailure> failures;
  for (const Predicate& predicate : atom.predicates) {
    const std::optional<Value> actual = attribute(event, predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) {
      failures.push_back({PredicateFailure::Predicate{predicate.attribute, predicate.op, predicate.value, actual}});
    }
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const std::optional<Value> actual = attribute(event, reference.attribute);
    const Value* bound_value = bindings.find(reference.binding);
    const std::optional<Value> bound = bound_value ? std::optional<Value>(*bound_value) : std::nullopt;
    if (!actual || !bound || !matches(reference.op, *actual, *bound)) {
      failures.push_back({PredicateFailure::Reference{reference.attribute, reference.op, reference.binding,
                                                      bound, actual}});
    }
  }
  for (const Capture& capture : atom.captures) {
    const Value* bound = bindings.find(capture.name);
    if (!bound) continue;
    const Value actual = attribute(event, capture.attribute).value_or(Value::null());
    if (!(actual == *bound)) {
      failures.push_back({PredicateFailure::Capture{capture.name, capture.attribute, *bound, actual}});
    }
  }
  return failures;
}

bool forbidden(const Transition& transition, const Event& event, const Bindings& bindings) {
  for (const Atom& atom : transition.absence) {
    if (atom.evaluate(event, bindings)) return true;
  }
  return false;
}

std::int64_t saturated_gap(std::int64_t earlier, std::int64_t later) {
  std::int64_t gap = 0;
  if (!__builtin_sub_overflow(later, earlier, &gap)) return gap;
  return later > earlier ? INT64_MAX : INT64_MIN;
}

// The first in-time, unblocked candidate is judged; else the first blocked, else the first late.
NearMissDetail classify(const EventView& events, std::size_t run_end, const Step& step, std::size_t last,
                        const Bindings& bindings) {
  const Transition& transition = *step.transition_from_previous;
  std::optional<WindowExceeded> late;
  std::optional<AbsenceBlocked> blocked;
  for (std::size_t j = last + 1; j < run_end; ++j) {
    if (events[j].typ != step.atom.event_type) continue;
    if (transition.max_elapsed && window_exceeded(events[last].ts, events[j].ts, *transition.max_elapsed)) {
      if (!late) late = WindowExceeded{j, saturated_gap(events[last].ts, events[j].ts), *transition.max_elapsed};
      continue;
    }
    std::optional<std::size_t> blocker;
    for (std::size_t k = last + 1; k < j && !blocker; ++k) {
      if (forbidden(transition, events[k], bindings)) blocker = k;
    }
    if (blocker) {
      if (!blocked) {
        blocked = AbsenceBlocked{j, *blocker, events[*blocker].typ,
                                 step.atom.evaluate(events[j], bindings).has_value()};
      }
      continue;
    }
    return PredicateFailed{j, failed_clauses(step.atom, events[j], bindings)};
  }
  if (blocked) return *blocked;
  if (late) return *late;
  return NoSuccessor{};
}

}  // namespace

std::vector<NearMiss> plain_near_misses(const EventView& events, const Pattern& pattern) {
  std::vector<NearMiss> result;
  for (std::size_t begin = 0; begin < events.size();) {
    std::size_t end = begin + 1;
    while (end < events.size() && events[end].partition == events[begin].partition) ++end;
    for (std::size_t start = begin; start < end; ++start) {
      std::optional<Bindings> bindings = pattern.steps[0].atom.evaluate(events[start], Bindings{});
      if (!bindings) continue;
      Path path = deepest_path(events, end, pattern, 1, Path{{start}, std::move(*bindings)});
      const std::size_t reached = path.indices.size();
      if (reached == pattern.steps.size()) continue;
      const Step& failed = pattern.steps[reached];
      NearMissDetail detail = classify(events, end, failed, path.indices.back(), path.bindings);
      NearMiss miss;
      miss.partition = events[start].partition;
      miss.start_index = start;
      miss.indices = std::move(path.indices);
      miss.reached_steps = reached;
      miss.next_event_type = failed.atom.event_type;
      miss.element = reached;
      miss.detail = std::move(detail);
      miss.captures = std::move(path.bindings);
      result.push_back(std::move(miss));
    }
    begin = end;
  }
  return result;
}

}  // namespace vashlet::fuzz
