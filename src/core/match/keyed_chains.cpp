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
    for (std::size_t k = 0; k < steps; ++k) {
      out.indices.push_back(runs.source(group.begin + path_[k]));
    }
    out.ends.push_back(placed[path_[steps - 1]].ts);
    const std::size_t values = out.values.size();
    for (std::size_t k = 0; k < steps; ++k) {
      if (!atoms_[k].captures_new_names()) continue;
      const std::size_t position = group.begin + path_[k];
      if (captures_key_[k]) {  // every name it adds binds the key's value
        out.values.insert(out.values.end(), atoms_[k].new_values().size(), &runs.key_value(g));
        continue;
      }
      atoms_[k].admits(events[runs.source(position)]);  // looks up what it captures
      out.values.insert(out.values.end(), atoms_[k].new_values().begin(),
                        atoms_[k].new_values().end());
    }
    if (out.values.size() - values != out.slots) {
      invariant_failure("a match binds every name of its pattern");
    }
  }
}

}  // namespace vashlet
