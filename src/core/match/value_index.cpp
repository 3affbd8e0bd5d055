#include "match/value_index.hpp"

namespace vashlet {

void ValueIndex::add(const Value& value, std::size_t position_of_value) {
  if (equals_nothing(value)) return;
  const std::uint64_t hash = ValueHash{}(value);
  const Slot& slot = slots_.insert(static_cast<std::size_t>(hash), same(value, hash), [&] {
    const std::size_t group = slots_.size();
    if (group == groups_.size()) groups_.emplace_back();
    return Slot{&value, hash, group};
  });
  groups_[slot.group].push_back(position_of_value);
}

const std::vector<std::size_t>& ValueIndex::find(const Value& value) const {
  static const std::vector<std::size_t> kNothing;
  if (slots_.empty() || equals_nothing(value)) return kNothing;
  const std::uint64_t hash = ValueHash{}(value);
  const Slot* slot = slots_.find(static_cast<std::size_t>(hash), same(value, hash));
  return slot ? groups_[slot->group] : kNothing;
}

void ValueIndex::clear() {
  const std::size_t used = slots_.size();
  for (std::size_t group = 0; group < used; ++group) groups_[group].clear();
  if (storage_too_sparse(groups_.size(), used + 1)) {
    groups_.resize(used);
    groups_.shrink_to_fit();
  }
  slots_.clear();
}

}  // namespace vashlet
