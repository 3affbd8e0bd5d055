// Preparing an atom: its tests sorted into what an event decides and what reads bindings.
#include "plan/atom_plan.hpp"

namespace vashlet::plan {

AtomPlan::AtomPlan(const Atom& atom, std::size_t type, const BindingLayout& layout,
                   std::size_t step, bool binds)
    : type_(type) {
  for (const Predicate& predicate : atom.predicates) {
    literals_.push_back(Literal{AttributeKey(predicate.attribute), &predicate});
  }
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    const std::size_t slot = layout.slot(reference.binding, step);
    if (slot == kNone) never_ = true;  // the name is not bound: nothing passes
    if (reference.op == ComparisonOperator::Eq && slot != kNone && keyed_ == kNone) {
      keyed_ = references_.size();
    }
    references_.push_back(Reference{AttributeKey(reference.attribute), reference.op, slot});
  }
  const std::vector<Capture>& captures = atom.captures;
  for (std::size_t i = 0; i < captures.size(); ++i) {
    const std::size_t slot = layout.slot(captures[i].name, step);
    if (slot != kNone) {
      bound_captures_.push_back(BoundCapture{AttributeKey(captures[i].attribute), slot});
      continue;
    }
    std::size_t first = 0;
    while (captures[first].name != captures[i].name) ++first;
    if (first < i) {
      repeated_captures_.push_back(RepeatedCapture{AttributeKey(captures[i].attribute),
                                                   AttributeKey(captures[first].attribute)});
    } else if (binds) {
      new_captures_.emplace_back(captures[i].attribute);
    }
  }
  new_values_.resize(new_captures_.size());
}

}  // namespace vashlet::plan
