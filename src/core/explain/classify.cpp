// Classifying the failing step of a near miss: the first candidate after the path decides,
// unless it lies past a forbidden event or the window.
#include "explain/classify.hpp"

#include <cstdint>
#include <limits>
#include <optional>

#include "explain/pattern_facts.hpp"
#include "explain/run_candidates.hpp"
#include "explain/search_tables.hpp"
#include "match/matcher.hpp"

namespace vashlet::explain {

namespace {

std::optional<Value> copy_of(const Value* value) {
  return value ? std::optional<Value>(*value) : std::nullopt;
}

// The clauses of `atom` that event j fails under the path's bindings; the atom's own captures are
// not applied while judging.
std::vector<PredicateFailure> failed_clauses(const Atom& atom, const Event& event,
                                             const Bindings& bindings) {
  std::vector<PredicateFailure> failures;
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (actual && matches(predicate.op, *actual, predicate.value)) continue;
    failures.push_back({PredicateFailure::Predicate{predicate.attribute, predicate.op,
                                                    predicate.value, copy_of(actual)}});
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const Value* actual = event.attrs.find(reference.attribute);
    const Value* bound = bindings.find(reference.binding);
    if (actual && bound && matches(reference.op, *actual, *bound)) continue;
    failures.push_back({PredicateFailure::Reference{reference.attribute, reference.op,
                                                    reference.binding, copy_of(bound),
                                                    copy_of(actual)}});
  }
  for (const Capture& capture : atom.captures) {
    const Value* bound = bindings.find(capture.name);
    if (!bound) continue;
    const Value* found = event.attrs.find(capture.attribute);
    const Value actual = found ? *found : Value::null();
    if (actual == *bound) continue;
    failures.push_back(
        {PredicateFailure::Capture{capture.name, capture.attribute, *bound, actual}});
  }
  return failures;
}

// ts(later) - ts(earlier), saturated at the int64 limits when the difference does not fit.
std::int64_t saturated_gap(std::int64_t earlier, std::int64_t later) {
  std::int64_t gap = 0;
  if (!__builtin_sub_overflow(later, earlier, &gap)) return gap;
  return later > earlier ? std::numeric_limits<std::int64_t>::max()
                         : std::numeric_limits<std::int64_t>::min();
}

// The branch of `step` that judges `event`: the first it passes, else the first of its type.
const Atom& branch_for(const Step& step, const Event& event, const Bindings& bindings) {
  if (step.alternatives.empty()) return step.atom;
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    if (step.branch(k).accepts(event, bindings)) return step.branch(k);
  }
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    const Atom& branch = step.branch(k);
    if (branch.any_type || branch.event_type == event.typ) return branch;
  }
  return step.atom;
}

// ts - last_ts < min_gap: the event comes before the minimum gap has passed.
bool too_early(std::int64_t last_ts, std::int64_t ts, std::int64_t min_gap) {
  return min_gap > 0 && !window_exceeded(last_ts, ts, min_gap - 1);
}

}  // namespace

NearMissDetail classify(const EventView& events, std::size_t run_end, const Step& step,
                        const std::vector<std::size_t>& candidates, std::size_t last,
                        const Bindings& bindings, const ElementLimits* limits) {
  if (last + 1 >= run_end) return NoSuccessor{};
  const Transition& transition = transition_of(step);
  const std::int64_t last_ts = events[last].ts;

  std::optional<WindowExceeded> late;
  std::optional<AbsenceBlocked> blocked;
  // The first forbidden event after `last` blocks every candidate beyond it; it is searched for
  // once, no further than the candidates reached.
  std::size_t scanned = last + 1;
  std::size_t blocker = kNone;

  const std::size_t first = RunCandidates::first_after(candidates, last);
  for (std::size_t pos = first; pos < candidates.size(); ++pos) {
    const std::size_t j = candidates[pos];
    const std::int64_t ts = events[j].ts;
    if (limits && limits->min_gap && too_early(last_ts, ts, *limits->min_gap)) continue;
    if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) {
      if (!late) late = WindowExceeded{j, saturated_gap(last_ts, ts), *transition.max_elapsed};
      continue;
    }
    if (limits && limits->within && window_exceeded(limits->first_ts, ts, *limits->within)) {
      if (!late) late = WindowExceeded{j, saturated_gap(limits->first_ts, ts), *limits->within};
      continue;
    }
    const Atom& atom = branch_for(step, events[j], bindings);
    for (; blocker == kNone && scanned < j; ++scanned) {
      if (forbidden_by(transition, events[scanned], bindings)) blocker = scanned;
    }
    if (blocker != kNone && blocker < j) {
      if (!blocked) {
        const bool satisfies = atom.accepts(events[j], bindings);
        blocked = AbsenceBlocked{j, blocker, events[blocker].typ, satisfies};
      }
      continue;
    }
    return PredicateFailed{j, failed_clauses(atom, events[j], bindings)};
  }
  if (blocked) return std::move(*blocked);
  if (late) return *late;
  return NoSuccessor{};
}

std::optional<NearMissDetail> classify_if_stuck(const EventView& events, const Step& step,
                                                const std::vector<std::size_t>& candidates,
                                                std::size_t last, const Bindings& bindings,
                                                Checkpoint& checkpoint) {
  const Atom& atom = step.atom;
  const Transition& transition = transition_of(step);
  const std::int64_t last_ts = events[last].ts;
  // Timestamps do not decrease within a run: once a candidate is late, or lies past a forbidden
  // event, so does every later one, and none of them can be taken.
  std::size_t scanned = last + 1;
  std::size_t failed = kNone;
  const std::size_t first = RunCandidates::first_after(candidates, last);
  for (std::size_t pos = first; pos < candidates.size(); ++pos) {
    checkpoint();
    const std::size_t j = candidates[pos];
    const std::int64_t ts = events[j].ts;
    if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) {
      if (failed != kNone) break;
      return WindowExceeded{j, saturated_gap(last_ts, ts), *transition.max_elapsed};
    }
    std::size_t blocker = kNone;
    for (; scanned < j; ++scanned) {
      if (forbidden_by(transition, events[scanned], bindings)) {
        blocker = scanned;
        break;
      }
    }
    if (blocker != kNone) {
      if (failed != kNone) break;
      return AbsenceBlocked{j, blocker, events[blocker].typ, atom.accepts(events[j], bindings)};
    }
    if (atom.accepts(events[j], bindings)) return std::nullopt;
    if (failed == kNone) failed = j;
  }
  if (failed != kNone) {
    return PredicateFailed{failed, failed_clauses(atom, events[failed], bindings)};
  }
  return NoSuccessor{};
}

}  // namespace vashlet::explain
