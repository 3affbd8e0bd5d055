// The per-pattern facts of the near-miss search.
#include "explain/pattern_facts.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace vashlet::explain {

StepTypes::StepTypes(const Pattern& pattern) {
  type_of_step.reserve(pattern.steps.size());
  for (const Step& step : pattern.steps) {
    const std::size_t id = id_of(step.atom.event_type);
    if (id == names.size()) {
      names.push_back(step.atom.event_type);
      ids.emplace(step.atom.event_type, id);
    }
    type_of_step.push_back(id);
  }
}

StepReads::StepReads(const Pattern& pattern)
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

EqualityLookups::EqualityLookups(const Pattern& pattern, const StepTypes& types)
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

}  // namespace vashlet::explain
