#include "explain/explain.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "model/duration.hpp"
#include "match/matcher.hpp"
#include "match/partitions.hpp"
#include "match/value_index.hpp"

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
// Candidate lists up to this long are scanned rather than indexed by value.
constexpr std::size_t kShortList = 8;

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

// Interned maps keep their address while more are added: the search holds references to them.
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
  std::deque<Bindings> items_;
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

const Transition& transition_of(const Step& step) {
  if (!step.transition_from_previous) invariant_failure("transition exists after first step");
  return *step.transition_from_previous;
}

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

// The binding names that each step and the steps after it read. A step reads the bindings of its
// reference predicates, the names it captures that an earlier step may have bound (a re-capture
// must capture an equal value), and through the absence atoms of its transition the same two.
class StepReads {
 public:
  explicit StepReads(const Pattern& pattern)
      : read_from_(pattern.steps.size() + 1), first_drop_(pattern.steps.size()) {
    const std::size_t n = pattern.steps.size();
    std::set<std::string_view> captured_before;
    std::vector<std::set<std::string_view>> read_at(n);
    for (std::size_t k = 0; k < n; ++k) {
      const Step& step = pattern.steps[k];
      add_reads(step.atom, captured_before, read_at[k]);
      if (step.transition_from_previous) {
        for (const Atom& atom : step.transition_from_previous->absence) {
          add_reads(atom, captured_before, read_at[k]);
        }
      }
      for (const Capture& capture : step.atom.captures) captured_before.insert(capture.name);
    }
    std::set<std::string_view> later;
    for (std::size_t k = n; k-- > 0;) {
      later.insert(read_at[k].begin(), read_at[k].end());
      read_from_[k].assign(later.begin(), later.end());
    }
    keeps_capture_.resize(n, false);
    drops_.resize(n, false);
    narrows_.resize(n, false);
    // The last step keeps everything: a complete path needs no more reads, and its end then
    // holds the full bindings for the paths that narrowed nothing before.
    for (std::size_t k = 0; k < n; ++k) {
      for (const Capture& capture : pattern.steps[k].atom.captures) {
        if (k + 1 == n || reads(k + 1, capture.name)) {
          keeps_capture_[k] = true;
        } else {
          drops_[k] = true;
        }
      }
      for (std::string_view name : read_from_[k]) {
        if (k + 1 < n && !reads(k + 1, name)) narrows_[k] = drops_[k] = true;
      }
      if (drops_[k] && first_drop_ == n) first_drop_ = k;
    }
  }

  // Whether step k captures a name that a later step reads: if not, its children all share the
  // narrowed bindings of their parent.
  bool keeps_capture(std::size_t k) const { return keeps_capture_[k]; }

  // Whether the bindings after step k (those that step k reads, extended by its captures) hold
  // a name that no later step reads.
  bool drops(std::size_t k) const { return drops_[k]; }
  // Whether some name that step k or a later step reads is read by no step after k.
  bool narrows(std::size_t k) const { return narrows_[k]; }
  // Whether one of the steps before step k drops a name: if not, the narrowed bindings of a path
  // of k events are its full bindings.
  bool drops_before(std::size_t k) const { return first_drop_ < k; }

  // The bindings after step k (see `drops`) without the names that no later step reads.
  Bindings narrowed_after(Bindings bindings, std::size_t k) const {
    if (!drops_[k]) return bindings;
    Bindings kept;
    for (const Bindings::Entry& entry : bindings) {
      if (reads(k + 1, entry.first)) kept.set(entry.first, entry.second);
    }
    return kept;
  }

 private:
  static void add_reads(const Atom& atom, const std::set<std::string_view>& captured_before,
                        std::set<std::string_view>& reads) {
    for (const ReferencePredicate& reference : atom.reference_predicates) {
      reads.insert(reference.binding);
    }
    for (const Capture& capture : atom.captures) {
      if (captured_before.count(capture.name)) reads.insert(capture.name);
    }
  }

  bool reads(std::size_t k, std::string_view name) const {
    return std::binary_search(read_from_[k].begin(), read_from_[k].end(), name);
  }

  std::vector<std::vector<std::string_view>> read_from_;  // names into the pattern, sorted
  std::vector<bool> keeps_capture_;
  std::vector<bool> drops_;
  std::vector<bool> narrows_;
  std::size_t first_drop_;
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

// The equality reference predicates of each step, each with the (event type, attribute) pair
// whose values it looks up; steps that share the pair share one index.
struct EqualityLookups {
  struct Lookup {
    std::string_view binding;
    std::size_t key;  // index into `keys`
  };
  struct Key {
    std::size_t step;  // a step of the key's event type
    std::string_view attribute;
  };
  std::vector<std::vector<Lookup>> of_step;
  std::vector<Key> keys;

  EqualityLookups(const Pattern& pattern, const StepTypes& types)
      : of_step(pattern.steps.size()) {
    std::map<std::pair<std::size_t, std::string_view>, std::size_t> key_ids;
    for (std::size_t k = 1; k < pattern.steps.size(); ++k) {
      for (const ReferencePredicate& reference : pattern.steps[k].atom.reference_predicates) {
        if (reference.op != ComparisonOperator::Eq) continue;
        auto [it, inserted] =
            key_ids.emplace(std::pair(types.type_of_step[k], std::string_view(reference.attribute)),
                            keys.size());
        if (inserted) keys.push_back(Key{k, reference.attribute});
        of_step[k].push_back(Lookup{reference.binding, it->second});
      }
    }
  }
};

// The run's candidates of the steps with equality reference predicates, indexed by the value of
// the attribute they compare; an index is built the first time it is asked for.
class RunValues {
 public:
  RunValues(const EventView& events, const RunCandidates& run, const EqualityLookups& lookups)
      : events_(events), run_(run), lookups_(lookups), indexes_(lookups.keys.size()),
        built_(lookups.keys.size(), false) {}

  // The candidates of step k that may pass one of its equality reference predicates under
  // `bindings` (a superset, in ascending order), or nullptr when none of those predicates has its
  // binding bound: then every event of the step's type is a candidate.
  const std::vector<std::size_t>* candidates(std::size_t k, const Bindings& bindings) {
    if (run_.of_step(k).size() <= kShortList) return nullptr;
    for (const EqualityLookups::Lookup& lookup : lookups_.of_step[k]) {
      const Value* bound = bindings.find(lookup.binding);
      if (!bound) continue;
      if (!built_[lookup.key]) build(lookup.key);
      return &indexes_[lookup.key].find(*bound);
    }
    return nullptr;
  }

 private:
  void build(std::size_t key) {
    const EqualityLookups::Key& of = lookups_.keys[key];
    for (std::size_t i : run_.of_step(of.step)) {
      if (const Value* value = events_[i].attrs.find(of.attribute)) indexes_[key].add(*value, i);
    }
    built_[key] = true;
  }

  const EventView& events_;
  const RunCandidates& run_;
  const EqualityLookups& lookups_;
  std::vector<ValueIndex> indexes_;
  std::vector<bool> built_;
};

// What a search of one run reads about the pattern, computed once per call.
struct PatternFacts {
  StepTypes types;
  StepReads reads;
  EqualityLookups lookups;

  explicit PatternFacts(const Pattern& pattern)
      : types(pattern), reads(pattern), lookups(pattern, types) {}
};

bool passes_literal_predicates(const Atom& atom, const Event& event) {
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) return false;
  }
  return true;
}

// The reference predicates whose binding is bound; those whose binding is not yet known pass.
bool passes_known_references(const Atom& atom, const Event& event, const Bindings& bindings) {
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const Value* bound = bindings.find(reference.binding);
    if (!bound) continue;
    const Value* actual = event.attrs.find(reference.attribute);
    if (!actual || !matches(reference.op, *actual, *bound)) return false;
  }
  return true;
}

bool is_plain(const Transition& transition) {
  return !transition.max_elapsed && transition.absence.empty();
}

// ---------------------------------------------------------------------------------------------
// Upper bound on how many steps, from step k on, can follow event p under bindings B: steps taken
// greedily at the earliest event of the right type that passes the step's literal predicates and
// its reference predicates whose binding B holds (bound values never change along a path). Greedy
// is optimal for this relaxed problem, so it bounds every real extension, and it never grows as p
// moves later. B is a state's narrowed bindings: they hold every name that a reference predicate
// of a later step reads, so equal ids mean equal relaxed problems.

class DepthBound {
 public:
  DepthBound(const EventView& events, const Pattern& pattern, const RunCandidates& run,
             RunValues& values, const BindingsTable& bindings)
      : events_(events), pattern_(pattern), run_(run), values_(values), bindings_(bindings) {}

  std::size_t steps_after(std::size_t k, std::size_t p, std::size_t bindings) {
    const std::size_t n = pattern_.steps.size();
    chain_.clear();
    std::size_t tail = 0;
    while (k < n) {
      if (const std::size_t known = memo_.find({k, p, bindings}); known != kNone) {
        tail = known;
        break;
      }
      const std::size_t next = earliest(k, p, bindings_.get(bindings));
      if (next == kNone) {
        memo_.emplace({k, p, bindings}, 0);
        break;
      }
      chain_.emplace_back(k, p);
      ++k;
      p = next;
    }
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
      memo_.emplace({it->first, it->second, bindings}, ++tail);
    }
    return tail;
  }

  std::size_t cached() const { return memo_.size(); }
  void forget() { memo_.clear(); }

 private:
  std::size_t earliest(std::size_t k, std::size_t p, const Bindings& bindings) {
    const std::vector<std::size_t>* by_value = values_.candidates(k, bindings);
    const std::vector<std::size_t>& list = by_value ? *by_value : run_.of_step(k);
    const Atom& atom = pattern_.steps[k].atom;
    for (std::size_t pos = RunCandidates::first_after(list, p); pos < list.size(); ++pos) {
      const Event& event = events_[list[pos]];
      if (passes_literal_predicates(atom, event) && passes_known_references(atom, event, bindings)) {
        return list[pos];
      }
    }
    return kNone;
  }

  const EventView& events_;
  const Pattern& pattern_;
  const RunCandidates& run_;
  RunValues& values_;
  const BindingsTable& bindings_;
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
  DeepestPathSearch(const EventView& events, const Pattern& pattern, const PatternFacts& facts,
                    const RunCandidates& run)
      : events_(events), pattern_(pattern), reads_(facts.reads), run_(run),
        values_(events, run, facts.lookups), bound_(events, pattern, run, values_, bindings_) {}

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
    // The start's bindings are kept when the path's captures have to be applied to them again.
    const std::size_t root =
        state(1, start,
              bindings_.intern(reads_.drops_before(pattern_.steps.size())
                                   ? reads_.narrowed_after(bindings, 0)
                                   : std::move(bindings)));
    solve(root);
    PathResult result;
    result.path.push_back(start);
    std::size_t at = root;
    while (states_[at].best_child != kNone) {
      at = states_[at].best_child;
      result.path.push_back(states_[at].last);
    }
    if (!reads_.drops_before(result.path.size())) {
      result.bindings = bindings_.get(states_[at].bindings);
      return result;
    }
    result.bindings = capture_along(result.path, bindings);
    return result;
  }

 private:
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
  Bindings capture_along(const std::vector<std::size_t>& path, const Bindings& start) {
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

  Expansion open(std::size_t id) {
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

  void solve(std::size_t root) {
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

  // Tries the frame's remaining candidates; returns a child state that still has to be solved,
  // or kNone once the frame is finished.
  std::size_t advance(Expansion& frame) {
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
      } else if (!step.atom.accepts(events_[j], bindings)) {
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
  Checkpoint checkpoint_;  // where a long search may stop for a cancelled call
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
      if (forbidden_by(transition, events[scanned], bindings)) blocker = scanned;
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
void near_misses_of_run(const EventView& events, const Pattern& pattern, const PatternFacts& facts,
                        std::size_t begin, std::size_t end, std::vector<NearMiss>& out) {
  const std::size_t n = pattern.steps.size();
  const Atom& first = pattern.steps.front().atom;
  const Bindings empty;
  const RunCandidates run(events, begin, end, facts.types);
  DeepestPathSearch search(events, pattern, facts, run);
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
  if (!windows_resolved(pattern)) invariant_failure("near_misses requires windows in ticks");
  const std::size_t n = pattern.steps.size();
  if (n < 2) return {};  // every start of a one-step pattern is a complete match
  const PatternFacts facts(pattern);
  return map_runs<NearMiss>(events, threads, [&] {
    return [&](const Run& run, std::vector<NearMiss>& out) {
      near_misses_of_run(events, pattern, facts, run.begin, run.end, out);
    };
  });
}

}  // namespace vashlet
