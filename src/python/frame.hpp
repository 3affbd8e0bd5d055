// The call frame shared by every Python entry point of the module: owned references, the guarded
// boundary that turns C++ failures into Python exceptions, argument binding and conversion, and
// the plumbing that turns a C++ value type into a final Python class.
//
// A module function plugs in like this:
//
//   constexpr auto kSortSignature = signature("sort_events()", {"events"}, 1);
//   Ref sort_events(const Arguments<1>& args) {
//     EventList events = args.convert(0, events_from_py);  ...
//   }
//   PyMethodDef sort_events_def = function_def<kSortSignature, sort_events>(
//       "sort_events", "sort_events(events)\n--\n\n...");
//
// and a method of a class `NativeClass<T>& pattern_class()` like this:
//
//   Ref to_json(const Pattern& self, const Arguments<1>& args) { bool pretty = args.flag(0); ... }
//   PyMethodDef methods[] = {
//       method_def<pattern_class, kToJsonSignature, to_json>("to_json", doc), {}};
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/model.hpp"
#include "match/partitions.hpp"

namespace vashlet::py {

// Thrown once a Python exception has been set; the guarded boundary turns it into a null return.
struct PythonError {};

// ---------------------------------------------------------------------------------------------
// Owned references

class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference; null means "a Python exception is set".
  static Ref checked(PyObject* owned) {
    if (!owned) throw PythonError{};
    return Ref(owned);
  }
  // Takes ownership of a reference that may be null without an exception being set.
  static Ref steal(PyObject* owned) { return Ref(owned); }
  static Ref borrowed(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* owned) : object_(owned) {}
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Raising

[[noreturn]] void raise(PyObject* exception_type, const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
// TypeError "'{}' object cannot be converted to '{}'" naming the qualified type name of `object`.
[[noreturn]] void raise_cannot_convert(PyObject* object, const char* target);

// The value of a core result, or ValueError carrying the core's message.
template <class T>
T unwrap(Result<T>&& result) {
  if (!result) raise_value_error(result.error());
  return std::move(result.value());
}

// Passes over a failed attempt (a conversion tried on the off chance, a length hint): clears the
// pending exception when it is an ordinary failure, an Exception other than MemoryError. Anything
// else (KeyboardInterrupt, SystemExit, MemoryError, ...) stays set and is thrown as PythonError, so
// that it reaches the caller unchanged.
void discard_ordinary_error();

// The exception class raised when a native invariant fails; derived directly from BaseException.
PyObject* panic_exception_type();

// `type(object).__qualname__` as a new str.
Ref type_qualname(PyObject* object);

// ---------------------------------------------------------------------------------------------
// The guarded boundary: every entry point runs its body inside it, so no C++ exception ever
// unwinds into the interpreter.

void set_error_from_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Argument binding

struct ParameterList {
  const char* display;  // "match_events()", "Event.__new__()"
  const char* const* names;
  std::size_t count;
  std::size_t required;    // the leading parameters that must be given
  std::size_t positional;  // the leading parameters that may be given by position
};

template <std::size_t N>
struct Signature {
  const char* display;
  std::array<const char*, N> names;
  std::size_t required;
  std::size_t positional = N;

  constexpr ParameterList list() const { return {display, names.data(), N, required, positional}; }
};

// The parameters after the first `positional` ones are keyword-only (all are positional when
// it is omitted).
template <std::size_t N>
constexpr Signature<N> signature(const char* display, const char* const (&names)[N],
                                 std::size_t required, std::size_t positional = N) {
  Signature<N> result{display, {}, required, positional};
  for (std::size_t i = 0; i < N; ++i) result.names[i] = names[i];
  return result;
}

// A callable without parameters, which still refuses any argument.
constexpr Signature<0> signature(const char* display) { return {display, {}, 0, 0}; }

// Binds METH_FASTCALL | METH_KEYWORDS arguments, or a tp_new argument tuple and keyword dict,
// into `slots` (strong references, null where not given). Throws after raising TypeError.
void bind_fastcall(const ParameterList& parameters, Ref* slots, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames);
void bind_tuple(const ParameterList& parameters, Ref* slots, PyObject* args, PyObject* kwargs);

// Replaces a pending TypeError (exactly that type) by "argument '{}': {}", keeping its __cause__.
void prefix_type_error(const char* parameter) noexcept;

// Runs one argument conversion; a failing conversion is reported under the parameter's name.
template <class Convert>
auto convert_argument(const char* parameter, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (const PythonError&) {
    prefix_type_error(parameter);
    throw;
  }
}

template <std::size_t N>
class Arguments {
 public:
  explicit Arguments(const Signature<N>& signature) : signature_(signature) {}

  // The argument as given (borrowed), or null when it was omitted.
  PyObject* get(std::size_t i) const { return slots_[i].get(); }
  bool given(std::size_t i) const { return slots_[i].get() != nullptr; }
  const char* name(std::size_t i) const { return signature_.names[i]; }

  // A required parameter through `convert` (text_from_py, int64_from_py, ...).
  template <class Convert>
  auto convert(std::size_t i, Convert&& convert) const {
    return convert_argument(name(i), get(i), std::forward<Convert>(convert));
  }
  // An optional parameter: omitted or None gives nothing.
  template <class Convert>
  auto optional(std::size_t i, Convert&& convert) const
      -> std::optional<decltype(convert(std::declval<PyObject*>()))> {
    if (!given(i) || get(i) == Py_None) return std::nullopt;
    return convert_argument(name(i), get(i), std::forward<Convert>(convert));
  }
  // A flag: omitted gives false; None is refused like any other non-bool.
  bool flag(std::size_t i) const;
  // A count of worker threads: omitted or None gives the cores this process may use.
  std::size_t threads(std::size_t i) const;
  // An optional mapping: the dict (borrowed), or null when omitted or None.
  PyObject* mapping(std::size_t i) const;

  Ref* slots() { return slots_.data(); }

 private:
  Signature<N> signature_;
  std::array<Ref, N> slots_;
};

template <std::size_t N>
Arguments<N> bind(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  Arguments<N> bound(signature);
  bind_fastcall(signature.list(), bound.slots(), args, nargs, kwnames);
  return bound;
}

template <std::size_t N>
Arguments<N> bind(const Signature<N>& signature, PyObject* args, PyObject* kwargs) {
  Arguments<N> bound(signature);
  bind_tuple(signature.list(), bound.slots(), args, kwargs);
  return bound;
}

// ---------------------------------------------------------------------------------------------
// Conversions of single objects. Each throws PythonError with the Python exception set; the
// call frame adds the parameter name.

std::string text_from_py(PyObject* object);     // str -> UTF-8 ('PyString')
std::int64_t int64_from_py(PyObject* object);   // the interpreter's index protocol
// A count of worker threads: an integer (index protocol) of at least 1, else ValueError
// "argument '{}': must be at least 1, got {}" naming `parameter`.
std::size_t threads_from_py(PyObject* object, const char* parameter);
// A bound on the matches of a call: an integer (index protocol) of at least 0, else ValueError
// naming the parameter 'max_matches'.
std::size_t max_matches_from_py(PyObject* object);
bool flag_from_py(PyObject* object);            // True/False or NumPy's bool scalar ('PyBool')
PyObject* dict_from_py(PyObject* object);       // dict or subclass, borrowed ('PyDict')

// NumPy's bool scalar, recognised by its type's name so that NumPy is never imported here. It has
// __float__ (older NumPy also __index__), so without this it would read as a number.
bool is_numpy_bool(PyObject* object);

template <std::size_t N>
bool Arguments<N>::flag(std::size_t i) const {
  return given(i) && convert(i, flag_from_py);
}

template <std::size_t N>
std::size_t Arguments<N>::threads(std::size_t i) const {
  const auto given =
      optional(i, [&](PyObject* object) { return threads_from_py(object, name(i)); });
  return given ? *given : usable_cores();
}

template <std::size_t N>
PyObject* Arguments<N>::mapping(std::size_t i) const {
  if (!given(i) || get(i) == Py_None) return nullptr;
  return convert(i, dict_from_py);
}

// Releases the global interpreter lock for as long as it lives (one scope of native work that
// touches no Python object), and takes it back on the way out, exceptions included.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// The next item of an iterator, or an empty Ref once it is exhausted.
Ref next_item(PyObject* iterator);

Ref text_to_py(std::string_view text);
Ref int_to_py(std::int64_t number);
Ref size_to_py(std::size_t number);

// A new list holding `convert(item)` for each item, in order.
template <class Items, class Convert>
Ref list_to_py(Items&& items, Convert&& convert) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t index = 0;
  for (auto&& item : items) {
    Ref element = convert(std::forward<decltype(item)>(item));
    PyList_SetItem(list.get(), index++, element.release());  // steals; cannot fail in range
  }
  return list;
}

// ---------------------------------------------------------------------------------------------
// Native classes: a final Python type whose instances hold exactly one C++ value.

template <class T>
struct NativeObject {
  PyObject_HEAD
  alignas(T) unsigned char storage[sizeof(T)];
};

template <class T>
T& native_value(PyObject* object) {
  return *std::launder(reinterpret_cast<T*>(reinterpret_cast<NativeObject<T>*>(object)->storage));
}

template <class T>
void native_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&native_value<T>(object));
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// tp_new of a class that Python code cannot instantiate: "No constructor defined for {}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a final, immutable type (no subclassing, no __dict__, no weak references, no attribute
// of the type replaced) from `definition`, whose name must read "builtins.<Name>". Immutability
// is what keeps Python code from swapping in a __new__ that makes an instance whose native value
// was never built. Throws PythonError on failure.
PyTypeObject* create_final_type(PyType_Spec& definition);

// TypeError "'{}' object cannot be converted to '{}'" for a `self` of the wrong type.
[[noreturn]] void raise_wrong_self(PyObject* self, PyTypeObject* type);

template <class T>
class NativeClass {
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  // `qualified_name` is "builtins.<Name>"; `slots` must hold at least Py_tp_new,
  // Py_tp_dealloc (native_dealloc<T>) and Py_tp_doc, and end with {0, nullptr}.
  NativeClass(const char* qualified_name, PyType_Slot* slots)
      : spec_{qualified_name, static_cast<int>(sizeof(NativeObject<T>)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots} {}

  // The type object, created on first need.
  PyTypeObject* type() {
    if (!type_) type_ = create_final_type(spec_);
    return type_;
  }

  // The native value of `object`, or null when it is not an instance.
  const T* find(PyObject* object) {
    PyTypeObject* cls = type();
    return PyObject_TypeCheck(object, cls) ? &native_value<T>(object) : nullptr;
  }

  // The native value of a method's receiver.
  const T& self(PyObject* object) {
    if (const T* value = find(object)) return *value;
    raise_wrong_self(object, type());
  }

  // A new instance owning `value`.
  Ref wrap(T value) {
    PyTypeObject* cls = type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    Ref object = Ref::checked(alloc(cls, 0));
    ::new (static_cast<void*>(reinterpret_cast<NativeObject<T>*>(object.get())->storage))
        T(std::move(value));
    return object;
  }

 private:
  PyType_Spec spec_;
  PyTypeObject* type_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Entry points generated from plain C++ bodies. `Class` is an accessor `NativeClass<T>& f()`,
// `Sig` a Signature with static storage, `Body` the operation.

// Module function (or static method): Ref body(const Arguments<N>&).
template <const auto& Sig, auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return Body(bind(Sig, args, nargs, kwnames)); });
}

// Method: Ref body(const T& self, const Arguments<N>&). Binding comes before the self check.
template <auto Class, const auto& Sig, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&] {
    auto bound = bind(Sig, args, nargs, kwnames);
    return Body(Class().self(self), bound);
  });
}

// Property getter or __repr__: Ref body(const T& self).
template <auto Class, auto Body>
PyObject* getter_entry(PyObject* self, void*) {
  return guarded([&] { return Body(Class().self(self)); });
}

template <auto Class, auto Body>
PyObject* repr_entry(PyObject* self) {
  return guarded([&] { return Body(Class().self(self)); });
}

template <class F>
PyCFunction as_cfunction(F* entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// `doc` follows the interpreter's convention "name(signature)\n--\n\ndocstring".
template <const auto& Sig, auto Body>
PyMethodDef function_def(const char* name, const char* doc, int extra_flags = 0) {
  return {name, as_cfunction(&function_entry<Sig, Body>),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

template <auto Class, const auto& Sig, auto Body>
PyMethodDef method_def(const char* name, const char* doc) {
  return {name, as_cfunction(&method_entry<Class, Sig, Body>), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

// A read-only property without docstring (or with `doc`).
template <auto Class, auto Body>
constexpr PyGetSetDef getter_def(const char* name, const char* doc = nullptr) {
  return {name, &getter_entry<Class, Body>, nullptr, doc, nullptr};
}

}  // namespace vashlet::py
