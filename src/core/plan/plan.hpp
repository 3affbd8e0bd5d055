// The plan of a pattern: everything the matchers need that depends on the pattern alone, built
// once per call by `compile` and from then on only read, by every worker and every run. Workers
// keep what they write (pools, look-ahead rings, index tables, the atoms' lookup caches) in
// scratch of their own, created from the plan.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "match/keyed_runs.hpp"
#include "match/results.hpp"
#include "match/run_sink.hpp"
#include "model/model.hpp"
#include "plan/atom_plan.hpp"
#include "plan/binding_layout.hpp"
#include "plan/compiled_step.hpp"
#include "plan/validate.hpp"

namespace vashlet {

// An event of some type that looks up, ahead of its turn, the bucket of a step's index by value
// that it will visit: the step, the index and the attribute whose value it looks up.
struct ProbePlan {
  std::size_t step;
  std::size_t index;
  std::string_view attribute;
};

// Dispatch: each later step is "concerned" by its atom's type and by its absence atoms' types,
// one concern per (step, type). An event visits only the steps its type concerns.
struct Dispatch {
  std::vector<std::size_t> step;   // per concern
  std::vector<std::size_t> type;   // per concern
  std::vector<std::size_t> begin;  // per step, its first concern; one extra at the end
};

class Plan;
// The plan of a structurally valid pattern whose windows are in ticks.
Plan compile(const Pattern& pattern, std::optional<std::size_t> max_matches = std::nullopt);

class Plan {
 public:
  Plan(const Plan&) = delete;  // its tables point into its own steps
  Plan(Plan&&) = default;

  // The pattern's steps, which the rest of the plan points into.
  std::vector<CompiledStep> steps;
  MatchConsumption consumption = MatchConsumption::FirstSuccessorPerStart;
  // More matches than this make the matchers throw MatchLimitError (exhaustive_budget.hpp), as
  // does exhaustive matching that would outgrow the memory the process may use.
  std::optional<std::size_t> max_matches;

  // The event types the pattern names, by id; the binding names, by slot.
  plan::TypeTable types;
  plan::BindingLayout layout;
  // Per step, its atoms prepared (each keyed atom knows its index by value). Workers copy them:
  // an atom's lookups remember where they found their attributes.
  std::vector<plan::StepPlan> step_plans;
  // Per step, the binding slot of each of its indexes by value (none for step 0).
  std::vector<std::vector<std::size_t>> index_slots;
  Dispatch dispatch;
  // Per type id, the index buckets that its events look up ahead of their turn.
  std::vector<std::vector<ProbePlan>> probes;

  // Strategies per run kind: whether runs may be matched by following chains (ChainMatcher),
  // and the grouping of long runs by key where the steps are correlated by one name (its
  // tables empty: each worker copies it).
  bool chains = false;
  std::optional<KeyedRuns> keyed_runs;
  // The pattern itself where it uses the language's elements (uses_elements): its runs are
  // matched by the element matcher, which reads the elements from it.
  std::optional<Pattern> language;

  bool exhaustive() const { return consumption == MatchConsumption::ExhaustivePerStart; }

  // Precondition: `events` are in event order (not checked). The runs are shared among
  // `threads` native threads (1: all on the calling thread); the result is the same for any.
  std::vector<Match> matches(const EventView& events, std::size_t threads = 1) const;
  // The same matches, flat: one part per chunk of runs, the parts in order.
  std::vector<FlatMatches> flat_matches(const EventView& events, std::size_t threads = 1) const;
  // The same parts, each with a sink of make_sink()'s (made on the part's first run) that is
  // handed each run's matches once they are final.
  std::vector<SinkPart> flat_matches(const EventView& events, std::size_t threads,
                                     const MakeRunSink& make_sink) const;
  // The binding names, by slot of FlatMatches::values.
  std::vector<std::string> slot_names() const;

 private:
  friend Plan compile(const Pattern& pattern, std::optional<std::size_t> max_matches);
  Plan(const Pattern& pattern, std::optional<std::size_t> max_matches);
  void build_indexes();
  void build_dispatch();
  void build_probes();
};

}  // namespace vashlet
