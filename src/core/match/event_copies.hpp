// A run sink that copies each match's events into slabs of its own, for results that must own
// their events (the Match objects of match_events).
#pragma once

#include <cstddef>

#include "match/run_sink.hpp"
#include "memory/memory.hpp"
#include "memory/packed_events.hpp"

namespace vashlet {

class EventCopies final : public RunSink {
 public:
  void run_matched(const FlatMatches& out, std::size_t begin, const EventView& events) override;

  // Per match of the part, in order, the place of copies of its events.
  std::size_t size() const { return places_.size(); }
  PackedEvents at(std::size_t match) const { return slabs_.at(places_[match]); }

 private:
  LargeVector<PackedEventSlabs::Place> places_;
  PackedEventSlabs slabs_;
};

}  // namespace vashlet
