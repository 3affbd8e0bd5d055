// The step matcher's execution of a plan: per event, the steps its type concerns; per step, the
// waiting partials it advances or blocks, scanned or found by value; exhaustive mode's pruning
// of partials that cannot complete.
#include "match/step_matcher.hpp"

#include <algorithm>

#include "match/transitions.hpp"
#include "memory/memory.hpp"
#include "tuning.hpp"

namespace vashlet {

using plan::kNone;

StepMatcher::StepMatcher(const Plan& plan, const EventView& events, MatchBudget& budget,
                         PathsTaken& paths_taken)
    : plan_(plan),
      events_(events),
      exhaustive_(plan.exhaustive()),
      budget_(budget),
      paths_taken_(paths_taken),
      reader_(plan.types, events),
      steps_(plan.step_plans),
      concern_registered_(plan.dispatch.step.size(), 0),
      active_concerns_(plan.types.size()),
      waiting_(plan.steps.size()) {
  for (std::size_t k = 0; k < waiting_.size(); ++k) {
    for (const std::size_t slot : plan.index_slots[k]) waiting_[k].indexes.emplace_back(slot);
  }
  probes_.resize(plan.probes.size());
  for (std::size_t type = 0; type < plan.probes.size(); ++type) {
    for (const ProbePlan& probe : plan.probes[type]) {
      probes_[type].push_back(Probe{probe.step, probe.index, plan::AttributeKey(probe.attribute)});
    }
  }
  if (exhaustive_) reach_.emplace(steps_);
}

// Fetches the buckets that event j will visit, if its type's steps file partials by value.
void StepMatcher::probe(std::size_t j) {
  const std::size_t type = reader_.type_ahead(j);
  if (type == kNone) return;
  for (Probe& probe : probes_[type]) {
    const WaitingList& list = waiting_[probe.step];
    if (!list.filed) continue;
    if (const Value* value = probe.attribute.in(events_[j].attrs)) {
      list.indexes[probe.index].prefetch(*value);
    }
  }
}

// Writes the run's last matches and forgets the run.
void StepMatcher::finish_run() {
  if (unadded_matches_ > 0) {
    budget_.add_matches(std::exchange(unadded_matches_, 0), events_, run_.begin, run_.end);
  }
  live_paths_ = 0;
  order_.order(*matches_, run_begin_, run_in_order_, exhaustive_);
  run_begin_ = matches_->size();
  for (const std::size_t k : used_steps_) {
    WaitingList& list = waiting_[k];
    list.partials.clear();
    list.head = 0;
    list.live = 0;
    list.in_use = false;
    list.filed = false;
    for (PartialsByValue& index : list.indexes) index.clear();
    for (std::size_t c = plan_.dispatch.begin[k]; c < plan_.dispatch.begin[k + 1]; ++c) {
      concern_registered_[c] = 0;
      active_concerns_[plan_.dispatch.type[c]].clear();
    }
  }
  filed_lists_ = 0;
  used_steps_.clear();
  generations_.clear();
  free_tickets_.clear();
  paths_.reset();
  bindings_.reset();
}

// Exhaustive mode, at the start of the run [begin, end): for each event i of the run
// and each step k, whether steps k .. n-1 may still be completed with i taking step k. Judged on
// what an event decides on its own (type, literal predicates, presence of the attributes that
// are compared) and on the windows, ignoring bindings and forbidden events: a "no" is certain.
// One backward pass suffices: of the events after i that can take step k + 1 and go on, the
// earliest is the closest in time, so its window alone decides.
void StepMatcher::plan_completions(std::size_t begin, std::size_t end,
                                   const std::vector<RunReader::NamedEvent>* named) {
  const std::size_t n = steps_.size();
  completable_begin_ = begin;
  completable_.assign(((end - begin) * n + 63) / 64, 0);
  const bool indexed = end - begin >= tuning::kReachIndexFrom;
  reach_->start_run(indexed);
  if (indexed) paths_taken_.note(Path::ReachIndexed);
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
  if (named) {
    for (auto event = named->rbegin(); event != named->rend(); ++event) {
      note(event->index, event->type);
    }
    return;
  }
  for (std::size_t i = end; i-- > begin;) {
    const std::size_t type = plan_.types.find(events_[i].typ);
    if (type != kNone) note(i, type);
  }
}

bool StepMatcher::completable(std::size_t k, std::size_t i) const {
  const std::size_t bit = (i - completable_begin_) * steps_.size() + k;
  return (completable_[bit / 64] >> (bit % 64)) & 1;
}

void StepMatcher::match_run(const Run& run, FlatMatches& out) {
  out.steps = steps_.size();
  out.slots = plan_.layout.size();
  matches_ = &out;
  run_begin_ = out.size();
  run_in_order_ = true;
  run_ = run;
  reader_.start(run);  // a worker's first run need not be the first run
  // A staged run's events of named types are visited: backwards first in exhaustive mode
  // (plan_completions), then forwards. A streamed run is read as it is matched.
  const bool staged = RunReader::staged(run);
  paths_taken_.note(staged ? Path::Staged : Path::Streamed);
  const std::vector<RunReader::NamedEvent>* named = staged ? &reader_.named_events(run) : nullptr;
  if (exhaustive_) plan_completions(run.begin, run.end, named);
  if (named) {
    for (const RunReader::NamedEvent& event : *named) {
      checkpoint_();
      offer(event.index, events_[event.index], event.type);
    }
  } else {
    for (std::size_t i = run.begin; i < run.end; ++i) {
      checkpoint_();
      const std::size_t type = reader_.type_of(i);
      if (filed_lists_ > 0 && reader_.known(i + tuning::kProbesAhead)) {
        probe(i + tuning::kProbesAhead);
      }
      if (type != kNone) offer(i, events_[i], type);
    }
  }
  finish_run();
}

// An event whose type the pattern names.
void StepMatcher::offer(std::size_t i, const Event& event, std::size_t type) {
  std::vector<std::size_t>& concerns = active_concerns_[type];
  // Backwards, so that removing an emptied step moves in an entry already visited.
  for (std::size_t n = concerns.size(); n-- > 0;) {
    const std::size_t concern = concerns[n];
    const std::size_t step = plan_.dispatch.step[concern];
    offer_to_step(step, i, event, type);
    if (!waiting_[step].empty()) continue;
    concern_registered_[concern] = 0;
    concerns[n] = concerns.back();
    concerns.pop_back();
  }
  if (type == steps_.front().advance.type()) try_start(i, event);
  if (!pending_.empty()) flush_pending(event.ts);
}

// Per partial, in this order: window (expired partials were dropped first), advance, absence.
// The advancing event is tested against the step's atom before its forbidden atoms, so it never
// blocks its own successor. A blocked partial never advances again and is dropped at once.
// Where the atoms that apply compare `attr == $name`, only the partials filed under the event's
// value are visited; otherwise every waiting partial is.
void StepMatcher::offer_to_step(std::size_t k, std::size_t i, const Event& event,
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

void StepMatcher::scan(std::size_t k, std::size_t i, std::int64_t ts, bool may_advance,
                         bool blocks_all) {
  WaitingList& list = waiting_[k];
  const AtomPlan& atom = steps_[k].advance;
  std::size_t kept = 0;
  for (std::size_t n = list.head; n < list.partials.size(); ++n) {
    const PartialMatch partial = list.partials[n];
    if (!is_current(partial)) continue;
    if (may_advance && atom.holds(bindings_.at(partial.bindings))) {
      advance(partial, k, i, ts);
      if (!exhaustive_) {  // first-successor consumption: the parent leaves once it advances
        retire(k, partial);
        continue;
      }
    }
    if (blocks_all || blocked(partial)) {
      retire(k, partial);
      continue;
    }
    list.partials[kept++] = partial;
  }
  list.partials.resize(kept);
  list.head = 0;
}

// For an event that the step's atom admits: the partials filed under its value that pass advance.
void StepMatcher::advance_by_value(std::size_t k, std::size_t i, std::int64_t ts) {
  const AtomPlan& atom = steps_[k].advance;
  const bool keyed_only = atom.keyed_only();
  PartialsByValue& index = waiting_[k].indexes[atom.index()];
  index.visit(atom.key_value(), [&](const PartialMatch& partial, bool equal) {
    if (!is_current(partial)) return false;
    if (!(keyed_only ? equal : atom.holds(bindings_.at(partial.bindings)))) return true;
    advance(partial, k, i, ts);
    if (exhaustive_) return true;
    retire(k, partial);
    return false;
  });
}

// For an event that the forbidden `atom` admits: the partials filed under its value that it blocks.
void StepMatcher::block_by_value(std::size_t k, const AtomPlan& atom) {
  const bool keyed_only = atom.keyed_only();
  PartialsByValue& index = waiting_[k].indexes[atom.index()];
  index.visit(atom.key_value(), [&](const PartialMatch& partial, bool equal) {
    if (!is_current(partial)) return false;
    if (!(keyed_only ? equal : atom.holds(bindings_.at(partial.bindings)))) return true;
    retire(k, partial);
    return false;
  });
}

void StepMatcher::drop_all(std::size_t k) {
  WaitingList& list = waiting_[k];
  for (std::size_t n = list.head; n < list.partials.size(); ++n) {
    if (is_current(list.partials[n])) retire(k, list.partials[n]);
  }
  list.partials.clear();
  list.head = 0;
  for (PartialsByValue& index : list.indexes) index.clear();
}

// Keeps the entries that departed partials leave in a step filed by value below about twice the
// partials still waiting, so memory follows the waiting partials and tidying costs O(1) each.
void StepMatcher::tidy(std::size_t k) {
  WaitingList& list = waiting_[k];
  if (!list.filed) return;
  if (list.empty()) {
    drop_all(k);
    list.filed = false;
    --filed_lists_;
    return;
  }
  const std::size_t limit = 2 * list.live + 64;
  bool untidy = list.partials.size() - list.head > limit;
  for (const PartialsByValue& index : list.indexes) {
    untidy = untidy || index.entries() > limit || index.keys() > limit;
  }
  if (!untidy) return;
  std::size_t kept = 0;
  for (std::size_t n = list.head; n < list.partials.size(); ++n) {
    if (is_current(list.partials[n])) list.partials[kept++] = list.partials[n];
  }
  list.partials.resize(kept);
  list.head = 0;
  for (PartialsByValue& index : list.indexes) {
    index.clear();
    for (const PartialMatch& partial : list.partials) {
      index.add(partial, *bindings_.at(partial.bindings)[index.slot()]);
    }
  }
}

// Sorts the step's forbidden atoms that the event passes on its own: true when one of them reads
// no bindings and so blocks every waiting partial; the others go to `blockers_`.
bool StepMatcher::collect_blockers(StepPlan& step, const Event& event, std::size_t type) {
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

bool StepMatcher::blocked(const PartialMatch& partial) const {
  for (const AtomPlan* atom : blockers_) {
    if (atom->holds(bindings_.at(partial.bindings))) return true;
  }
  return false;
}

void StepMatcher::try_start(std::size_t i, const Event& event) {
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
  pending_.emplace_back(1, PartialMatch{i, event.ts, PathArena::kNoParent, bindings});
}

void StepMatcher::advance(const PartialMatch& parent, std::size_t k, std::size_t i,
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
                        PartialMatch{parent.first, ts, paths_.extend(parent.path, i), bindings});
}

// Writes a match out as it completes: its path, its last event and its bound values.
void StepMatcher::emit_match(std::size_t first, std::size_t parent_path,
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
      (++unadded_matches_ >= tuning::kMatchesPerAdd || budget_.would_pass(unadded_matches_))) {
    budget_.add_matches(std::exchange(unadded_matches_, 0), events_, run_.begin, run_.end);
  }
}

void StepMatcher::flush_pending(std::int64_t now) {
  for (const auto& [k, partial] : pending_) {
    drop_expired(k, now);
    WaitingList& list = waiting_[k];
    if (!list.in_use) {
      list.in_use = true;
      used_steps_.push_back(k);
    }
    if (list.empty()) {  // the step gains partials: make sure every type that concerns it sees it
      for (std::size_t c = plan_.dispatch.begin[k]; c < plan_.dispatch.begin[k + 1]; ++c) {
        if (concern_registered_[c]) continue;
        concern_registered_[c] = 1;
        active_concerns_[plan_.dispatch.type[c]].push_back(c);
      }
    }
    file(list, partial);
  }
  pending_.clear();
  if (exhaustive_) budget_.check_paths(live_paths_, events_, run_.begin, run_.end);
}

// Adds a partial to a step's list and, where the step files its partials by value, to its indexes
// under a fresh ticket.
void StepMatcher::file(WaitingList& list, PartialMatch partial) {
  ++list.live;
  ++live_paths_;
  if (list.filed) {
    file_by_value(list, partial);
  } else if (list.live > tuning::kFileAbove && !list.indexes.empty()) {
    list.filed = true;  // a list that is not filed holds no stale entries
    ++filed_lists_;
    paths_taken_.note(Path::FiledByValue);
    for (std::size_t n = list.head; n < list.partials.size(); ++n) {
      file_by_value(list, list.partials[n]);
    }
    file_by_value(list, partial);
  }
  list.partials.push_back(partial);
}

// Gives the partial a ticket and files it in the list's indexes.
void StepMatcher::file_by_value(WaitingList& list, PartialMatch& partial) {
  if (free_tickets_.empty()) {
    partial.ticket = static_cast<std::uint32_t>(generations_.size());
    generations_.push_back(0);
  } else {
    partial.ticket = free_tickets_.back();
    free_tickets_.pop_back();
  }
  partial.generation = generations_[partial.ticket];
  const SlotValues& bound = bindings_.at(partial.bindings);
  for (PartialsByValue& index : list.indexes) index.add(partial, *bound[index.slot()]);
}

void StepMatcher::drop_expired(std::size_t k, std::int64_t now) {
  const std::optional<std::int64_t>& window = steps_[k].max_elapsed;
  if (!window) return;
  WaitingList& list = waiting_[k];
  while (list.head < list.partials.size() &&
         window_exceeded(list.partials[list.head].last_ts, now, *window)) {
    const PartialMatch& partial = list.partials[list.head++];
    if (is_current(partial)) retire(k, partial);
  }
  // Keep the dropped prefix at most as long as the live part, so the list stays linear in size.
  if (list.head * 2 > list.partials.size()) {
    list.partials.erase(list.partials.begin(),
                       list.partials.begin() + static_cast<std::ptrdiff_t>(list.head));
    list.head = 0;
  }
}

// False for the entry that a partial filed by value left behind when it left its step.
bool StepMatcher::is_current(const PartialMatch& partial) const {
  return partial.ticket == PartialMatch::kNoTicket ||
         generations_[partial.ticket] == partial.generation;
}

// The partial leaves step k for good: every entry of it goes stale.
void StepMatcher::retire(std::size_t k, const PartialMatch& partial) {
  --waiting_[k].live;
  --live_paths_;
  if (partial.ticket != PartialMatch::kNoTicket) {
    ++generations_[partial.ticket];
    free_tickets_.push_back(partial.ticket);
  }
  release(partial);
}

void StepMatcher::release(const PartialMatch& partial) {
  paths_.release(partial.path);
  bindings_.release(partial.bindings);
}

}  // namespace vashlet
