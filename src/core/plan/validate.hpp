// Structural validation of a pattern: what must hold before it can be compiled or matched.
#pragma once

#include "model/model.hpp"

namespace vashlet {

Status validate_pattern(const Pattern& pattern);

}  // namespace vashlet
