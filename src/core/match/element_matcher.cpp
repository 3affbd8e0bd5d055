// The compiled element matcher. Per run, one pass over the events: each event is offered to the
// live partial walks (in `first` mode each takes it as the walk rules say; in `all` mode each
// forks a walk per element it may be taken as, and keeps the one that skips it), then may
// start a walk. Paths are parent-linked nodes and bound values slot arrays, both pooled per run.
// In `first` mode a walk that every element it may take next constrains by `attr == $bound` (or
// a capture of a bound name), with no absence left to watch, is filed under that value: an event
// is offered only to the walks filed under its own values, since any other would skip it
// unchanged. Such a walk is tested for the windows when an event reaches it; times only grow.
#include "match/element_matcher.hpp"

#include <algorithm>

#include "match/element_walk.hpp"
#include "model/value_hash.hpp"
#include "match/window.hpp"
#include "plan/plan.hpp"
#include "system/cancel.hpp"

namespace vashlet {

namespace {

std::size_t slot_named(const std::vector<std::string_view>& names, std::string_view name) {
  for (std::size_t slot = 0; slot < names.size(); ++slot) {
    if (names[slot] == name) return slot;
  }
  return static_cast<std::size_t>(-1);  // a name no step captures: never bound
}

std::uint64_t filing_key_of(std::uint32_t attribute, const Value& value) {
  return ValueHash{}(value) ^ (std::uint64_t{attribute} + 1) * 0x9E3779B97F4A7C15ULL;
}

const Value& attribute_or_null(const Event& event, const std::string& attribute) {
  const Value* value = event.attrs.find(attribute);
  return value ? *value : kNull;
}

}  // namespace

SlotAtom::SlotAtom(const Atom& atom, const std::vector<std::string_view>& names) : atom_(&atom) {
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    reference_slots_.push_back(slot_named(names, reference.binding));
    if (reference.op == ComparisonOperator::Eq && reference_slots_.back() != static_cast<std::size_t>(-1)) {
      equalities_.emplace_back(reference.attribute, reference_slots_.back());
    }
  }
  // Only steps' branches own slots: a capture in an absence into a name no step captures has
  // none, and there, as in Atom::accepts, it only tests against the atom's own earlier captures.
  for (const Capture& capture : atom.captures) {
    const std::size_t slot = slot_named(names, capture.name);
    capture_slots_.push_back(slot);
    if (slot != static_cast<std::size_t>(-1)) equalities_.emplace_back(capture.attribute, slot);
  }
}

bool SlotAtom::accepts(const Event& event, const Value* const* bound) const {
  const Atom& atom = *atom_;
  if (!atom.is_type_of(event)) return false;
  for (const Predicate& predicate : atom.predicates) {
    const Value* actual = event.attrs.find(predicate.attribute);
    if (!actual || !matches(predicate.op, *actual, predicate.value)) return false;
  }
  for (std::size_t r = 0; r < reference_slots_.size(); ++r) {
    const ReferencePredicate& reference = atom.reference_predicates[r];
    const Value* actual = event.attrs.find(reference.attribute);
    if (!actual || reference_slots_[r] == static_cast<std::size_t>(-1)) return false;
    const Value* value = bound[reference_slots_[r]];
    if (!value || !matches(reference.op, *actual, *value)) return false;
  }
  // As Atom::accepts: a name bound already, or by an earlier capture of this atom, must get a
  // strictly equal value.
  for (std::size_t c = 0; c < capture_slots_.size(); ++c) {
    const Value& value = attribute_or_null(event, atom.captures[c].attribute);
    const std::size_t slot = capture_slots_[c];
    const Value* held = slot == static_cast<std::size_t>(-1) ? nullptr : bound[slot];
    for (std::size_t earlier = 0; !held && earlier < c; ++earlier) {
      if (atom.captures[earlier].name == atom.captures[c].name) {
        held = &attribute_or_null(event, atom.captures[earlier].attribute);
      }
    }
    if (held && !(*held == value)) return false;
  }
  return true;
}

void SlotAtom::capture(const Event& event, const Value** bound) const {
  for (std::size_t c = 0; c < capture_slots_.size(); ++c) {
    if (capture_slots_[c] == static_cast<std::size_t>(-1)) continue;  // absences bind nothing
    const Value*& slot = bound[capture_slots_[c]];
    if (!slot) slot = &attribute_or_null(event, atom_->captures[c].attribute);
  }
}

ElementMatcher::ElementMatcher(const Plan& plan, const EventView& events, MatchBudget& budget,
                               PathsTaken& paths_taken)
    : plan_(plan),
      pattern_(*plan.language),
      events_(events),
      budget_(budget),
      paths_taken_(paths_taken),
      slot_count_(plan.layout.size()) {
  const std::vector<std::string_view>& names = plan.layout.names();
  for (const Step& step : pattern_.steps) {
    std::vector<SlotAtom>& branches = branches_.emplace_back();
    for (std::size_t k = 0; k < step.branch_count(); ++k) branches.emplace_back(step.branch(k), names);
    std::vector<SlotAtom>& absences = absences_.emplace_back();
    if (step.transition_from_previous) {
      for (const Atom& absent : step.transition_from_previous->absence) {
        absences.emplace_back(absent, names);
      }
    }
    std::vector<std::vector<Key>>& keys = keys_.emplace_back();
    for (const SlotAtom& branch : branches) {
      std::vector<Key>& branch_keys = keys.emplace_back();
      for (const auto& [attribute, slot] : branch.equalities()) {
        const auto known = std::find(keyed_attributes_.begin(), keyed_attributes_.end(), attribute);
        const auto id = static_cast<std::uint32_t>(known - keyed_attributes_.begin());
        if (known == keyed_attributes_.end()) keyed_attributes_.push_back(attribute);
        branch_keys.push_back(Key{id, slot});
        filing_ = !plan_.exhaustive();
      }
    }
  }
  absences_from_.assign(pattern_.steps.size() + 1, false);
  for (std::size_t element = pattern_.steps.size(); element-- > 0;) {
    absences_from_[element] = absences_from_[element + 1] || !absences_[element].empty();
  }
}

bool ElementMatcher::allows(const Walk& walk, std::uint32_t element, std::size_t candidate) const {
  if (element == 0) return true;
  const Transition& transition = *pattern_.steps[element].transition_from_previous;
  const std::int64_t from = events_[walk.last].ts;
  const std::int64_t to = events_[candidate].ts;
  if (to < from) return false;
  if (transition.max_elapsed && window_exceeded(from, to, *transition.max_elapsed)) return false;
  if (transition.min_elapsed && *transition.min_elapsed > 0 &&
      !window_exceeded(from, to, *transition.min_elapsed - 1)) {
    return false;
  }
  if (absences_[element].empty()) return true;
  if (element < kMaskedElements) return !(walk.forbidden >> element & 1);
  const Value* const* bound = slots_.data() + walk.slots;
  for (std::size_t between = walk.last + 1; between < candidate; ++between) {
    for (const SlotAtom& absent : absences_[element]) {
      if (absent.accepts(events_[between], bound)) return false;
    }
  }
  return true;
}

std::size_t ElementMatcher::branch_of(const Walk& walk, std::uint32_t element,
                                      const Event& event) const {
  const Value* const* bound = slots_.data() + walk.slots;
  const std::vector<SlotAtom>& branches = branches_[element];
  for (std::size_t k = 0; k < branches.size(); ++k) {
    if (branches[k].accepts(event, bound)) return k;
  }
  return kNone;
}

// A walk that no later event can extend: past the whole-match window, or every element it could
// take next is past its transition's window or ruled out by an absence.
bool ElementMatcher::dead(const Walk& walk, std::size_t candidate) const {
  if (!within_whole_window(pattern_, events_, walk.start, candidate)) return true;
  const auto open = [&](std::uint32_t element) {
    if (element == 0) return true;
    const Transition& transition = *pattern_.steps[element].transition_from_previous;
    if (transition.max_elapsed &&
        window_exceeded(events_[walk.last].ts, events_[candidate].ts, *transition.max_elapsed)) {
      return false;
    }
    return element >= kMaskedElements || !(walk.forbidden >> element & 1);
  };
  if (below_maximum(pattern_.steps[walk.element], walk.count) && open(walk.element)) return false;
  if (walk.count < pattern_.steps[walk.element].min_count) return true;
  for (std::size_t next = walk.element + 1; next < pattern_.steps.size(); ++next) {
    if (open(static_cast<std::uint32_t>(next))) return false;
    if (pattern_.steps[next].min_count > 0) break;
  }
  return true;
}

void ElementMatcher::note_skipped(Walk& walk, const Event& event) const {
  const Value* const* bound = slots_.data() + walk.slots;
  const std::size_t end = std::min(pattern_.steps.size(), kMaskedElements);
  for (std::size_t element = std::max<std::size_t>(walk.element, 1); element < end; ++element) {
    if (walk.forbidden >> element & 1) continue;
    for (const SlotAtom& absent : absences_[element]) {
      if (absent.accepts(event, bound)) {
        walk.forbidden |= std::uint64_t{1} << element;
        break;
      }
    }
  }
}

ElementMatcher::Walk ElementMatcher::taken(const Walk& walk, std::uint32_t element,
                                           std::size_t branch, std::size_t candidate) {
  Walk next = walk;
  nodes_.push_back(Node{candidate, element, walk.node});
  next.node = nodes_.size() - 1;
  next.count = element == walk.element ? walk.count + 1 : 1;
  next.element = element;
  next.last = candidate;
  next.forbidden = 0;
  const SlotAtom& atom = branches_[element][branch];
  if (atom.captures()) {
    next.slots = slots_.size();
    slots_.resize(slots_.size() + slot_count_);
    std::copy_n(slots_.begin() + static_cast<std::ptrdiff_t>(walk.slots), slot_count_,
                slots_.begin() + static_cast<std::ptrdiff_t>(next.slots));
    atom.capture(events_[candidate], slots_.data() + next.slots);
  }
  return next;
}

bool ElementMatcher::completes(const Walk& walk) const {
  return element_complete(pattern_, walk.element, walk.count) &&
         end_anchor_allows(pattern_, run_, walk.last, true);
}

void ElementMatcher::found(const Walk& walk) {
  found_.push_back(Found{walk.start, walk.node, walk.slots, 0, 0});
  if (plan_.exhaustive()) budget_.add_matches(1, events_, run_.begin, run_.end);
}

void ElementMatcher::start_at(std::size_t candidate) {
  if (pattern_.anchored_start && candidate != run_.begin) return;
  const Event& event = events_[candidate];
  Walk walk{candidate, candidate, kNone, slots_.size(), 0, 0, 0};
  slots_.resize(slots_.size() + slot_count_, nullptr);
  const std::size_t branch = branch_of(walk, 0, event);
  if (branch == kNone) {
    slots_.resize(walk.slots);
    return;
  }
  nodes_.push_back(Node{candidate, 0, kNone});
  walk.node = nodes_.size() - 1;
  walk.count = 1;
  branches_[0][branch].capture(event, slots_.data() + walk.slots);
  const bool complete = completes(walk);
  if (complete) found(walk);
  if (!complete || plan_.exhaustive()) moved_.push_back(walk);
}

// First mode: a walk takes the event as the nearest next element, else as one more of its
// element, else skips it (element_walk.cpp states the same rules). A walk that takes it goes to
// moved_ unless it completes.
ElementMatcher::Offered ElementMatcher::offer_first(Walk& walk, std::size_t candidate) {
  if (dead(walk, candidate)) return Offered::Dropped;
  const Event& event = events_[candidate];
  const std::size_t elements = pattern_.steps.size();
  const auto take_as = [&](std::uint32_t element, std::uint32_t count_after) {
    if (!allows(walk, element, candidate)) return kNone;
    const bool completing = element_complete(pattern_, element, count_after);
    if (!end_anchor_allows(pattern_, run_, candidate, completing)) return kNone;
    return branch_of(walk, element, event);
  };
  std::uint32_t element = 0;
  std::size_t branch = kNone;
  if (walk.count >= pattern_.steps[walk.element].min_count) {
    for (std::size_t next = walk.element + 1; next < elements && branch == kNone; ++next) {
      element = static_cast<std::uint32_t>(next);
      branch = take_as(element, 1);
      if (pattern_.steps[next].min_count > 0) break;
    }
  }
  if (branch == kNone && below_maximum(pattern_.steps[walk.element], walk.count)) {
    element = walk.element;
    branch = take_as(element, walk.count + 1);
  }
  if (branch == kNone) {
    note_skipped(walk, event);
    return Offered::Skipped;
  }
  const Walk extended = taken(walk, element, branch, candidate);
  if (completes(extended)) {
    found(extended);
  } else {
    moved_.push_back(extended);
  }
  return Offered::Taken;
}

void ElementMatcher::step_first(std::size_t candidate) {
  next_.clear();
  for (Walk& walk : walks_) {
    if (offer_first(walk, candidate) == Offered::Skipped) next_.push_back(walk);
  }
  walks_.swap(next_);
  if (filed_.empty()) return;
  // The filed walks that the event's values may move; a key met twice is offered once.
  looked_up_.clear();
  for (std::uint32_t attribute = 0; attribute < keyed_attributes_.size(); ++attribute) {
    const Value* value = events_[candidate].attrs.find(keyed_attributes_[attribute]);
    const std::uint64_t key = filing_key_of(attribute, value ? *value : kNull);
    if (std::find(looked_up_.begin(), looked_up_.end(), key) != looked_up_.end()) continue;
    looked_up_.push_back(key);
    const auto bucket = filed_.find(key);
    if (bucket == filed_.end()) continue;
    std::vector<Walk>& waiting = bucket->second;
    std::size_t kept = 0;
    for (std::size_t w = 0; w < waiting.size(); ++w) {
      Walk walk = waiting[w];
      if (offer_first(walk, candidate) == Offered::Skipped) waiting[kept++] = walk;
    }
    waiting.resize(kept);
    if (waiting.empty()) filed_.erase(bucket);
  }
}

// The key to file `walk` under: an equality on a bound slot that every branch of every element
// it may take next imposes; none while an absence may still rule on the events it skips.
std::optional<std::uint64_t> ElementMatcher::filing_key(const Walk& walk) {
  if (!filing_ || absences_from_[walk.element]) return std::nullopt;
  candidates_.clear();
  if (walk.count >= pattern_.steps[walk.element].min_count) {
    for (std::size_t next = walk.element + 1; next < pattern_.steps.size(); ++next) {
      candidates_.push_back(static_cast<std::uint32_t>(next));
      if (pattern_.steps[next].min_count > 0) break;
    }
  }
  if (below_maximum(pattern_.steps[walk.element], walk.count)) candidates_.push_back(walk.element);
  if (candidates_.empty()) return std::nullopt;
  const Value* const* bound = slots_.data() + walk.slots;
  const auto imposed_everywhere = [&](const Key& key) {
    for (std::uint32_t element : candidates_) {
      for (const std::vector<Key>& branch : keys_[element]) {
        const bool imposed = std::any_of(branch.begin(), branch.end(), [&](const Key& other) {
          return other.attribute == key.attribute && other.slot == key.slot;
        });
        if (!imposed) return false;
      }
    }
    return true;
  };
  for (const Key& key : keys_[candidates_.front()].front()) {
    if (bound[key.slot] && imposed_everywhere(key)) {
      return filing_key_of(key.attribute, *bound[key.slot]);
    }
  }
  return std::nullopt;
}

// Places the walks started or extended by the current event: filed where they can be.
void ElementMatcher::settle() {
  for (const Walk& walk : moved_) {
    if (const std::optional<std::uint64_t> key = filing_key(walk)) {
      filed_[*key].push_back(walk);
      filed_in_run_ = true;
    } else {
      walks_.push_back(walk);
    }
  }
  moved_.clear();
}

// All mode: each walk forks a walk per element the event may be taken as, and stays as the walk
// that skips it.
void ElementMatcher::step_all(std::size_t candidate) {
  const Event& event = events_[candidate];
  const std::size_t elements = pattern_.steps.size();
  next_.clear();
  for (std::size_t w = 0; w < walks_.size(); ++w) {
    Walk walk = walks_[w];
    if (dead(walk, candidate)) continue;
    const auto fork = [&](std::uint32_t element) {
      if (!allows(walk, element, candidate)) return;
      const std::size_t branch = branch_of(walk, element, event);
      if (branch == kNone) return;
      const Walk extended = taken(walk, element, branch, candidate);
      if (completes(extended)) found(extended);
      next_.push_back(extended);
    };
    if (below_maximum(pattern_.steps[walk.element], walk.count)) fork(walk.element);
    if (walk.count >= pattern_.steps[walk.element].min_count) {
      for (std::size_t next = walk.element + 1; next < elements; ++next) {
        fork(static_cast<std::uint32_t>(next));
        if (pattern_.steps[next].min_count > 0) break;
      }
    }
    note_skipped(walk, event);
    next_.push_back(walk);
  }
  walks_.swap(next_);
  budget_.check_paths(walks_.size(), events_, run_.begin, run_.end);
}

void ElementMatcher::match_run(const Run& run, FlatMatches& out) {
  run_ = run;
  nodes_.clear();
  slots_.clear();
  walks_.clear();
  found_.clear();
  filed_.clear();
  moved_.clear();
  filed_in_run_ = false;
  Checkpoint checkpoint;
  for (std::size_t candidate = run.begin; candidate < run.end; ++candidate) {
    checkpoint(1 + walks_.size());
    if (plan_.exhaustive()) {
      step_all(candidate);
    } else {
      step_first(candidate);
    }
    start_at(candidate);
    settle();
  }
  if (filed_in_run_) paths_taken_.note(Path::ElementsFiled);
  write_out(out);
}

void ElementMatcher::write_out(FlatMatches& out) {
  out.variable = true;
  out.steps = pattern_.steps.size();
  out.slots = slot_count_;
  paths_.clear();
  path_elements_.clear();
  for (Found& match : found_) {
    match.path = paths_.size();
    for (std::size_t node = match.node; node != kNone; node = nodes_[node].parent) {
      paths_.push_back(nodes_[node].index);
      path_elements_.push_back(nodes_[node].element);
    }
    match.length = paths_.size() - match.path;
    const auto from = static_cast<std::ptrdiff_t>(match.path);
    std::reverse(paths_.begin() + from, paths_.end());
    std::reverse(path_elements_.begin() + from, path_elements_.end());
  }
  const auto events_of = [&](const Found& match) {
    return std::pair(paths_.begin() + static_cast<std::ptrdiff_t>(match.path),
                     paths_.begin() + static_cast<std::ptrdiff_t>(match.path + match.length));
  };
  const auto elements_of = [&](const Found& match) {
    return std::pair(
        path_elements_.begin() + static_cast<std::ptrdiff_t>(match.path),
        path_elements_.begin() + static_cast<std::ptrdiff_t>(match.path + match.length));
  };
  std::sort(found_.begin(), found_.end(), [&](const Found& a, const Found& b) {
    const auto [a_begin, a_end] = events_of(a);
    const auto [b_begin, b_end] = events_of(b);
    if (!std::equal(a_begin, a_end, b_begin, b_end)) {
      return std::lexicographical_compare(a_begin, a_end, b_begin, b_end);
    }
    const auto [ea_begin, ea_end] = elements_of(a);
    const auto [eb_begin, eb_end] = elements_of(b);
    return std::lexicographical_compare(ea_begin, ea_end, eb_begin, eb_end);
  });
  const bool non_overlapping = pattern_.consumption == MatchConsumption::NonOverlapping;
  std::size_t free_from = run_.begin;
  for (const Found& match : found_) {
    if (non_overlapping && match.start < free_from) continue;
    const std::size_t* indices = paths_.data() + match.path;
    free_from = indices[match.length - 1] + 1;
    out.offsets.push_back(out.indices.size());
    out.indices.insert(out.indices.end(), indices, indices + match.length);
    out.elements.insert(out.elements.end(), path_elements_.data() + match.path,
                        path_elements_.data() + match.path + match.length);
    out.ends.push_back(events_[indices[match.length - 1]].ts);
    const Value* const* values = slots_.data() + match.slots;
    out.values.insert(out.values.end(), values, values + slot_count_);
  }
}

}  // namespace vashlet
