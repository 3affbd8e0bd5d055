#include "event.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "values.hpp"

namespace vashlet::py {

namespace {

NativeClass<Event>& event_class();

// Walks the dict in its own order. Converting a value may run Python code (__index__,
// __float__), so key and value are held while they are converted, and a dict that changes under
// the walk is reported instead of being read further.
void add_attributes(Event& event, PyObject* dict) {
  const Py_ssize_t expected = PyDict_Size(dict);
  event.attrs.reserve(static_cast<std::size_t>(expected));
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
    event = std::move(event).with_attr(std::move(name), std::move(converted));
  }
}

constexpr auto kEventSignature =
    signature("Event.__new__()", {"partition", "ts", "typ", "attrs"}, 3);

PyObject* event_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const auto bound = bind(kEventSignature, args, kwargs);
    Event event;
    event.partition = bound.convert(0, text_from_py);
    event.ts = bound.convert(1, int64_from_py);
    event.typ = bound.convert(2, text_from_py);
    if (PyObject* attrs = bound.mapping(3)) add_attributes(event, attrs);
    return event_class().wrap(std::move(event));
  });
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

PyType_Slot event_slots[] = {
    {Py_tp_doc, const_cast<char*>("Event(partition, ts, typ, attrs=None)\n--\n\n"
                                  "A single typed, timestamped event within a partition.")},
    {Py_tp_new, reinterpret_cast<void*>(&event_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<Event>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<event_class, event_repr>)},
    {Py_tp_getset, event_getters},
    {0, nullptr},
};

NativeClass<Event>& event_class() {
  static NativeClass<Event> cls("builtins.Event", event_slots);
  return cls;
}

// Event order: partitions byte-wise, then timestamps; ties keep their input order.
bool precedes(const Event& left, const Event& right) {
  const int order = compare_bytes(left.partition, right.partition);
  return order != 0 ? order < 0 : left.ts < right.ts;
}

constexpr auto kSortEventsSignature = signature("sort_events()", {"events"}, 1);

Ref sort_events(const Arguments<1>& args) {
  std::vector<Event> events = args.convert(0, events_from_py);
  std::stable_sort(events.begin(), events.end(), precedes);
  return list_to_py(events, [](Event& event) { return event_to_py(std::move(event)); });
}

}  // namespace

PyTypeObject* event_type() { return event_class().type(); }

Ref event_to_py(Event event) { return event_class().wrap(std::move(event)); }

const Event* event_of(PyObject* object) { return event_class().find(object); }

std::vector<Event> events_from_py(PyObject* object) {
  if (PyUnicode_Check(object)) raise_type_error("a str is not accepted as a sequence of events");
  if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
  std::vector<Event> events;
  const auto take = [&](PyObject* item) {
    const Event* event = event_of(item);
    if (!event) raise_cannot_convert(item, "Event");
    events.push_back(*event);
  };
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // Nothing below runs Python code, so the borrowed items stay alive while they are copied.
    const bool is_list = PyList_CheckExact(object);
    const Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
    events.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      take(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
    }
    return events;
  }
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    events.reserve(static_cast<std::size_t>(hint));
  }
  const Ref iterator = Ref::checked(PyObject_GetIter(object));
  while (Ref item = next_item(iterator.get())) take(item.get());
  return events;
}

PyMethodDef sort_events_def = function_def<kSortEventsSignature, sort_events>(
    "sort_events",
    "sort_events(events)\n--\n\n"
    "Return a copy of `events` sorted by partition then `(timestamp, input order)`.");

}  // namespace vashlet::py
