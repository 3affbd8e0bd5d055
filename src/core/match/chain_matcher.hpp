// The compiled matcher for patterns whose atoms read no bindings and whose transitions forbid
// nothing, in first-successor mode. There the waiting partial matches never differ in what they
// accept, so a start's match is simply the chain of, step by step, the next event that the
// step's atom admits, within the step's window. One backward pass over a run notes that next
// event for every event and step; a forward pass then follows each start's chain. No partial
// match is ever held, and the matches come out in the run's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "match/event_type_ids.hpp"
#include "match/next_events.hpp"
#include "match/partitions.hpp"
#include "match/results.hpp"
#include "model/model.hpp"
#include "plan/atom_plan.hpp"

namespace vashlet {

class Plan;

class ChainMatcher {
 public:
  // Whether `pattern` may be matched by following chains, with the same matches as the
  // step matcher.
  static bool applies(const Plan& plan);
  // Whether no atom of `plan` reads a binding and no transition forbids an event: then what a
  // waiting partial match accepts depends on nothing it holds.
  static bool plain(const Plan& plan);

  ChainMatcher(const Plan& plan, const EventView& events);
  ChainMatcher(const ChainMatcher&) = delete;  // one per worker, built in place
  // Whether `run` is short enough: its events are numbered in 32 bits.
  static bool takes(const Run& run) { return run.end - run.begin < kNoNext; }
  // Appends the matches of `run` (one that it takes) to `out`, in order.
  void match_run(const Run& run, FlatMatches& out);

 private:
  static constexpr std::uint32_t kNoNext = kNoNextEvent;
  static constexpr std::size_t kMostSteps = 16;  // next events take a number per later step

  void note_types(const Run& run);
  void note_next_events(const Run& run);
  void follow_starts(const Run& run, FlatMatches& out);

  const EventView& events_;
  const EventTypeIds types_;
  const plan::BindingLayout& layout_;
  std::vector<plan::AtomPlan> atoms_;  // per step, copied from the plan
  std::vector<std::optional<std::int64_t>> windows_;  // per step: the limit from the previous one
  // Per event of the run (offsets from its beginning): its type id, and for every step after
  // the first, the next event that the step admits (kNoNext: none). And the run's starts.
  LargeVector<std::size_t> run_types_;
  LargeVector<std::uint32_t> next_;
  LargeVector<std::uint32_t> starts_;
  std::vector<std::uint32_t> last_;  // scratch of the backward pass, per step
  std::vector<std::size_t> path_;    // scratch of the forward pass
};

}  // namespace vashlet
