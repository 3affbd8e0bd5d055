// `ANY`, the event type that every event has: the sentinel the builder takes wherever it takes an
// event type, and the conversion of such an argument into an atom.
#pragma once

#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

// The one `ANY` object (borrowed; created on first need, kept for the life of the process).
PyObject* any_type_object();

PyTypeObject* any_type_type();

// `_any()`: what a pickled `ANY` is rebuilt with.
extern PyMethodDef any_type_def;

// An atom of the type `object` names: a str, or `ANY` for an atom of any type. Anything else
// raises TypeError as a str conversion does.
Atom atom_from_py(PyObject* object);

}  // namespace vashlet::py
