// Building a run's candidate lists and its value indexes.
#include "explain/run_candidates.hpp"

#include "tuning.hpp"

namespace vashlet::explain {

void RunCandidates::assign(const EventView& events, std::size_t begin, std::size_t end) {
  end_ = end;
  for (std::vector<std::size_t>& list : lists_) list.clear();
  if (!ids_) ids_.emplace(types_, events);
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t id = (*ids_)(i, events);
    if (id == lists_.size()) continue;
    lists_[id].push_back(i);
    // The search reads the attributes of every candidate, which lie wherever they were
    // allocated: fetching them all now lets the loads overlap instead of waiting one by one.
    prefetch_attributes(events[i], tuning::kCandidateAttributeBytes);
  }
}

std::optional<std::size_t> events_of_step(const EventView& events, const StepTypes& types,
                                          std::size_t step, std::size_t begin, std::size_t end) {
  if (!events.numbers().types) return std::nullopt;
  const TypeIdsOf<StepTypes> ids(types, events);
  const std::size_t wanted = types.type_of_step[step];
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++i) count += ids(i, events) == wanted;
  return count;
}

void RunValues::clear() {
  for (std::size_t key = 0; key < indexes_.size(); ++key) {
    if (built_[key]) indexes_[key].clear();
    built_[key] = false;
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
