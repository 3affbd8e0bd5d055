// Building a run's candidate lists and its value indexes.
#include "explain/run_candidates.hpp"

#include "match/tuning.hpp"

namespace vashlet::explain {

const std::vector<std::size_t>& RunCandidates::ids_by_number(const EventNumbers& numbers) {
  if (by_number_.empty()) {
    for (const std::string& name : *numbers.type_names) by_number_.push_back(types_.id_of(name));
    by_number_.push_back(kByName);  // a type the reader did not list
  }
  return by_number_;
}

void RunCandidates::assign(const EventView& events, std::size_t begin, std::size_t end) {
  end_ = end;
  for (std::vector<std::size_t>& list : lists_) list.clear();
  const auto add = [&](std::size_t i, std::size_t id) {
    if (id == lists_.size()) return;
    lists_[id].push_back(i);
    // The search reads the attributes of every candidate, which lie wherever they were
    // allocated: fetching them all now lets the loads overlap instead of waiting one by one.
    prefetch_attributes(events[i], tuning::kCandidateAttributeBytes);
  };
  const EventNumbers& numbers = events.numbers();
  if (!numbers.types) {
    for (std::size_t i = begin; i < end; ++i) add(i, types_.id_of(events[i].typ));
    return;
  }
  const std::vector<std::size_t>& ids = ids_by_number(numbers);
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t id = ids[numbers.types[i]];
    add(i, id == kByName ? types_.id_of(events[i].typ) : id);
  }
}

std::optional<std::size_t> events_of_step(const EventView& events, const StepTypes& types,
                                          std::size_t step) {
  const EventNumbers& numbers = events.numbers();
  if (!numbers.types) return std::nullopt;
  const std::size_t wanted = types.type_of_step[step];
  std::vector<bool> counted;  // by the reader's type number
  for (const std::string& name : *numbers.type_names) {
    counted.push_back(types.id_of(name) == wanted);
  }
  counted.push_back(false);
  std::size_t count = 0;
  bool unlisted = false;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::uint32_t number = numbers.types[i];
    count += counted[number];
    unlisted |= number == numbers.type_names->size();
  }
  if (unlisted) return std::nullopt;  // types the reader did not list: not worth the names
  return count;
}

void RunValues::clear() {
  for (std::size_t key = 0; key < indexes_.size(); ++key) {
    // A fresh index rather than a cleared one: clearing would pass over every bucket that the
    // largest run so far needed.
    if (built_[key]) indexes_[key] = ValueIndex();
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
