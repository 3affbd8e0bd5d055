// Taking over the `data` argument (see data_source.hpp): which of its three forms it is, and the
// TypeErrors that name what a producer handed over instead.
#include "data_source.hpp"

#include <cerrno>
#include <string>
#include <utility>

namespace vashlet::py {

namespace {

// The struct inside a producer's capsule, to be moved out; refuses a capsule already consumed.
template <class Struct>
Struct* capsule_contents(PyObject* capsule, const char* name) {
  auto* raw = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (!raw) throw PythonError{};
  if (!raw->release) raise_value_error(std::string("the data's ") + name + " was already consumed");
  return raw;
}

// For messages: "a capsule named 'x'" or "a 'T' object".
std::string describe_part(PyObject* part) {
  if (PyCapsule_CheckExact(part)) {
    const char* name = PyCapsule_GetName(part);
    if (!name) {
      PyErr_Clear();
      return "a capsule without a name";
    }
    return std::string("a capsule named '") + name + "'";
  }
  const Ref type = type_qualname(part);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(type.get(), &size);
  if (!text) throw PythonError{};
  return "a '" + std::string(text, static_cast<std::size_t>(size)) + "' object";
}

// A capsule that is not a stream, or a tuple holding a capsule that is not a (schema, array)
// pair: a producer's export gone wrong, never a sequence of events.
void refuse_foreign_capsules(PyObject* source) {
  if (PyCapsule_CheckExact(source)) {
    raise_type_error("data's __arrow_c_stream__ must give a capsule named '" +
                     std::string(kStreamCapsule) + "', not " + describe_part(source));
  }
  if (!PyTuple_Check(source)) return;
  const Py_ssize_t size = PyTuple_Size(source);
  bool capsules = false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    capsules = capsules || PyCapsule_CheckExact(PyTuple_GetItem(source, i));
  }
  if (!capsules) return;
  std::string parts;
  for (Py_ssize_t i = 0; i < size; ++i) {
    parts += (i > 0 ? ", " : "") + describe_part(PyTuple_GetItem(source, i));
  }
  raise_type_error("data's __arrow_c_array__ must give a pair of capsules named '" +
                   std::string(kSchemaCapsule) + "' and '" + kArrayCapsule + "', not (" + parts +
                   ")");
}

bool is_capsule_pair(PyObject* source) {
  return PyTuple_Check(source) && PyTuple_Size(source) == 2 &&
         PyCapsule_IsValid(PyTuple_GetItem(source, 0), kSchemaCapsule) &&
         PyCapsule_IsValid(PyTuple_GetItem(source, 1), kArrayCapsule);
}

}  // namespace

DataSource data_source(PyObject* source, const EventColumns& columns) {
  DataSource data;
  if (PyCapsule_IsValid(source, kStreamCapsule)) {
    data.stream = capsule_contents<ArrowArrayStream>(source, kStreamCapsule);
  } else if (is_capsule_pair(source)) {
    data.schema = capsule_contents<ArrowSchema>(PyTuple_GetItem(source, 0), kSchemaCapsule);
    data.batch = capsule_contents<ArrowArray>(PyTuple_GetItem(source, 1), kArrayCapsule);
  } else {
    refuse_foreign_capsules(source);
    if (columns.id) {
      raise_value_error("id names a column of a table, and a sequence of Event objects has none");
    }
    data.events.emplace(convert_argument("data", source, events_from_py));
  }
  return data;
}

void raise_input_failure(const arrow::InputFailure& failure) {
  switch (failure.kind) {
    case arrow::FailureKind::Type: raise_type_error(failure.message);
    case arrow::FailureKind::Value: raise_value_error(failure.message);
    case arrow::FailureKind::Memory: raise(PyExc_MemoryError, failure.message);
    case arrow::FailureKind::Producer:
      raise(failure.code == EINVAL   ? PyExc_ValueError
            : failure.code == ENOSYS ? PyExc_NotImplementedError
                                     : PyExc_OSError,
            failure.message);
  }
  raise_value_error(failure.message);
}

}  // namespace vashlet::py
