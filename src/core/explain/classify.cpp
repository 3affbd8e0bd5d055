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

}  // namespace

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

namespace {

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

namespace {

bool fits_any_branch(const Step& step, const Event& event, const Bindings& bindings) {
  for (std::size_t k = 0; k < step.branch_count(); ++k) {
    if (step.branch(k).accepts(event, bindings)) return true;
  }
  return false;
}

Verdict late_verdict(std::size_t j, std::int64_t gap, std::int64_t max_elapsed) {
  Verdict verdict;
  verdict.reason = Reason::WindowExceeded;
  verdict.event = j;
  verdict.gap = gap;
  verdict.max_elapsed = max_elapsed;
  return verdict;
}

Verdict blocked_verdict(std::size_t j, std::size_t blocker, bool satisfies) {
  Verdict verdict;
  verdict.reason = Reason::AbsenceBlocked;
  verdict.event = j;
  verdict.blocking = blocker;
  verdict.satisfies = satisfies;
  return verdict;
}

Verdict failed_verdict(std::size_t j, const Atom& atom) {
  Verdict verdict;
  verdict.reason = Reason::PredicateFailed;
  verdict.event = j;
  verdict.atom = &atom;
  return verdict;
}

}  // namespace

Verdict judge(const EventView& events, std::size_t run_end, const Step& step,
              const std::vector<std::size_t>& candidates, std::size_t last,
              const Bindings& bindings, const ElementLimits* limits) {
  if (last + 1 >= run_end) return Verdict{};
  const Transition& transition = transition_of(step);
  const std::int64_t last_ts = events[last].ts;

  std::optional<Verdict> late;
  std::optional<Verdict> blocked;
  // The first forbidden event after `last` blocks every candidate beyond it; it is searched for
  // once, no further than the candidates reached.
  std::size_t scanned = last + 1;
  std::size_t blocker = kNone;
  // Nothing forbidden: no event in between needs a look.
  const bool forbids = !transition.absence.empty();

  const std::size_t first = RunCandidates::first_after(candidates, last);
  for (std::size_t pos = first; pos < candidates.size(); ++pos) {
    const std::size_t j = candidates[pos];
    const std::int64_t ts = events[j].ts;
    if (limits && limits->min_gap && too_early(last_ts, ts, *limits->min_gap)) continue;
    if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) {
      if (!late) late = late_verdict(j, saturated_gap(last_ts, ts), *transition.max_elapsed);
      continue;
    }
    if (limits && limits->within && window_exceeded(limits->first_ts, ts, *limits->within)) {
      if (!late) late = late_verdict(j, saturated_gap(limits->first_ts, ts), *limits->within);
      continue;
    }
    const Atom& atom = branch_for(step, events[j], bindings);
    for (; forbids && blocker == kNone && scanned < j; ++scanned) {
      if (forbidden_by(transition, events[scanned], bindings)) blocker = scanned;
    }
    if (blocker != kNone && blocker < j) {
      if (!blocked) blocked = blocked_verdict(j, blocker, atom.accepts(events[j], bindings));
      continue;
    }
    return failed_verdict(j, atom);
  }
  if (blocked) return *blocked;
  if (late) {
    late->satisfies = fits_any_branch(step, events[late->event], bindings);
    return *late;
  }
  return Verdict{};
}

NearMissDetail classify(const EventView& events, std::size_t run_end, const Step& step,
                        const std::vector<std::size_t>& candidates, std::size_t last,
                        const Bindings& bindings, const ElementLimits* limits) {
  const Verdict verdict = judge(events, run_end, step, candidates, last, bindings, limits);
  switch (verdict.reason) {
    case Reason::PredicateFailed:
      return PredicateFailed{verdict.event,
                             failed_clauses(*verdict.atom, events[verdict.event], bindings)};
    case Reason::AbsenceBlocked:
      return AbsenceBlocked{verdict.event, verdict.blocking, events[verdict.blocking].typ,
                            verdict.satisfies};
    case Reason::WindowExceeded:
      return WindowExceeded{verdict.event, verdict.gap, verdict.max_elapsed};
    case Reason::NoSuccessor: break;
  }
  return NoSuccessor{};
}

std::optional<Verdict> judge_if_stuck(const EventView& events, const Step& step,
                                      AtomCheck& check,
                                      const std::vector<std::size_t>& candidates,
                                      std::size_t first, std::size_t last,
                                      const Bindings& bindings, Checkpoint& checkpoint) {
  const Atom& atom = step.atom;
  const Transition& transition = transition_of(step);
  const std::int64_t last_ts = events[last].ts;
  // Timestamps do not decrease within a run: once a candidate is late, or lies past a forbidden
  // event, so does every later one, and none of them can be taken.
  std::size_t scanned = last + 1;
  std::size_t failed = kNone;
  const bool forbids = !transition.absence.empty();  // else no event in between needs a look
  check.bind(bindings);  // the same bindings for every candidate
  for (std::size_t pos = first; pos < candidates.size(); ++pos) {
    checkpoint();
    const std::size_t j = candidates[pos];
    const std::int64_t ts = events[j].ts;
    if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) {
      if (failed != kNone) break;
      Verdict late = late_verdict(j, saturated_gap(last_ts, ts), *transition.max_elapsed);
      late.satisfies = step.alternatives.empty() ? check.accepts_candidate(events[j])
                                                 : fits_any_branch(step, events[j], bindings);
      return late;
    }
    std::size_t blocker = kNone;
    for (; forbids && scanned < j; ++scanned) {
      if (forbidden_by(transition, events[scanned], bindings)) {
        blocker = scanned;
        break;
      }
    }
    if (blocker != kNone) {
      if (failed != kNone) break;
      return blocked_verdict(j, blocker, check.accepts_candidate(events[j]));
    }
    if (check.accepts_candidate(events[j])) return std::nullopt;
    if (failed == kNone) failed = j;
  }
  if (failed != kNone) return failed_verdict(failed, atom);
  return Verdict{};
}

}  // namespace vashlet::explain
