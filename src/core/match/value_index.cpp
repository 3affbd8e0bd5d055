#include "match/value_index.hpp"

namespace vashlet {

void ValueIndex::add(const Value& value, std::size_t position) {
  if (equals_nothing(value)) return;
  groups_[&value].push_back(position);
}

const std::vector<std::size_t>& ValueIndex::find(const Value& value) const {
  static const std::vector<std::size_t> kNothing;
  if (equals_nothing(value)) return kNothing;
  auto it = groups_.find(&value);
  return it == groups_.end() ? kNothing : it->second;
}

}  // namespace vashlet
