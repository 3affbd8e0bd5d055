#include "frame.hpp"

#include <exception>
#include <initializer_list>

#include "match/exhaustive_budget.hpp"

namespace vashlet::py {

// ---------------------------------------------------------------------------------------------
// Raising

void raise(PyObject* exception_type, const std::string& message) {
  // Messages may quote user text; never let a stray byte turn into a second error.
  Ref text = Ref::checked(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()), "replace"));
  PyErr_SetObject(exception_type, text.get());
  throw PythonError{};
}

void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }

void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }

void discard_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw PythonError{};
  }
  PyErr_Clear();
}

Ref type_qualname(PyObject* object) {
  return Ref::checked(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
}

void raise_cannot_convert(PyObject* object, const char* target) {
  Ref name = type_qualname(object);
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  throw PythonError{};
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "vashlet.PanicException",
        "Raised when an internal invariant of the native code fails; derives from BaseException.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

void set_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (!type) return;  // its creation failed and left that error set
  const std::string_view view(message);
  PyObject* text =
      PyUnicode_DecodeUTF8(view.data(), static_cast<Py_ssize_t>(view.size()), "replace");
  if (!text) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) set_panic("native code failed without setting a Python exception");
  } catch (const InternalError& error) {
    set_panic(error.what());
  } catch (const MatchLimitError& error) {
    PyErr_SetString(error.kind() == MatchLimitError::Kind::Memory ? PyExc_MemoryError
                                                                   : PyExc_ValueError,
                    error.what());
  } catch (const std::bad_alloc&) {
    // A bare MemoryError() says nothing of where; the message costs one small allocation,
    // and if even that fails Python sets a plain MemoryError itself.
    PyErr_SetString(PyExc_MemoryError, "out of memory: the native code could not allocate "
                                       "the memory the call needs");
  } catch (const Cancelled&) {
    // A signal handler raised while the call ran, and its exception is set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic("unknown native exception");
  }
}

// ---------------------------------------------------------------------------------------------
// Argument binding

namespace {

const char* was_or_were(std::size_t count) { return count == 1 ? "was" : "were"; }

[[noreturn]] void raise_too_many_positional(const ParameterList& parameters, std::size_t given) {
  if (parameters.required == parameters.positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                 parameters.display, parameters.positional, given, was_or_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                 parameters.display, parameters.required, parameters.positional, given,
                 was_or_were(given));
  }
  throw PythonError{};
}

void bind_positional(const ParameterList& parameters, Ref* slots, PyObject* const* args,
                     std::size_t count) {
  if (count > parameters.positional) raise_too_many_positional(parameters, count);
  for (std::size_t i = 0; i < count; ++i) slots[i] = Ref::borrowed(args[i]);
}

void bind_keyword(const ParameterList& parameters, Ref* slots, PyObject* name, PyObject* value) {
  for (std::size_t i = 0; i < parameters.count; ++i) {
    if (!PyUnicode_Check(name)) break;
    if (PyUnicode_CompareWithASCIIString(name, parameters.names[i]) != 0) continue;
    if (slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   parameters.display, parameters.names[i]);
      throw PythonError{};
    }
    slots[i] = Ref::borrowed(value);
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", parameters.display,
               name);
  throw PythonError{};
}

void check_required(const ParameterList& parameters, const Ref* slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (!slots[i]) missing.push_back(parameters.names[i]);
  }
  if (missing.empty()) return;
  std::string message = std::string(parameters.display) + " missing " +
                        std::to_string(missing.size()) + " required positional " +
                        (missing.size() == 1 ? "argument" : "arguments") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) message += ",";
      message += i + 1 == missing.size() ? " and " : " ";
    }
    message.append("'").append(missing[i]).append("'");
  }
  raise_type_error(message);
}

}  // namespace

void bind_fastcall(const ParameterList& parameters, Ref* slots, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  bind_positional(parameters, slots, args, static_cast<std::size_t>(nargs));
  const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    bind_keyword(parameters, slots, PyTuple_GetItem(kwnames, k), args[nargs + k]);
  }
  check_required(parameters, slots);
}

void bind_tuple(const ParameterList& parameters, Ref* slots, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t count = args ? PyTuple_Size(args) : 0;
  if (static_cast<std::size_t>(count) > parameters.positional) {
    raise_too_many_positional(parameters, static_cast<std::size_t>(count));
  }
  for (Py_ssize_t i = 0; i < count; ++i) slots[i] = Ref::borrowed(PyTuple_GetItem(args, i));
  if (kwargs) {
    // Binding runs no Python code, so the borrowed entries stay valid while we walk.
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      bind_keyword(parameters, slots, name, value);
    }
  }
  check_required(parameters, slots);
}

void prefix_type_error(const char* parameter) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {  // subclasses and other errors pass unchanged
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* replacement = nullptr;
  if (PyObject* message = PyObject_Str(value)) {
    if (PyObject* text = PyUnicode_FromFormat("argument '%s': %U", parameter, message)) {
      replacement = PyObject_CallFunctionObjArgs(PyExc_TypeError, text, nullptr);
      Py_DECREF(text);
    }
    Py_DECREF(message);
  }
  if (!replacement) {  // could not even build the message: report the original error
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyException_SetCause(replacement, PyException_GetCause(value));  // steals the cause
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_SetObject(PyExc_TypeError, replacement);
  Py_DECREF(replacement);
}

// ---------------------------------------------------------------------------------------------
// Conversions

std::string text_from_py(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // UnicodeEncodeError on surrogates
  if (!data) throw PythonError{};
  return std::string(data, static_cast<std::size_t>(size));
}

std::int64_t int64_from_py(PyObject* object) {
  const long long number = PyLong_AsLongLong(object);
  if (number == -1 && PyErr_Occurred()) throw PythonError{};
  return number;
}

std::size_t threads_from_py(PyObject* object, const char* parameter) {
  const std::int64_t count = int64_from_py(object);
  if (count < 1) {
    raise_value_error("argument '" + std::string(parameter) + "': must be at least 1, got " +
                      std::to_string(count));
  }
  return static_cast<std::size_t>(count);
}

std::size_t max_matches_from_py(PyObject* object) {
  const std::int64_t count = int64_from_py(object);
  if (count < 0) {
    raise_value_error("argument 'max_matches': must be at least 0, got " + std::to_string(count));
  }
  return static_cast<std::size_t>(count);
}

namespace {

bool attribute_is(PyObject* object, const char* attribute,
                  std::initializer_list<const char*> texts) {
  PyObject* value = PyObject_GetAttrString(object, attribute);
  if (!value) {
    discard_ordinary_error();
    return false;
  }
  bool found = false;
  if (PyUnicode_Check(value)) {
    for (const char* text : texts) {
      found = found || PyUnicode_CompareWithASCIIString(value, text) == 0;
    }
  }
  Py_DECREF(value);
  return found;
}

}  // namespace

bool is_numpy_bool(PyObject* object) {
  // Exact int, float and str are common and never it: skip the attribute look-ups.
  if (PyLong_CheckExact(object) || PyFloat_CheckExact(object) || PyUnicode_CheckExact(object)) {
    return false;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return attribute_is(type, "__module__", {"numpy"}) &&
         attribute_is(type, "__name__", {"bool_", "bool"});
}

bool flag_from_py(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonError{};
    return truth != 0;
  }
  raise_cannot_convert(object, "PyBool");
}

PyObject* dict_from_py(PyObject* object) {
  if (!PyDict_Check(object)) raise_cannot_convert(object, "PyDict");
  return object;
}

Ref next_item(PyObject* iterator) {
  PyObject* item = PyIter_Next(iterator);
  if (!item && PyErr_Occurred()) throw PythonError{};
  return Ref::steal(item);
}

Ref text_to_py(std::string_view text) {
  return Ref::checked(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

Ref int_to_py(std::int64_t number) { return Ref::checked(PyLong_FromLongLong(number)); }

Ref size_to_py(std::size_t number) { return Ref::checked(PyLong_FromSize_t(number)); }

// ---------------------------------------------------------------------------------------------
// Native classes

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&] {
    Ref name = Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return Ref();
  });
}

PyTypeObject* create_final_type(PyType_Spec& definition) {
  if (definition.flags & Py_TPFLAGS_BASETYPE) invariant_failure("native classes are final");
  if (!(definition.flags & Py_TPFLAGS_IMMUTABLETYPE)) {
    invariant_failure("native classes are immutable");
  }
  // The type lives for the rest of the process: this reference is never dropped.
  return reinterpret_cast<PyTypeObject*>(Ref::checked(PyType_FromSpec(&definition)).release());
}

void raise_wrong_self(PyObject* self, PyTypeObject* type) {
  Ref self_name = type_qualname(self);
  Ref class_name =
      Ref::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%U'", self_name.get(),
               class_name.get());
  throw PythonError{};
}

}  // namespace vashlet::py
