// The compiled matcher of the pattern language: one forward pass per run over its events with a
// list of partial walks, in each of the three modes; in `first` mode, walks that only an event
// carrying a bound value can move are filed by that value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "match/exhaustive_budget.hpp"
#include "match/paths_taken.hpp"
#include "match/partitions.hpp"
#include "match/results.hpp"
#include "model/model.hpp"
#include "plan/binding_layout.hpp"

namespace vashlet {

class Plan;

// An atom with its references and captures resolved to binding slots, tested against values
// held by slot (null: unbound), so that partial walks carry no maps.
class SlotAtom {
 public:
  SlotAtom(const Atom& atom, const std::vector<std::string_view>& names);
  bool accepts(const Event& event, const Value* const* bound) const;
  bool captures() const { return !capture_slots_.empty(); }
  // Binds, in `bound`, the slots that this atom captures and that are still unbound.
  void capture(const Event& event, const Value** bound) const;
  // (attribute, slot) pairs such that, once the slot is bound, the atom accepts only events whose
  // attribute equals the bound value: `attr == $name` and captures of the name.
  const std::vector<std::pair<std::string_view, std::size_t>>& equalities() const {
    return equalities_;
  }

 private:
  const Atom* atom_;
  std::vector<std::size_t> reference_slots_;
  std::vector<std::size_t> capture_slots_;
  std::vector<std::pair<std::string_view, std::size_t>> equalities_;
};

class ElementMatcher {
 public:
  ElementMatcher(const Plan& plan, const EventView& events, MatchBudget& budget,
                 PathsTaken& paths_taken);
  ElementMatcher(const ElementMatcher&) = delete;
  // Appends the matches of `run` to `out` (variable length), in order.
  void match_run(const Run& run, FlatMatches& out);

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kMaskedElements = 64;

  // A matched event of some partial walk: parent-linked, so walks that fork share prefixes.
  struct Node {
    std::size_t index;
    std::uint32_t element;
    std::size_t parent;
  };
  struct Walk {
    std::size_t start;
    std::size_t last;
    std::size_t node;
    std::size_t slots;  // offset of its bound values in slots_
    std::uint32_t element;
    std::uint32_t count;
    std::uint64_t forbidden;  // elements (< 64) that an absence has ruled out since `last`
  };
  struct Found {
    std::size_t start;
    std::size_t node;
    std::size_t slots;
    std::size_t path;  // offset of its written-out path in paths_
    std::size_t length;
  };

  enum class Offered { Dropped, Skipped, Taken };
  // An equality that every branch an event may be taken as imposes on a walk.
  struct Key {
    std::uint32_t attribute;  // in keyed_attributes_
    std::size_t slot;
  };

  bool allows(const Walk& walk, std::uint32_t element, std::size_t candidate) const;
  std::size_t branch_of(const Walk& walk, std::uint32_t element, const Event& event) const;
  bool dead(const Walk& walk, std::size_t candidate) const;
  void note_skipped(Walk& walk, const Event& event) const;
  Walk taken(const Walk& walk, std::uint32_t element, std::size_t branch, std::size_t candidate);
  bool completes(const Walk& walk) const;
  Offered offer_first(Walk& walk, std::size_t candidate);
  void step_first(std::size_t candidate);
  std::optional<std::uint64_t> filing_key(const Walk& walk);
  void settle();
  void step_all(std::size_t candidate);
  void start_at(std::size_t candidate);
  void found(const Walk& walk);
  void write_out(FlatMatches& out);

  const Plan& plan_;
  const Pattern& pattern_;
  const EventView& events_;
  MatchBudget& budget_;
  PathsTaken& paths_taken_;
  std::size_t slot_count_;
  std::vector<std::vector<SlotAtom>> branches_;  // per element
  std::vector<std::vector<SlotAtom>> absences_;  // per element, of the transition before it
  std::vector<std::vector<std::vector<Key>>> keys_;  // per element, per branch
  std::vector<bool> absences_from_;  // per element: an absence at it or later (skips matter)
  std::vector<std::string_view> keyed_attributes_;
  bool filing_ = false;
  bool filed_in_run_ = false;
  // Waiting walks that only an event carrying a value can move, by (attribute, value) key.
  std::unordered_map<std::uint64_t, std::vector<Walk>> filed_;
  std::vector<Walk> moved_;  // walks started or extended by the current event, to be placed
  std::vector<std::uint64_t> looked_up_;
  std::vector<std::uint32_t> candidates_;
  Run run_;
  std::vector<Node> nodes_;
  std::vector<const Value*> slots_;
  std::vector<Walk> walks_;
  std::vector<Walk> next_;
  std::vector<Found> found_;
  std::vector<std::size_t> paths_;
  std::vector<std::uint32_t> path_elements_;
  std::size_t pending_ = 0;  // matches found but not yet added to the budget
};

}  // namespace vashlet
