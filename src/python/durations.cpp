#include "durations.hpp"

#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

namespace vashlet::py {
namespace {

// An attribute that holds a Python int, as int64.
std::int64_t int_attribute(PyObject* object, const char* name) {
  Ref value = Ref::checked(PyObject_GetAttrString(object, name));
  return int64_from_py(value.get());
}

bool type_named(PyObject* object, std::string_view module, std::string_view name) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  const auto text_of = [&](const char* attribute) -> std::string {
    PyObject* value = PyObject_GetAttrString(type, attribute);
    if (!value) {
      discard_ordinary_error();
      return {};
    }
    Ref held = Ref::steal(value);
    if (!PyUnicode_Check(value)) return {};
    return text_from_py(value);
  };
  return text_of("__name__") == name && text_of("__module__") == module;
}

bool is_timedelta(PyObject* object) {
  static PyObject* timedelta = [] {
    Ref module = Ref::checked(PyImport_ImportModule("datetime"));
    return Ref::checked(PyObject_GetAttrString(module.get(), "timedelta")).release();
  }();
  const int found = PyObject_IsInstance(object, timedelta);
  if (found < 0) throw PythonError{};
  return found == 1;
}

// Whole days, hours, ... down to nanoseconds, with every part that is not zero ("0s" for none).
Duration split_nanoseconds(__int128 nanoseconds) {
  constexpr std::pair<std::int64_t, DurationUnit> kSizes[] = {
      {86'400'000'000'000, DurationUnit::Day}, {3'600'000'000'000, DurationUnit::Hour},
      {60'000'000'000, DurationUnit::Minute},  {1'000'000'000, DurationUnit::Second},
      {1'000'000, DurationUnit::Millisecond},  {1'000, DurationUnit::Microsecond},
      {1, DurationUnit::Nanosecond}};
  Duration duration;
  for (const auto& [size, unit] : kSizes) {
    const __int128 count = nanoseconds / size;
    nanoseconds %= size;
    if (count != 0) duration.parts.push_back({static_cast<std::int64_t>(count), unit});
  }
  if (duration.parts.empty()) duration.parts.push_back({0, DurationUnit::Second});
  return duration;
}

Duration timedelta_duration(PyObject* object) {
  const __int128 days = int_attribute(object, "days");
  const __int128 seconds = int_attribute(object, "seconds");
  const __int128 microseconds = int_attribute(object, "microseconds");
  __int128 nanoseconds = ((days * 86'400 + seconds) * 1'000'000 + microseconds) * 1'000;
  // A subclass may count finer than microseconds (pandas' Timedelta has `nanoseconds`).
  if (!type_named(object, "datetime", "timedelta") && PyObject_HasAttrString(object, "nanoseconds")) {
    nanoseconds += int_attribute(object, "nanoseconds");
  }
  if (nanoseconds < 0) raise_value_error("within must not be negative");
  return split_nanoseconds(nanoseconds);
}

// NumPy's scalar through its dtype's text ("<m8[10m]", "<m8[ms]", "<m8" without a unit) and its
// count, read as int64 by its own astype.
Duration timedelta64_duration(PyObject* object) {
  Ref dtype = Ref::checked(PyObject_GetAttrString(object, "dtype"));
  Ref text = Ref::checked(PyObject_GetAttrString(dtype.get(), "str"));
  const std::string code = text_from_py(text.get());
  const std::size_t open = code.find('[');
  if (open == std::string::npos || code.back() != ']') {
    raise_value_error("within: a numpy.timedelta64 without a unit is not a duration");
  }
  std::string_view unit_text = std::string_view(code).substr(open + 1, code.size() - open - 2);
  std::int64_t step = 1;
  std::size_t digits = 0;
  while (digits < unit_text.size() && unit_text[digits] >= '0' && unit_text[digits] <= '9') ++digits;
  if (digits > 0) {
    step = 0;
    for (char c : unit_text.substr(0, digits)) {
      if (step > std::numeric_limits<std::int64_t>::max() / 10) raise_value_error("within: step too large");
      step = step * 10 + (c - '0');
    }
    unit_text.remove_prefix(digits);
  }
  constexpr std::pair<std::string_view, DurationUnit> kUnits[] = {
      {"W", DurationUnit::Week},         {"D", DurationUnit::Day},
      {"h", DurationUnit::Hour},         {"m", DurationUnit::Minute},
      {"s", DurationUnit::Second},       {"ms", DurationUnit::Millisecond},
      {"us", DurationUnit::Microsecond}, {"ns", DurationUnit::Nanosecond}};
  const DurationUnit* unit = nullptr;
  for (const auto& [name, value] : kUnits) {
    if (name == unit_text) unit = &value;
  }
  if (!unit) {
    raise_value_error("within: a numpy.timedelta64 in '" + std::string(unit_text) +
                      "' has no fixed length in nanoseconds (use W, D, h, m, s, ms, us or ns)");
  }
  Ref as_int = Ref::checked(PyObject_CallMethod(object, "astype", "s", "int64"));
  Ref number = Ref::checked(PyNumber_Index(as_int.get()));
  const std::int64_t count = int64_from_py(number.get());
  if (count == std::numeric_limits<std::int64_t>::min()) {
    raise_value_error("within: a numpy.timedelta64 that is not a time (NaT) is not a duration");
  }
  if (count < 0) raise_value_error("within must not be negative");
  std::int64_t total = 0;
  if (__builtin_mul_overflow(count, step, &total)) raise_value_error("within: the duration is too long");
  return Duration{{DurationPart{total, *unit}}};
}

}  // namespace

std::optional<Duration> duration_from_py(PyObject* object) {
  // Integers are the common case, and never a duration: no look-ups for them.
  if (PyLong_Check(object) || PyFloat_Check(object) || PyUnicode_Check(object)) return std::nullopt;
  if (is_timedelta(object)) return timedelta_duration(object);
  if (type_named(object, "numpy", "timedelta64")) return timedelta64_duration(object);
  return std::nullopt;
}

Pattern windows_in_ticks(const Pattern& pattern, Result<TimeAxis> axis) {
  return unwrap(resolve_windows(pattern, unwrap(std::move(axis))));
}

}  // namespace vashlet::py
