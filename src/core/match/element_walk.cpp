// The `first` walk of one start, written as the definition reads: the walk never goes back, and
// each later event is taken as the nearest next element, else as one more occurrence of the
// current element, else skipped.
#include "match/element_walk.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "match/transitions.hpp"
#include "match/window.hpp"
#include "model/value_hash.hpp"

namespace vashlet {

bool fits_type(const Step& step, const Event& event) {
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    const Atom& atom = step.branch(k);
    if (atom.any_type || same_bytes(atom.event_type, event.typ)) return true;
  }
  return false;
}

std::optional<std::uint32_t> passing_branch(const Step& step, const Event& event,
                                            const Bindings& bindings) {
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    if (step.branch(k).accepts(event, bindings)) return static_cast<std::uint32_t>(k);
  }
  return std::nullopt;
}

std::optional<TakenBranch> take_branch(const Step& step, const Event& event,
                                       const Bindings& bindings) {
  const std::optional<std::uint32_t> branch = passing_branch(step, event, bindings);
  if (!branch) return std::nullopt;
  std::optional<Bindings> extended = step.branch(*branch).evaluate(event, bindings);
  if (!extended) invariant_failure("an accepting atom evaluates");
  return TakenBranch{*branch, std::move(*extended)};
}

bool element_transition_allows(const Pattern& pattern, std::size_t element, const EventView& events,
                               std::size_t from, std::size_t to, const Bindings& bindings) {
  const std::optional<Transition>& transition = pattern.steps[element].transition_from_previous;
  if (element == 0 || !transition) return true;
  if (!transition_allows(events, from, to, *transition, bindings)) return false;
  // transition_allows has checked that time does not go back; the gap needs only the minimum.
  if (transition->min_elapsed && *transition->min_elapsed > 0) {
    return window_exceeded(events[from].ts, events[to].ts, *transition->min_elapsed - 1);
  }
  return true;
}

bool element_complete(const Pattern& pattern, std::size_t element, std::uint32_t count) {
  if (count < pattern.steps[element].min_count) return false;
  for (std::size_t later = element + 1; later < pattern.steps.size(); ++later) {
    if (pattern.steps[later].min_count > 0) return false;
  }
  return true;
}

bool below_maximum(const Step& step, std::uint32_t count) {
  return !step.max_count || count < *step.max_count;
}

bool within_whole_window(const Pattern& pattern, const EventView& events, std::size_t start,
                         std::size_t candidate) {
  return !pattern.within_elapsed ||
         !window_exceeded(events[start].ts, events[candidate].ts, *pattern.within_elapsed);
}

bool end_anchor_allows(const Pattern& pattern, const Run& run, std::size_t candidate,
                       bool completing) {
  return !completing || !pattern.anchored_end || candidate + 1 == run.end;
}

bool is_start(const Pattern& pattern, const EventView& events, const Run& run,
              std::size_t start) {
  if (pattern.anchored_start && start != run.begin) return false;
  return passing_branch(pattern.steps.front(), events[start], Bindings{}).has_value();
}

namespace {

// The transition before `element` holds from events[from] to events[to] (from < to), its
// absences told by `cursors`: as element_transition_allows.
bool transition_holds(const Pattern& pattern, std::size_t element, const EventView& events,
                      std::size_t from, std::size_t to, const Bindings& bindings,
                      AbsenceCursors& cursors) {
  const std::optional<Transition>& transition = pattern.steps[element].transition_from_previous;
  if (element == 0 || !transition) return true;
  const std::int64_t from_ts = events[from].ts;
  const std::int64_t to_ts = events[to].ts;
  if (to_ts < from_ts) return false;
  if (transition->max_elapsed && window_exceeded(from_ts, to_ts, *transition->max_elapsed)) {
    return false;
  }
  if (transition->min_elapsed && *transition->min_elapsed > 0 &&
      !window_exceeded(from_ts, to_ts, *transition->min_elapsed - 1)) {
    return false;
  }
  return cursors.clear(*transition, element, events, to, bindings);
}

// Takes events[candidate] into the walk as element `element` (branch already chosen).
void take(ElementWalk& walk, std::size_t candidate, std::uint32_t element, TakenBranch taken) {
  walk.count = element == walk.element && !walk.path.empty() ? walk.count + 1 : 1;
  walk.element = element;
  walk.last = candidate;
  if (!taken.unchanged) walk.bindings = std::move(taken.bindings);
  walk.path.push_back(WalkStep{candidate, element, taken.branch});
}

// The element that events[candidate] is taken as, with its branch, or nothing when it is
// skipped: the nearest next element first, then one more occurrence of the current one.
std::optional<std::pair<std::uint32_t, TakenBranch>> role_of(const Pattern& pattern,
                                                            const EventView& events,
                                                            const Run& run,
                                                            const ElementWalk& walk,
                                                            std::size_t start,
                                                            std::size_t candidate,
                                                            AbsenceCursors& cursors) {
  if (!within_whole_window(pattern, events, start, candidate)) return std::nullopt;
  const Event& event = events[candidate];
  const auto try_element = [&](std::uint32_t element, std::uint32_t count_after)
      -> std::optional<std::pair<std::uint32_t, TakenBranch>> {
    if (!transition_holds(pattern, element, events, walk.last, candidate, walk.bindings,
                          cursors)) {
      return std::nullopt;
    }
    const bool completing = element_complete(pattern, element, count_after);
    if (!end_anchor_allows(pattern, run, candidate, completing)) return std::nullopt;
    const Step& step = pattern.steps[element];
    const std::optional<std::uint32_t> branch = passing_branch(step, event, walk.bindings);
    if (!branch) return std::nullopt;
    // A branch without captures leaves the bindings as they are: a walk takes most events so.
    if (step.branch(*branch).captures.empty()) {
      return std::pair{element, TakenBranch{*branch, Bindings{}, true}};
    }
    std::optional<Bindings> extended = step.branch(*branch).evaluate(event, walk.bindings);
    if (!extended) invariant_failure("an accepting atom evaluates");
    return std::pair{element, TakenBranch{*branch, std::move(*extended)}};
  };
  const Step& current = pattern.steps[walk.element];
  if (walk.count >= current.min_count) {
    for (std::size_t next = walk.element + 1; next < pattern.steps.size(); ++next) {
      if (auto role = try_element(static_cast<std::uint32_t>(next), 1)) return role;
      if (pattern.steps[next].min_count > 0) break;  // a required element cannot be skipped
    }
  }
  if (below_maximum(current, walk.count)) return try_element(walk.element, walk.count + 1);
  return std::nullopt;
}

}  // namespace

namespace {

bool has_absences(const Pattern& pattern) {
  for (const Step& step : pattern.steps) {
    if (step.transition_from_previous && !step.transition_from_previous->absence.empty()) {
      return true;
    }
  }
  return false;
}

}  // namespace

// The cursors are sized only where some transition has absences: a walk is made per start.
FirstWalk::FirstWalk(const Pattern& pattern, const EventView& events, std::size_t start)
    : cursors_(has_absences(pattern) ? pattern.steps.size() : 0), start_(start) {
  walk_.path.reserve(pattern.steps.size());
  begin_at(pattern, events, start);
}

void FirstWalk::begin_at(const Pattern& pattern, const EventView& events, std::size_t start) {
  const std::optional<std::uint32_t> branch =
      passing_branch(pattern.steps.front(), events[start], Bindings{});
  if (!branch) invariant_failure("a walk begins at a start");
  begin_at(pattern, events, start, *branch);
}

// The bindings are made in the walk's own room, as Atom::evaluate makes them from none: each
// name takes the value of its first capture.
void FirstWalk::begin_at(const Pattern& pattern, const EventView& events, std::size_t start,
                         std::uint32_t branch) {
  start_ = start;
  walk_.path.clear();
  walk_.completed = false;
  walk_.bindings.clear();
  const Event& event = events[start];
  for (const Capture& capture : pattern.steps.front().branch(branch).captures) {
    if (walk_.bindings.find(capture.name)) continue;
    const Value* value = event.attrs.find(capture.attribute);
    walk_.bindings.set(capture.name, value ? *value : kNull);
  }
  take(walk_, start, 0, TakenBranch{branch, Bindings{}, true});
  cursors_.restart(start);
}

namespace {

// Calls visit(at) for each element that a walk whose last event is element `element`, taken
// `count` times, may take next: the later elements up to the first one that must occur, then the
// element itself while it is below its maximum. Returns false as soon as a visit does.
template <class Visit>
bool for_each_next(const Pattern& pattern, std::uint32_t element, std::uint32_t count,
                   const Visit& visit) {
  const Step& current = pattern.steps[element];
  if (count >= current.min_count) {
    for (std::size_t next = element + 1; next < pattern.steps.size(); ++next) {
      if (!visit(next)) return false;
      if (pattern.steps[next].min_count > 0) break;
    }
  }
  return !below_maximum(current, count) || visit(std::size_t{element});
}

// Whether a walk whose last event is element `element`, taken `count` times, may take an event of
// `event`'s type.
bool may_take_at(const Pattern& pattern, std::uint32_t element, std::uint32_t count,
                 const Event& event) {
  return !for_each_next(pattern, element, count,
                        [&](std::size_t at) { return !fits_type(pattern.steps[at], event); });
}

}  // namespace

bool FirstWalk::may_take(const Pattern& pattern, const Event& event) const {
  return may_take_at(pattern, walk_.element, walk_.count, event);
}

bool FirstWalk::fresh_may_take(const Pattern& pattern, const Event& event) {
  return may_take_at(pattern, 0, 1, event);
}

bool FirstWalk::read(const Pattern& pattern, const EventView& events, const Run& run,
                     std::size_t candidate) {
  // An event of no type the walk can take next is skipped before any window or clause is read
  // (the absences are read lazily, up to the next candidate that is tried).
  if (!may_take(pattern, events[candidate])) return false;
  auto role = role_of(pattern, events, run, walk_, start_, candidate, cursors_);
  if (!role) return false;
  take(walk_, candidate, role->first, std::move(role->second));
  cursors_.restart(candidate);
  walk_.completed = element_complete(pattern, walk_.element, walk_.count);
  return walk_.completed;
}

void FirstWalk::shift(std::size_t count) {
  start_ -= count;
  walk_.last -= count;
  for (WalkStep& step : walk_.path) step.index -= count;
  cursors_.shift(count);
}

namespace {

// The deadline of a walk from events[start] whose last event, events[last], is element `element`
// taken `count` times.
std::optional<std::int64_t> deadline_at(const Pattern& pattern, const EventView& events,
                                        std::size_t start, std::size_t last,
                                        std::uint32_t element, std::uint32_t count) {
  const std::int64_t last_ts = events[last].ts;
  std::optional<std::int64_t> latest = last_ts;  // no role left: nothing more can be taken
  bool unbounded = false;
  const auto window_of = [&](std::size_t at) {
    const std::optional<Transition>& transition = pattern.steps[at].transition_from_previous;
    if (at == 0 || !transition || !transition->max_elapsed ||
        last_ts > std::numeric_limits<std::int64_t>::max() - *transition->max_elapsed) {
      unbounded = true;
      return;
    }
    latest = std::max(*latest, last_ts + *transition->max_elapsed);
  };
  for_each_next(pattern, element, count, [&](std::size_t at) {
    window_of(at);
    return true;
  });
  if (pattern.within_elapsed) {
    const std::int64_t first_ts = events[start].ts;
    if (first_ts <= std::numeric_limits<std::int64_t>::max() - *pattern.within_elapsed) {
      const std::int64_t bound = first_ts + *pattern.within_elapsed;
      return unbounded ? bound : std::min(*latest, bound);
    }
  }
  if (unbounded) return std::nullopt;
  return latest;
}

}  // namespace

std::optional<std::int64_t> FirstWalk::deadline(const Pattern& pattern,
                                                const EventView& events) const {
  return deadline_at(pattern, events, start_, walk_.last, walk_.element, walk_.count);
}

std::optional<std::int64_t> FirstWalk::fresh_deadline(const Pattern& pattern,
                                                      const EventView& events, std::size_t start) {
  return deadline_at(pattern, events, start, start, 0, 1);
}

namespace {

// Whether `atom` takes only events whose `attribute` equals the value bound to `name`.
bool requires_equal(const Atom& atom, const std::string& attribute, const std::string& name) {
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    if (reference.op == ComparisonOperator::Eq && reference.attribute == attribute &&
        reference.binding == name) {
      return true;
    }
  }
  for (const Capture& capture : atom.captures) {
    if (capture.attribute == attribute && capture.name == name) return true;
  }
  return false;
}

// The key of a walk whose last event is element `element` taken `count` times, with `bound(name)`
// the value bound to `name` (null: unbound).
template <class Bound>
std::optional<WalkKey> key_at(const Pattern& pattern, std::uint32_t element, std::uint32_t count,
                              const Bound& bound) {
  const auto each_next = [&](const auto& visit) {
    return for_each_next(pattern, element, count,
                         [&](std::size_t at) { return visit(pattern.steps[at]); });
  };
  const Step* first = nullptr;
  each_next([&](const Step& step) {
    first = &step;
    return false;
  });
  if (!first) return std::nullopt;
  const auto shared = [&](const std::string& attribute, const std::string& name)
      -> std::optional<WalkKey> {
    const Value* value = bound(name);
    if (!value) return std::nullopt;
    const bool everywhere = each_next([&](const Step& step) {
      for (std::size_t k = 0; k < step.branch_count(); ++k) {
        if (!requires_equal(step.branch(k), attribute, name)) return false;
      }
      return true;
    });
    if (!everywhere) return std::nullopt;
    return WalkKey{&attribute, ValueHash{}(*value)};
  };
  const Atom& atom = first->branch(0);
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    if (reference.op != ComparisonOperator::Eq) continue;
    if (auto key = shared(reference.attribute, reference.binding)) return key;
  }
  for (const Capture& capture : atom.captures) {
    if (auto key = shared(capture.attribute, capture.name)) return key;
  }
  return std::nullopt;
}

}  // namespace

std::optional<WalkKey> FirstWalk::key(const Pattern& pattern) const {
  return key_at(pattern, walk_.element, walk_.count,
                [&](const std::string& name) { return walk_.bindings.find(name); });
}

// The bindings of a fresh walk are those begin_at makes: each name the value of its first capture.
std::optional<WalkKey> FirstWalk::fresh_key(const Pattern& pattern, const Event& start,
                                            std::uint32_t branch) {
  const std::vector<Capture>& captures = pattern.steps.front().branch(branch).captures;
  return key_at(pattern, 0, 1, [&](const std::string& name) -> const Value* {
    for (const Capture& capture : captures) {
      if (capture.name != name) continue;
      const Value* value = start.attrs.find(capture.attribute);
      return value ? value : &kNull;
    }
    return nullptr;
  });
}

std::optional<ElementWalk> walk_first(const Pattern& pattern, const EventView& events,
                                      const Run& run, std::size_t start) {
  if (!is_start(pattern, events, run, start)) return std::nullopt;
  FirstWalk walk(pattern, events, start);
  walk.mark_complete(element_complete(pattern, 0, 1) && end_anchor_allows(pattern, run, start, true));
  for (std::size_t candidate = start + 1; candidate < run.end && !walk.completed(); ++candidate) {
    walk.read(pattern, events, run, candidate);
  }
  return std::move(walk).result();
}

}  // namespace vashlet
