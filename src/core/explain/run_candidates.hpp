// The events of one run that the near-miss search tries as candidates: grouped by event type, and
// for steps with an equality reference predicate, indexed by the compared attribute's value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "explain/pattern_facts.hpp"
#include "match/event_type_ids.hpp"
#include "match/value_index.hpp"
#include "model/model.hpp"
#include "tuning.hpp"

namespace vashlet::explain {

// The events of one run that some step could use, grouped by event type, in ascending order.
// One object serves the runs of a worker in turn, so that its lists keep their storage.
class RunCandidates {
 public:
  explicit RunCandidates(const StepTypes& types) : types_(types), lists_(types.names.size()) {}

  // Takes the run events[begin, end).
  void assign(const EventView& events, std::size_t begin, std::size_t end);

  std::size_t end() const { return end_; }

  const std::vector<std::size_t>& of_step(std::size_t step) const {
    return lists_[types_.type_of_step[step]];
  }

  // Position in `list` of the first entry after `index`.
  static std::size_t first_after(const std::vector<std::size_t>& list, std::size_t index) {
    return static_cast<std::size_t>(std::upper_bound(list.begin(), list.end(), index) -
                                    list.begin());
  }

 private:
  const StepTypes& types_;
  // The list id of each event, made on the first run: where the reader numbered the types, a
  // look-up of the number rather than a comparison of names.
  std::optional<TypeIdsOf<StepTypes>> ids_;
  std::size_t end_ = 0;
  std::vector<std::vector<std::size_t>> lists_;
};

// The number of events of step `step`'s type among events[begin, end), where the reader
// numbered their types; nullopt otherwise.
std::optional<std::size_t> events_of_step(const EventView& events, const StepTypes& types,
                                          std::size_t step, std::size_t begin, std::size_t end);

// The run's candidates of the steps with equality reference predicates, indexed by the value of
// the attribute they compare; an index is built the first time it is asked for.
class RunValues {
 public:
  RunValues(const EventView& events, const RunCandidates& run, const EqualityLookups& lookups)
      : events_(events), run_(run), lookups_(lookups), indexes_(lookups.keys.size()),
        built_(lookups.keys.size(), false) {}

  // Forgets the indexes, for the run that `run` holds next.
  void clear();

  // The candidates of step k that may pass one of its equality reference predicates under
  // `bindings` (a superset, in ascending order), or nullptr when none of those predicates has its
  // binding bound: then every event of the step's type is a candidate.
  const std::vector<std::size_t>* candidates(std::size_t k, const Bindings& bindings) {
    if (run_.of_step(k).size() <= tuning::kCandidateShortList) return nullptr;
    for (const EqualityLookups::Lookup& lookup : lookups_.of_step[k]) {
      const Value* bound = bindings.find(lookup.binding);
      if (!bound) continue;
      if (!built_[lookup.key]) build(lookup.key);
      return &indexes_[lookup.key].find(*bound);
    }
    return nullptr;
  }

 private:
  void build(std::size_t key);

  const EventView& events_;
  const RunCandidates& run_;
  const EqualityLookups& lookups_;
  std::vector<ValueIndex> indexes_;
  std::vector<bool> built_;
};

}  // namespace vashlet::explain
