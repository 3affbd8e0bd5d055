// The table reader's events in one block, their attributes' entries in another, both built and
// destroyed on several threads. Each thread first touches the pages of its own slice, so the
// page faults and the construction are shared out, and no event allocates anything of its own:
// its attributes borrow their entries from the second block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "match/partitions.hpp"
#include "memory/memory.hpp"
#include "model/model.hpp"

namespace vashlet {

class EventBlock {
 public:
  using Entry = NamedValues::Entry;

  // Where a fill appends an event's attribute entries, in name order.
  class Entries {
   public:
    Entries(Entry* next, std::size_t& used) : next_(next), used_(used) {}
    Entry* next() const { return next_; }
    template <class... Args>
    void append(Args&&... args) {
      new (next_) Entry(std::forward<Args>(args)...);
      ++next_;
      ++used_;  // counted as soon as built, so that a failure destroys exactly those
    }

   private:
    Entry* next_;
    std::size_t& used_;
  };

  EventBlock() = default;
  EventBlock(EventBlock&& other) noexcept { swap(other); }
  EventBlock& operator=(EventBlock&& other) noexcept {
    EventBlock(std::move(other)).swap(*this);
    return *this;
  }
  ~EventBlock();

  // Builds `count` events, each with at most `most_entries` attribute entries, on up to
  // `threads` threads in slices of at least `min_slice`: fill(n, place, entries) appends the
  // n-th event's entries and constructs the event at `place`, whole (so that no store of an
  // empty event precedes it, nor a read of one), or throws having constructed nothing there.
  // The block must be empty. On failure the exception of the lowest failed slice is thrown, and
  // the block holds what was built.
  // `owns_nothing` promises that no string the fills make outgrows a string's own room
  // (fits_in_place): then no event or entry holds memory of its own, and destroying the block
  // releases its two blocks without a pass over them.
  template <class Fill>
  void build(std::size_t count, std::size_t most_entries, std::size_t threads,
             std::size_t min_slice, bool owns_nothing, const Fill& fill);

  // Whether a string of `size` bytes is kept within the string object, without memory of its
  // own: a default string's capacity is the room that strings have in place.
  static bool fits_in_place(std::size_t size) {
    static const std::size_t room = std::string().capacity();
    return size <= room;
  }

  Event* data() const { return events_; }
  std::size_t size() const { return count_; }

 private:
  struct Slice {
    std::size_t begin = 0;          // its first event
    std::size_t events = 0;         // built from `begin` on
    std::size_t first_entry = 0;    // its first entry
    std::size_t entries = 0;        // built from `first_entry` on
  };

  void swap(EventBlock& other) noexcept {
    std::swap(events_, other.events_);
    std::swap(count_, other.count_);
    std::swap(entries_, other.entries_);
    std::swap(entry_room_, other.entry_room_);
    std::swap(slices_, other.slices_);
    std::swap(owns_nothing_, other.owns_nothing_);
  }
  void allocate(std::size_t count, std::size_t entries);

  static constexpr std::size_t kWriteAhead = tuning::kEventsAhead;

  Event* events_ = nullptr;
  std::size_t count_ = 0;
  Entry* entries_ = nullptr;
  std::size_t entry_room_ = 0;
  std::vector<Slice> slices_;
  bool owns_nothing_ = false;  // destruction has nothing to release but the blocks
};

template <class Fill>
void EventBlock::build(std::size_t count, std::size_t most_entries, std::size_t threads,
                       std::size_t min_slice, bool owns_nothing, const Fill& fill) {
  if (events_) invariant_failure("an event block is built once");
  if (count == 0) return;
  allocate(count, count * most_entries);
  owns_nothing_ = owns_nothing;
  const std::size_t slices = slice_count(count, threads, min_slice);
  slices_.resize(slices);
  for (std::size_t s = 0; s < slices; ++s) {
    slices_[s].begin = count * s / slices;
    slices_[s].first_entry = slices_[s].begin * most_entries;
  }
  run_slices(slices, [&](std::size_t s) {
    Slice& slice = slices_[s];
    const std::size_t end = count * (s + 1) / slices;
    Entries entries(entries_ + slice.first_entry, slice.entries);
    for (std::size_t n = slice.begin; n < end; ++n) {
      // The block's lines are not in the cache: claimed for writing ahead of their turn, so
      // that the stores do not wait for each line in turn.
      // (Only places within the blocks are formed: events without attributes have no entries.)
      if (n + kWriteAhead < end) prefetch_for_write(events_ + n + kWriteAhead, sizeof(Event));
      const std::size_t entry_ahead = slice.first_entry + slice.entries + kWriteAhead;
      if (entry_ahead < entry_room_) prefetch_for_write(entries_ + entry_ahead, sizeof(Entry));
      fill(n, static_cast<void*>(events_ + n), entries);
      ++slice.events;
    }
  });
}

}  // namespace vashlet
