// Gathering the events a stream still holds or keeps into one block of their own, once the
// batches they came in hold more events that are let go than needed ones: a start kept open by
// a window keeps its batch, and every event of it, alive otherwise.
#include "arrow/table_reader.hpp"
#include "stream/stream_state.hpp"

namespace vashlet::stream {

void StreamState::compact_if_sparse() {
  // Worth a copy of every needed event only when as many again are held for nothing.
  if (batch_events_ < 2 * needed_events_ + kCompactAtLeast) return;
  const std::size_t needed = needed_events_;

  auto gathered = std::make_unique<Batch>();
  LargeVector<Event> events;
  events.reserve(needed);
  KeyValues ids;
  ids.format = id_format_;
  const auto gather = [&](Kept& kept) {
    const Batch& from = *batches_[kept.batch];
    if (!id_format_.empty()) {
      const KeyValues& source = *from.events.ids();
      source.holds_strings() ? ids.strings.push_back(source.strings[kept.position])
                             : ids.ints.push_back(source.ints[kept.position]);
    }
    // The batches go below, and with them the attribute entries that a table's events borrow
    // from their block: the gathered event owns a copy of its attributes. (Walks hold copies
    // of what they bound, never pointers into events, so nothing else points at the old ones.)
    Event& from_event = const_cast<Event&>(*kept.event);
    events.push_back(Event{std::move(from_event.partition), from_event.ts,
                           std::move(from_event.typ), Attributes(from_event.attrs)});
    kept.position = static_cast<std::uint32_t>(events.size() - 1);
  };
  for (PartitionState& partition : partitions_) {
    for (Kept& kept : partition.kept) gather(kept);
    for (Kept& kept : partition.held) gather(kept);
  }
  // Every needed event has moved: the batches go, and the kept events point at their copies.
  batches_.clear();
  free_slots_.clear();
  LargeVector<Event>& block = SortedEventsBuilder::owned(gathered->events).emplace_back(std::move(events));
  SortedEventsBuilder::ids(gathered->events) = std::move(ids);
  gathered->live = block.size();
  batch_events_ = needed_events_ = block.size();
  for (PartitionState& partition : partitions_) {
    for (std::size_t k = 0; k < partition.kept.size(); ++k) {
      Kept& kept = partition.kept[k];
      kept.batch = 0;
      kept.event = &block[kept.position];
      partition.events[k] = kept.event;
    }
    for (Kept& kept : partition.held) {
      kept.batch = 0;
      kept.event = &block[kept.position];
    }
  }
  batches_.push_back(std::move(gathered));
}

}  // namespace vashlet::stream
