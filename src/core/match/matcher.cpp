#include "match/matcher.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "plan/atom_plan.hpp"
#include "match/chain_matcher.hpp"
#include "model/duration.hpp"
#include "match/exhaustive_budget.hpp"
#include "match/keyed_runs.hpp"
#include "memory/memory.hpp"
#include "memory/packed_events.hpp"
#include "match/partitions.hpp"
#include "model/value_hash.hpp"

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
  if (!windows_resolved(pattern)) invariant_failure("compile requires windows in ticks (resolve_windows)");
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

std::vector<Match> compiled_matches(const Pattern& pattern, const EventView& events,
                                    std::size_t threads) {
  return compile(pattern).matches(events, threads);
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

Match make_match(const EventView& events, std::vector<std::size_t> indices, Bindings captures) {
  Match match;
  match.partition = events[indices.front()].partition;
  match.start = events[indices.front()].ts;
  match.end = events[indices.back()].ts;
  match.indices = std::move(indices);
  match.captures = std::move(captures);
  return match;
}

// ---------------------------------------------------------------------------------------------
// Compiled matcher. A partial match (a thread) waits in the list of the step it needs next, and
// an event visits only the lists of steps that its type can advance or block. Per run the work is
// therefore proportional to the threads that an event can change, not to all waiting threads.

using plan::AtomPlan;
using plan::BindingLayout;
using plan::kNone;
using plan::kPrefetchBytes;
using plan::SlotValues;
using plan::StepPlan;
using plan::TypeTable;

// Partial index lists as parent-linked nodes: a successor shares its parent's prefix and a
// match's indices are written out only when it completes. The first index is the thread's own,
// so a thread at the second step needs no node. Reference counts return nodes to a
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
  void write(std::size_t id, std::size_t* out, std::size_t count) const {
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

// Bindings (values by slot, see BindingLayout) held by reference-counted slots: a successor whose
// step captures no new name shares its parent's slot, and a freed slot keeps its storage for the
// next thread that needs one.
class BindingsPool {
 public:
  static constexpr std::size_t kEmpty = 0;  // the empty bindings of a start, never freed

  void reset() {
    free_.clear();
    used_ = 1;
  }

  const SlotValues& at(std::size_t id) const { return slots_[id]; }

  std::size_t share(std::size_t id) {
    if (id != kEmpty) ++refs_[id];
    return id;
  }

  // A new slot holding the values of `parent` followed by `added`.
  std::size_t extended(std::size_t parent, const SlotValues& added) {
    const std::size_t id = allocate();  // may move the slots, so `parent` is looked up after
    SlotValues& slot = slots_[id];
    slot = slots_[parent];
    slot.insert(slot.end(), added.begin(), added.end());
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

  std::vector<SlotValues> slots_ = std::vector<SlotValues>(1);
  std::vector<std::size_t> refs_ = std::vector<std::size_t>(1, 0);
  std::vector<std::size_t> free_;
  std::size_t used_ = 1;  // slots below this were handed out in this run; the rest are spare
};

// One partial match waiting for a step. Its last event's timestamp is kept here so that window
// expiry reads no event.
struct Thread {
  std::size_t first = 0;  // the index of the first event
  std::int64_t last_ts = 0;
  // Node in the PathArena of the indices after the first (kNoParent at the second step); its
  // event is the thread's last index.
  std::size_t path = 0;
  std::size_t bindings = 0;  // slot in the BindingsPool
  // Where a step also files its threads by value, each thread is held in several places; the
  // copies that a thread leaves behind when it leaves the step are recognised by its ticket's
  // generation having moved on (see ThreadMatcher::is_current).
  std::uint32_t ticket = kNoTicket;
  std::uint32_t generation = 0;

  static constexpr std::uint32_t kNoTicket = static_cast<std::uint32_t>(-1);
};

// The threads of one step filed by the value that one binding slot holds, so that an event finds
// the threads whose binding may equal its attribute without visiting the others: an open-
// addressing table of keys (ValueKeyEqual, ValueHash), each with a chain of thread copies in the
// order of their arrival. Keys point into the events' attributes (or at a shared null), which
// outlive the matcher. Storage is kept from run to run.
class ThreadsByValue {
 public:
  explicit ThreadsByValue(std::size_t slot) : slot_(slot) {}

  std::size_t slot() const { return slot_; }
  std::size_t entries() const { return entries_.size() - free_.size(); }
  std::size_t keys() const { return used_.size(); }

  void add(const Thread& thread, const Value& key) {
    if (equals_nothing(key)) return;  // no event value can find it
    const std::size_t id = new_entry(thread);
    if (key.kind() == ValueKind::Int) entries_[id].integer = key.as_int();
    Bucket& bucket = table_[bucket_for(key)];
    if (bucket.head == kEnd) {
      bucket.head = id;
    } else {
      entries_[bucket.tail].next = id;
    }
    bucket.tail = id;
  }

  // Calls `keep(thread, equal)` on each copy filed under the key of `value`, in arrival order,
  // and drops the copies for which it returns false; `equal` tells whether the value the thread
  // was filed under equals `value` (values_equal). `keep` must not add to this index.
  template <class Keep>
  void visit(const Value& value, Keep&& keep) {
    if (used_.empty() || equals_nothing(value)) return;
    const std::size_t position = find(value, key_class(value), ValueHash()(value));
    if (position == kNone) return;
    // One key holds the numbers that round to one double; of two Ints, only equal ones are equal.
    const bool integer = value.kind() == ValueKind::Int;
    const std::int64_t number = integer ? value.as_int() : 0;
    Bucket& bucket = table_[position];
    std::size_t previous = kEnd;
    for (std::size_t id = bucket.head; id != kEnd;) {
      const Entry& entry = entries_[id];
      const std::size_t next = entry.next;
      const bool equal = !integer || !entry.integer || *entry.integer == number;
      if (keep(entry.thread, equal)) {
        previous = id;
      } else {
        (previous == kEnd ? bucket.head : entries_[previous].next) = next;
        if (bucket.tail == id) bucket.tail = previous;
        free_.push_back(id);
      }
      id = next;
    }
  }

  // Starts fetching the bucket where `value`'s key would be, for a later add or visit.
  void prefetch(const Value& value) const {
    if (table_.empty() || equals_nothing(value)) return;
    __builtin_prefetch(&table_[ValueHash()(value) & (table_.size() - 1)]);
  }

  // Forgets every key and copy; the cost is that of the keys in use, not of the table.
  void clear() {
    for (const std::size_t position : used_) table_[position] = Bucket{};
    used_.clear();
    entries_.clear();
    free_.clear();
  }

 private:
  static constexpr std::size_t kEnd = static_cast<std::size_t>(-1);
  struct Entry {
    Thread thread;
    std::size_t next = kEnd;
    std::optional<std::int64_t> integer;  // the value filed under, when an Int
  };
  struct Bucket {
    const Value* key = nullptr;
    std::uint64_t hash = 0;
    KeyClass key_class = KeyClass::Null;
    std::size_t head = kEnd;
    std::size_t tail = kEnd;
  };

  std::size_t new_entry(const Thread& thread) {
    if (free_.empty()) {
      entries_.push_back(Entry{thread, kEnd, std::nullopt});
      return entries_.size() - 1;
    }
    const std::size_t id = free_.back();
    free_.pop_back();
    entries_[id] = Entry{thread, kEnd, std::nullopt};
    return id;
  }

  // A key is found by its class and hash; only strings are then compared, so that a lookup
  // seldom reads the values (which lie in other events' attributes) that the table points to.
  std::size_t find(const Value& value, KeyClass key, std::uint64_t hash) const {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t position = hash & mask;; position = (position + 1) & mask) {
      const Bucket& bucket = table_[position];
      if (!bucket.key) return kNone;
      if (bucket.hash == hash && bucket.key_class == key &&
          (key != KeyClass::String || *bucket.key == value)) {
        return position;
      }
    }
  }

  // The bucket of `key`, claimed for it if it has none.
  std::size_t bucket_for(const Value& value) {
    const KeyClass key = key_class(value);
    const std::uint64_t hash = ValueHash()(value);
    if (!table_.empty()) {
      const std::size_t found = find(value, key, hash);
      if (found != kNone) return found;
    }
    if (2 * (used_.size() + 1) > table_.size()) grow();
    const std::size_t position = free_position(hash);
    table_[position] = Bucket{&value, hash, key};
    used_.push_back(position);
    return position;
  }

  std::size_t free_position(std::uint64_t hash) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t position = hash & mask;
    while (table_[position].key) position = (position + 1) & mask;
    return position;
  }

  void grow() {
    std::vector<Bucket> old(std::max<std::size_t>(16, 2 * table_.size()));
    old.swap(table_);
    for (std::size_t& position : used_) {
      const Bucket bucket = old[position];
      position = free_position(bucket.hash);
      table_[position] = bucket;
    }
  }

  std::size_t slot_;
  std::vector<Bucket> table_;      // a power of two in size, at most half full
  std::vector<std::size_t> used_;  // the positions of the keys, so that clearing skips the rest
  std::vector<Entry> entries_;
  std::vector<std::size_t> free_;
};

// Puts matches in the run's order: ascending index lists. Matchers write matches as they
// complete, while what they read is still in the cache, but matches complete in no particular
// order; so a run's matches are ordered by first event at its end (in first-successor mode no two
// share one), and those that share a first event (only in exhaustive mode) by their whole index
// lists. Where there are many matches for the span of events they start in, a counting sort by
// first event costs a pass over each, where a comparison sort of a large run's matches would
// cost a growing factor per match.
class MatchOrder {
 public:
  // Orders the matches of `out` from `begin` on; `in_order`: they are known to ascend by first
  // event already.
  void order(FlatMatches& out, std::size_t begin, bool in_order, bool exhaustive);

 private:
  // From one match per this many events of their span on, they are counted, not compared.
  static constexpr std::size_t kCountingSortRatio = 16;
  std::vector<std::size_t> first_counts_;
  std::vector<std::size_t> order_;
  FlatMatches reordered_;
};

void MatchOrder::order(FlatMatches& out, std::size_t begin, bool in_order, bool exhaustive) {
  const std::size_t count = out.size() - begin;
  if (count < 2 || (in_order && !exhaustive)) return;
  const std::size_t steps = out.steps;
  const auto first_of = [&](std::size_t m) { return out.indices_of(m)[0]; };
  order_.resize(count);
  if (in_order) {
    for (std::size_t n = 0; n < count; ++n) order_[n] = begin + n;
  } else {
    std::size_t low = first_of(begin);
    std::size_t high = low;
    for (std::size_t m = begin; m < out.size(); ++m) {
      low = std::min(low, first_of(m));
      high = std::max(high, first_of(m));
    }
    const std::size_t span = high - low + 1;
    if (count < span / kCountingSortRatio) {
      for (std::size_t n = 0; n < count; ++n) order_[n] = begin + n;
      std::sort(order_.begin(), order_.end(),
                [&](std::size_t a, std::size_t b) { return first_of(a) < first_of(b); });
    } else {
      first_counts_.assign(span + 1, 0);
      for (std::size_t m = begin; m < out.size(); ++m) ++first_counts_[first_of(m) - low + 1];
      for (std::size_t at = 1; at <= span; ++at) first_counts_[at] += first_counts_[at - 1];
      for (std::size_t m = begin; m < out.size(); ++m) order_[first_counts_[first_of(m) - low]++] = m;
    }
  }
  if (exhaustive) {
    const auto by_indices = [&](std::size_t a, std::size_t b) {
      return std::lexicographical_compare(out.indices_of(a), out.indices_of(a) + steps,
                                          out.indices_of(b), out.indices_of(b) + steps);
    };
    for (std::size_t group = 0; group < count;) {
      std::size_t end = group + 1;
      while (end < count && first_of(order_[end]) == first_of(order_[group])) ++end;
      const auto from = order_.begin() + static_cast<std::ptrdiff_t>(group);
      const auto to = order_.begin() + static_cast<std::ptrdiff_t>(end);
      if (end - group > 1 && !std::is_sorted(from, to, by_indices)) std::sort(from, to, by_indices);
      group = end;
    }
  }
  bool moved = false;
  for (std::size_t n = 0; n < count && !moved; ++n) moved = order_[n] != begin + n;
  if (!moved) return;
  // Copies of the events, where the matches have them, move with their matches.
  const bool with_copies = out.copies.size() > begin;
  if (with_copies && out.copies.size() != out.size()) {
    invariant_failure("matches have copies of their events or none do");
  }
  reordered_.steps = out.steps;
  reordered_.slots = out.slots;
  reordered_.clear();
  // The matches are gathered from all over `out`, which a large run's matches overflow the
  // cache with: the ones a few turns ahead are fetched while the current one is copied.
  constexpr std::size_t kAhead = 16;
  for (std::size_t n = 0; n < count; ++n) {
    if (n + kAhead < count) {
      const std::size_t next = order_[n + kAhead];
      prefetch(out.indices_of(next), steps * sizeof(std::size_t));
      prefetch(&out.ends[next], sizeof(std::int64_t));
      prefetch(out.values_of(next), out.slots * sizeof(const Value*));
      if (with_copies) prefetch(&out.copies[next], sizeof(out.copies[next]));
    }
    const std::size_t m = order_[n];
    reordered_.indices.insert(reordered_.indices.end(), out.indices_of(m),
                              out.indices_of(m) + steps);
    reordered_.ends.push_back(out.ends[m]);
    reordered_.values.insert(reordered_.values.end(), out.values_of(m),
                             out.values_of(m) + out.slots);
    if (with_copies) reordered_.copies.push_back(out.copies[m]);
  }
  std::copy(reordered_.indices.begin(), reordered_.indices.end(),
            out.indices.begin() + static_cast<std::ptrdiff_t>(begin * steps));
  std::copy(reordered_.ends.begin(), reordered_.ends.end(),
            out.ends.begin() + static_cast<std::ptrdiff_t>(begin));
  std::copy(reordered_.values.begin(), reordered_.values.end(),
            out.values.begin() + static_cast<std::ptrdiff_t>(begin * out.slots));
  std::copy(reordered_.copies.begin(), reordered_.copies.end(),
            out.copies.begin() + static_cast<std::ptrdiff_t>(begin));
}

// The threads waiting for one step, in ascending order of their last event. Timestamps do not
// decrease within a run, so the threads whose window has run out are always a prefix of the
// list; they are dropped lazily, when the list is next touched, by moving `head` past them.
// A step whose atoms compare `attr == $name` also files its threads by those names' values;
// threads that leave through such an index leave stale copies in the list, skipped when met.
struct WaitingList {
  std::vector<Thread> threads;
  std::size_t head = 0;
  std::size_t live = 0;  // threads of the list that still wait for the step
  bool in_use = false;   // has held a thread in this run, so the run's reset must clear it
  std::vector<ThreadsByValue> indexes;
  // Whether the threads are filed in `indexes`. A few threads are quicker to scan than to file,
  // so filing starts once more than kFileAbove wait, and stops when none do.
  bool filed = false;
  static constexpr std::size_t kFileAbove = 24;

  bool empty() const { return live == 0; }
};

class ThreadMatcher {
 public:
  ThreadMatcher(const CompiledPattern& pattern, const EventView& events, MatchBudget& budget);
  ThreadMatcher(const ThreadMatcher&) = delete;  // one per worker, built in place
  // Appends the matches of `run` to `out`, in order. Runs are given in ascending order.
  void match_run(const Run& run, FlatMatches& out);

 private:
  void build_indexes();
  void build_dispatch();
  void add_concern(std::size_t step, std::size_t type, std::vector<std::size_t>& seen);
  void finish_run();
  void order_run_matches();
  // `typed`: note_named_events has found the run's events of named types.
  void plan_completions(std::size_t begin, std::size_t end, bool typed);
  bool completable(std::size_t step, std::size_t i) const;
  void note_named_events(std::size_t begin, std::size_t end);
  void stage(std::size_t begin, std::size_t end);
  std::size_t type_of(std::size_t i);
  void build_probes(const CompiledPattern& pattern);
  void probe(std::size_t j);
  void offer(std::size_t i, const Event& event, std::size_t type);
  void offer_to_step(std::size_t step, std::size_t i, const Event& event, std::size_t type);
  void scan(std::size_t step, std::size_t i, std::int64_t ts, bool may_advance, bool blocks_all);
  void advance_by_value(std::size_t step, std::size_t i, std::int64_t ts);
  void block_by_value(std::size_t step, const AtomPlan& atom);
  void drop_all(std::size_t step);
  void tidy(std::size_t step);
  bool collect_blockers(StepPlan& step, const Event& event, std::size_t type);
  bool blocked(const Thread& thread) const;
  void try_start(std::size_t i, const Event& event);
  void advance(const Thread& parent, std::size_t step, std::size_t i, std::int64_t ts);
  void emit_match(std::size_t first, std::size_t parent_path, std::size_t parent_bindings,
                  std::size_t step, std::size_t i);
  void flush_pending(std::int64_t now);
  void file(WaitingList& list, Thread thread);
  void file_by_value(WaitingList& list, Thread& thread);
  void drop_expired(std::size_t step, std::int64_t now);
  bool is_current(const Thread& thread) const;
  void retire(std::size_t step, const Thread& thread);
  void release(const Thread& thread);

  const EventView& events_;
  const bool exhaustive_;
  MatchBudget& budget_;
  TypeTable types_;
  // The type ids of the next events, found ahead of their turn (see type_of).
  static constexpr std::size_t kLookahead = 16;
  std::array<std::size_t, 2 * kLookahead> ahead_types_{};
  std::size_t ahead_ = 0;  // the first event not looked at yet
  // Where a step files its threads by value, the buckets that the next events will visit (to
  // find threads, or to file the ones they start) are fetched this many events ahead, once their
  // attributes have arrived. Per type id: the steps, indexes and attributes concerned.
  static constexpr std::size_t kProbeAhead = kLookahead / 2;
  // Runs of up to this many events stay in the cache from one pass over them to the next.
  static constexpr std::size_t kCachedRun = 1024;
  // Exhaustive matches are added to the call's budget in batches of this many.
  static constexpr std::size_t kMatchesPerAdd = 4096;
  struct Probe {
    std::size_t step;
    std::size_t index;
    plan::AttributeKey attribute;
  };
  std::vector<std::vector<Probe>> probes_;
  std::size_t filed_lists_ = 0;  // lists that file their threads by value: only then probe
  BindingLayout layout_;
  std::vector<StepPlan> steps_;

  // Dispatch: each later step is "concerned" by its atom's type and by its absence atoms'
  // types, one concern per (step, type). A concern is registered in the active list of its type
  // while its step has waiting threads, so an event visits only steps that have threads and
  // that its type concerns. Concerns of emptied steps are removed lazily, when met.
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
  std::vector<const AtomPlan*> blockers_;  // the current step's per-thread absence tests
  bool blockers_by_value_ = true;          // every one of them finds its threads by value
  // Per ticket (a thread filed by value), its current generation; and the tickets free to hand
  // out. Both start afresh with each run.
  std::vector<std::uint32_t> generations_;
  std::vector<std::uint32_t> free_tickets_;
  // Exhaustive mode: per event of the current run and step, whether the rest of the pattern may
  // still be completed from there (see plan_completions); bit (i - begin) * steps + k.
  std::vector<std::uint64_t> completable_;
  std::size_t completable_begin_ = 0;
  std::vector<std::int64_t> next_ts_;  // scratch of plan_completions, per step
  // The current run's events whose types the pattern names, with their type ids, where the run
  // fits the cache (see note_named_events).
  struct NamedEvent {
    std::size_t index;
    std::size_t type;
  };
  std::vector<NamedEvent> named_;
  // The type ids of the events [staged_begin_, staged_begin_ + staged_types_.size()), read in a
  // block ahead of the runs that hold them (see stage).
  static constexpr std::size_t kStagedBlock = 1024;
  std::size_t staged_begin_ = 0;
  std::vector<std::size_t> staged_types_;
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

ThreadMatcher::ThreadMatcher(const CompiledPattern& pattern, const EventView& events,
                             MatchBudget& budget)
    : events_(events),
      exhaustive_(pattern.consumption == MatchConsumption::ExhaustivePerStart),
      budget_(budget),
      layout_(pattern),
      waiting_(pattern.steps.size()) {
  steps_.reserve(pattern.steps.size());
  for (std::size_t k = 0; k < pattern.steps.size(); ++k) {
    const CompiledStep& compiled = pattern.steps[k];
    const Atom& atom = compiled.atom;
    StepPlan& step = steps_.emplace_back(
        StepPlan{AtomPlan(atom, types_.add(atom.event_type), layout_, k, true), {}, {}});
    for (const Atom& absent : compiled.absence) {
      step.absence.emplace_back(absent, types_.add(absent.event_type), layout_, k, false);
    }
    step.max_elapsed = compiled.max_elapsed;
  }
  build_indexes();
  build_dispatch();
  build_probes(pattern);
  if (exhaustive_) reach_.emplace(steps_);
}

void ThreadMatcher::build_probes(const CompiledPattern& pattern) {
  probes_.resize(types_.size());
  for (std::size_t k = 0; k < steps_.size(); ++k) {
    // Events that a keyed atom of step k tests look up their value in its index.
    const auto lookup = [&](const AtomPlan& atom) {
      if (k == 0 || atom.keyed_slot() == kNone) return;
      probes_[atom.type()].push_back(
          Probe{k, atom.index(), plan::AttributeKey(atom.key_attribute())});
    };
    lookup(steps_[k].advance);
    for (const AtomPlan& absent : steps_[k].absence) lookup(absent);
    // Events that step k admits file their new threads for step k + 1 under what they capture.
    if (k + 1 == steps_.size()) continue;
    const std::vector<ThreadsByValue>& indexes = waiting_[k + 1].indexes;
    for (const Capture& capture : pattern.steps[k].atom.captures) {
      const std::size_t slot = layout_.slot(capture.name, k + 1);
      if (slot == kNone || layout_.slot(capture.name, k) != kNone) continue;  // bound earlier
      for (std::size_t n = 0; n < indexes.size(); ++n) {
        if (indexes[n].slot() != slot) continue;
        probes_[steps_[k].advance.type()].push_back(
            Probe{k + 1, n, plan::AttributeKey(capture.attribute)});
      }
    }
  }
}

// Fetches the buckets that event j will visit, if its type's steps file threads by value.
void ThreadMatcher::probe(std::size_t j) {
  const std::size_t type = ahead_types_[j % ahead_types_.size()];
  if (type == kNone) return;
  for (Probe& probe : probes_[type]) {
    const WaitingList& list = waiting_[probe.step];
    if (!list.filed) continue;
    if (const Value* value = probe.attribute.in(events_[j].attrs)) {
      list.indexes[probe.index].prefetch(*value);
    }
  }
}

// Each later step files its threads by every slot that one of its atoms (the step's own or a
// forbidden one) compares with `==`, one ThreadsByValue per slot.
void ThreadMatcher::build_indexes() {
  for (std::size_t k = 1; k < steps_.size(); ++k) {
    std::vector<ThreadsByValue>& indexes = waiting_[k].indexes;
    const auto assign = [&](AtomPlan& atom) {
      const std::size_t slot = atom.keyed_slot();
      if (slot == kNone) return;
      std::size_t index = 0;
      while (index < indexes.size() && indexes[index].slot() != slot) ++index;
      if (index == indexes.size()) indexes.emplace_back(slot);
      atom.set_index(index);
    };
    assign(steps_[k].advance);
    for (AtomPlan& absent : steps_[k].absence) assign(absent);
  }
}

void ThreadMatcher::build_dispatch() {
  std::vector<std::size_t> seen(types_.size(), 0);  // per type, the last step registered, plus one
  concerns_begin_.assign(1, 0);
  concerns_begin_.push_back(0);  // the first step waits for nothing
  for (std::size_t k = 1; k < steps_.size(); ++k) {
    add_concern(k, steps_[k].advance.type(), seen);
    for (const AtomPlan& absent : steps_[k].absence) add_concern(k, absent.type(), seen);
    concerns_begin_.push_back(concern_step_.size());
  }
  concern_registered_.assign(concern_step_.size(), 0);
  active_concerns_.resize(types_.size());
}

void ThreadMatcher::add_concern(std::size_t step, std::size_t type,
                                std::vector<std::size_t>& seen) {
  if (seen[type] == step + 1) return;
  seen[type] = step + 1;
  concern_step_.push_back(step);
  concern_type_.push_back(type);
}

// Writes the run's last matches and forgets the run.
void ThreadMatcher::finish_run() {
  if (unadded_matches_ > 0) {
    budget_.add_matches(std::exchange(unadded_matches_, 0), events_, run_.begin, run_.end);
  }
  live_paths_ = 0;
  order_run_matches();
  for (const std::size_t k : used_steps_) {
    WaitingList& list = waiting_[k];
    list.threads.clear();
    list.head = 0;
    list.live = 0;
    list.in_use = false;
    list.filed = false;
    for (ThreadsByValue& index : list.indexes) index.clear();
    for (std::size_t c = concerns_begin_[k]; c < concerns_begin_[k + 1]; ++c) {
      concern_registered_[c] = 0;
      active_concerns_[concern_type_[c]].clear();
    }
  }
  filed_lists_ = 0;
  used_steps_.clear();
  generations_.clear();
  free_tickets_.clear();
  paths_.reset();
  bindings_.reset();
}

void ThreadMatcher::order_run_matches() {
  order_.order(*matches_, run_begin_, run_in_order_, exhaustive_);
  run_begin_ = matches_->size();
}

// Exhaustive mode, at the start of the run [begin, end): for each event i of the run
// and each step k, whether steps k .. n-1 may still be completed with i taking step k. Judged on
// what an event decides on its own (type, literal predicates, presence of the attributes that
// are compared) and on the windows, ignoring bindings and forbidden events: a "no" is certain.
// One backward pass suffices: of the events after i that can take step k + 1 and go on, the
// earliest is the closest in time, so its window alone decides.
void ThreadMatcher::plan_completions(std::size_t begin, std::size_t end, bool typed) {
  const std::size_t n = steps_.size();
  completable_begin_ = begin;
  completable_.assign(((end - begin) * n + 63) / 64, 0);
  reach_->start_run(end - begin >= KeyedReach::kFrom);
  next_ts_.assign(n, 0);
  has_next_.assign(n, 0);
  // Ascending k: step k reads what steps k + 1 found for the events after i, before step k + 1
  // records event i.
  const auto note = [&](std::size_t i, std::size_t type) {
    const Event& event = events_[i];
    for (std::size_t k = 0; k < n; ++k) {
      AtomPlan& atom = steps_[k].advance;
      if (atom.type() != type) continue;
      if (k + 1 < n) {
        if (!has_next_[k + 1]) continue;
        const std::optional<std::int64_t>& window = steps_[k + 1].max_elapsed;
        if (window && window_exceeded(event.ts, next_ts_[k + 1], *window)) continue;
      }
      if (!atom.admits(event)) continue;
      const std::size_t bit = (i - begin) * n + k;
      completable_[bit / 64] |= std::uint64_t{1} << (bit % 64);
      reach_->note(k, i, atom);
      next_ts_[k] = event.ts;
      has_next_[k] = 1;
    }
  };
  if (typed) {
    for (auto named = named_.rbegin(); named != named_.rend(); ++named) {
      note(named->index, named->type);
    }
    return;
  }
  for (std::size_t i = end; i-- > begin;) {
    const std::size_t type = types_.find(events_[i].typ);
    if (type != kNone) note(i, type);
  }
}

// Reads the events from `begin` on, at least up to `end` and a block's worth, in one streaming
// pass: their type ids are noted, and the attributes of the named ones fetched. A run's passes
// then find its events in the cache. Fetching them as each run comes would leave memory idle
// while the run is matched and the matching idle while the next run arrives; a block of runs
// read at once keeps the memory busy, and still fits the cache.
void ThreadMatcher::stage(std::size_t begin, std::size_t end) {
  const std::size_t stop = std::min(events_.size(), std::max(end, begin + kStagedBlock));
  staged_begin_ = begin;
  staged_types_.resize(stop - begin);
  visit_events(events_, begin, stop, [&](std::size_t i, const Event& event) {
    const std::size_t type = types_.find(event.typ);
    staged_types_[i - begin] = type;
    if (type != kNone) prefetch_attributes(event, kPrefetchBytes);
    return true;
  });
}

// For a run that fits the cache: its events of the types that the pattern names, in one pass
// over the type ids that stage noted, so that the passes after it never look at the others.
void ThreadMatcher::note_named_events(std::size_t begin, std::size_t end) {
  if (begin < staged_begin_ || end > staged_begin_ + staged_types_.size()) stage(begin, end);
  named_.resize(end - begin);
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++i) {  // without a branch on the type: it is unpredictable
    const std::size_t type = staged_types_[i - staged_begin_];
    named_[count] = NamedEvent{i, type};
    count += type != kNone;
  }
  named_.resize(count);
}

bool ThreadMatcher::completable(std::size_t k, std::size_t i) const {
  const std::size_t bit = (i - completable_begin_) * steps_.size() + k;
  return (completable_[bit / 64] >> (bit % 64)) & 1;
}

void ThreadMatcher::match_run(const Run& run, FlatMatches& out) {
  out.steps = steps_.size();
  out.slots = layout_.size();
  matches_ = &out;
  run_begin_ = out.size();
  run_in_order_ = true;
  run_ = run;
  ahead_ = std::max(ahead_, run.begin);  // a worker's first run need not be the first run
  // A run that fits the cache is read ahead with the runs after it (stage), and only its events
  // of named types are visited: backwards first in exhaustive mode (plan_completions), then
  // forwards. A longer run is read as it is matched (type_of).
  const bool typed = run.end - run.begin <= kCachedRun;
  if (typed) note_named_events(run.begin, run.end);
  if (exhaustive_) plan_completions(run.begin, run.end, typed);
  if (typed) {
    for (const NamedEvent& named : named_) {
      checkpoint_();
      offer(named.index, events_[named.index], named.type);
    }
  } else {
    for (std::size_t i = run.begin; i < run.end; ++i) {
      checkpoint_();
      const std::size_t type = type_of(i);
      if (type != kNone) offer(i, events_[i], type);
    }
  }
  finish_run();
}

// The type id of event i (kNone when the pattern does not name its type). Events are asked for in
// ascending order. Memory, not work, bounds the pass, so what it reads is fetched into the cache
// ahead of its turn: the events themselves, then the types of the next events, and the
// attributes of those that the pattern names, which live in a block of their own.
std::size_t ThreadMatcher::type_of(std::size_t i) {
  for (; ahead_ < events_.size() && ahead_ <= i + kLookahead; ++ahead_) {
    if (ahead_ + kLookahead < events_.size()) {
      prefetch(&events_[ahead_ + kLookahead], sizeof(Event));
    }
    const Event& event = events_[ahead_];
    const std::size_t type = types_.find(event.typ);
    ahead_types_[ahead_ % ahead_types_.size()] = type;
    if (type != kNone) prefetch_attributes(event, kPrefetchBytes);
  }
  if (filed_lists_ > 0 && i + kProbeAhead < ahead_) probe(i + kProbeAhead);
  return ahead_types_[i % ahead_types_.size()];
}

// An event whose type the pattern names.
void ThreadMatcher::offer(std::size_t i, const Event& event, std::size_t type) {
  std::vector<std::size_t>& concerns = active_concerns_[type];
  // Backwards, so that removing an emptied step moves in an entry already visited.
  for (std::size_t n = concerns.size(); n-- > 0;) {
    const std::size_t concern = concerns[n];
    const std::size_t step = concern_step_[concern];
    offer_to_step(step, i, event, type);
    if (!waiting_[step].empty()) continue;
    concern_registered_[concern] = 0;
    concerns[n] = concerns.back();
    concerns.pop_back();
  }
  if (type == steps_.front().advance.type()) try_start(i, event);
  if (!pending_.empty()) flush_pending(event.ts);
}

// Per thread, in this order: window (expired threads were dropped first), advance, absence.
// The advancing event is tested against the step's atom before its forbidden atoms, so it never
// blocks its own successor. A blocked thread never advances again and is dropped at once.
// Where the atoms that apply compare `attr == $name`, only the threads filed under the event's
// value are visited; otherwise every waiting thread is.
void ThreadMatcher::offer_to_step(std::size_t k, std::size_t i, const Event& event,
                                  std::size_t type) {
  drop_expired(k, event.ts);
  if (waiting_[k].empty()) return;
  StepPlan& step = steps_[k];
  // In exhaustive mode an event from which the rest of the pattern cannot be completed advances
  // nothing: no successor that it made could become a match.
  const bool may_advance = step.advance.type() == type &&
                           (!exhaustive_ || completable(k, i)) && step.advance.admits(event);
  const bool blocks_all = collect_blockers(step, event, type);
  if (!may_advance && !blocks_all && blockers_.empty()) return;

  const bool advances_by_value = may_advance && step.advance.index() != kNone;
  if (waiting_[k].filed && (!may_advance || advances_by_value) &&
      (blocks_all || blockers_by_value_)) {
    if (advances_by_value) advance_by_value(k, i, event.ts);
    if (blocks_all) {
      drop_all(k);
    } else {
      for (const AtomPlan* atom : blockers_) block_by_value(k, *atom);
    }
  } else {
    scan(k, i, event.ts, may_advance, blocks_all);
  }
  tidy(k);
}

void ThreadMatcher::scan(std::size_t k, std::size_t i, std::int64_t ts, bool may_advance,
                         bool blocks_all) {
  WaitingList& list = waiting_[k];
  const AtomPlan& atom = steps_[k].advance;
  std::size_t kept = 0;
  for (std::size_t n = list.head; n < list.threads.size(); ++n) {
    const Thread thread = list.threads[n];
    if (!is_current(thread)) continue;
    if (may_advance && atom.holds(bindings_.at(thread.bindings))) {
      advance(thread, k, i, ts);
      if (!exhaustive_) {  // first-successor consumption: the parent leaves once it advances
        retire(k, thread);
        continue;
      }
    }
    if (blocks_all || blocked(thread)) {
      retire(k, thread);
      continue;
    }
    list.threads[kept++] = thread;
  }
  list.threads.resize(kept);
  list.head = 0;
}

// For an event that the step's atom admits: the threads filed under its value that pass advance.
void ThreadMatcher::advance_by_value(std::size_t k, std::size_t i, std::int64_t ts) {
  const AtomPlan& atom = steps_[k].advance;
  const bool keyed_only = atom.keyed_only();
  waiting_[k].indexes[atom.index()].visit(atom.key_value(), [&](const Thread& thread, bool equal) {
    if (!is_current(thread)) return false;
    if (!(keyed_only ? equal : atom.holds(bindings_.at(thread.bindings)))) return true;
    advance(thread, k, i, ts);
    if (exhaustive_) return true;
    retire(k, thread);
    return false;
  });
}

// For an event that the forbidden `atom` admits: the threads filed under its value that it blocks.
void ThreadMatcher::block_by_value(std::size_t k, const AtomPlan& atom) {
  const bool keyed_only = atom.keyed_only();
  waiting_[k].indexes[atom.index()].visit(atom.key_value(), [&](const Thread& thread, bool equal) {
    if (!is_current(thread)) return false;
    if (!(keyed_only ? equal : atom.holds(bindings_.at(thread.bindings)))) return true;
    retire(k, thread);
    return false;
  });
}

void ThreadMatcher::drop_all(std::size_t k) {
  WaitingList& list = waiting_[k];
  for (std::size_t n = list.head; n < list.threads.size(); ++n) {
    if (is_current(list.threads[n])) retire(k, list.threads[n]);
  }
  list.threads.clear();
  list.head = 0;
  for (ThreadsByValue& index : list.indexes) index.clear();
}

// Keeps the copies that departed threads leave in a step filed by value below about twice the
// threads still waiting, so memory follows the waiting threads and tidying costs O(1) per copy.
void ThreadMatcher::tidy(std::size_t k) {
  WaitingList& list = waiting_[k];
  if (!list.filed) return;
  if (list.empty()) {
    drop_all(k);
    list.filed = false;
    --filed_lists_;
    return;
  }
  const std::size_t limit = 2 * list.live + 64;
  bool untidy = list.threads.size() - list.head > limit;
  for (const ThreadsByValue& index : list.indexes) {
    untidy = untidy || index.entries() > limit || index.keys() > limit;
  }
  if (!untidy) return;
  std::size_t kept = 0;
  for (std::size_t n = list.head; n < list.threads.size(); ++n) {
    if (is_current(list.threads[n])) list.threads[kept++] = list.threads[n];
  }
  list.threads.resize(kept);
  list.head = 0;
  for (ThreadsByValue& index : list.indexes) {
    index.clear();
    for (const Thread& thread : list.threads) {
      index.add(thread, *bindings_.at(thread.bindings)[index.slot()]);
    }
  }
}

// Sorts the step's forbidden atoms that the event passes on its own: true when one of them reads
// no bindings and so blocks every waiting thread; the others go to `blockers_`.
bool ThreadMatcher::collect_blockers(StepPlan& step, const Event& event, std::size_t type) {
  blockers_.clear();
  blockers_by_value_ = true;
  for (AtomPlan& absent : step.absence) {
    if (absent.type() != type || !absent.admits(event)) continue;
    if (!absent.reads_bindings()) return true;
    blockers_.push_back(&absent);
    blockers_by_value_ = blockers_by_value_ && absent.index() != kNone;
  }
  return false;
}

bool ThreadMatcher::blocked(const Thread& thread) const {
  for (const AtomPlan* atom : blockers_) {
    if (atom->holds(bindings_.at(thread.bindings))) return true;
  }
  return false;
}

void ThreadMatcher::try_start(std::size_t i, const Event& event) {
  if (exhaustive_ && !completable(0, i)) return;
  AtomPlan& first = steps_.front().advance;
  if (!first.admits(event)) return;  // the first step reads no bindings: `admits` decides
  if (steps_.size() == 1) {
    emit_match(i, PathArena::kNoParent, BindingsPool::kEmpty, 0, i);
    return;
  }
  const std::size_t bindings = first.captures_new_names()
                                   ? bindings_.extended(BindingsPool::kEmpty, first.new_values())
                                   : BindingsPool::kEmpty;
  if (exhaustive_ && !reach_->may_complete(1, i, bindings_.at(bindings))) {
    bindings_.release(bindings);
    return;
  }
  pending_.emplace_back(1, Thread{i, event.ts, PathArena::kNoParent, bindings});
}

void ThreadMatcher::advance(const Thread& parent, std::size_t k, std::size_t i,
                            std::int64_t ts) {
  if (k + 1 == steps_.size()) {
    emit_match(parent.first, parent.path, parent.bindings, k, i);
    return;
  }
  const AtomPlan& atom = steps_[k].advance;
  const std::size_t bindings = atom.captures_new_names()
                                   ? bindings_.extended(parent.bindings, atom.new_values())
                                   : bindings_.share(parent.bindings);
  if (exhaustive_ && !reach_->may_complete(k + 1, i, bindings_.at(bindings))) {
    bindings_.release(bindings);
    return;
  }
  pending_.emplace_back(k + 1,
                        Thread{parent.first, ts, paths_.extend(parent.path, i), bindings});
}

// Writes a match out as it completes: its path, its last event and its bound values.
void ThreadMatcher::emit_match(std::size_t first, std::size_t parent_path,
                               std::size_t parent_bindings, std::size_t k, std::size_t i) {
  FlatMatches& out = *matches_;
  if (out.size() > run_begin_ && first < out.indices_of(out.size() - 1)[0]) run_in_order_ = false;
  const std::size_t at = out.indices.size();
  // Room for many at once: a vector that doubles its way up to a large result moves every
  // match several times, and asks for huge pages where it grows large.
  reserve_for(out.indices, at + out.steps);
  out.indices.resize(at + out.steps);
  out.indices[at] = first;
  if (k > 0) {
    out.indices[at + k] = i;
    paths_.write(parent_path, out.indices.data() + at + 1, k - 1);
  }
  reserve_for(out.ends, out.ends.size() + 1);
  out.ends.push_back(events_[i].ts);
  const std::size_t values = out.values.size();
  const SlotValues& held = bindings_.at(parent_bindings);
  const SlotValues& added = steps_[k].advance.new_values();
  reserve_for(out.values, values + out.slots);
  out.values.insert(out.values.end(), held.begin(), held.end());
  out.values.insert(out.values.end(), added.begin(), added.end());
  if (out.values.size() - values != out.slots) {
    invariant_failure("a match binds every name of its pattern");
  }
  // Exhaustive matches are added to the budget as they come: one run can hold more than fits.
  if (exhaustive_ &&
      (++unadded_matches_ >= kMatchesPerAdd || budget_.would_pass(unadded_matches_))) {
    budget_.add_matches(std::exchange(unadded_matches_, 0), events_, run_.begin, run_.end);
  }
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
    file(list, thread);
  }
  pending_.clear();
  if (exhaustive_) budget_.check_paths(live_paths_, events_, run_.begin, run_.end);
}

// Adds a thread to a step's list and, where the step files its threads by value, to its indexes
// under a fresh ticket.
void ThreadMatcher::file(WaitingList& list, Thread thread) {
  ++list.live;
  ++live_paths_;
  if (list.filed) {
    file_by_value(list, thread);
  } else if (list.live > WaitingList::kFileAbove && !list.indexes.empty()) {
    list.filed = true;  // a list that is not filed holds no stale copies
    ++filed_lists_;
    for (std::size_t n = list.head; n < list.threads.size(); ++n) {
      file_by_value(list, list.threads[n]);
    }
    file_by_value(list, thread);
  }
  list.threads.push_back(thread);
}

// Gives the thread a ticket and files it in the list's indexes.
void ThreadMatcher::file_by_value(WaitingList& list, Thread& thread) {
  if (free_tickets_.empty()) {
    thread.ticket = static_cast<std::uint32_t>(generations_.size());
    generations_.push_back(0);
  } else {
    thread.ticket = free_tickets_.back();
    free_tickets_.pop_back();
  }
  thread.generation = generations_[thread.ticket];
  const SlotValues& bound = bindings_.at(thread.bindings);
  for (ThreadsByValue& index : list.indexes) index.add(thread, *bound[index.slot()]);
}

void ThreadMatcher::drop_expired(std::size_t k, std::int64_t now) {
  const std::optional<std::int64_t>& window = steps_[k].max_elapsed;
  if (!window) return;
  WaitingList& list = waiting_[k];
  while (list.head < list.threads.size() &&
         window_exceeded(list.threads[list.head].last_ts, now, *window)) {
    const Thread& thread = list.threads[list.head++];
    if (is_current(thread)) retire(k, thread);
  }
  // Keep the dropped prefix at most as long as the live part, so the list stays linear in size.
  if (list.head * 2 > list.threads.size()) {
    list.threads.erase(list.threads.begin(),
                       list.threads.begin() + static_cast<std::ptrdiff_t>(list.head));
    list.head = 0;
  }
}

// False for the copy that a thread filed by value left behind when it left its step.
bool ThreadMatcher::is_current(const Thread& thread) const {
  return thread.ticket == Thread::kNoTicket || generations_[thread.ticket] == thread.generation;
}

// The thread leaves step k for good: every copy of it goes stale.
void ThreadMatcher::retire(std::size_t k, const Thread& thread) {
  --waiting_[k].live;
  --live_paths_;
  if (thread.ticket != Thread::kNoTicket) {
    ++generations_[thread.ticket];
    free_tickets_.push_back(thread.ticket);
  }
  release(thread);
}

void ThreadMatcher::release(const Thread& thread) {
  paths_.release(thread.path);
  bindings_.release(thread.bindings);
}

// One worker's matcher of runs: chains where the pattern allows them, else threads, over each
// key's events of a long run where the pattern's steps are correlated by one name.
class RunMatcher {
 public:
  RunMatcher(const CompiledPattern& pattern, const EventView& events, bool copy_events,
             MatchBudget& budget)
      : pattern_(pattern), events_(events), keyed_(KeyedRuns::of(pattern)),
        copy_events_(copy_events), budget_(budget) {
    if (ChainMatcher::applies(pattern)) chains_.emplace(pattern, events);
  }

  void match_run(const Run& run, FlatMatches& out) {
    const std::size_t begin = out.size();
    const bool by_key = keyed_ && run.end - run.begin >= kSplitFrom && !takes_chains(run);
    if (by_key) {
      match_by_key(run, out);  // copies each key's events as it goes
    } else if (takes_chains(run)) {
      chains_->match_run(run, out);
    } else {
      threads().match_run(run, out);
    }
    // Exhaustive matchers add their matches to the budget as they come.
    if (!budget_.exhaustive()) budget_.add_matches(out.size() - begin, events_, run.begin, run.end);
    if (!by_key) copy_events(out, begin, events_);
  }

 private:
  // Runs shorter than this fit the cache as they are.
  static constexpr std::size_t kSplitFrom = std::size_t{1} << 14;

  bool takes_chains(const Run& run) const { return chains_ && ChainMatcher::takes(run); }

  ThreadMatcher& threads() {
    if (!threads_) threads_.emplace(pattern_, events_, budget_);
    return *threads_;
  }

  void match_by_key(const Run& run, FlatMatches& out) {
    keyed_->group(events_, run);
    const EventView grouped(keyed_->grouped().data(), keyed_->grouped().size());
    ThreadMatcher matcher(pattern_, grouped, budget_);
    const std::size_t begin = out.size();
    // A group's events are copied right after its matching, which has just read them: in the
    // order of the run they lie all over memory.
    for (std::size_t g = 0; g < keyed_->groups(); ++g) {
      const std::size_t group_begin = out.size();
      matcher.match_run(keyed_->group_run(g), out);
      copy_events(out, group_begin, grouped);
    }
    for (std::size_t n = begin * out.steps; n < out.indices.size(); ++n) {
      out.indices[n] = keyed_->source(out.indices[n]);
    }
    order_.order(out, begin, false, pattern_.consumption == MatchConsumption::ExhaustivePerStart);
  }

  // Copies of the events of the matches from `begin` on, named by their positions in `events`,
  // where the caller asks for them. A long run's earlier events have left the cache, so those of
  // the matches a few turns ahead are fetched early: the events, then their attributes.
  void copy_events(FlatMatches& out, std::size_t begin, const EventView& events) const {
    if (!copy_events_) return;
    constexpr std::size_t kAhead = 8;  // matches
    const auto fetch = [&](std::size_t m, auto&& what) {
      if (m >= out.size()) return;
      for (std::size_t s = 0; s < out.steps; ++s) what(events[out.indices_of(m)[s]]);
    };
    reserve_for(out.copies, out.size());
    for (std::size_t m = begin; m < out.size(); ++m) {
      fetch(m + 2 * kAhead, [](const Event& event) { prefetch(&event, sizeof(Event)); });
      fetch(m + kAhead, [](const Event& event) {
        prefetch_attributes(event, plan::kPrefetchBytes);
      });
      const std::size_t* indices = out.indices_of(m);
      const PackedEventSlabs::Place place = out.copy_slabs.add(
          out.steps, [&](std::size_t s) -> const Event& { return events[indices[s]]; });
      if (out.copy_slabs.ts(place, out.steps - 1) != out.ends[m]) {
        invariant_failure("a match disagrees with the events it names");
      }
      out.copies.push_back(place);
    }
  }

  const CompiledPattern& pattern_;
  const EventView& events_;
  std::optional<KeyedRuns> keyed_;
  bool copy_events_;
  MatchBudget& budget_;
  std::optional<ChainMatcher> chains_;
  std::optional<ThreadMatcher> threads_;
  MatchOrder order_;
};

MatchBudget budget_of(const CompiledPattern& pattern, std::size_t threads) {
  return MatchBudget(pattern.max_matches,
                     pattern.consumption == MatchConsumption::ExhaustivePerStart,
                     pattern.steps.size(), BindingLayout(pattern).size(), threads);
}

}  // namespace

std::vector<FlatMatches> CompiledPattern::flat_matches(const EventView& events,
                                                       std::size_t threads,
                                                       bool copy_events) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  MatchBudget budget = budget_of(*this, threads);
  return map_run_chunks<FlatMatches>(events, threads, [&] {
    return [matcher = RunMatcher(*this, events, copy_events, budget)](const Run& run,
                                                                       FlatMatches& out) mutable {
      matcher.match_run(run, out);
    };
  });
}

std::vector<Match> CompiledPattern::matches(const EventView& events, std::size_t threads) const {
  if (steps.empty()) invariant_failure("compiled pattern has at least one step");
  const BindingLayout layout(*this);
  MatchBudget budget = budget_of(*this, threads);
  // Each run's matches go through a flat buffer that the worker reuses, then become Match
  // records.
  return map_runs<Match>(events, threads, [&] {
    return [matcher = RunMatcher(*this, events, false, budget), flat = FlatMatches(), &layout, &events](
               const Run& run, std::vector<Match>& out) mutable {
      flat.clear();
      matcher.match_run(run, flat);
      reserve_for(out, out.size() + flat.size());
      for (std::size_t m = 0; m < flat.size(); ++m) {
        Match& match = out.emplace_back();
        match.indices.assign(flat.indices_of(m), flat.indices_of(m) + flat.steps);
        const Event& first = events[match.indices.front()];
        match.partition = first.partition;
        match.start = first.ts;
        match.end = flat.ends[m];
        match.captures = layout.to_bindings(flat.values_of(m));
      }
    };
  });
}

std::vector<std::string> CompiledPattern::slot_names() const {
  const BindingLayout layout(*this);
  return {layout.names().begin(), layout.names().end()};
}

bool forbidden_by(const Transition& transition, const Event& event, const Bindings& bindings) {
  for (const Atom& atom : transition.absence) {
    if (atom.accepts(event, bindings)) return true;
  }
  return false;
}

bool transition_allows(const EventView& events, std::size_t from, std::size_t to,
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
    if (forbidden_by(transition, events[j], bindings)) return false;
  }
  return true;
}

bool is_sorted_by_partition_time_index(const EventView& events) {
  for (std::size_t i = 1; i < events.size(); ++i) {
    if (!in_event_order(events[i - 1], events[i])) return false;
  }
  return true;
}

bool in_event_order(const Event& previous, const Event& next) {
  if (same_bytes(previous.partition, next.partition)) return previous.ts <= next.ts;
  return compare_bytes(previous.partition, next.partition) < 0;
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
void extend_path(const EventView& events, std::size_t run_end, const Pattern& pattern,
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

std::vector<Match> oracle_matches(const Pattern& pattern, const EventView& events,
                                  std::size_t threads) {
  if (!validate_pattern(pattern)) {
    invariant_failure("oracle_matches requires a structurally valid pattern");
  }
  if (!windows_resolved(pattern)) invariant_failure("oracle_matches requires windows in ticks");
  const bool exhaustive = pattern.consumption == MatchConsumption::ExhaustivePerStart;
  const Atom& first = pattern.steps.front().atom;
  return map_runs<Match>(events, threads, [&] {
    return [&](const Run& run, std::vector<Match>& out) {
      for (std::size_t i = run.begin; i < run.end; ++i) {
        if (std::optional<Bindings> started = first.evaluate(events[i], Bindings{})) {
          extend_path(events, run.end, pattern, {i}, std::move(*started), exhaustive, out);
        }
      }
    };
  });
}

}  // namespace vashlet
