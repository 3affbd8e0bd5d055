#include "matcher.hpp"

#include <algorithm>
#include <deque>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace vashlet {

Status validate_pattern(const Pattern& pattern) {
  if (pattern.steps.empty()) return Error{"pattern must contain at least one step"};
  if (pattern.steps.front().transition_from_previous) {
    return Error{"the first pattern step cannot have a transition"};
  }
  for (std::size_t i = 1; i < pattern.steps.size(); ++i) {
    if (!pattern.steps[i].transition_from_previous) {
      return Error{"every step after the first must have a transition"};
    }
  }
  return Ok{};
}

CompiledPattern compile(const Pattern& pattern) {
  const Status valid = validate_pattern(pattern);
  if (!valid) {
    invariant_failure("compile requires a structurally valid pattern: " + valid.error());
  }
  CompiledPattern compiled;
  compiled.steps.reserve(pattern.steps.size());
  for (const Step& step : pattern.steps) {
    CompiledStep& out = compiled.steps.emplace_back();
    out.atom = step.atom;
    if (step.transition_from_previous) {
      out.max_elapsed = step.transition_from_previous->max_elapsed;
      out.absence = step.transition_from_previous->absence;
    }
  }
  compiled.consumption = pattern.consumption;
  return compiled;
}

std::vector<Match> compiled_matches(const Pattern& pattern, const std::vector<Event>& events) {
  return compile(pattern).matches(events);
}

bool window_exceeded(std::int64_t earlier_ts, std::int64_t later_ts, std::int64_t max_elapsed) {
  // The difference of two int64 values needs 65 bits, so it is compared through its sign and
  // its magnitude, which always fits in uint64 (two's-complement wrap-around gives it exactly).
  if (later_ts >= earlier_ts) {
    const std::uint64_t elapsed =
        static_cast<std::uint64_t>(later_ts) - static_cast<std::uint64_t>(earlier_ts);
    return max_elapsed < 0 || elapsed > static_cast<std::uint64_t>(max_elapsed);
  }
  // A negative elapsed time exceeds only a window that is even more negative.
  if (max_elapsed >= 0) return false;
  const std::uint64_t backwards =
      static_cast<std::uint64_t>(earlier_ts) - static_cast<std::uint64_t>(later_ts);
  const std::uint64_t window_magnitude = 0 - static_cast<std::uint64_t>(max_elapsed);
  return backwards < window_magnitude;
}

namespace {

bool blocked_by_any(const std::vector<Atom>& absence, const Event& event,
                    const Bindings& bindings) {
  for (const Atom& atom : absence) {
    if (atom.accepts(event, bindings)) return true;
  }
  return false;
}

Match make_match(const std::vector<Event>& events, std::vector<std::size_t> indices,
                 Bindings captures) {
  Match match;
  match.partition = events[indices.front()].partition;
  match.start = events[indices.front()].ts;
  match.end = events[indices.back()].ts;
  match.indices = std::move(indices);
  match.captures = std::move(captures);
  return match;
}

// The end of the run that begins at `start`: the first later index whose partition differs.
std::size_t run_end(const std::vector<Event>& events, std::size_t start) {
  std::size_t end = start + 1;
  while (end < events.size() && events[end].partition == events[start].partition) ++end;
  return end;
}

// ---------------------------------------------------------------------------------------------
// Compiled matcher. A partial match (a thread) waits in the list of the step it needs next, and
// an event visits only the lists of steps that its type can advance or block. Per run the work is
// therefore proportional to the threads that an event can change, not to all waiting threads.

const Bindings kNoBindings{};

void add_captures(Bindings& bindings, const Atom& atom, const Event& event) {
  // The extension that Atom::evaluate makes once its tests pass, done in place so that a
  // recycled bindings slot keeps its storage.
  for (const Capture& capture : atom.captures) {
    if (bindings.find(capture.name)) continue;
    const Value* value = event.attrs.find(capture.attribute);
    bindings.set(capture.name, value ? *value : Value::null());
  }
}

// One atom split into what the event alone decides (type and literal predicates), tested once
// per event and step, and what depends on a thread's bindings (reference predicates and
// captures), tested per thread. Both halves keep the event type, so their conjunction is exactly
// the whole atom's test.
struct AtomTest {
  const Atom* literal = nullptr;
  const Atom* bound = nullptr;  // null when the atom reads no bindings
};

AtomTest split_atom(const Atom& atom, std::deque<Atom>& parts) {
  if (atom.reference_predicates.empty() && atom.captures.empty()) return AtomTest{&atom, nullptr};
  Atom& literal = parts.emplace_back(atom.event_type);
  literal.predicates = atom.predicates;
  Atom& bound = parts.emplace_back(atom.event_type);
  bound.reference_predicates = atom.reference_predicates;
  bound.captures = atom.captures;
  return AtomTest{&literal, &bound};
}

// What the matcher needs to know about one compiled step.
struct StepPlan {
  const Atom* atom = nullptr;
  AtomTest advance;
  std::vector<AtomTest> absence;
  std::optional<std::int64_t> max_elapsed;
  // Every thread waiting for a step holds the same binding names, so whether the step's captures
  // add a name is fixed: when they add none, successors share their parent's bindings.
  bool captures_new_names = false;
};

// Partial index lists as parent-linked nodes: a successor shares its parent's prefix and a
// match's indices are written out only when it completes. Reference counts return nodes to a
// free list, so a long run reuses them instead of growing.
class PathArena {
 public:
  static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

  void reset() {
    nodes_.clear();
    free_.clear();
  }

  std::size_t extend(std::size_t parent, std::size_t event_index) {
    if (parent != kNoParent) ++nodes_[parent].refs;
    const Node node{event_index, parent, 1};
    if (free_.empty()) {
      nodes_.push_back(node);
      return nodes_.size() - 1;
    }
    const std::size_t id = free_.back();
    free_.pop_back();
    nodes_[id] = node;
    return id;
  }

  void release(std::size_t id) {
    while (id != kNoParent && --nodes_[id].refs == 0) {
      free_.push_back(id);
      id = nodes_[id].parent;
    }
  }

  // Fills `out[0 .. count)` with the last `count` indices of the path that ends at `id`.
  void write(std::size_t id, std::vector<std::size_t>& out, std::size_t count) const {
    for (std::size_t position = count; position-- > 0; id = nodes_[id].parent) {
      out[position] = nodes_[id].event_index;
    }
  }

 private:
  struct Node {
    std::size_t event_index;
    std::size_t parent;
    std::size_t refs;
  };
  std::vector<Node> nodes_;
  std::vector<std::size_t> free_;
};

// Bindings held by reference-counted slots: a successor whose step captures no new name shares
// its parent's slot, and a freed slot keeps its storage for the next thread that needs one.
class BindingsPool {
 public:
  static constexpr std::size_t kEmpty = 0;  // the empty bindings of a start, never freed

  void reset() {
    free_.clear();
    used_ = 1;
  }

  const Bindings& at(std::size_t id) const { return slots_[id]; }

  std::size_t share(std::size_t id) {
    if (id != kEmpty) ++refs_[id];
    return id;
  }

  // A new slot holding `parent` extended by the captures of `atom` on `event`.
  std::size_t extended(std::size_t parent, const Atom& atom, const Event& event) {
    const std::size_t id = allocate();  // may move the slots, so `parent` is looked up after
    Bindings& slot = slots_[id];
    slot = slots_[parent];
    add_captures(slot, atom, event);
    return id;
  }

  void release(std::size_t id) {
    if (id != kEmpty && --refs_[id] == 0) free_.push_back(id);
  }

 private:
  std::size_t allocate() {
    std::size_t id;
    if (!free_.empty()) {
      id = free_.back();
      free_.pop_back();
    } else if (used_ < slots_.size()) {
      id = used_++;
    } else {
      slots_.emplace_back();
      refs_.push_back(0);
      id = used_++;
    }
    refs_[id] = 1;
    return id;
  }

  std::vector<Bindings> slots_ = std::vector<Bindings>(1);
  std::vector<std::size_t> refs_ = std::vector<std::size_t>(1, 0);
  std::vector<std::size_t> free_;
  std::size_t used_ = 1;  // slots below this were handed out in this run; the rest are spare
};

// One partial match waiting for a step. Its last event's timestamp is kept here so that window
// expiry reads no event.
struct Thread {
  std::int64_t last_ts = 0;
  std::size_t path = 0;      // node in the PathArena; its event is the thread's last index
  std::size_t bindings = 0;  // slot in the BindingsPool
};

// The threads waiting for one step, in ascending order of their last event. Timestamps do not
// decrease within a run, so the threads whose window has run out are always a prefix of the
// list; they are dropped lazily, when the list is next touched, by moving `head` past them.
struct WaitingList {
  std::vector<Thread> threads;
  std::size_t head = 0;
  bool in_use = false;  // has held a thread in this run, so the run's reset must clear it

  bool empty() const { return head == threads.size(); }
};

class ThreadMatcher {
 public:
  ThreadMatcher(const CompiledPattern& pattern, const std::vector<Event>& events);
  void match_run(std::size_t begin, std::size_t end, std::vector<Match>& result);

 private:
  void build_dispatch();
  void add_concern(std::size_t step, const std::string& type, std::vector<std::size_t>& seen);
  void reset();
  void offer(std::size_t i);
  void offer_to_step(std::size_t step, std::size_t i);
  bool collect_blockers(const StepPlan& step, const Event& event);
  bool blocked(const Event& event, const Thread& thread) const;
  void try_start(std::size_t i);
  void advance(const Thread& parent, std::size_t step, std::size_t i);
  void emit_match(std::size_t parent_path, std::size_t parent_bindings, std::size_t step,
                  std::size_t i);
  void flush_pending(std::int64_t now);
  void drop_expired(std::size_t step, std::int64_t now);
  void release(const Thread& thread);

  const std::vector<Event>& events_;
  const bool exhaustive_;
  std::deque<Atom> atom_parts_;  // the split halves that AtomTest points at
  std::vector<StepPlan> steps_;

  // Dispatch: each later step is "concerned" by its atom's type and by its absence atoms'
  // types, one concern per (step, type). A concern is registered in the active list of its type
  // while its step has waiting threads, so an event visits only steps that have threads and
  // that its type concerns. Concerns of emptied steps are removed lazily, when met.
  std::unordered_map<std::string, std::size_t> type_ids_;
  std::vector<std::size_t> concern_step_;
  std::vector<std::size_t> concern_type_;
  std::vector<char> concern_registered_;
  std::vector<std::size_t> concerns_begin_;  // per step, the first concern; one extra at the end
  std::vector<std::vector<std::size_t>> active_concerns_;  // per type id

  std::vector<WaitingList> waiting_;  // per step; step 0 has none
  std::vector<std::size_t> used_steps_;
  // Threads created by the current event, inserted once every step has seen that event: a
  // thread is first offered the event after the one that created it.
  std::vector<std::pair<std::size_t, Thread>> pending_;
  std::vector<const Atom*> blockers_;  // the current step's per-thread absence tests
  PathArena paths_;
  BindingsPool bindings_;
  std::vector<Match> run_matches_;
};

ThreadMatcher::ThreadMatcher(const CompiledPattern& pattern, const std::vector<Event>& events)
    : events_(events),
      exhaustive_(pattern.consumption == MatchConsumption::ExhaustivePerStart),
      waiting_(pattern.steps.size()) {
  std::set<std::string_view> bound_names;
  steps_.reserve(pattern.steps.size());
  for (const CompiledStep& compiled : pattern.steps) {
    StepPlan& step = steps_.emplace_back();
    step.atom = &compiled.atom;
    step.advance = split_atom(compiled.atom, atom_parts_);
    for (const Atom& absent : compiled.absence) {
      step.absence.push_back(split_atom(absent, atom_parts_));
    }
    step.max_elapsed = compiled.max_elapsed;
    for (const Capture& capture : compiled.atom.captures) {
      step.captures_new_names |= bound_names.insert(capture.name).second;
    }
  }
  build_dispatch();
}

void ThreadMatcher::build_dispatch() {
  std::vector<std::size_t> seen;  // per type id, the last step that registered it, plus one
  concerns_begin_.assign(1, 0);
  concerns_begin_.push_back(0);  // the first step waits for nothing
  for (std::size_t k = 1; k < steps_.size(); ++k) {
    add_concern(k, steps_[k].atom->event_type, seen);
    for (const AtomTest& absent : steps_[k].absence) {
      add_concern(k, absent.literal->event_type, seen);
    }
    concerns_begin_.push_back(concern_step_.size());
  }
  concern_registered_.assign(concern_step_.size(), 0);
  active_concerns_.resize(type_ids_.size());
}

void ThreadMatcher::add_concern(std::size_t step, const std::string& type,
                                std::vector<std::size_t>& seen) {
  const std::size_t id = type_ids_.try_emplace(type, type_ids_.size()).first->second;
  if (id == seen.size()) seen.push_back(0);
  if (seen[id] == step + 1) return;
  seen[id] = step + 1;
  concern_step_.push_back(step);
  concern_type_.push_back(id);
}

void ThreadMatcher::reset() {
  for (const std::size_t k : used_steps_) {
    WaitingList& list = waiting_[k];
    list.threads.clear();
    list.head = 0;
    list.in_use = false;
    for (std::size_t c = concerns_begin_[k]; c < concerns_begin_[k + 1]; ++c) {
      concern_registered_[c] = 0;
      active_concerns_[concern_type_[c]].clear();
    }
  }
  used_steps_.clear();
  paths_.reset();
  bindings_.reset();
  run_matches_.clear();
}

void ThreadMatcher::match_run(std::size_t begin, std::size_t end, std::vector<Match>& result) {
  reset();
  for (std::size_t i = begin; i < end; ++i) offer(i);
  // Matches complete in no particular order; the run's order is that of their index lists.
  // No two matches share one, so an unstable sort (which needs no buffer) gives that order.
  std::sort(run_matches_.begin(), run_matches_.end(),
            [](const Match& a, const Match& b) { return a.indices < b.indices; });
  result.insert(result.end(), std::make_move_iterator(run_matches_.begin()),
                std::make_move_iterator(run_matches_.end()));
}

void ThreadMatcher::offer(std::size_t i) {
  const auto type = type_ids_.find(events_[i].typ);
  if (type != type_ids_.end()) {
    std::vector<std::size_t>& concerns = active_concerns_[type->second];
    // Backwards, so that removing an emptied step moves in an entry already visited.
    for (std::size_t n = concerns.size(); n-- > 0;) {
      const std::size_t concern = concerns[n];
      const std::size_t step = concern_step_[concern];
      offer_to_step(step, i);
      if (!waiting_[step].empty()) continue;
      concern_registered_[concern] = 0;
      concerns[n] = concerns.back();
      concerns.pop_back();
    }
  }
  try_start(i);
  flush_pending(events_[i].ts);
}

// Per thread, in this order: window (expired threads were dropped first), advance, absence.
// The advancing event is tested against the step's atom before its forbidden atoms, so it never
// blocks its own successor. A blocked thread never advances again and is dropped at once.
void ThreadMatcher::offer_to_step(std::size_t k, std::size_t i) {
  const Event& event = events_[i];
  drop_expired(k, event.ts);
  WaitingList& list = waiting_[k];
  if (list.empty()) return;
  const StepPlan& step = steps_[k];
  const bool may_advance = step.advance.literal->accepts(event, kNoBindings);
  const bool blocks_all = collect_blockers(step, event);
  if (!may_advance && !blocks_all && blockers_.empty()) return;

  std::size_t kept = 0;
  for (std::size_t n = list.head; n < list.threads.size(); ++n) {
    const Thread thread = list.threads[n];
    if (may_advance && (!step.advance.bound ||
                        step.advance.bound->accepts(event, bindings_.at(thread.bindings)))) {
      advance(thread, k, i);
      if (!exhaustive_) {  // first-successor consumption: the parent leaves once it advances
        release(thread);
        continue;
      }
    }
    if (blocks_all || blocked(event, thread)) {
      release(thread);
      continue;
    }
    list.threads[kept++] = thread;
  }
  list.threads.resize(kept);
  list.head = 0;
}

// Sorts the step's forbidden atoms that the event passes on its own: true when one of them reads
// no bindings and so blocks every waiting thread; the others go to `blockers_`.
bool ThreadMatcher::collect_blockers(const StepPlan& step, const Event& event) {
  blockers_.clear();
  for (const AtomTest& absent : step.absence) {
    if (!absent.literal->accepts(event, kNoBindings)) continue;
    if (!absent.bound) return true;
    blockers_.push_back(absent.bound);
  }
  return false;
}

bool ThreadMatcher::blocked(const Event& event, const Thread& thread) const {
  for (const Atom* atom : blockers_) {
    if (atom->accepts(event, bindings_.at(thread.bindings))) return true;
  }
  return false;
}

void ThreadMatcher::try_start(std::size_t i) {
  const Event& event = events_[i];
  const StepPlan& first = steps_.front();
  if (!first.atom->accepts(event, kNoBindings)) return;
  if (steps_.size() == 1) {
    emit_match(PathArena::kNoParent, BindingsPool::kEmpty, 0, i);
    return;
  }
  const std::size_t bindings = first.captures_new_names
                                   ? bindings_.extended(BindingsPool::kEmpty, *first.atom, event)
                                   : BindingsPool::kEmpty;
  pending_.emplace_back(1, Thread{event.ts, paths_.extend(PathArena::kNoParent, i), bindings});
}

void ThreadMatcher::advance(const Thread& parent, std::size_t k, std::size_t i) {
  if (k + 1 == steps_.size()) {
    emit_match(parent.path, parent.bindings, k, i);
    return;
  }
  const StepPlan& step = steps_[k];
  const std::size_t bindings = step.captures_new_names
                                   ? bindings_.extended(parent.bindings, *step.atom, events_[i])
                                   : bindings_.share(parent.bindings);
  pending_.emplace_back(k + 1, Thread{events_[i].ts, paths_.extend(parent.path, i), bindings});
}

void ThreadMatcher::emit_match(std::size_t parent_path, std::size_t parent_bindings,
                               std::size_t k, std::size_t i) {
  Match& match = run_matches_.emplace_back();
  match.indices.resize(k + 1);
  match.indices[k] = i;
  paths_.write(parent_path, match.indices, k);
  const Event& first = events_[match.indices.front()];
  match.partition = first.partition;
  match.start = first.ts;
  match.end = events_[i].ts;
  match.captures = bindings_.at(parent_bindings);
  if (steps_[k].captures_new_names) add_captures(match.captures, *steps_[k].atom, events_[i]);
}

void ThreadMatcher::flush_pending(std::int64_t now) {
  for (const auto& [k, thread] : pending_) {
    drop_expired(k, now);
    WaitingList& list = waiting_[k];
    if (!list.in_use) {
      list.in_use = true;
      used_steps_.push_back(k);
    }
    if (list.empty()) {  // the step gains threads: make sure every type that concerns it sees it
      for (std::size_t c = concerns_begin_[k]; c < concerns_begin_[k + 1]; ++c) {
        if (concern_registered_[c]) continue;
        concern_registered_[c] = 1;
        active_concerns_[concern_type_[c]].push_back(c);
      }
    }
    list.threads.push_back(thread);
  }
  pending_.clear();
}

void ThreadMatcher::drop_expired(std::size_t k, std::int64_t now) {
  const std::optional<std::int64_t>& window = steps_[k].max_elapsed;
  if (!window) return;
  WaitingList& list = waiting_[k];
  while (!list.empty() && window_exceeded(list.threads[list.head].last_ts, now, *window)) {
    release(list.threads[list.head++]);
  }
  // Keep the dropped prefix at most as long as the live part, so the list stays linear in size.
  if (list.head * 2 > list.threads.size()) {
    list.threads.erase(list.threads.begin(),
                       list.threads.begin() + static_cast<std::ptrdiff_t>(list.head));
    list.head = 0;
  }
}

void ThreadMatcher::release(const Thread& thread) {
  paths_.release(thread.path);
  bindings_.release(thread.bindings);
}

}  // namespace

std::vector<Match> CompiledPattern::matches(const std::vector<Event>& events) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  std::vector<Match> result;
  ThreadMatcher matcher(*this, events);
  for (std::size_t begin = 0; begin < events.size();) {
    const std::size_t end = run_end(events, begin);
    matcher.match_run(begin, end, result);
    begin = end;
  }
  return result;
}

bool transition_allows(const std::vector<Event>& events, std::size_t from, std::size_t to,
                       const Transition& transition, const Bindings& bindings) {
  if (from >= to || to >= events.size()) {
    invariant_failure("transition_allows requires from < to < number of events");
  }
  const std::int64_t from_ts = events[from].ts;
  const std::int64_t to_ts = events[to].ts;
  if (to_ts < from_ts) return false;
  if (transition.max_elapsed && window_exceeded(from_ts, to_ts, *transition.max_elapsed)) {
    return false;
  }
  if (to == from + 1 || transition.absence.empty()) return true;
  for (std::size_t j = from + 1; j < to; ++j) {
    if (blocked_by_any(transition.absence, events[j], bindings)) return false;
  }
  return true;
}

bool is_sorted_by_partition_time_index(const std::vector<Event>& events) {
  for (std::size_t i = 1; i < events.size(); ++i) {
    const Event& previous = events[i - 1];
    const Event& current = events[i];
    const int order = compare_bytes(previous.partition, current.partition);
    if (order > 0) return false;
    if (order == 0 && previous.ts > current.ts) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reference matcher: a plain depth-first search over every candidate path. It states what a
// pattern means and is kept free of any optimisation beyond not recursing on the native stack.

namespace {

// One level of the search: the bindings after the last entry of the path at this depth, and the
// next candidate event that this level will try.
struct SearchFrame {
  Bindings bindings;
  std::size_t next_candidate = 0;
};

// Appends, in search order, every match that completes `path` (one entry, for step 0) within the
// run ending before `run_end`. The path is shared by all levels: level k owns path[k].
void extend_path(const std::vector<Event>& events, std::size_t run_end, const Pattern& pattern,
                 std::vector<std::size_t> path, Bindings bindings, bool exhaustive,
                 std::vector<Match>& out) {
  if (path.empty()) invariant_failure("path is non-empty");
  std::vector<SearchFrame> stack;
  stack.push_back(SearchFrame{std::move(bindings), path.back() + 1});

  while (!stack.empty()) {
    const std::size_t step_index = path.size();
    if (step_index == pattern.steps.size()) {
      out.push_back(make_match(events, path, std::move(stack.back().bindings)));
      stack.pop_back();
      path.pop_back();
      continue;
    }
    const Step& step = pattern.steps[step_index];
    if (!step.transition_from_previous) invariant_failure("transition exists after first step");
    const Transition& transition = *step.transition_from_previous;
    const std::size_t last = path.back();

    SearchFrame& frame = stack.back();
    std::optional<Bindings> child;
    std::size_t candidate = frame.next_candidate;
    for (; candidate < run_end; ++candidate) {
      // An expired window or a passed forbidden event does not end the scan.
      if (!transition_allows(events, last, candidate, transition, frame.bindings)) continue;
      child = step.atom.evaluate(events[candidate], frame.bindings);
      if (child) break;
    }
    if (!child) {
      stack.pop_back();
      path.pop_back();
      continue;
    }
    // First-successor search stops at the first passing candidate, whatever its subtree yields.
    frame.next_candidate = exhaustive ? candidate + 1 : run_end;
    path.push_back(candidate);
    stack.push_back(SearchFrame{std::move(*child), candidate + 1});
  }
}

}  // namespace

std::vector<Match> oracle_matches(const Pattern& pattern, const std::vector<Event>& events) {
  if (!validate_pattern(pattern)) {
    invariant_failure("oracle_matches requires a structurally valid pattern");
  }
  const bool exhaustive = pattern.consumption == MatchConsumption::ExhaustivePerStart;
  const Atom& first = pattern.steps.front().atom;
  std::vector<Match> result;
  for (std::size_t begin = 0; begin < events.size();) {
    const std::size_t end = run_end(events, begin);
    for (std::size_t i = begin; i < end; ++i) {
      if (std::optional<Bindings> started = first.evaluate(events[i], Bindings{})) {
        extend_path(events, end, pattern, {i}, std::move(*started), exhaustive, result);
      }
    }
    begin = end;
  }
  return result;
}

}  // namespace vashlet
