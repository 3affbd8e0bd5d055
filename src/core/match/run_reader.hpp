// The step matcher's way of reading a run's events: a run that fits the cache is staged (its
// events' type ids read in a block with the runs after it, and only its events of named types
// handed on); a longer run is streamed, each event's type id found a fixed distance ahead of
// its turn. Either way the events, their types and the attributes of named ones arrive in the
// cache before they are needed.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "match/event_type_ids.hpp"
#include "match/partitions.hpp"
#include "model/model.hpp"
#include "plan/atom_plan.hpp"
#include "tuning.hpp"

namespace vashlet {

class RunReader {
 public:
  struct NamedEvent {
    std::size_t index;
    std::size_t type;
  };

  RunReader(const plan::TypeTable& types, const EventView& events)
      : types_(types, events), events_(events) {}

  // Whether `run` is staged, or streamed.
  static bool staged(const Run& run) { return run.end - run.begin <= tuning::kCachedRun; }
  // Called before each run, in ascending order of runs.
  void start(const Run& run) { ahead_ = std::max(ahead_, run.begin); }

  // Staged runs: the run's events of the types that the pattern names, with their type ids, in
  // run order.
  const std::vector<NamedEvent>& named_events(const Run& run);

  // Streamed runs: the type id of event i (kNone when the pattern does not name its type), asked
  // for in ascending order.
  std::size_t type_of(std::size_t i) {
    for (; ahead_ < events_.size() && ahead_ <= i + kAhead; ++ahead_) look_at(ahead_);
    return ahead_types_[i % ahead_types_.size()];
  }
  // After type_of(i): whether event j's type id is known, and what it is.
  bool known(std::size_t j) const { return j < ahead_; }
  std::size_t type_ahead(std::size_t j) const { return ahead_types_[j % ahead_types_.size()]; }

 private:
  static constexpr std::size_t kAhead = tuning::kTypesAhead;
  void look_at(std::size_t j);
  void stage(std::size_t begin, std::size_t end);

  const EventTypeIds types_;
  const EventView& events_;
  // The type ids of the next events, found ahead of their turn (see type_of).
  std::array<std::size_t, 2 * kAhead> ahead_types_{};
  std::size_t ahead_ = 0;  // the first event not looked at yet
  // The type ids of the events [staged_begin_, staged_begin_ + staged_types_.size()), read in a
  // block ahead of the runs that hold them (see stage).
  std::size_t staged_begin_ = 0;
  std::vector<std::size_t> staged_types_;
  std::vector<NamedEvent> named_;
};

}  // namespace vashlet
