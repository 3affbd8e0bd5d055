#include "values.hpp"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>

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

// ---------------------------------------------------------------------------------------------
// Quoted form

namespace {

// Other_Grapheme_Extend: the few characters that are Grapheme_Extend without being Mn or Me.
// (The Cf ones, U+200C and the tags, are escaped by their category anyway.)
constexpr std::pair<char32_t, char32_t> kOtherGraphemeExtend[] = {
    {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},
    {0x0BBE, 0x0BBE},   {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},
    {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},   {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},
    {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},   {0xFF9E, 0xFF9F},
    {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172},
    {0xE0020, 0xE007F},
};

bool is_other_grapheme_extend(char32_t code) {
  return std::any_of(std::begin(kOtherGraphemeExtend), std::end(kOtherGraphemeExtend),
                     [code](const auto& range) {
                       return range.first <= code && code <= range.second;
                     });
}

// The interpreter's own Unicode database; imported once, on the first non-ASCII character.
PyObject* unicode_category_function() {
  static PyObject* category = nullptr;
  if (!category) {
    Ref module = Ref::checked(PyImport_ImportModule("unicodedata"));
    category = Ref::checked(PyObject_GetAttrString(module.get(), "category")).release();
  }
  return category;
}

// Non-ASCII characters written as \u{...}: Grapheme_Extend (Mn, Me and the list above), and
// the categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs.
bool escapes_non_ascii(char32_t code) {
  if (is_other_grapheme_extend(code)) return true;
  Ref character = Ref::checked(PyUnicode_FromOrdinal(static_cast<int>(code)));
  Ref category = Ref::checked(
      PyObject_CallFunctionObjArgs(unicode_category_function(), character.get(), nullptr));
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(category.get(), &size);
  if (!name) throw PythonError{};
  const std::string_view text(name, static_cast<std::size_t>(size));
  for (std::string_view escaped : {"Mn", "Me", "Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}) {
    if (text == escaped) return true;
  }
  return false;
}

void append_code_escape(std::string& out, char32_t code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(code));
  out += buffer;
}

void append_ascii(std::string& out, char c) {
  switch (c) {
    case '\0': out += "\\0"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\\': out += "\\\\"; return;
    case '"': out += "\\\""; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {
    append_code_escape(out, static_cast<char32_t>(c));
  } else {
    out += c;
  }
}

// Decodes one UTF-8 sequence starting at a non-ASCII byte; `length` is 0 when it is malformed.
char32_t decode_utf8(std::string_view text, std::size_t at, std::size_t& length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  length = 0;
  std::size_t count;
  char32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 2, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 3, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 4, code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + count > text.size()) return 0;
  for (std::size_t i = 1; i < count; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  const bool overlong = (count == 3 && code < 0x800) || (count == 4 && code < 0x10000);
  if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  length = count;
  return code;
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t at = 0;
  while (at < text.size()) {
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      append_ascii(out, text[at++]);
      continue;
    }
    std::size_t length = 0;
    const char32_t code = decode_utf8(text, at, length);
    if (length == 0) {  // core text is valid UTF-8; show a stray byte as U+FFFD
      out += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    if (escapes_non_ascii(code)) {
      append_code_escape(out, code);
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  out += '"';
  return out;
}

std::string index_list_text(const std::vector<std::size_t>& indices) {
  std::string text = "[";
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(indices[i]);
  }
  return text + "]";
}

}  // namespace vashlet::py
