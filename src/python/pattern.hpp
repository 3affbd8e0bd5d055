// The Python classes `Pattern` (native `PyPattern`, one core pattern; pattern.cpp) and
// `PatternBuilder` (builder.cpp), and the coercion through which the matching functions accept
// either.
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

// A new `PatternBuilder` whose one step is `first`.
Ref builder_to_py(Atom first);

// The pattern a `PatternBuilder` object holds, or null for any other object.
const Pattern* builder_pattern(PyObject* object);

// The JSON document of a pattern being pickled. The document writes a NaN or infinite float as
// null, which the reader refuses, so such a pattern is refused here rather than at unpickling.
Ref pickled_json(const Pattern& pattern, const char* what);

// A private copy of the pattern held by a `Pattern`, or built from a `PatternBuilder`; any other
// object raises TypeError "expected a Pattern, a pattern builder, or the result of
// parse_pattern()" (never prefixed with a parameter name).
Pattern coerce_pattern(PyObject* object);

// Trims Unicode white space, then removes one leading "$".
std::string normalize_binding_name(std::string_view name);

}  // namespace vashlet::py
