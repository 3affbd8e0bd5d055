// Exhaustive plain chains: a backward pass keeps each step's completable events, a forward walk
// enumerates the completions from them.
#include "match/chain_completions.hpp"

#include <utility>

#include "match/chain_matcher.hpp"
#include "match/transitions.hpp"
#include "memory/memory.hpp"
#include "plan/plan.hpp"
#include "tuning.hpp"

namespace vashlet {

using plan::kNone;

bool ChainCompletions::applies(const Plan& plan) {
  return plan.exhaustive() && !plan.language && ChainMatcher::plain(plan);
}

ChainCompletions::ChainCompletions(const Plan& plan, const EventView& events,
                                   MatchBudget& budget)
    : events_(events), types_(plan.types, events), budget_(budget), slots_(plan.layout.size()),
      lists_(plan.steps.size()),
      taken_(plan.steps.size()), untried_(plan.steps.size()), values_(plan.steps.size()) {
  for (const plan::StepPlan& step : plan.step_plans) {
    atoms_.push_back(step.advance);
    windows_.push_back(step.max_elapsed);
  }
  reads_attributes_.assign(plan.types.size(), 0);
  for (const plan::AtomPlan& atom : atoms_) {
    if (!atom.decided_by_type() || atom.captures_new_names()) reads_attributes_[atom.type()] = 1;
  }
}

void ChainCompletions::match_run(const Run& run, FlatMatches& out) {
  if (!takes(run)) invariant_failure("a partition too long to enumerate its chains");
  out.steps = atoms_.size();
  out.slots = slots_;
  note_named(run);
  note_completable(run);
  enumerate(run, out);
  if (unadded_ > 0) budget_.add_matches(std::exchange(unadded_, 0), events_, run.begin, run.end);
}

// The events of the run whose types the pattern names, in one forward pass over the types that
// reads no event where the reader numbered them. Of each event kept, the backward pass reads the
// timestamp and, where a step's atom reads them, the attributes: where those lie is fetched now.
void ChainCompletions::note_named(const Run& run) {
  named_.clear();
  for (std::size_t i = run.begin; i < run.end; ++i) {
    const std::size_t type = types_(i, events_);
    if (type == kNone) continue;
    const Event& event = events_[i];
    __builtin_prefetch(&event.ts);
    if (reads_attributes_[type]) __builtin_prefetch(&event.attrs);
    named_.push_back(Named{static_cast<std::uint32_t>(i - run.begin),
                           static_cast<std::uint32_t>(type)});
  }
}

// Backwards through the run. An event may take step k and go on when the step admits it and the
// nearest later event kept for step k + 1 lies within that step's window: of the later ones it is
// the closest in time, timestamps not decreasing within a run. Ascending k, so that step k reads
// step k + 1's list before the same event may join it.
void ChainCompletions::note_completable(const Run& run) {
  const std::size_t steps = atoms_.size();
  for (LargeVector<Entry>& list : lists_) list.clear();
  // The attributes that the atoms read lie apart from the events: fetched a few events early.
  constexpr std::size_t kAhead = tuning::kCopyAhead;
  for (std::size_t n = named_.size(); n-- > 0;) {
    if (n >= kAhead && reads_attributes_[named_[n - kAhead].type]) {
      prefetch_attributes(events_[run.begin + named_[n - kAhead].offset], tuning::kAttributeBytes);
    }
    const std::size_t offset = named_[n].offset;
    const std::size_t type = named_[n].type;
    const Event& event = events_[run.begin + offset];
    for (std::size_t k = 0; k < steps; ++k) {
      if (atoms_[k].type() != type) continue;
      std::uint32_t later = 0;
      if (k + 1 < steps) {
        const LargeVector<Entry>& next = lists_[k + 1];
        if (next.empty()) continue;
        if (windows_[k + 1] && window_exceeded(event.ts, next.back().ts, *windows_[k + 1])) {
          continue;
        }
        later = static_cast<std::uint32_t>(next.size());
      }
      if (!atoms_[k].admits(event)) continue;
      lists_[k].push_back(Entry{event.ts, static_cast<std::uint32_t>(offset), later});
    }
  }
}

inline void ChainCompletions::take(std::size_t k, std::size_t entry, const Run& run) {
  taken_[k] = static_cast<std::uint32_t>(entry);
  if (!atoms_[k].captures_new_names()) return;
  atoms_[k].admits(events_[run.begin + lists_[k][entry].offset]);  // looks up its captures
  values_[k].assign(atoms_[k].new_values().begin(), atoms_[k].new_values().end());
}

// Each start in run order, each start's completions in the order of their index lists: a depth-
// first walk whose candidates for step k are the next step's entries after the one taken for
// step k - 1 (noted backwards, so taken from the last down), while they lie within the window.
// Every entry leads on to a match, so a step runs out of candidates only after matches.
void ChainCompletions::enumerate(const Run& run, FlatMatches& out) {
  const std::size_t last = atoms_.size() - 1;
  const LargeVector<Entry>& starts = lists_[0];
  for (std::size_t s = starts.size(); s-- > 0;) {
    take(0, s, run);
    if (last == 0) {
      emit(run, out);
      continue;
    }
    std::size_t k = 1;
    untried_[1] = starts[s].later;
    while (k > 0) {
      const LargeVector<Entry>& list = lists_[k];
      const std::uint32_t candidate = untried_[k];
      if (candidate == 0 ||
          (windows_[k] && window_exceeded(lists_[k - 1][taken_[k - 1]].ts,
                                          list[candidate - 1].ts, *windows_[k]))) {
        --k;  // back to the previous step's next candidate
        continue;
      }
      untried_[k] = candidate - 1;
      take(k, candidate - 1, run);
      if (k == last) {
        emit(run, out);
      } else {
        ++k;
        untried_[k] = list[candidate - 1].later;
      }
    }
  }
}

void ChainCompletions::emit(const Run& run, FlatMatches& out) {
  checkpoint_();
  const std::size_t steps = atoms_.size();
  // Room for many at once: a vector that doubles its way up to a large result moves every
  // match several times.
  if (out.indices.capacity() - out.indices.size() < steps) {
    reserve_for(out.indices, out.indices.size() + steps);
  }
  for (std::size_t k = 0; k < steps; ++k) {
    out.indices.push_back(run.begin + lists_[k][taken_[k]].offset);
  }
  if (out.ends.capacity() == out.ends.size()) reserve_for(out.ends, out.ends.size() + 1);
  out.ends.push_back(lists_[steps - 1][taken_[steps - 1]].ts);
  if (slots_ > 0) {
    const std::size_t values = out.values.size();
    reserve_for(out.values, values + out.slots);
    for (std::size_t k = 0; k < steps; ++k) {
      if (atoms_[k].captures_new_names()) {
        out.values.insert(out.values.end(), values_[k].begin(), values_[k].end());
      }
    }
    if (out.values.size() - values != out.slots) {
      invariant_failure("a match binds every name of its pattern");
    }
  }
  // Added to the budget as they come: one run can hold more matches than fit.
  if (++unadded_ >= tuning::kMatchesPerAdd || budget_.would_pass(unadded_)) {
    budget_.add_matches(std::exchange(unadded_, 0), events_, run.begin, run.end);
  }
}

}  // namespace vashlet
