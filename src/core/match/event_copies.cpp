// Copies of matches' events, run by run. A long run's earlier events have left the cache, so
// those of the matches a few turns ahead are fetched early: the events, then their attributes.
#include "match/event_copies.hpp"

#include "tuning.hpp"

namespace vashlet {

void EventCopies::run_matched(const FlatMatches& out, std::size_t begin,
                              const EventView& events) {
  if (places_.size() != begin) invariant_failure("every earlier match holds copies");
  constexpr std::size_t kAhead = tuning::kCopyAhead;  // matches
  const auto fetch = [&](std::size_t m, auto&& what) {
    if (m >= out.size()) return;
    for (std::size_t s = 0; s < out.length_of(m); ++s) what(events[out.indices_of(m)[s]]);
  };
  reserve_for(places_, out.size());
  for (std::size_t m = begin; m < out.size(); ++m) {
    fetch(m + 2 * kAhead, [](const Event& event) { prefetch(&event, sizeof(Event)); });
    fetch(m + kAhead, [](const Event& event) {
      prefetch_attributes(event, tuning::kAttributeBytes);
    });
    const std::size_t* indices = out.indices_of(m);
    const std::size_t length = out.length_of(m);
    const PackedEventSlabs::Place place = slabs_.add(
        length, [&](std::size_t s) -> const Event& { return events[indices[s]]; });
    if (slabs_.ts(place, length - 1) != out.ends[m]) {
      invariant_failure("a match disagrees with the events it names");
    }
    places_.push_back(place);
  }
}

}  // namespace vashlet
