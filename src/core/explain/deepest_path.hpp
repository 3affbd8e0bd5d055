// The deepest-path search of a run: for a start, the longest admissible partial path, ties
// going to the lexicographically smallest.
#pragma once

#include <cstddef>
#include <vector>

#include "explain/atom_check.hpp"
#include "explain/depth_bound.hpp"
#include "explain/pattern_facts.hpp"
#include "explain/run_candidates.hpp"
#include "explain/search_tables.hpp"
#include "model/model.hpp"
#include "system/cancel.hpp"

namespace vashlet::explain {

struct PathResult {
  std::vector<std::size_t> path;
  Bindings bindings;
};

class DeepestPathSearch {
 public:
  DeepestPathSearch(const EventView& events, const Pattern& pattern, const PatternFacts& facts,
                    const RunCandidates& run)
      : events_(events), pattern_(pattern), reads_(facts.reads), run_(run),
        values_(events, run, facts.lookups), bound_(events, pattern, run, values_, bindings_) {
    checks_.reserve(pattern.steps.size());
    for (const Step& step : pattern.steps) checks_.emplace_back(step.atom);
  }

  // The deepest path from `start`, whose step-0 evaluation gave `bindings`, written into `out`
  // (whose storage a caller reuses from start to start).
  void deepest_path(std::size_t start, const Bindings& bindings, PathResult& out);

  // Forgets what was learnt of the previous run, for the run that the RunCandidates given to the
  // constructor hold now: a worker keeps one search, and its storage, from run to run.
  void next_run();

 private:
  // Drops the memoised states and bounds (they only save work).
  void forget();

  struct State {
    std::size_t step;      // the next step to match
    std::size_t last;      // the event of the previous step
    std::size_t bindings;  // id in bindings_ of the path's bindings narrowed to what `step` reads
    bool solved = false;
    std::size_t depth = 0;  // steps matched beyond `last` on the best extension
    std::size_t best_child = kNone;
  };

  struct CaptureAt {
    const Capture* capture;
    std::size_t event;
  };

  // A state on the search stack whose candidates are being tried, one child at a time.
  struct Expansion {
    std::size_t state;
    const std::vector<std::size_t>* candidates;  // ascending event indices
    std::size_t position;  // next entry of `candidates`
    std::size_t cleared;   // no forbidden event lies in (last, cleared]
    std::size_t serial;    // tells this frame's entries of tried_ from those of other frames
    std::size_t shared;    // the children's bindings when the step keeps no capture, else kNone
    std::size_t children = 0;
    std::size_t best_depth = 0;
    std::size_t best_child = kNone;
  };

  // The states hold only what later steps read, so the full bindings at the end of a path are
  // rebuilt from the start's: the extensions that Atom::evaluate makes along the path, where the
  // first capture of a name wins. The start's bindings and the sorted captures are merged, so
  // that each name is added at the end of the map.
  Bindings capture_along(const std::vector<std::size_t>& path, const Bindings& start);

  std::size_t state(std::size_t step, std::size_t last, std::size_t bindings) {
    const std::size_t id = state_ids_.emplace({step, last, bindings}, states_.size());
    if (id == states_.size()) {
      states_.push_back(State{step, last, bindings});
      // Past the last step there is nothing left to match.
      if (step == pattern_.steps.size()) states_.back().solved = true;
    }
    return id;
  }

  static void offer(Expansion& frame, std::size_t child, const State& child_state) {
    if (1 + child_state.depth > frame.best_depth) {
      frame.best_depth = 1 + child_state.depth;
      frame.best_child = child;
    }
  }

  Expansion open(std::size_t id);

  void solve(std::size_t root);

  // Tries the frame's remaining candidates; returns a child state that still has to be solved,
  // or kNone once the frame is finished.
  std::size_t advance(Expansion& frame);

  const EventView& events_;
  const Pattern& pattern_;
  const StepReads& reads_;
  const RunCandidates& run_;
  BindingsTable bindings_;
  RunValues values_;
  DepthBound bound_;
  std::vector<State> states_;
  IndexTripleMap state_ids_;
  std::vector<Expansion> stack_;
  IndexTripleMap tried_;  // (frame serial, bindings) of the children tried under a plain link
  std::size_t next_serial_ = 0;
  std::vector<CaptureAt> captured_;
  std::vector<AtomCheck> checks_;  // each step's atom, with its remembered look-ups
  Checkpoint checkpoint_;  // where a long search may stop for a cancelled call
};

}  // namespace vashlet::explain
