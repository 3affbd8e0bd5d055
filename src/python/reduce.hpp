// Pickling of the native classes: their `__reduce__` tuples name a module function that rebuilds
// the object, and these conversions read the pickled state back, refusing what does not fit.
#pragma once

#include <cstddef>
#include <vector>

#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

// The module attribute `name` (a new reference); defined with the module.
Ref core_module_attribute(const char* name);

// `(vashlet._core.<helper>, args)`: what `__reduce__` returns.
Ref reduce_with_tuple(const char* helper, Ref args);

template <class... Args>
Ref reduce_to(const char* helper, const Args&... args) {
  return reduce_with_tuple(helper, Ref::checked(PyTuple_Pack(sizeof...(Args), args.get()...)));
}

// A list of non-negative ints (the event indices of a result).
std::vector<std::size_t> indices_from_py(PyObject* object);

// A dict of str to attribute values (captured bindings); TypeError otherwise.
Bindings bindings_from_py(PyObject* object);

// Copies of the events of a sequence of `Event` objects.
std::vector<Event> event_copies_from_py(PyObject* object);

}  // namespace vashlet::py
