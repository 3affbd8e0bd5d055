// The `ANY` sentinel: one instance of a class that cannot be instantiated, pickled as itself.
#include "any_type.hpp"

#include "reduce.hpp"
#include "values.hpp"

namespace vashlet::py {

namespace {

struct AnyEventType {};

NativeClass<AnyEventType>& any_class();

Ref any_repr(const AnyEventType&) { return text_to_py("vashlet.ANY"); }

constexpr auto kReduceSignature = signature("AnyEventType.__reduce__()");

Ref reduce_any(const AnyEventType&, const Arguments<0>&) { return reduce_to("_any"); }

PyMethodDef any_methods[] = {
    method_def<any_class, kReduceSignature, reduce_any>(
        "__reduce__", "__reduce__($self)\n--\n\nPickle support: the one ANY object."),
    {},
};

PyType_Slot any_slots[] = {
    {Py_tp_doc, const_cast<char*>("The type of `vashlet.ANY`, the event type every event has.")},
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&native_dealloc<AnyEventType>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<any_class, any_repr>)},
    {Py_tp_methods, any_methods},
    {0, nullptr},
};

NativeClass<AnyEventType>& any_class() {
  static NativeClass<AnyEventType> cls("builtins.AnyEventType", any_slots);
  return cls;
}

constexpr auto kAnySignature = signature("_any()");

Ref any_object(const Arguments<0>&) { return Ref::borrowed(any_type_object()); }

}  // namespace

PyMethodDef any_type_def =
    function_def<kAnySignature, any_object>("_any", "_any()\n--\n\nUnpickle vashlet.ANY.");

PyTypeObject* any_type_type() { return any_class().type(); }

PyObject* any_type_object() {
  static PyObject* the_object = any_class().wrap(AnyEventType{}).release();
  return the_object;
}

Atom atom_from_py(PyObject* object) {
  if (object == any_type_object()) {
    Atom atom;
    atom.any_type = true;
    return atom;
  }
  return Atom(text_from_py(object));
}

}  // namespace vashlet::py
