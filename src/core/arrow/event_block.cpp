// Allocating, running slices over and destroying an event block.
#include "arrow/event_block.hpp"


namespace vashlet {

void EventBlock::allocate(std::size_t count, std::size_t entries) {
  if (count > static_cast<std::size_t>(-1) / sizeof(Event) ||
      entries > static_cast<std::size_t>(-1) / sizeof(Entry)) {
    throw std::bad_alloc();
  }
  // Untouched: the slices fault their own pages in.
  events_ = static_cast<Event*>(allocate_large(count * sizeof(Event)));
  count_ = count;
  if (entries > 0) {
    entries_ = static_cast<Entry*>(allocate_large(entries * sizeof(Entry)));
    entry_room_ = entries;
  }
}

// The events' attributes only borrow their entries, so the two are destroyed apart; each slice
// on the thread of its own, as they were built. Events that own nothing are not visited: the
// pass would read every byte of both blocks again for no effect.
EventBlock::~EventBlock() {
  if (!events_) return;
  if (owns_nothing_) {
    release_large(events_, count_ * sizeof(Event));
    if (entries_) release_large(entries_, entry_room_ * sizeof(Entry));
    return;
  }
  const auto destroy = [&](std::size_t s) {
    const Slice& slice = slices_[s];
    std::destroy_n(events_ + slice.begin, slice.events);
    if (entries_) std::destroy_n(entries_ + slice.first_entry, slice.entries);
  };
  try {
    run_slices(slices_.size(), destroy);
  } catch (...) {
    // Only a cancellation throws here, and only after every slice has run.
  }
  release_large(events_, count_ * sizeof(Event));
  if (entries_) release_large(entries_, entry_room_ * sizeof(Entry));
}

}  // namespace vashlet
