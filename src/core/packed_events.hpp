// Copies of a few events packed into one block of bytes. Results that own the events they name
// come by the million; an array of events, each with a block of attributes of its own, costs
// several allocations and several hundred bytes per result, where one block costs one allocation
// and little more than the bytes of the events. The copies never change; an event is rebuilt from
// its bytes on request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "model.hpp"

namespace vashlet {

class PackedEvents {
 public:
  PackedEvents() = default;

  // Copies of event_at(0), ..., event_at(count - 1), each a `const Event&`.
  template <class EventAt>
  static PackedEvents pack(std::size_t count, EventAt&& event_at) {
    std::size_t bytes = header_bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes += packed_bytes(event_at(i));
    PackedEvents packed(count, bytes);
    std::size_t at = header_bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
      packed.write_offset(i, at);
      at = packed.write(at, event_at(i));
    }
    if (at != bytes) invariant_failure("packed events fill their block exactly");
    return packed;
  }

  std::size_t size() const;
  std::int64_t ts(std::size_t i) const;
  std::string_view partition(std::size_t i) const;
  std::string_view typ(std::size_t i) const;
  Event event(std::size_t i) const;

 private:
  PackedEvents(std::size_t count, std::size_t bytes);
  static std::size_t header_bytes(std::size_t count);
  static std::size_t packed_bytes(const Event& event);
  void write_offset(std::size_t i, std::size_t at);
  std::size_t write(std::size_t at, const Event& event);

  // The count, then each event's offset, then the events: ts, partition, type, attributes (each
  // text as its size and bytes, each value as its kind and payload).
  std::unique_ptr<std::byte[]> bytes_;
};

}  // namespace vashlet
