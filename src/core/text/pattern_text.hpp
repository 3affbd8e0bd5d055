// A pattern written in the pattern language, such that reading the text gives the pattern back.
#pragma once

#include <string>

#include "model/model.hpp"

namespace vashlet {

// The text of `pattern` (parse_language reads it back equal), or why the language cannot say
// it: a consumption other than the first successor per start (a mode of the call, not of the
// text), a NaN float, or steps whose transitions are not the ones a valid pattern has.
Result<std::string> pattern_to_text(const Pattern& pattern);

}  // namespace vashlet
