// Binding names numbered by slot: the one layout of a compiled pattern's bindings, shared by its
// matchers, its results and the callers that turn slots back into names.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/model.hpp"
#include "plan/compiled_step.hpp"

namespace vashlet::plan {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Binding names numbered in the order in which the steps first capture them. Every partial match
// that waits for step k holds exactly the names that steps 0 .. k-1 capture, which are the slots
// below `bound_before(k)`, so a partial match's bindings are a plain list of values indexed by
// slot. The values stay where they are, in the events' attributes (or kNull for a missing one), which do not change
// while the matcher runs; only a match copies them.
using SlotValues = std::vector<const Value*>;

class BindingLayout {
 public:
  explicit BindingLayout(const std::vector<CompiledStep>& steps) {
    for (const CompiledStep& step : steps) {
      bound_before_.push_back(names_.size());
      for (const Capture& capture : step.atom.captures) {
        if (slots_.emplace(capture.name, names_.size()).second) names_.push_back(capture.name);
      }
    }
    by_name_.resize(names_.size());
    for (std::size_t slot = 0; slot < names_.size(); ++slot) by_name_[slot] = slot;
    std::sort(by_name_.begin(), by_name_.end(),
              [&](std::size_t a, std::size_t b) { return names_[a] < names_[b]; });
  }

  // The slot of `name` if it is bound while waiting for `step`, else kNone.
  std::size_t slot(std::string_view name, std::size_t step) const {
    const auto it = slots_.find(name);
    return it != slots_.end() && it->second < bound_before_[step] ? it->second : kNone;
  }

  std::size_t size() const { return names_.size(); }
  const std::vector<std::string_view>& names() const { return names_; }

  // The bindings of a match from the values of every slot, as a map ordered by name; a slot
  // without a value (a name a language pattern's match left unbound) is left out.
  Bindings to_bindings(const Value* const* values) const {
    Bindings bindings;
    bindings.reserve(names_.size());
    for (const std::size_t slot : by_name_) {
      // ascending names: appends
      if (values[slot]) bindings.set(std::string(names_[slot]), *values[slot]);
    }
    return bindings;
  }

 private:
  std::vector<std::string_view> names_;  // by slot; views into the compiled pattern
  std::unordered_map<std::string_view, std::size_t> slots_;
  std::vector<std::size_t> bound_before_;  // per step
  std::vector<std::size_t> by_name_;       // slots in ascending order of their names
};

}  // namespace vashlet::plan
