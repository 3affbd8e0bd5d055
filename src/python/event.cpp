#include "event.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "arrow/event_order.hpp"
#include "match/matcher.hpp"
#include "reduce.hpp"
#include "tuning.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

NativeClass<Event>& event_class();

// Walks the dict in its own order. Converting a value may run Python code (__index__,
// __float__), so key and value are held while they are converted, and a dict that changes under
// the walk is reported instead of being read further. The entries are ordered once at the end:
// inserting each in place costs quadratic time when keys arrive in descending order.
void add_attributes(Event& event, PyObject* dict) {
  const Py_ssize_t expected = PyDict_Size(dict);
  std::vector<Attributes::Entry> entries;
  entries.reserve(static_cast<std::size_t>(expected));
  Py_ssize_t position = 0;
  Py_ssize_t seen = 0;
  PyObject* borrowed_key = nullptr;
  PyObject* borrowed_value = nullptr;
  while (PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) {
    if (++seen > expected) invariant_failure("dictionary keys changed during iteration");
    const Ref key = Ref::borrowed(borrowed_key);
    const Ref value = Ref::borrowed(borrowed_value);
    std::string name = text_from_py(key.get());
    Value converted = py_to_value(value.get());
    if (PyDict_Size(dict) != expected) {
      invariant_failure("dictionary changed size during iteration");
    }
    entries.emplace_back(std::move(name), std::move(converted));
  }
  event.attrs = Attributes::from_entries(std::move(entries));
}

constexpr auto kEventSignature =
    signature("Event.__new__()", {"partition", "ts", "typ", "attrs"}, 3);

Ref event_from_arguments(const Arguments<4>& bound) {
  Event event;
  event.partition = bound.convert(0, text_from_py);
  event.ts = bound.convert(1, int64_from_py);
  event.typ = bound.convert(2, text_from_py);
  if (PyObject* attrs = bound.mapping(3)) add_attributes(event, attrs);
  return event_class().wrap(std::move(event));
}

PyObject* event_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return event_from_arguments(bind(kEventSignature, args, kwargs)); });
}

constexpr auto kRebuildEventSignature =
    signature("_rebuild_event()", {"partition", "ts", "typ", "attrs"}, 4);

constexpr auto kReduceSignature = signature("Event.__reduce__()");

// The class itself is not importable under its name, so a module function rebuilds the event.
Ref reduce_event(const Event& event, const Arguments<0>&) {
  return reduce_to("_rebuild_event", text_to_py(event.partition), int_to_py(event.ts),
                   text_to_py(event.typ), named_values_to_dict(event.attrs));
}

Ref partition_of(const Event& event) { return text_to_py(event.partition); }
Ref ts_of(const Event& event) { return int_to_py(event.ts); }
Ref typ_of(const Event& event) { return text_to_py(event.typ); }
Ref attrs_of(const Event& event) { return named_values_to_dict(event.attrs); }

Ref event_repr(const Event& event) {
  return text_to_py("Event(partition=" + quoted(event.partition) +
                    ", ts=" + std::to_string(event.ts) + ", typ=" + quoted(event.typ) + ")");
}

PyGetSetDef event_getters[] = {
    getter_def<event_class, partition_of>("partition"),
    getter_def<event_class, ts_of>("ts"),
    getter_def<event_class, typ_of>("typ"),
    getter_def<event_class, attrs_of>("attrs"),
    {},
};

PyMethodDef event_methods[] = {
    method_def<event_class, kReduceSignature, reduce_event>(
        "__reduce__", "__reduce__($self)\n--\n\nPickle support: the event's fields."),
    {},
};

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>("Event(partition, ts, typ, attrs=None)\n--\n\n"
                                  "A single typed, timestamped event within a partition.")},
    {Py_tp_new, reinterpret_cast<void*>(&event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<Event>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<event_class, event_repr>)},
    {Py_tp_getset, event_getters},
    {Py_tp_methods, event_methods},
    {0, nullptr},
};

NativeClass<Event>& event_class() {
  static NativeClass<Event> cls("builtins.Event", event_slots);
  return cls;
}

// New `Event` objects copying the given events, in order. Sorted events lie anywhere in memory, so
// each is fetched a few turns ahead of its copy: first the event, then its attributes.
Ref copies_to_py(const std::vector<const Event*>& events) {
  constexpr std::size_t kAhead = tuning::kCopyAhead;
  constexpr std::size_t kAttributeBytes = tuning::kCopiedAttributeBytes;
  std::size_t at = 0;  // the position of the event being copied
  return list_to_py(events, [&](const Event* event) {
    const std::size_t size = events.size();
    if (at + 2 * kAhead < size) prefetch(events[at + 2 * kAhead], sizeof(Event));
    if (at + kAhead < size) prefetch_attributes(*events[at + kAhead], kAttributeBytes);
    ++at;
    return event_to_py(*event);
  });
}

constexpr auto kSortEventsSignature = signature("sort_events()", {"events"}, 1);

// Sorts positions, not events, and copies each event once, into its new object. Input that is
// already in order (the common case for a stream that is sorted once) skips the sort.
Ref sort_events(const Arguments<1>& args) {
  const EventList events = args.convert(0, events_from_py);
  if (events.in_order()) return copies_to_py(events.pointers());
  std::vector<const Event*> sorted;
  sorted.reserve(events.size());
  for (const std::size_t position : event_order(events.view())) {
    sorted.push_back(&events[position]);
  }
  return copies_to_py(sorted);
}

}  // namespace

PyTypeObject* event_type() { return event_class().type(); }

Ref event_to_py(Event event) { return event_class().wrap(std::move(event)); }

const Event* event_of(PyObject* object) { return event_class().find(object); }

EventList events_from_py(PyObject* object) {
  if (PyUnicode_Check(object)) raise_type_error("a str is not accepted as a sequence of events");
  if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
  std::vector<Ref> items;
  std::vector<const Event*> events;
  bool in_order = true;
  // The order is checked while each event is at hand: a second pass over many events would
  // fetch them all from memory again.
  const auto take = [&](Ref item) {
    const Event* event = event_of(item.get());
    if (!event) raise_cannot_convert(item.get(), "Event");
    if (in_order && !events.empty()) in_order = in_event_order(*events.back(), *event);
    items.push_back(std::move(item));
    events.push_back(event);
  };
  const auto reserve = [&](Py_ssize_t size) {
    items.reserve(static_cast<std::size_t>(size));
    events.reserve(static_cast<std::size_t>(size));
  };
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // Nothing below runs Python code, so the list cannot change while its items are taken.
    const bool is_list = PyList_CheckExact(object);
    const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
    reserve(size);
    for (Py_ssize_t i = 0; i < size; ++i) {
      take(Ref::borrowed(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i)));
    }
    return EventList(std::move(items), std::move(events), in_order);
  }
  // Python code reports this length, so it is only a hint: a __len__ that claims far more items
  // than it yields must not make the call reserve (or fail to reserve) that much.
  constexpr Py_ssize_t kMostReservedFromHint = Py_ssize_t{1} << 16;
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    discard_ordinary_error();
  } else {
    reserve(std::min(hint, kMostReservedFromHint));
  }
  const Ref iterator = Ref::checked(PyObject_GetIter(object));
  while (Ref item = next_item(iterator.get())) take(std::move(item));
  return EventList(std::move(items), std::move(events), in_order);
}

PyMethodDef rebuild_event_def = function_def<kRebuildEventSignature, event_from_arguments>(
    "_rebuild_event", "_rebuild_event(partition, ts, typ, attrs)\n--\n\nUnpickle an Event.");

PyMethodDef sort_events_def = function_def<kSortEventsSignature, sort_events>(
    "sort_events",
    "sort_events(events)\n--\n\n"
    "Return a copy of `events` sorted by partition then `(timestamp, input order)`.");

}  // namespace vashlet::py
