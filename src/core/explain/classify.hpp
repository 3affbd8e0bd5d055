// Why the step after a deepest path was not taken: the near miss's reason and its detail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "explain/atom_check.hpp"
#include "explain/explain.hpp"
#include "explain/near_miss_rows.hpp"
#include "model/model.hpp"
#include "system/cancel.hpp"

namespace vashlet::explain {

// What an element of a language pattern adds to the test of a candidate: the whole match's
// window, counted from its first event, and the transition's minimum gap (an earlier event is no
// candidate at all).
struct ElementLimits {
  std::int64_t first_ts = 0;
  std::optional<std::int64_t> within;
  std::optional<std::int64_t> min_gap;
};

// The reason step `step` could not follow events[last] in the run ending at `run_end`, under the
// path's `bindings`; `candidates` are the run's events of the step's type (of any of its
// branches), ascending. A candidate is judged by the first branch it passes, or else the first of
// its type. `limits` is given for the elements of a language pattern only.
NearMissDetail classify(const EventView& events, std::size_t run_end, const Step& step,
                        const std::vector<std::size_t>& candidates, std::size_t last,
                        const Bindings& bindings, const ElementLimits* limits = nullptr);

// The same reason as a Verdict: nothing is copied, and `satisfies` is filled for a
// window_exceeded too.
Verdict judge(const EventView& events, std::size_t run_end, const Step& step,
              const std::vector<std::size_t>& candidates, std::size_t last,
              const Bindings& bindings, const ElementLimits* limits = nullptr);

// The reason when no candidate of `step` can follow events[last] (then the path ends at
// `last`), found in one pass over the candidates from candidates[first], the first after `last`;
// nullopt when one can. `checkpoint` is passed once per candidate: without a window a pass can
// cover the whole run. `check` tests the step's atom; the candidates are events of its type
// (RunCandidates::of_step), whose type it does not compare again.
std::optional<Verdict> judge_if_stuck(const EventView& events, const Step& step,
                                      AtomCheck& check,
                                      const std::vector<std::size_t>& candidates,
                                      std::size_t first, std::size_t last,
                                      const Bindings& bindings, Checkpoint& checkpoint);

// The clauses of `atom` that `event` fails under `bindings`; the atom's own captures are not
// applied while judging.
std::vector<PredicateFailure> failed_clauses(const Atom& atom, const Event& event,
                                             const Bindings& bindings);

}  // namespace vashlet::explain
