#include "reduce.hpp"

#include <string>
#include <utility>

#include "event.hpp"
#include "values.hpp"

namespace vashlet::py {

Ref reduce_with_tuple(const char* helper, Ref args) {
  Ref function = core_module_attribute(helper);
  return Ref::checked(PyTuple_Pack(2, function.get(), args.get()));
}

std::vector<std::size_t> indices_from_py(PyObject* object) {
  if (!PyList_Check(object)) raise_cannot_convert(object, "list");
  std::vector<std::size_t> indices;
  const Py_ssize_t size = PyList_Size(object);
  indices.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
    const Ref item = Ref::borrowed(PyList_GetItem(object, i));
    if (!item) throw PythonError{};
    const std::int64_t index = int64_from_py(item.get());
    if (index < 0) raise_value_error("an event index cannot be negative");
    indices.push_back(static_cast<std::size_t>(index));
  }
  return indices;
}

Bindings bindings_from_py(PyObject* object) {
  PyObject* dict = dict_from_py(object);
  Bindings bindings;
  const Ref items = Ref::checked(PyDict_Items(dict));  // a snapshot: conversions run no code on it
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    std::string name = text_from_py(PyTuple_GetItem(pair, 0));
    bindings.set(std::move(name), py_to_value(PyTuple_GetItem(pair, 1)));
  }
  return bindings;
}

std::vector<Event> event_copies_from_py(PyObject* object) {
  const EventList events = events_from_py(object);
  std::vector<Event> copies;
  copies.reserve(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) copies.push_back(events[i]);
  return copies;
}

}  // namespace vashlet::py
