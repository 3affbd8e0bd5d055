// The step matcher: the compiled plan executed over runs with partial matches ("partials" for
// short). A partial waits in the list of the step it needs next, and an event visits only the
// lists of steps that its type can advance or block. Per run the work is therefore proportional
// to the partials that an event can change, not to all waiting ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "match/exhaustive_budget.hpp"
#include "match/match_order.hpp"
#include "match/partial_match.hpp"
#include "match/partitions.hpp"
#include "match/path_pools.hpp"
#include "match/paths_taken.hpp"
#include "match/results.hpp"
#include "match/run_reader.hpp"
#include "plan/plan.hpp"
#include "system/cancel.hpp"

namespace vashlet {

// The partials waiting for one step, in ascending order of their last event. Timestamps do not
// decrease within a run, so the partials whose window has run out are always a prefix of the
// list; they are dropped lazily, when the list is next touched, by moving `head` past them.
// A step whose atoms compare `attr == $name` also files its partials by those names' values;
// partials that leave through such an index leave stale entries in the list, skipped when met.
struct WaitingList {
  std::vector<PartialMatch> partials;
  std::size_t head = 0;
  std::size_t live = 0;  // partials of the list that still wait for the step
  bool in_use = false;   // has held a partial in this run, so the run's reset must clear it
  std::vector<PartialsByValue> indexes;
  // Whether the partials are filed in `indexes`. A few are quicker to scan than to file, so
  // filing starts once more than tuning::kFileAbove wait, and stops when none do.
  bool filed = false;

  bool empty() const { return live == 0; }
};

class StepMatcher {
 public:
  // Scratch for one worker (or one long run's groups) over `events`, created from `plan`.
  StepMatcher(const Plan& plan, const EventView& events, MatchBudget& budget,
              PathsTaken& paths_taken);
  StepMatcher(const StepMatcher&) = delete;  // one per worker, built in place
  // Appends the matches of `run` to `out`, in order. Runs are given in ascending order.
  void match_run(const Run& run, FlatMatches& out);

 private:
  using AtomPlan = plan::AtomPlan;
  using StepPlan = plan::StepPlan;

  void finish_run();
  // `named`: a staged run's events of named types, from the reader (null: a streamed run).
  void plan_completions(std::size_t begin, std::size_t end,
                        const std::vector<RunReader::NamedEvent>* named);
  bool completable(std::size_t step, std::size_t i) const;
  void probe(std::size_t j);
  void offer(std::size_t i, const Event& event, std::size_t type);
  void offer_to_step(std::size_t step, std::size_t i, const Event& event, std::size_t type);
  void scan(std::size_t step, std::size_t i, std::int64_t ts, bool may_advance, bool blocks_all);
  void advance_by_value(std::size_t step, std::size_t i, std::int64_t ts);
  void block_by_value(std::size_t step, const AtomPlan& atom);
  void drop_all(std::size_t step);
  void tidy(std::size_t step);
  bool collect_blockers(StepPlan& step, const Event& event, std::size_t type);
  bool blocked(const PartialMatch& partial) const;
  void try_start(std::size_t i, const Event& event);
  void advance(const PartialMatch& parent, std::size_t step, std::size_t i, std::int64_t ts);
  void emit_match(std::size_t first, std::size_t parent_path, std::size_t parent_bindings,
                  std::size_t step, std::size_t i);
  void flush_pending(std::int64_t now);
  void file(WaitingList& list, PartialMatch partial);
  void file_by_value(WaitingList& list, PartialMatch& partial);
  void drop_expired(std::size_t step, std::int64_t now);
  bool is_current(const PartialMatch& partial) const;
  void retire(std::size_t step, const PartialMatch& partial);
  void release(const PartialMatch& partial);

  const Plan& plan_;
  const EventView& events_;
  const bool exhaustive_;
  MatchBudget& budget_;
  PathsTaken& paths_taken_;
  RunReader reader_;
  // Where a step files its partials by value, the buckets that the next events will visit (to
  // find partials, or to file the ones they start) are fetched tuning::kProbesAhead events
  // ahead, once their attributes have arrived. Per type id: the steps, indexes and attributes
  // concerned.
  struct Probe {
    std::size_t step;
    std::size_t index;
    plan::AttributeKey attribute;
  };
  std::vector<std::vector<Probe>> probes_;
  std::size_t filed_lists_ = 0;  // lists that file their partials by value: only then probe
  std::vector<StepPlan> steps_;  // the plan's, with this worker's lookup caches

  // A concern (Dispatch) is registered in the active list of its type while its step has
  // waiting partials, so an event visits only steps that have partials and that its type
  // concerns. Concerns of emptied steps are removed lazily, when met.
  std::vector<char> concern_registered_;
  std::vector<std::vector<std::size_t>> active_concerns_;  // per type id

  std::vector<WaitingList> waiting_;  // per step; step 0 has none
  std::vector<std::size_t> used_steps_;
  // Partials created by the current event, inserted once every step has seen that event: a
  // partial is first offered the event after the one that created it.
  std::vector<std::pair<std::size_t, PartialMatch>> pending_;
  std::vector<const AtomPlan*> blockers_;  // the current step's per-partial absence tests
  bool blockers_by_value_ = true;          // every one of them finds its partials by value
  // Per ticket (a partial filed by value), its current generation; and the tickets free to hand
  // out. Both start afresh with each run.
  std::vector<std::uint32_t> generations_;
  std::vector<std::uint32_t> free_tickets_;
  // Exhaustive mode: per event of the current run and step, whether the rest of the pattern may
  // still be completed from there (see plan_completions); bit (i - begin) * steps + k.
  std::vector<std::uint64_t> completable_;
  std::size_t completable_begin_ = 0;
  std::vector<std::int64_t> next_ts_;  // scratch of plan_completions, per step
  std::vector<char> has_next_;
  PathArena paths_;
  BindingsPool bindings_;
  FlatMatches* matches_ = nullptr;  // where the current run's matches go
  std::size_t run_begin_ = 0;  // the current run's first match in *matches_
  // Whether the current run's matches so far came in ascending order of first event.
  bool run_in_order_ = true;
  MatchOrder order_;
  Checkpoint checkpoint_;  // where a long run may stop for a cancelled call
  // Exhaustive mode: the partial paths filed in the current run, and its matches not yet added
  // to the budget; the run's events, for the budget's messages.
  std::size_t live_paths_ = 0;
  std::size_t unadded_matches_ = 0;
  Run run_;
  std::optional<KeyedReach> reach_;
};

}  // namespace vashlet
