#include "values.hpp"

#include "text/text.hpp"

namespace vashlet::py {

namespace {

constexpr const char* kUnsupportedValue =
    "event attribute values must be str, int, float, bool, or None";

bool try_int64(PyObject* object, std::int64_t& out) {
  const long long number = PyLong_AsLongLong(object);
  if (number == -1 && PyErr_Occurred()) {
    discard_ordinary_error();
    return false;
  }
  out = number;
  return true;
}

bool try_double(PyObject* object, double& out) {
  const double number = PyFloat_AsDouble(object);
  if (number == -1.0 && PyErr_Occurred()) {
    discard_ordinary_error();
    return false;
  }
  out = number;
  return true;
}

bool try_utf8(PyObject* object, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) {
    discard_ordinary_error();
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

Value py_to_value(PyObject* object) {
  if (object == Py_None) return Value::null();
  if (PyBool_Check(object)) return Value::boolean(object == Py_True);  // before int: bool is one
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw PythonError{};
    return Value::boolean(truth != 0);
  }
  std::int64_t integer = 0;
  double floating = 0.0;
  std::string text;
  // Exact str and float have neither __index__ nor __float__ (str) or __index__ (float), so they
  // may skip the protocol attempts that would only fail.
  if (PyUnicode_CheckExact(object)) {
    if (try_utf8(object, text)) return Value::string(std::move(text));
    raise_type_error(kUnsupportedValue);
  }
  if (!PyFloat_CheckExact(object) && try_int64(object, integer)) return Value::integer(integer);
  if (try_double(object, floating)) return Value::floating(floating);
  if (PyUnicode_Check(object) && try_utf8(object, text)) return Value::string(std::move(text));
  raise_type_error(kUnsupportedValue);
}

Ref value_to_py(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String: return text_to_py(value.as_string());
    case ValueKind::Int: return int_to_py(value.as_int());
    case ValueKind::Float: return Ref::checked(PyFloat_FromDouble(value.as_float()));
    case ValueKind::Bool: return Ref::borrowed(value.as_bool() ? Py_True : Py_False);
    case ValueKind::Null: return Ref::borrowed(Py_None);
  }
  invariant_failure("unknown value kind");
}

Ref named_values_to_dict(const NamedValues& values) {
  Ref dict = Ref::checked(PyDict_New());
  for (const auto& [name, value] : values) {
    Ref key = text_to_py(name);
    Ref item = value_to_py(value);
    if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) throw PythonError{};
  }
  return dict;
}

std::string quoted(std::string_view text) { return display_quoted(text); }

std::string index_list_text(const std::vector<std::size_t>& indices) {
  std::string text = "[";
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(indices[i]);
  }
  return text + "]";
}

}  // namespace vashlet::py
