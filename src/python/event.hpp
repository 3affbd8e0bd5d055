// The Python class `Event` (native `PyEvent`, one core event) and the function `sort_events`.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

// The `Event` type object, created on first need.
PyTypeObject* event_type();

// A new `Event` object owning `event`.
Ref event_to_py(Event event);

// The core event inside an `Event` object (borrowed), or null when `object` is not an `Event`.
const Event* event_of(PyObject* object);

// The events of an event-list argument, read in place inside their `Event` objects. It holds a
// strong reference to every item, so the events stay valid for as long as it lives, whatever
// happens to the argument meanwhile (Python code run by a finaliser may empty a list).
class EventList {
 public:
  // Takes ownership of one reference to each item; `events[i]` lies inside `items[i]`.
  // `in_order`: whether the events are in event order (is_sorted_by_partition_time_index).
  EventList(std::vector<Ref> items, std::vector<const Event*> events, bool in_order)
      : items_(std::move(items)), events_(std::move(events)), in_order_(in_order) {}

  std::size_t size() const { return events_.size(); }
  const Event& operator[](std::size_t i) const { return *events_[i]; }
  // Valid while this list lives.
  EventView view() const { return EventView(events_.data(), events_.size()); }
  const std::vector<const Event*>& pointers() const { return events_; }
  bool in_order() const { return in_order_; }

  // Copies of the events at `indices`, for results that must own their events. An index outside
  // the list is an internal invariant failure (the core only names events it was given).
  std::vector<Event> copies_at(const std::vector<std::size_t>& indices) const {
    std::vector<Event> copies;
    copies.reserve(indices.size());
    for (const std::size_t index : indices) {
      if (index >= size()) invariant_failure("a result names an event outside the event list");
      copies.push_back(*events_[index]);
    }
    return copies;
  }

 private:
  std::vector<Ref> items_;
  std::vector<const Event*> events_;
  bool in_order_;
};

// The event-list parameter: a sequence (not a str) of `Event` objects, in order.
// Raises the unprefixed TypeErrors; the call frame adds the parameter name.
EventList events_from_py(PyObject* object);

extern PyMethodDef sort_events_def;
// `_rebuild_event(partition, ts, typ, attrs)`: what a pickled `Event` is rebuilt with.
extern PyMethodDef rebuild_event_def;

}  // namespace vashlet::py
