// Copies of a few events packed into one block of bytes. Results that own the events they name
// come by the million; an array of events, each with a block of attributes of its own, costs
// several allocations and several hundred bytes per result, where one block costs one allocation
// and little more than the bytes of the events; a matcher that writes many blocks as it finds
// the results puts them into slabs that the results share. The copies never change; an event is
// rebuilt from its bytes on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "memory/memory.hpp"
#include "model/model.hpp"

namespace vashlet {

class PackedEvents {
 public:
  PackedEvents() = default;

  // Copies of event_at(0), ..., event_at(count - 1), each a `const Event&`.
  template <class EventAt>
  static PackedEvents pack(std::size_t count, EventAt&& event_at) {
    const std::size_t bytes = block_bytes(count, event_at);
    std::shared_ptr<std::byte[]> block = std::make_shared_for_overwrite<std::byte[]>(bytes);
    const std::byte* start = block.get();
    write_block(block.get(), bytes, count, event_at);
    return PackedEvents(std::shared_ptr<const std::byte>(std::move(block), start));
  }

  std::size_t size() const;
  std::int64_t ts(std::size_t i) const;
  std::string_view partition(std::size_t i) const;
  std::string_view typ(std::size_t i) const;
  Event event(std::size_t i) const;

 private:
  // The same copies written as a block into memory of the caller's (`block_bytes` long at
  // `block`), for PackedEventSlabs, which writes many into one slab.
  template <class EventAt>
  static std::size_t block_bytes(std::size_t count, EventAt&& event_at) {
    std::size_t bytes = header_bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes += packed_bytes(event_at(i));
    return bytes;
  }
  template <class EventAt>
  static void write_block(std::byte* block, std::size_t bytes, std::size_t count,
                          EventAt&& event_at) {
    std::size_t at = write_count(block, count);
    for (std::size_t i = 0; i < count; ++i) {
      write_offset(block, i, at);
      at = write(block, at, event_at(i));
    }
    if (at != bytes) invariant_failure("packed events fill their block exactly");
  }

  explicit PackedEvents(std::shared_ptr<const std::byte> bytes) : bytes_(std::move(bytes)) {}
  static std::size_t header_bytes(std::size_t count);
  static std::size_t packed_bytes(const Event& event);
  static std::size_t write_count(std::byte* block, std::size_t count);
  static void write_offset(std::byte* block, std::size_t i, std::size_t at);
  static std::size_t write(std::byte* block, std::size_t at, const Event& event);

  // The count, then each event's offset, then the events: ts, partition, type, attributes (each
  // text as its size and bytes, each value as its kind and payload).
  std::shared_ptr<const std::byte> bytes_;

  friend class PackedEventSlabs;
};

// Copies of the events of many results, written as the results are found, while their events
// are still in the cache, into slabs that the results then share: no allocation per result, and
// a result keeps alive only the slab that holds its own copies. Written slabs never move.
class PackedEventSlabs {
 public:
  struct Place {
    std::uint32_t slab = 0;
    std::uint32_t offset = 0;  // a block larger than kSlabBytes has a slab of its own
  };

  // Writes copies of event_at(0), ..., event_at(count - 1).
  template <class EventAt>
  Place add(std::size_t count, EventAt&& event_at) {
    const std::size_t bytes = PackedEvents::block_bytes(count, event_at);
    if (slabs_.empty() || bytes > slab_bytes_ - used_) start_slab(bytes);
    const Place place{static_cast<std::uint32_t>(slabs_.size() - 1),
                      static_cast<std::uint32_t>(used_)};
    PackedEvents::write_block(slabs_.back().get() + used_, bytes, count, event_at);
    used_ += bytes;
    return place;
  }

  // The copies written at `place`, sharing their slab.
  PackedEvents at(Place place) const {
    const std::shared_ptr<std::byte>& slab = slabs_.at(place.slab);
    return PackedEvents(std::shared_ptr<const std::byte>(slab, slab.get() + place.offset));
  }

  // The timestamp of event i of the copies at `place`, read in place.
  std::int64_t ts(Place place, std::size_t i) const;

  void clear() {
    slabs_.clear();
    slab_bytes_ = used_ = 0;
  }

 private:
  void start_slab(std::size_t bytes);

  std::vector<std::shared_ptr<std::byte>> slabs_;
  std::size_t slab_bytes_ = 0;  // of the last slab
  std::size_t used_ = 0;        // of the last slab
};

}  // namespace vashlet
