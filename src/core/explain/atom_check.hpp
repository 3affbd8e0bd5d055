// An atom's test of one event (Atom::accepts_bound) for the near-miss search's hot loops, with
// its attribute look-ups remembering where they found each name, as the matchers' atom plans do:
// the events of a run mostly carry the same attributes, so the guess usually saves the search
// by name. A worker keeps its own (the guesses change as it reads). The bound values it compares
// can be looked up once for many events (bind, then accepts_bound): a start's candidates are all
// tested under the same bindings.
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
    bound_references_.resize(references_.size());
    bound_captures_.resize(captures_.size());
  }

  const Atom& atom() const { return *atom_; }

  // Atom::accepts(event, bindings), with the remembered look-ups.
  bool accepts(const Event& event, const Bindings& bindings) {
    bind(bindings);
    return accepts_bound(event);
  }
  // accepts of one of the step's candidates (see accepts_candidate).
  bool accepts_candidate(const Event& event, const Bindings& bindings) {
    bind(bindings);
    return accepts_candidate(event);
  }

  // Looks up the values under `bindings` that the atom compares, for the accepts_bound calls
  // that follow while `bindings` stays as it is.
  void bind(const Bindings& bindings) {
    const Atom& atom = *atom_;
    for (std::size_t k = 0; k < bound_references_.size(); ++k) {
      bound_references_[k] = bindings.find(atom.reference_predicates[k].binding);
    }
    for (std::size_t k = 0; k < bound_captures_.size(); ++k) {
      bound_captures_[k] = bindings.find(atom.captures[k].name);
    }
  }

  // Atom::accepts(event, bindings) under the bindings last given to bind.
  bool accepts_bound(const Event& event) {
    return atom_->is_type_of(event) && accepts_candidate(event);
  }
  // accepts_bound of one of the step's candidates (RunCandidates::of_step, or a subset of them),
  // which are all of the atom's type: only the attributes are tested.
  bool accepts_candidate(const Event& event) {
    const Attributes& attrs = event.attrs;
    return atom_->accepts_bound_of_type(
        event,
        [&](Atom::Part part, std::size_t k) {
          return part == Atom::Part::Reference ? bound_references_[k] : bound_captures_[k];
        },
        [&](Atom::Part part, std::size_t k) {
          return part == Atom::Part::Predicate   ? predicates_[k].in(attrs)
                 : part == Atom::Part::Reference ? references_[k].in(attrs)
                                                 : captures_[k].in(attrs);
        });
  }

  // The value that capture k takes from `event` (null where the event lacks the attribute).
  const Value& captured(const Event& event, std::size_t k) {
    return captures_[k].or_null(event.attrs);
  }

 private:
  const Atom* atom_;
  std::vector<plan::AttributeKey> predicates_, references_, captures_;
  std::vector<const Value*> bound_references_, bound_captures_;  // by bind
};

}  // namespace vashlet::explain
