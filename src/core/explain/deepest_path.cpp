// The deepest-path search of one run, memoised per state and cut short by depth bounds.
#include "explain/deepest_path.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "match/matcher.hpp"

// The deepest path from a start is the longest admissible path, ties going to the
// lexicographically smallest. Enumerating every path is exponential, so the search below keeps
// the same answer while skipping work that cannot change it:
//
// * The best extension from a state (next step k, last event, bindings B) depends only on that
//   state, never on how the path got there. Candidates are tried in ascending order, so among
//   children that reach the same depth the first one wins the tie (its path is smaller at the
//   first differing entry whatever follows). A state's result is therefore "depth, and the first
//   child reaching it", which is memoised per run and shared by every start of the run.
// * Of B, only the names that step k and later steps read (reference predicates, absence atoms,
//   re-captures of a name) decide which extensions exist, so a state holds B narrowed to those.
//   The full bindings of the deepest path are rebuilt from its events at the end.
// * Children are tried in ascending order and can only lose to an earlier one, so the loop stops
//   as soon as no remaining child can be strictly deeper than the best so far. The depth bound is
//   that of a relaxed pattern (event types, literal predicates and the reference predicates whose
//   binding is already known; no windows, absences or captures), computed greedily; it can only
//   fall as the candidate moves later in the run. A complete path reaches the trivial bound, so a
//   start that matches ends its search there.
// * A step with an equality reference predicate whose binding is known takes its candidates from
//   an index of the run's events by that attribute's value instead of scanning every event.
// * When step k + 1 follows by a plain link (no window, nothing forbidden), a child reached at a
//   later event with the same bindings as an earlier child has only a subset of its successors,
//   so it cannot be deeper and is not searched.
// * Timestamps do not decrease within a run, so once a candidate is past the window or a
//   forbidden event has been passed, every later candidate is too.
//
// The search runs on an explicit stack: a pattern can have far more steps than the native stack
// has frames.

namespace vashlet::explain {

namespace {

// The caches are dropped between starts once they hold this many entries.
constexpr std::size_t kCacheLimit = std::size_t{1} << 18;

}  // namespace

void DeepestPathSearch::deepest_path(std::size_t start, const Bindings& bindings,
                                     PathResult& out) {
  // The caches only save work, so they are dropped between starts once they grow large: memory
  // stays bounded by what one start needs.
  if (states_.size() + tried_.size() + bound_.cached() > kCacheLimit) forget();
  // The start's bindings are kept when the path's captures have to be applied to them again.
  const std::size_t root =
      state(1, start,
            reads_.drops_before(pattern_.steps.size())
                ? bindings_.intern(reads_.narrowed_after(bindings, 0))
                : bindings_.intern(bindings));  // interned without a copy when known already
  solve(root);
  out.path.clear();
  out.path.push_back(start);
  std::size_t at = root;
  while (states_[at].best_child != kNone) {
    at = states_[at].best_child;
    out.path.push_back(states_[at].last);
  }
  if (!reads_.drops_before(out.path.size())) {
    out.bindings = bindings_.get(states_[at].bindings);
    return;
  }
  out.bindings = capture_along(out.path, bindings);
}

void DeepestPathSearch::forget() {
  states_.clear();
  state_ids_.clear();
  tried_.clear();
  bindings_.clear();
  bound_.forget();
}

void DeepestPathSearch::next_run() {
  forget();
  values_.clear();
}

Bindings DeepestPathSearch::capture_along(const std::vector<std::size_t>& path,
                                          const Bindings& start) {
  captured_.clear();
  for (std::size_t k = 1; k < path.size(); ++k) {
    for (const Capture& capture : pattern_.steps[k].atom.captures) {
      captured_.push_back({&capture, path[k]});
    }
  }
  std::stable_sort(captured_.begin(), captured_.end(),
                   [](const CaptureAt& left, const CaptureAt& right) {
                     return compare_bytes(left.capture->name, right.capture->name) < 0;
                   });
  Bindings merged;
  merged.reserve(start.size() + captured_.size());
  auto bound = start.begin();
  const std::string* previous = nullptr;
  for (const CaptureAt& at : captured_) {
    const std::string& name = at.capture->name;
    if (previous && *previous == name) continue;
    previous = &name;
    for (; bound != start.end() && compare_bytes(bound->first, name) < 0; ++bound) {
      merged.set(bound->first, bound->second);
    }
    if (bound != start.end() && bound->first == name) continue;
    const Value* value = events_[at.event].attrs.find(at.capture->attribute);
    merged.set(name, value ? *value : Value::null());
  }
  for (; bound != start.end(); ++bound) merged.set(bound->first, bound->second);
  return merged;
}

DeepestPathSearch::Expansion DeepestPathSearch::open(std::size_t id) {
  const State& s = states_[id];
  const Bindings& bindings = bindings_.get(s.bindings);
  const std::vector<std::size_t>* candidates = values_.candidates(s.step, bindings);
  if (!candidates) candidates = &run_.of_step(s.step);
  const std::size_t first = RunCandidates::first_after(*candidates, s.last);
  std::size_t shared = kNone;
  if (!reads_.keeps_capture(s.step)) {
    shared = reads_.narrows(s.step) ? bindings_.intern(reads_.narrowed_after(bindings, s.step))
                                    : s.bindings;
  }
  return Expansion{id, candidates, first, s.last, next_serial_++, shared};
}

void DeepestPathSearch::solve(std::size_t root) {
  if (states_[root].solved) return;
  stack_.clear();
  stack_.push_back(open(root));
  while (!stack_.empty()) {
    checkpoint_();
    const std::size_t child = advance(stack_.back());
    if (child != kNone) {
      stack_.push_back(open(child));
      continue;
    }
    const Expansion done = stack_.back();
    stack_.pop_back();
    State& s = states_[done.state];
    s.solved = true;
    s.depth = done.best_depth;
    s.best_child = done.best_child;
    if (!stack_.empty()) offer(stack_.back(), done.state, s);
  }
}

std::size_t DeepestPathSearch::advance(Expansion& frame) {
  const State s = states_[frame.state];
  const std::size_t k = s.step;
  const std::size_t most = pattern_.steps.size() - k;
  const Step& step = pattern_.steps[k];
  const Transition& transition = transition_of(step);
  const std::vector<std::size_t>& candidates = *frame.candidates;
  const Bindings& bindings = bindings_.get(s.bindings);
  const std::int64_t last_ts = events_[s.last].ts;
  // When the next step follows by a plain link, a later child with the same bindings as an
  // earlier one has a subset of its successors, so it can never be deeper.
  const bool plain_next =
      k + 1 == pattern_.steps.size() || is_plain(transition_of(pattern_.steps[k + 1]));
  const bool same_bindings = plain_next && frame.shared != kNone;
  // Every candidate of the frame is tested under the state's bindings.
  AtomCheck& check = checks_[k];
  if (frame.shared != kNone) check.bind(bindings);

  while (frame.best_depth < most && frame.position < candidates.size()) {
    checkpoint_();
    if (same_bindings && frame.children > 0) break;
    const std::size_t j = candidates[frame.position];
    if (frame.best_depth > 0) {
      // A child through j or later cannot go deeper than the events left after j allow; the
      // cheap count is tried before the relaxed-pattern bound.
      const std::size_t events_left = run_.end() - 1 - j;
      if (frame.best_depth > events_left) break;
      if (frame.best_depth >= 1 + bound_.steps_after(k + 1, j, s.bindings)) break;
    }
    const std::int64_t ts = events_[j].ts;
    if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) break;
    // Only the events after `cleared` still need the absence test; the window measured from
    // `cleared` is no stricter than the one from `last`, which has just passed.
    if (!transition_allows(events_, frame.cleared, j, transition, bindings)) break;
    frame.cleared = j - 1;
    ++frame.position;

    std::size_t child_bindings = frame.shared;
    if (child_bindings == kNone) {
      std::optional<Bindings> extended = step.atom.evaluate(events_[j], bindings);
      if (!extended) continue;
      child_bindings = bindings_.intern(reads_.narrowed_after(std::move(*extended), k));
    } else if (!check.accepts_candidate(events_[j])) {
      continue;
    }
    if (plain_next && !same_bindings) {
      const std::size_t known = tried_.size();
      tried_.emplace({frame.serial, child_bindings, 0}, 0);
      if (tried_.size() == known) continue;
    }
    ++frame.children;
    const std::size_t child = state(k + 1, j, child_bindings);
    if (!states_[child].solved) return child;
    offer(frame, child, states_[child]);
  }
  return kNone;
}

}  // namespace vashlet::explain
