// The module `_core`: one module object per process, holding the classes and functions in a
// fixed order that `__all__` mirrors.
#include <cstdint>

#include "any_type.hpp"
#include "event.hpp"
#include "frame.hpp"
#include "matching.hpp"
#include "near_miss.hpp"
#include "pattern.hpp"
#include "process.hpp"
#include "reduce.hpp"
#include "stream.hpp"
#include "tables.hpp"

namespace vashlet::py {

namespace {

// One attribute of the module: a class (its type, created on first need) or a function.
struct ModuleAttribute {
  PyTypeObject* (*type)();
  PyMethodDef* function;
};

constexpr ModuleAttribute class_attribute(PyTypeObject* (*type)()) { return {type, nullptr}; }
constexpr ModuleAttribute function_attribute(PyMethodDef* function) { return {nullptr, function}; }

// Added in this order, which is also the order of `__all__`: the classes Event, Pattern,
// PatternBuilder, Match, NearMiss, then the functions parse_pattern, pattern, pattern_from_json,
// sort_events, match_events, near_miss_events.
const ModuleAttribute kModuleAttributes[] = {
    class_attribute(event_type),
    class_attribute(pattern_type),
    class_attribute(pattern_builder_type),
    class_attribute(match_type),
    class_attribute(near_miss_type),
    function_attribute(&parse_pattern_def),
    function_attribute(&pattern_def),
    function_attribute(&pattern_from_json_def),
    function_attribute(&sort_events_def),
    function_attribute(&match_events_def),
    function_attribute(&near_miss_events_def),
};

// The package's own helpers: attributes of the module, but not in `__all__`.
const ModuleAttribute kPrivateAttributes[] = {
    class_attribute(result_table_type),
    class_attribute(any_type_type),
    class_attribute(stream_type),
    function_attribute(&match_table_def),
    function_attribute(&explain_table_def),
    function_attribute(&read_table_def),
    function_attribute(&funnel_table_def),
    function_attribute(&partition_funnel_table_def),
    function_attribute(&deepest_per_partition_def),
    function_attribute(&counted_funnel_def),
    function_attribute(&time_matching_def),
    function_attribute(&rebuild_event_def),
    function_attribute(&rebuild_builder_def),
    function_attribute(&any_type_def),
    function_attribute(&rebuild_match_def),
    function_attribute(&rebuild_near_miss_def),
    function_attribute(&element_labels_def),
    function_attribute(&release_memory_def),
    function_attribute(&cgroup_quota_cores_def),
    function_attribute(&worker_threads_def),
    function_attribute(&paths_taken_def),
    function_attribute(&tuning_def),
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;        // kept for the life of the process
std::int64_t owner_interpreter = -1;   // the interpreter that first imported the module

// Sets the attribute, creating `__all__` on the first addition and appending to it each time.
void add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (!all) {
    Ref list = Ref::checked(PyList_New(0));
    if (PyDict_SetItemString(dict, "__all__", list.get()) < 0) throw PythonError{};
    all = list.get();  // the module dict keeps it alive
  }
  Ref text = Ref::checked(PyUnicode_FromString(name));
  if (PyList_Append(all, text.get()) < 0) throw PythonError{};
  if (PyModule_AddObjectRef(module, name, value) < 0) throw PythonError{};
}

void add_class(PyObject* module, PyTypeObject* type) {
  PyObject* object = reinterpret_cast<PyObject*>(type);
  Ref name = Ref::checked(PyObject_GetAttrString(object, "__name__"));
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (!text) throw PythonError{};
  add_attribute(module, text, object);
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  // Bound to the module, so the function's __module__ is the module's name.
  Ref function = Ref::checked(PyCFunction_NewEx(definition, module, module_name));
  add_attribute(module, definition->ml_name, function.get());
}

Ref create_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) throw PythonError{};
  if (owner_interpreter == -1) owner_interpreter = interpreter;
  if (interpreter != owner_interpreter) {
    raise(PyExc_ImportError, "vashlet._core cannot be imported into more than one interpreter "
                             "per process; sub-interpreters are not supported");
  }
  if (the_module) return Ref::borrowed(the_module);

  Ref module = Ref::checked(PyModule_Create(&module_definition));
  Ref module_name = Ref::checked(PyModule_GetNameObject(module.get()));
  for (const ModuleAttribute& attribute : kModuleAttributes) {
    if (attribute.type) {
      add_class(module.get(), attribute.type());
    } else {
      add_function(module.get(), module_name.get(), attribute.function);
    }
  }
  for (const ModuleAttribute& attribute : kPrivateAttributes) {
    if (attribute.type) {
      PyObject* type = reinterpret_cast<PyObject*>(attribute.type());
      Ref name = Ref::checked(PyObject_GetAttrString(type, "__name__"));
      if (PyObject_SetAttr(module.get(), name.get(), type) < 0) throw PythonError{};
    } else {
      Ref function = Ref::checked(
          PyCFunction_NewEx(attribute.function, module.get(), module_name.get()));
      if (PyModule_AddObjectRef(module.get(), attribute.function->ml_name, function.get()) < 0) {
        throw PythonError{};
      }
    }
  }
  // The package exports it; the type has no name of its own in the module.
  if (PyModule_AddObjectRef(module.get(), "ANY", any_type_object()) < 0) throw PythonError{};
  // Not in `__all__` of _core (the package exports it): raised only when the native code
  // breaks an invariant, never for bad input.
  PyObject* panic = panic_exception_type();
  if (!panic || PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) {
    throw PythonError{};
  }
  the_module = Ref::borrowed(module.get()).release();
  return module;
}

}  // namespace

Ref core_module_attribute(const char* name) {
  if (!the_module) invariant_failure("the module is not initialised");
  return Ref::checked(PyObject_GetAttrString(the_module, name));
}

}  // namespace vashlet::py

PyMODINIT_FUNC PyInit__core() { return vashlet::py::guarded(vashlet::py::create_module); }
