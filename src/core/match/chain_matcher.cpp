// Following chains: a backward pass notes each event's next event per step, a forward pass
// follows each start.
#include "match/chain_matcher.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "match/next_events.hpp"
#include "match/transitions.hpp"
#include "memory/memory.hpp"
#include "plan/plan.hpp"
#include "tuning.hpp"

namespace vashlet {

using plan::kNone;

bool ChainMatcher::applies(const Plan& plan) {
  if (plan.consumption != MatchConsumption::FirstSuccessorPerStart) return false;
  // The next events take a number per event and later step; long patterns keep to the step
  // matcher.
  return plan.steps.size() <= kMostSteps && plain(plan);
}

bool ChainMatcher::plain(const Plan& plan) {
  std::vector<std::string> captured;  // by the steps so far
  for (const CompiledStep& step : plan.steps) {
    if (!step.absence.empty() || !step.atom.reference_predicates.empty()) return false;
    for (const Capture& capture : step.atom.captures) {
      // A capture into a name that an earlier step bound compares with the binding.
      if (std::find(captured.begin(), captured.end(), capture.name) != captured.end()) {
        return false;
      }
    }
    for (const Capture& capture : step.atom.captures) captured.push_back(capture.name);
  }
  return true;
}

ChainMatcher::ChainMatcher(const Plan& plan, const EventView& events)
    : events_(events), types_(plan.types, events), layout_(plan.layout), last_(plan.steps.size()),
      path_(plan.steps.size()) {
  for (const plan::StepPlan& step : plan.step_plans) {
    atoms_.push_back(step.advance);
    windows_.push_back(step.max_elapsed);
  }
}

void ChainMatcher::match_run(const Run& run, FlatMatches& out) {
  if (!takes(run)) invariant_failure("a partition too long to follow its chains");
  out.steps = atoms_.size();
  out.slots = layout_.size();
  note_types(run);
  note_next_events(run);
  follow_starts(run, out);
}

// The type id of every event of the run, in one forward pass that also fetches the attributes
// of the events whose types the pattern names, for the backward pass.
void ChainMatcher::note_types(const Run& run) {
  run_types_.resize(run.end - run.begin);
  visit_events(events_, run.begin, run.end, [&](std::size_t i, const Event& event) {
    const std::size_t type = types_(i, event);
    run_types_[i - run.begin] = type;
    if (type != kNone) prefetch_attributes(event, tuning::kAttributeBytes);
    return true;
  });
}

// Backwards through the run, then the starts in run order.
void ChainMatcher::note_next_events(const Run& run) {
  const std::size_t length = run.end - run.begin;
  reserve_for(next_, length * (atoms_.size() - 1));
  next_.resize(length * (atoms_.size() - 1));
  vashlet::note_next_events(
      length, atoms_.size(), next_.data(), last_.data(), starts_,
      [&](std::size_t k, std::size_t offset) {
        const std::size_t type = run_types_[offset];
        return type != kNone && atoms_[k].type() == type &&
               atoms_[k].admits(events_[run.begin + offset]);
      });
  std::reverse(starts_.begin(), starts_.end());
}

// Forwards through the starts: each follows the next events of the steps, within their windows.
void ChainMatcher::follow_starts(const Run& run, FlatMatches& out) {
  const std::size_t steps = atoms_.size();
  const std::size_t later_steps = steps - 1;
  const std::size_t most = out.size() + starts_.size();
  reserve_for(out.indices, most * steps);
  reserve_for(out.ends, most);
  reserve_for(out.values, most * out.slots);
  for (const std::uint32_t start : starts_) {
    path_[0] = start;
    bool complete = true;
    for (std::size_t k = 1; k < steps && complete; ++k) {
      const std::uint32_t next = next_[path_[k - 1] * later_steps + (k - 1)];
      complete = next != kNoNext &&
                 !(windows_[k] && window_exceeded(events_[run.begin + path_[k - 1]].ts,
                                                  events_[run.begin + next].ts, *windows_[k]));
      path_[k] = next;
    }
    if (!complete) continue;
    for (std::size_t k = 0; k < steps; ++k) out.indices.push_back(run.begin + path_[k]);
    out.ends.push_back(events_[run.begin + path_[steps - 1]].ts);
    const std::size_t values = out.values.size();
    for (std::size_t k = 0; k < steps; ++k) {
      if (!atoms_[k].captures_new_names()) continue;
      atoms_[k].admits(events_[run.begin + path_[k]]);  // looks up the values it captures
      out.values.insert(out.values.end(), atoms_[k].new_values().begin(),
                        atoms_[k].new_values().end());
    }
    if (out.values.size() - values != out.slots) {
      invariant_failure("a match binds every name of its pattern");
    }
  }
}

}  // namespace vashlet
