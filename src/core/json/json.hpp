// The stable JSON document of a pattern.
#pragma once

#include <string>
#include <string_view>

#include "model/model.hpp"

namespace vashlet {

std::string pattern_to_json(const Pattern& pattern);
std::string pattern_to_json_pretty(const Pattern& pattern);
// A value as a literal of the pattern text: strings JSON-quoted, floats in their shortest
// round-trip form with a point or an exponent (non-finite ones as nan, inf, -inf), integers in
// decimal, true, false, null. Tables use it where one column holds values of every kind.
std::string value_literal(const Value& value);
// Reads one document and validates the pattern it holds.
Result<Pattern> pattern_from_json(std::string_view text);

}  // namespace vashlet
