// An atom's test of one event (Atom::accepts) for the near-miss search's hot loops, with its
// attribute look-ups remembering where they found each name, as the matchers' atom plans do:
// the events of a run mostly carry the same attributes, so the guess usually saves the search
// by name. A worker keeps its own (the guesses change as it reads).
#pragma once

#include <cstddef>
#include <vector>

#include "model/model.hpp"
#include "plan/atom_plan.hpp"

namespace vashlet::explain {

class AtomCheck {
 public:
  explicit AtomCheck(const Atom& atom) : atom_(&atom) {
    for (const Predicate& predicate : atom.predicates) predicates_.emplace_back(predicate.attribute);
    for (const ReferencePredicate& reference : atom.reference_predicates) {
      references_.emplace_back(reference.attribute);
    }
    for (const Capture& capture : atom.captures) captures_.emplace_back(capture.attribute);
  }

  const Atom& atom() const { return *atom_; }

  // Atom::accepts(event, bindings), to the letter.
  bool accepts(const Event& event, const Bindings& bindings) {
    const Atom& atom = *atom_;
    if (!atom.any_type && event.typ != atom.event_type) return false;
    const Attributes& attrs = event.attrs;
    for (std::size_t k = 0; k < predicates_.size(); ++k) {
      const Predicate& predicate = atom.predicates[k];
      const Value* actual = predicates_[k].in(attrs);
      if (!actual || !matches(predicate.op, *actual, predicate.value)) return false;
    }
    for (std::size_t k = 0; k < references_.size(); ++k) {
      const ReferencePredicate& reference = atom.reference_predicates[k];
      const Value* actual = references_[k].in(attrs);
      if (!actual) return false;
      const Value* bound = bindings.find(reference.binding);
      if (!bound || !matches(reference.op, *actual, *bound)) return false;
    }
    // A capture into a bound name (or one this atom captured before) must capture an equal value.
    const std::vector<Capture>& captures = atom.captures;
    for (std::size_t i = 0; i < captures.size(); ++i) {
      const Value* bound = bindings.find(captures[i].name);
      if (!bound) {
        for (std::size_t j = 0; j < i; ++j) {
          if (captures[j].name == captures[i].name) {
            bound = &captured(event, j);
            break;
          }
        }
      }
      if (bound && !(*bound == captured(event, i))) return false;
    }
    return true;
  }

  // The value that capture k takes from `event` (null where the event lacks the attribute).
  const Value& captured(const Event& event, std::size_t k) {
    return captures_[k].or_null(event.attrs);
  }

 private:
  const Atom* atom_;
  std::vector<plan::AttributeKey> predicates_, references_, captures_;
};

}  // namespace vashlet::explain
