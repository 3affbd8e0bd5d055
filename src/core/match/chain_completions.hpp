// The compiled matcher for the same plain chains as ChainMatcher (no bindings read, no forbidden
// events), in exhaustive mode: every completion of every start. A backward pass over a run keeps,
// per step, the events that the step admits and from which the rest of the chain can still be
// completed within the windows; a forward walk then enumerates each start's completions from
// those lists alone. Every event the walk visits leads to at least one match, so the work after
// the pass is proportional to the matches written, and no partial match is ever held. The matches
// come out in the run's order (ascending index lists), which is the step matcher's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "match/event_type_ids.hpp"
#include "match/exhaustive_budget.hpp"
#include "match/partitions.hpp"
#include "match/results.hpp"
#include "model/model.hpp"
#include "plan/atom_plan.hpp"
#include "system/cancel.hpp"

namespace vashlet {

class Plan;

class ChainCompletions {
 public:
  // Whether `plan` is an exhaustive plain chain, whose completions the lists below enumerate
  // with the same matches as the step matcher.
  static bool applies(const Plan& plan);

  ChainCompletions(const Plan& plan, const EventView& events, MatchBudget& budget);
  ChainCompletions(const ChainCompletions&) = delete;  // one per worker, built in place
  // Whether `run` is short enough: its events are numbered in 32 bits.
  static bool takes(const Run& run) { return run.end - run.begin < kNoEntry; }
  // Appends the matches of `run` (one that it takes) to `out`, in order, adding them to the
  // budget as they come.
  void match_run(const Run& run, FlatMatches& out);

 private:
  static constexpr std::uint32_t kNoEntry = static_cast<std::uint32_t>(-1);

  // An event that a step admits and from which the rest of the chain may be completed. `later`:
  // how many entries the next step's list held when it was noted, i.e. how many of the next
  // step's events come after it.
  struct Entry {
    std::int64_t ts;
    std::uint32_t offset;  // from the run's beginning
    std::uint32_t later;
  };

  void note_named(const Run& run);
  void note_completable(const Run& run);
  void enumerate(const Run& run, FlatMatches& out);
  void take(std::size_t k, std::size_t entry, const Run& run);
  void emit(const Run& run, FlatMatches& out);

  const EventView& events_;
  const EventTypeIds types_;
  MatchBudget& budget_;
  std::vector<plan::AtomPlan> atoms_;  // per step, copied from the plan
  std::vector<std::optional<std::int64_t>> windows_;  // per step: the limit from the previous one
  std::size_t slots_;  // the values per match
  std::vector<char> reads_attributes_;  // per type id: whether a step's atom reads its attributes
  // The run's events whose types the pattern names, with their type ids. Per step: its list,
  // noted backwards, so the run's last event comes first; the next step's events after entry e
  // are its entries [0, e.later).
  struct Named {
    std::uint32_t offset;  // from the run's beginning
    std::uint32_t type;
  };
  LargeVector<Named> named_;
  std::vector<LargeVector<Entry>> lists_;
  // The walk: per step, the entry taken and how many of the step's candidates remain untried;
  // and per step the values its entry captures.
  std::vector<std::uint32_t> taken_;
  std::vector<std::uint32_t> untried_;
  std::vector<std::vector<const Value*>> values_;
  std::size_t unadded_ = 0;  // matches not yet added to the budget
  Checkpoint checkpoint_;   // where a long enumeration may stop for a cancelled call
};

}  // namespace vashlet
