// The stable JSON document of a pattern.
#pragma once

#include <string>
#include <string_view>

#include "model.hpp"

namespace vashlet {

std::string pattern_to_json(const Pattern& pattern);
std::string pattern_to_json_pretty(const Pattern& pattern);
// Reads one document and validates the pattern it holds.
Result<Pattern> pattern_from_json(std::string_view text);

}  // namespace vashlet
