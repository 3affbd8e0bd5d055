// The one-line pattern text language: a sequence of trims and splits on fixed delimiters.
#pragma once

#include <string_view>

#include "model/model.hpp"

namespace vashlet {

Result<Pattern> parse_pattern(std::string_view text);
Result<Atom> parse_atom(std::string_view text);
// The leading part of `text` that forms one atom, trailing whitespace removed.
std::string_view take_until_transition(std::string_view text);

}  // namespace vashlet
