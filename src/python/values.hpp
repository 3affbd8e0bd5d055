// Conversions between Python objects and core values, and the quoted form used by __repr__.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

// None, bool, int (64-bit), float, str, in that order of preference; anything else raises
// TypeError "event attribute values must be str, int, float, bool, or None" (never prefixed).
Value py_to_value(PyObject* object);

Ref value_to_py(const Value& value);

// A new dict of the entries in their stored (byte-wise ascending) order.
Ref named_values_to_dict(const NamedValues& values);

// `text` between double quotes with backslash escapes; non-printing and combining characters as
// \u{hex}.
std::string quoted(std::string_view text);

// Event indices as a repr shows them: "[0, 2]".
std::string index_list_text(const std::vector<std::size_t>& indices);

}  // namespace vashlet::py
