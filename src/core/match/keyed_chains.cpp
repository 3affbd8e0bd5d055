// Following chains key by key: which plans allow it, and the passes over one key's events.
#include "match/keyed_chains.hpp"

#include <algorithm>
#include <string>

#include "match/next_events.hpp"
#include "match/window.hpp"
#include "plan/plan.hpp"

namespace vashlet {

namespace {

// `atom` without its `==` tests of `name`, or nothing where it reads the bindings otherwise.
std::optional<Atom> without_key_tests(const Atom& atom, const std::string& name) {
  Atom stripped = atom;
  stripped.reference_predicates.clear();
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    if (reference.op != ComparisonOperator::Eq || reference.binding != name) return std::nullopt;
  }
  return stripped;
}

}  // namespace

std::optional<KeyedChains> KeyedChains::of(const Plan& plan) {
  if (!plan.keyed_runs || plan.consumption != MatchConsumption::FirstSuccessorPerStart) {
    return std::nullopt;
  }
  std::vector<std::string> captured;  // by the steps so far
  for (const CompiledStep& step : plan.steps) {
    if (!step.absence.empty()) return std::nullopt;
    if (!without_key_tests(step.atom, plan.keyed_runs->name())) return std::nullopt;
    // A capture into a name that an earlier step bound compares with the binding.
    for (const Capture& capture : step.atom.captures) {
      if (std::find(captured.begin(), captured.end(), capture.name) != captured.end()) {
        return std::nullopt;
      }
    }
    for (const Capture& capture : step.atom.captures) captured.push_back(capture.name);
  }
  return KeyedChains(plan);
}

KeyedChains::KeyedChains(const Plan& plan)
    : slots_(plan.layout.size()), last_(plan.steps.size()), path_(plan.steps.size()) {
  const KeyedRuns& runs = *plan.keyed_runs;
  stripped_.reserve(plan.steps.size());  // never moved again: the plans view their names
  for (std::size_t k = 0; k < plan.steps.size(); ++k) {
    const Atom& atom = stripped_.emplace_back(*without_key_tests(plan.steps[k].atom, runs.name()));
    atoms_.emplace_back(atom, plan.types.find(atom.event_type), plan.layout, k, true);
    types_.push_back(runs.type_id(atom.event_type));
    by_type_.push_back(atoms_.back().decided_by_type());
    bool key_only = true;
    for (const Capture& capture : atom.captures) {
      key_only = key_only && capture.attribute == runs.key_attribute(types_.back());
    }
    captures_key_.push_back(key_only);
    windows_.push_back(plan.step_plans[k].max_elapsed);
  }
}

bool KeyedChains::admits(std::size_t k, const KeyedRuns& runs, const EventView& events,
                         std::size_t position) {
  if (runs.placed()[position].type != types_[k]) return false;
  return by_type_[k] || atoms_[k].admits(events[runs.source(position)]);
}

void KeyedChains::match_group(const KeyedRuns& runs, std::size_t g, const EventView& events,
                              FlatMatches& out) {
  const Run group = runs.group_run(g);
  const std::size_t steps = atoms_.size();
  const std::size_t later_steps = steps - 1;
  const std::size_t length = group.end - group.begin;
  out.steps = steps;
  out.slots = slots_;
  next_.resize(length * later_steps);
  note_next_events(length, steps, next_.data(), last_.data(), starts_,
                   [&](std::size_t k, std::size_t offset) {
                     return admits(k, runs, events, group.begin + offset);
                   });
  // Forwards through the starts: each follows the next events of the steps, within their
  // windows.
  const KeyedRuns::Placed* placed = runs.placed() + group.begin;
  for (std::size_t s = starts_.size(); s-- > 0;) {
    path_[0] = starts_[s];
    bool complete = true;
    for (std::size_t k = 1; k < steps && complete; ++k) {
      const std::uint32_t next = next_[path_[k - 1] * later_steps + (k - 1)];
      complete = next != kNoNext &&
                 !(windows_[k] && window_exceeded(placed[path_[k - 1]].ts, placed[next].ts,
                                                  *windows_[k]));
      path_[k] = next;
    }
    if (!complete) continue;
    append_match(runs, g, events, out, placed[path_[steps - 1]].ts,
                 [&](std::uint32_t at) { return runs.source(group.begin + at); });
  }
}

template <class Offsets>
void KeyedChains::append_match(const KeyedRuns& runs, std::size_t g, const EventView& events,
                               FlatMatches& out, std::int64_t end, const Offsets& event_of) {
  const std::size_t steps = atoms_.size();
  for (std::size_t k = 0; k < steps; ++k) out.indices.push_back(event_of(path_[k]));
  out.ends.push_back(end);
  const std::size_t values = out.values.size();
  for (std::size_t k = 0; k < steps; ++k) {
    if (!atoms_[k].captures_new_names()) continue;
    if (captures_key_[k]) {  // every name it adds binds the key's value
      out.values.insert(out.values.end(), atoms_[k].new_values().size(), &runs.key_value(g));
      continue;
    }
    atoms_[k].admits(events[event_of(path_[k])]);  // looks up what it captures
    out.values.insert(out.values.end(), atoms_[k].new_values().begin(),
                      atoms_[k].new_values().end());
  }
  if (out.values.size() - values != out.slots) {
    invariant_failure("a match binds every name of its pattern");
  }
}

void KeyedChains::match_run(const KeyedRuns& runs, const EventView& events, FlatMatches& out) {
  const std::size_t steps = atoms_.size();
  const std::size_t later_steps = steps - 1;
  const std::size_t length = runs.run_length();
  out.steps = steps;
  out.slots = slots_;
  // Per key and later step, the nearest event after the one being looked at that the step admits,
  // with its timestamp, so that a start finds both without reading the run elsewhere. Only the
  // steps after the second look further than that: per event, its next events for those.
  const std::size_t further_steps = later_steps - 1;
  Nearest* const nearest = key_nearest_.items<Nearest>(runs.groups() * later_steps);
  std::fill(nearest, nearest + runs.groups() * later_steps, Nearest{kNoNext, 0});
  std::uint32_t* const next = run_next_.items<std::uint32_t>(length * further_steps);
  // The matches, found last first: per match its events' offsets and its end. A start has one
  // match at most.
  std::uint32_t* const paths = found_paths_.items<std::uint32_t>(length * steps);
  std::int64_t* const ends = found_ends_.items<std::int64_t>(length);
  std::size_t found = 0;
  // Backwards through the run, as note_next_events goes through one key's events: before an
  // event is noted as admitted by a step, what the steps admit nearest after it among its key's
  // events are its next events, and a start's match is complete then. Events of no key are in
  // no match.
  for (std::size_t offset = length; offset-- > 0;) {
    const std::uint32_t key = runs.key_at(offset);
    if (key == KeyedRuns::kNoKey) continue;
    Nearest* const key_nearest = nearest + key * later_steps;
    for (std::size_t k = 0; k < further_steps; ++k) {
      next[offset * further_steps + k] = key_nearest[k + 1].offset;
    }
    const std::uint8_t type = runs.type_at(offset);
    const std::int64_t ts = runs.ts_at(offset);
    if (admits_at(0, runs, events, offset, type)) {
      std::uint32_t* const path = paths + found * steps;
      path[0] = static_cast<std::uint32_t>(offset);
      std::int64_t before = ts;
      bool complete = true;
      for (std::size_t k = 1; k < steps && complete; ++k) {
        std::uint32_t after = 0;
        std::int64_t after_ts = 0;
        if (k == 1) {
          after = key_nearest[0].offset;
          after_ts = key_nearest[0].ts;
        } else {
          after = next[path[k - 1] * further_steps + (k - 2)];
          after_ts = after == kNoNext ? 0 : runs.ts_at(after);
        }
        complete = after != kNoNext &&
                   !(windows_[k] && window_exceeded(before, after_ts, *windows_[k]));
        path[k] = after;
        before = after_ts;
      }
      if (complete) ends[found++] = before;
    }
    for (std::size_t k = 1; k < steps; ++k) {
      if (admits_at(k, runs, events, offset, type)) {
        key_nearest[k - 1] = Nearest{static_cast<std::uint32_t>(offset), ts};
      }
    }
  }
  // The matches in run order.
  reserve_for(out.indices, out.indices.size() + found * steps);
  reserve_for(out.ends, out.ends.size() + found);
  reserve_for(out.values, out.values.size() + found * slots_);
  const auto event_of = [&](std::uint32_t at) { return runs.event_at(at); };
  for (std::size_t m = found; m-- > 0;) {
    std::copy(paths + m * steps, paths + (m + 1) * steps, path_.begin());
    append_match(runs, runs.key_at(path_[0]), events, out, ends[m], event_of);
  }
}

}  // namespace vashlet
