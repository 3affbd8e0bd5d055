// Building a run's candidate lists and its value indexes.
#include "explain/run_candidates.hpp"

namespace vashlet::explain {

RunCandidates::RunCandidates(const EventView& events, std::size_t begin, std::size_t end,
                             const StepTypes& types)
    : types_(types), end_(end), lists_(types.id_of_type.size()) {
  for (std::size_t i = begin; i < end; ++i) {
    auto it = types.id_of_type.find(events[i].typ);
    if (it != types.id_of_type.end()) lists_[it->second].push_back(i);
  }
}

void RunValues::build(std::size_t key) {
  const EqualityLookups::Key& of = lookups_.keys[key];
  for (std::size_t i : run_.of_step(of.step)) {
    if (const Value* value = events_[i].attrs.find(of.attribute)) indexes_[key].add(*value, i);
  }
  built_[key] = true;
}

}  // namespace vashlet::explain
