// One step of a pattern as the matchers read it: the step's atom, and the window and forbidden
// atoms of the transition into it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "model/model.hpp"

namespace vashlet {

struct CompiledStep {
  Atom atom;
  std::optional<std::int64_t> max_elapsed;
  std::vector<Atom> absence;
};

}  // namespace vashlet
