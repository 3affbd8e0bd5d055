// The Python classes `Pattern` (native `PyPattern`, one core pattern) and `PatternBuilder`, and
// the coercion through which the matching functions accept either.
#pragma once

#include <string>
#include <string_view>

#include "frame.hpp"
#include "model/model.hpp"

namespace vashlet::py {

PyTypeObject* pattern_type();
PyTypeObject* pattern_builder_type();

// `_rebuild_builder(json)`: what a pickled `PatternBuilder` is rebuilt with.
extern PyMethodDef rebuild_builder_def;

// A new `Pattern` object owning `pattern`.
Ref pattern_to_py(Pattern pattern);

// A private copy of the pattern held by a `Pattern`, or built from a `PatternBuilder`; any other
// object raises TypeError "expected a Pattern, a pattern builder, or the result of
// parse_pattern()" (never prefixed with a parameter name).
Pattern coerce_pattern(PyObject* object);

// Trims Unicode white space, then removes one leading "$".
std::string normalize_binding_name(std::string_view name);

}  // namespace vashlet::py
