// Compilation: a pattern's steps, type table, binding layout, prepared atoms, indexes by value,
// dispatch, look-ahead probes and run strategies, built once into a Plan.
#include "plan/plan.hpp"

#include <utility>

#include "match/chain_matcher.hpp"
#include "model/duration.hpp"

namespace vashlet {

namespace {

std::vector<CompiledStep> compiled_steps(const Pattern& pattern) {
  std::vector<CompiledStep> steps;
  steps.reserve(pattern.steps.size());
  for (const Step& step : pattern.steps) {
    CompiledStep& out = steps.emplace_back();
    out.atom = step.atom;
    // The binding layout numbers every name a branch of the element captures.
    for (std::size_t k = 1; k < step.branch_count(); ++k) {
      for (const Capture& capture : step.branch(k).captures) out.atom.captures.push_back(capture);
    }
    if (step.transition_from_previous) {
      out.max_elapsed = step.transition_from_previous->max_elapsed;
      out.absence = step.transition_from_previous->absence;
    }
  }
  return steps;
}

}  // namespace

Plan compile(const Pattern& pattern, std::optional<std::size_t> max_matches) {
  const Status valid = validate_pattern(pattern);
  if (!valid) {
    invariant_failure("compile requires a structurally valid pattern: " + valid.error());
  }
  if (!windows_resolved(pattern)) {
    invariant_failure("compile requires windows in ticks (resolve_windows)");
  }
  return Plan(pattern, max_matches);
}

Plan::Plan(const Pattern& pattern, std::optional<std::size_t> max_matches)
    : steps(compiled_steps(pattern)),
      consumption(pattern.consumption),
      max_matches(max_matches),
      layout(steps) {
  step_plans.reserve(steps.size());
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const CompiledStep& step = steps[k];
    plan::StepPlan& out = step_plans.emplace_back(plan::StepPlan{
        plan::AtomPlan(step.atom, types.add(step.atom.event_type), layout, k, true), {}, {}});
    for (const Atom& absent : step.absence) {
      out.absence.emplace_back(absent, types.add(absent.event_type), layout, k, false);
    }
    out.max_elapsed = step.max_elapsed;
  }
  build_indexes();
  build_dispatch();
  build_probes();
  chains = ChainMatcher::applies(*this);
  keyed_runs = KeyedRuns::of(steps);
  if (uses_elements(pattern)) language = pattern;
}

// Each later step files its partial matches by every slot that one of its atoms (the step's own
// or a forbidden one) compares with `==`, one index per slot.
void Plan::build_indexes() {
  index_slots.assign(steps.size(), {});
  for (std::size_t k = 1; k < steps.size(); ++k) {
    std::vector<std::size_t>& slots = index_slots[k];
    const auto assign = [&](plan::AtomPlan& atom) {
      const std::size_t slot = atom.keyed_slot();
      if (slot == plan::kNone) return;
      std::size_t index = 0;
      while (index < slots.size() && slots[index] != slot) ++index;
      if (index == slots.size()) slots.push_back(slot);
      atom.set_index(index);
    };
    assign(step_plans[k].advance);
    for (plan::AtomPlan& absent : step_plans[k].absence) assign(absent);
  }
}

void Plan::build_dispatch() {
  std::vector<std::size_t> seen(types.size(), 0);  // per type, the last step registered, plus one
  const auto add = [&](std::size_t step, std::size_t type) {
    if (seen[type] == step + 1) return;
    seen[type] = step + 1;
    dispatch.step.push_back(step);
    dispatch.type.push_back(type);
  };
  dispatch.begin.assign(1, 0);
  dispatch.begin.push_back(0);  // the first step waits for nothing
  for (std::size_t k = 1; k < steps.size(); ++k) {
    add(k, step_plans[k].advance.type());
    for (const plan::AtomPlan& absent : step_plans[k].absence) add(k, absent.type());
    dispatch.begin.push_back(dispatch.step.size());
  }
}

void Plan::build_probes() {
  probes.resize(types.size());
  for (std::size_t k = 0; k < steps.size(); ++k) {
    // Events that a keyed atom of step k tests look up their value in its index.
    const auto lookup = [&](const plan::AtomPlan& atom) {
      if (k == 0 || atom.keyed_slot() == plan::kNone) return;
      probes[atom.type()].push_back(ProbePlan{k, atom.index(), atom.key_attribute()});
    };
    lookup(step_plans[k].advance);
    for (const plan::AtomPlan& absent : step_plans[k].absence) lookup(absent);
    // Events that step k admits file their new partial matches for step k + 1 under what they
    // capture.
    if (k + 1 == steps.size()) continue;
    const std::vector<std::size_t>& slots = index_slots[k + 1];
    for (const Capture& capture : steps[k].atom.captures) {
      const std::size_t slot = layout.slot(capture.name, k + 1);
      // A name bound earlier is no new capture.
      if (slot == plan::kNone || layout.slot(capture.name, k) != plan::kNone) continue;
      for (std::size_t n = 0; n < slots.size(); ++n) {
        if (slots[n] != slot) continue;
        probes[step_plans[k].advance.type()].push_back(ProbePlan{k + 1, n, capture.attribute});
      }
    }
  }
}

std::vector<std::string> Plan::slot_names() const {
  return {layout.names().begin(), layout.names().end()};
}

}  // namespace vashlet
