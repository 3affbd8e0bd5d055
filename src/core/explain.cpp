#include "explain.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <limits>
#include <unordered_map>
#include <utility>

#include "matcher.hpp"
#include "partitions.hpp"

// The deepest path from a start is the longest admissible path, ties going to the
// lexicographically smallest. Enumerating every path is exponential, so the search below keeps
// the same answer while skipping work that cannot change it:
//
// * The best extension from a state (next step k, last event, bindings B) depends only on that
//   state, never on how the path got there. Candidates are tried in ascending order, so among
//   children that reach the same depth the first one wins the tie (its path is smaller at the
//   first differing entry whatever follows). A state's result is therefore "depth, and the first
//   child reaching it", which is memoised per run and shared by every start of the run.
// * Children are tried in ascending order and can only lose to an earlier one, so the loop stops
//   as soon as no remaining child can be strictly deeper than the best so far. The depth bound is
//   that of a relaxed pattern (event types and literal predicates only, no windows, absences or
//   bindings), computed greedily; it can only fall as the candidate moves later in the run. A
//   complete path reaches the trivial bound, so a start that matches ends its search there.
// * When step k + 1 follows by a plain link (no window, nothing forbidden), a child reached at a
//   later event with the same bindings as an earlier child has only a subset of its successors,
//   so it cannot be deeper and is not searched.
// * Timestamps do not decrease within a run, so once a candidate is past the window or a
//   forbidden event has been passed, every later candidate is too.
//
// The search runs on an explicit stack: a pattern can have far more steps than the native stack
// has frames.

namespace vashlet {

std::string_view near_miss_reason(const NearMissDetail& detail) {
  switch (detail.index()) {
    case 0: return "predicate_failed";
    case 1: return "absence_blocked";
    case 2: return "window_exceeded";
    case 3: return "no_successor";
  }
  invariant_failure("unknown near-miss detail");
}

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kCacheLimit = std::size_t{1} << 18;

// Hash combining with a full avalanche step: keys are small, dense integers (step, event index)
// that a plain xor-shift combination maps onto few buckets.
std::size_t mix(std::size_t seed, std::size_t value) {
  std::uint64_t x = (static_cast<std::uint64_t>(seed) * 0x9e3779b97f4a7c15ULL) ^ value;
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::size_t>(x);
}

// ---------------------------------------------------------------------------------------------
// Bindings interned by exact content, so a search state can be keyed by a small id. Floats are
// compared by bit pattern: a NaN payload or the sign of a zero ends up in the reported captures,
// so two maps are only interchangeable when they are identical.

bool identical(const Value& left, const Value& right) {
  if (left.kind() != right.kind()) return false;
  switch (left.kind()) {
    case ValueKind::String: return left.as_string() == right.as_string();
    case ValueKind::Int: return left.as_int() == right.as_int();
    case ValueKind::Float:
      return std::bit_cast<std::uint64_t>(left.as_float()) ==
             std::bit_cast<std::uint64_t>(right.as_float());
    case ValueKind::Bool: return left.as_bool() == right.as_bool();
    case ValueKind::Null: return true;
  }
  return false;
}

bool identical(const Bindings& left, const Bindings& right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                    [](const Bindings::Entry& l, const Bindings::Entry& r) {
                      return l.first == r.first && identical(l.second, r.second);
                    });
}

std::size_t hash_value(const Value& value) {
  std::size_t seed = static_cast<std::size_t>(value.kind());
  switch (value.kind()) {
    case ValueKind::String: return mix(seed, std::hash<std::string>{}(value.as_string()));
    case ValueKind::Int: return mix(seed, static_cast<std::size_t>(value.as_int()));
    case ValueKind::Float:
      return mix(seed, static_cast<std::size_t>(std::bit_cast<std::uint64_t>(value.as_float())));
    case ValueKind::Bool: return mix(seed, value.as_bool() ? 1 : 0);
    case ValueKind::Null: return seed;
  }
  return seed;
}

std::size_t hash_bindings(const Bindings& bindings) {
  std::size_t seed = bindings.size();
  for (const Bindings::Entry& entry : bindings) {
    seed = mix(seed, std::hash<std::string>{}(entry.first));
    seed = mix(seed, hash_value(entry.second));
  }
  return seed;
}

class BindingsTable {
 public:
  std::size_t intern(Bindings bindings) {
    const std::size_t hash = hash_bindings(bindings);
    auto [first, last] = by_hash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      if (identical(items_[it->second], bindings)) return it->second;
    }
    items_.push_back(std::move(bindings));
    by_hash_.emplace(hash, items_.size() - 1);
    return items_.size() - 1;
  }
  const Bindings& get(std::size_t id) const { return items_[id]; }
  void clear() {
    items_.clear();
    by_hash_.clear();
  }

 private:
  std::vector<Bindings> items_;
  std::unordered_multimap<std::size_t, std::size_t> by_hash_;
};

// ---------------------------------------------------------------------------------------------
// Per-pattern and per-run look-ups

// Open-addressing map from a triple of indices to an index. The search creates millions of
// small keys on long inputs; node-based maps spend most of their time allocating and chasing them.
class IndexTripleMap {
 public:
  using Key = std::array<std::size_t, 3>;

  // The value stored under `key`, after storing `value` there if the key was absent.
  std::size_t emplace(const Key& key, std::size_t value) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    Slot& slot = slots_[position(slots_, key)];
    if (slot.value == kNone) {
      slot = Slot{key, value};
      ++size_;
    }
    return slot.value;
  }

  std::size_t size() const { return size_; }
  // Keeps the capacity: a cleared table is about to be filled again.
  void clear() {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    size_ = 0;
  }

  // The value stored under `key`, or kNone.
  std::size_t find(const Key& key) const {
    return slots_.empty() ? kNone : slots_[position(slots_, key)].value;
  }

 private:
  struct Slot {
    Key key{};
    std::size_t value = kNone;
  };

  // The slot holding `key`, or the empty slot where it belongs (the table is never full).
  static std::size_t position(const std::vector<Slot>& slots, const Key& key) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = mix(mix(key[0], key[1]), key[2]) & mask;
    while (slots[i].value != kNone && slots[i].key != key) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<Slot> bigger(slots_.empty() ? 64 : 2 * slots_.size());
    for (const Slot& slot : slots_) {
      if (slot.value != kNone) bigger[position(bigger, slot.key)] = slot;
    }
    slots_ = std::move(bigger);
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

// Steps share a candidate list when they name the same event type.
struct StepTypes {
  std::vector<std::size_t> type_of_step;
  std::unordered_map<std::string_view, std::size_t> id_of_type;

  explicit StepTypes(const Pattern& pattern) {
    type_of_step.reserve(pattern.steps.size());
    for (const Step& step : pattern.steps) {
      auto [it, inserted] = id_of_type.emplace(step.atom.event_type, id_of_type.size());
      type_of_step.push_back(it->second);
    }
  }
};

// The events of one run that some step could use, grouped by event type, in ascending order.
class RunCandidates {
 public:
  RunCandidates(const EventView& events, std::size_t begin, std::size_t end,
                const StepTypes& types)
      : types_(types), end_(end), lists_(types.id_of_type.size()) {
    for (std::size_t i = begin; i < end; ++i) {
      auto it = types.id_of_type.find(events[i].typ);
      if (it != types.id_of_type.end()) lists_[it->second].push_back(i);
    }
  }

  std::size_t end() const { return end_; }

  const std::vector<std::size_t>& of_step(std::size_t step) const {
    return lists_[types_.type_of_step[step]];
  }

  // Position in `list` of the first entry after `index`.
  static std::size_t first_after(const std::vector<std::size_t>& list, std::size_t index) {
    return static_cast<std::size_t>(std::upper_bound(list.begin(), list.end(), index) -
                                    list.begin());
  }

 private:
  const StepTypes& types_;
  std::size_t end_;
  std::vector<std::vector<std::size_t>> lists_;
};

bool passes_literal_predicates(const Atom& atom, const Event& event) {
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) return false;
  }
  return true;
}

bool is_plain(const Transition& transition) {
  return !transition.max_elapsed && transition.absence.empty();
}

const Transition& transition_of(const Step& step) {
  if (!step.transition_from_previous) invariant_failure("transition exists after first step");
  return *step.transition_from_previous;
}

// ---------------------------------------------------------------------------------------------
// Upper bound on how many steps, from step k on, can follow event p: steps taken greedily at the
// earliest event of the right type that passes the step's literal predicates. Greedy is optimal
// for this relaxed problem, so it bounds every real extension, and it never grows as p moves later.

class DepthBound {
 public:
  DepthBound(const EventView& events, const Pattern& pattern, const RunCandidates& run)
      : events_(events), pattern_(pattern), run_(run) {}

  std::size_t steps_after(std::size_t k, std::size_t p) {
    const std::size_t n = pattern_.steps.size();
    chain_.clear();
    std::size_t tail = 0;
    while (k < n) {
      if (const std::size_t known = memo_.find({k, p, 0}); known != kNone) {
        tail = known;
        break;
      }
      const std::size_t next = earliest(k, p);
      if (next == kNone) {
        memo_.emplace({k, p, 0}, 0);
        break;
      }
      chain_.emplace_back(k, p);
      ++k;
      p = next;
    }
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
      memo_.emplace({it->first, it->second, 0}, ++tail);
    }
    return tail;
  }

  std::size_t cached() const { return memo_.size(); }
  void forget() { memo_.clear(); }

 private:
  std::size_t earliest(std::size_t k, std::size_t p) const {
    const std::vector<std::size_t>& list = run_.of_step(k);
    const Atom& atom = pattern_.steps[k].atom;
    for (std::size_t pos = RunCandidates::first_after(list, p); pos < list.size(); ++pos) {
      if (passes_literal_predicates(atom, events_[list[pos]])) return list[pos];
    }
    return kNone;
  }

  const EventView& events_;
  const Pattern& pattern_;
  const RunCandidates& run_;
  IndexTripleMap memo_;
  std::vector<std::pair<std::size_t, std::size_t>> chain_;
};

// ---------------------------------------------------------------------------------------------
// The deepest-path search of one run.

struct PathResult {
  std::vector<std::size_t> path;
  Bindings bindings;
};

class DeepestPathSearch {
 public:
  DeepestPathSearch(const EventView& events, const Pattern& pattern,
                    const RunCandidates& run)
      : events_(events), pattern_(pattern), run_(run), bound_(events, pattern, run) {}

  // The deepest path from `start`, whose step-0 evaluation gave `bindings`.
  PathResult deepest_path(std::size_t start, Bindings bindings) {
    // The caches only save work, so they are dropped between starts once they grow large: memory
    // stays bounded by what one start needs.
    if (states_.size() + tried_.size() + bound_.cached() > kCacheLimit) {
      states_.clear();
      state_ids_.clear();
      tried_.clear();
      bindings_.clear();
      bound_.forget();
    }
    const std::size_t root = state(1, start, bindings_.intern(std::move(bindings)));
    solve(root);
    PathResult result;
    result.path.push_back(start);
    std::size_t at = root;
    while (states_[at].best_child != kNone) {
      at = states_[at].best_child;
      result.path.push_back(states_[at].last);
    }
    result.bindings = bindings_.get(states_[at].bindings);
    return result;
  }

 private:
  struct State {
    std::size_t step;      // the next step to match
    std::size_t last;      // the event of the previous step
    std::size_t bindings;  // id in bindings_
    bool solved = false;
    std::size_t depth = 0;  // steps matched beyond `last` on the best extension
    std::size_t best_child = kNone;
  };

  struct Frame {
    std::size_t state;
    std::size_t position;  // next entry of the step's candidate list
    std::size_t cleared;   // no forbidden event lies in (last, cleared]
    std::size_t serial;    // tells this frame's entries of tried_ from those of other frames
    std::size_t children = 0;
    std::size_t best_depth = 0;
    std::size_t best_child = kNone;
  };

  std::size_t state(std::size_t step, std::size_t last, std::size_t bindings) {
    const std::size_t id = state_ids_.emplace({step, last, bindings}, states_.size());
    if (id == states_.size()) {
      states_.push_back(State{step, last, bindings});
      // Past the last step there is nothing left to match.
      if (step == pattern_.steps.size()) states_.back().solved = true;
    }
    return id;
  }

  static void offer(Frame& frame, std::size_t child, const State& child_state) {
    if (1 + child_state.depth > frame.best_depth) {
      frame.best_depth = 1 + child_state.depth;
      frame.best_child = child;
    }
  }

  Frame open(std::size_t id) {
    const State& s = states_[id];
    const std::size_t first = RunCandidates::first_after(run_.of_step(s.step), s.last);
    return Frame{id, first, s.last, next_serial_++};
  }

  void solve(std::size_t root) {
    if (states_[root].solved) return;
    stack_.clear();
    stack_.push_back(open(root));
    while (!stack_.empty()) {
      const std::size_t child = advance(stack_.back());
      if (child != kNone) {
        stack_.push_back(open(child));
        continue;
      }
      const Frame done = stack_.back();
      stack_.pop_back();
      State& s = states_[done.state];
      s.solved = true;
      s.depth = done.best_depth;
      s.best_child = done.best_child;
      if (!stack_.empty()) offer(stack_.back(), done.state, s);
    }
  }

  // Tries the frame's remaining candidates; returns a child state that still has to be solved,
  // or kNone once the frame is finished.
  std::size_t advance(Frame& frame) {
    const State s = states_[frame.state];
    const std::size_t k = s.step;
    const std::size_t most = pattern_.steps.size() - k;
    const Step& step = pattern_.steps[k];
    const Transition& transition = transition_of(step);
    const std::vector<std::size_t>& candidates = run_.of_step(k);
    const std::int64_t last_ts = events_[s.last].ts;
    // When the next step follows by a plain link, a later child with the same bindings as an
    // earlier one has a subset of its successors, so it can never be deeper.
    const bool plain_next =
        k + 1 == pattern_.steps.size() || is_plain(transition_of(pattern_.steps[k + 1]));
    const bool same_bindings = plain_next && step.atom.captures.empty();

    while (frame.best_depth < most && frame.position < candidates.size()) {
      if (same_bindings && frame.children > 0) break;
      const std::size_t j = candidates[frame.position];
      if (frame.best_depth > 0) {
        // A child through j or later cannot go deeper than the events left after j allow; the
        // cheap count is tried before the relaxed-pattern bound.
        const std::size_t events_left = run_.end() - 1 - j;
        if (frame.best_depth > events_left) break;
        if (frame.best_depth >= 1 + bound_.steps_after(k + 1, j)) break;
      }
      const std::int64_t ts = events_[j].ts;
      if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) break;
      // Only the events after `cleared` still need the absence test; the window measured from
      // `cleared` is no stricter than the one from `last`, which has just passed.
      if (!transition_allows(events_, frame.cleared, j, transition, bindings_.get(s.bindings))) {
        break;
      }
      frame.cleared = j - 1;
      ++frame.position;

      std::optional<Bindings> extended = step.atom.evaluate(events_[j], bindings_.get(s.bindings));
      if (!extended) continue;
      const std::size_t bindings = bindings_.intern(std::move(*extended));
      if (plain_next) {
        const std::size_t known = tried_.size();
        tried_.emplace({frame.serial, bindings, 0}, 0);
        if (tried_.size() == known) continue;
      }
      ++frame.children;
      const std::size_t child = state(k + 1, j, bindings);
      if (!states_[child].solved) return child;
      offer(frame, child, states_[child]);
    }
    return kNone;
  }

  const EventView& events_;
  const Pattern& pattern_;
  const RunCandidates& run_;
  DepthBound bound_;
  BindingsTable bindings_;
  std::vector<State> states_;
  IndexTripleMap state_ids_;
  std::vector<Frame> stack_;
  IndexTripleMap tried_;  // (frame serial, bindings) of the children tried under a plain link
  std::size_t next_serial_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Why the step after the path was not taken

std::optional<Value> copy_of(const Value* value) {
  return value ? std::optional<Value>(*value) : std::nullopt;
}

// The clauses of `atom` that event j fails under the path's bindings; the atom's own captures are
// not applied while judging.
std::vector<PredicateFailure> failed_clauses(const Atom& atom, const Event& event,
                                             const Bindings& bindings) {
  std::vector<PredicateFailure> failures;
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (actual && matches(predicate.op, *actual, predicate.value)) continue;
    failures.push_back({PredicateFailure::Predicate{predicate.attribute, predicate.op,
                                                    predicate.value, copy_of(actual)}});
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const Value* actual = event.attrs.find(reference.attribute);
    const Value* bound = bindings.find(reference.binding);
    if (actual && bound && matches(reference.op, *actual, *bound)) continue;
    failures.push_back({PredicateFailure::Reference{reference.attribute, reference.op,
                                                    reference.binding, copy_of(bound),
                                                    copy_of(actual)}});
  }
  for (const Capture& capture : atom.captures) {
    const Value* bound = bindings.find(capture.name);
    if (!bound) continue;
    const Value* found = event.attrs.find(capture.attribute);
    const Value actual = found ? *found : Value::null();
    if (actual == *bound) continue;
    failures.push_back(
        {PredicateFailure::Capture{capture.name, capture.attribute, *bound, actual}});
  }
  return failures;
}

// ts(later) - ts(earlier), saturated at the int64 limits when the difference does not fit.
std::int64_t saturated_gap(std::int64_t earlier, std::int64_t later) {
  std::int64_t gap = 0;
  if (!__builtin_sub_overflow(later, earlier, &gap)) return gap;
  return later > earlier ? std::numeric_limits<std::int64_t>::max()
                         : std::numeric_limits<std::int64_t>::min();
}

bool forbidden(const Transition& transition, const Event& event, const Bindings& bindings) {
  for (const Atom& atom : transition.absence) {
    if (atom.accepts(event, bindings)) return true;
  }
  return false;
}

NearMissDetail classify(const EventView& events, std::size_t run_end, const Step& step,
                        const std::vector<std::size_t>& candidates, std::size_t last,
                        const Bindings& bindings) {
  if (last + 1 >= run_end) return NoSuccessor{};
  const Atom& atom = step.atom;
  const Transition& transition = transition_of(step);
  const std::int64_t last_ts = events[last].ts;

  std::optional<WindowExceeded> late;
  std::optional<AbsenceBlocked> blocked;
  // The first forbidden event after `last` blocks every candidate beyond it; it is searched for
  // once, no further than the candidates reached.
  std::size_t scanned = last + 1;
  std::size_t blocker = kNone;

  const std::size_t first = RunCandidates::first_after(candidates, last);
  for (std::size_t pos = first; pos < candidates.size(); ++pos) {
    const std::size_t j = candidates[pos];
    const std::int64_t ts = events[j].ts;
    if (transition.max_elapsed && window_exceeded(last_ts, ts, *transition.max_elapsed)) {
      if (!late) late = WindowExceeded{j, saturated_gap(last_ts, ts), *transition.max_elapsed};
      continue;
    }
    for (; blocker == kNone && scanned < j; ++scanned) {
      if (forbidden(transition, events[scanned], bindings)) blocker = scanned;
    }
    if (blocker != kNone && blocker < j) {
      if (!blocked) {
        const bool satisfies = atom.accepts(events[j], bindings);
        blocked = AbsenceBlocked{j, blocker, events[blocker].typ, satisfies};
      }
      continue;
    }
    return PredicateFailed{j, failed_clauses(atom, events[j], bindings)};
  }
  if (blocked) return std::move(*blocked);
  if (late) return *late;
  return NoSuccessor{};
}

// Appends the near misses of the run events[begin, end) to `out`, in ascending start order.
void near_misses_of_run(const EventView& events, const Pattern& pattern, const StepTypes& types,
                        std::size_t begin, std::size_t end, std::vector<NearMiss>& out) {
  const std::size_t n = pattern.steps.size();
  const Atom& first = pattern.steps.front().atom;
  const Bindings empty;
  const RunCandidates run(events, begin, end, types);
  DeepestPathSearch search(events, pattern, run);
  for (std::size_t start : run.of_step(0)) {
    std::optional<Bindings> bindings = first.evaluate(events[start], empty);
    if (!bindings) continue;
    PathResult deepest = search.deepest_path(start, std::move(*bindings));
    const std::size_t reached = deepest.path.size();
    if (reached == n) continue;

    const Step& next = pattern.steps[reached];
    NearMiss miss;
    miss.partition = events[start].partition;
    miss.start_index = start;
    miss.reached_steps = reached;
    miss.next_event_type = next.atom.event_type;
    miss.detail = classify(events, end, next, run.of_step(reached), deepest.path.back(),
                           deepest.bindings);
    miss.indices = std::move(deepest.path);
    miss.captures = std::move(deepest.bindings);
    out.push_back(std::move(miss));
  }
}

}  // namespace

std::vector<NearMiss> near_misses(const EventView& events, const Pattern& pattern,
                                  std::size_t threads) {
  if (!validate_pattern(pattern)) {
    invariant_failure("near_misses requires a structurally valid pattern");
  }
  const std::size_t n = pattern.steps.size();
  if (n < 2) return {};  // every start of a one-step pattern is a complete match
  const StepTypes types(pattern);
  return map_runs<NearMiss>(events, threads, [&] {
    return [&](const Run& run, std::vector<NearMiss>& out) {
      near_misses_of_run(events, pattern, types, run.begin, run.end, out);
    };
  });
}

}  // namespace vashlet
