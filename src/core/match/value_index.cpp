#include "match/value_index.hpp"

#include <algorithm>

namespace vashlet {

namespace {

constexpr std::size_t kFirstSlots = 16;
// A cleared index keeps its storage unless that is more than this many times what was used.
constexpr std::size_t kSparse = 8;

}  // namespace

std::size_t ValueIndex::position(const std::vector<Slot>& slots, const Value& value,
                                 std::uint64_t hash) {
  const std::size_t mask = slots.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (slots[i].value &&
         (slots[i].hash != hash || !ValueKeyEqual{}(*slots[i].value, value))) {
    i = (i + 1) & mask;
  }
  return i;
}

void ValueIndex::grow() {
  std::vector<Slot> bigger(slots_.empty() ? kFirstSlots : 2 * slots_.size());
  const std::size_t mask = bigger.size() - 1;
  for (const Slot& slot : slots_) {
    if (!slot.value) continue;
    std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
    while (bigger[i].value) i = (i + 1) & mask;
    bigger[i] = slot;
  }
  slots_ = std::move(bigger);
}

void ValueIndex::add(const Value& value, std::size_t position_of_value) {
  if (equals_nothing(value)) return;
  if (2 * (used_ + 1) > slots_.size()) grow();
  const std::uint64_t hash = ValueHash{}(value);
  Slot& slot = slots_[position(slots_, value, hash)];
  if (!slot.value) {
    if (used_ == groups_.size()) groups_.emplace_back();
    slot = Slot{&value, hash, used_++};
  }
  groups_[slot.group].push_back(position_of_value);
}

const std::vector<std::size_t>& ValueIndex::find(const Value& value) const {
  static const std::vector<std::size_t> kNothing;
  if (used_ == 0 || equals_nothing(value)) return kNothing;
  const Slot& slot = slots_[position(slots_, value, ValueHash{}(value))];
  return slot.value ? groups_[slot.group] : kNothing;
}

void ValueIndex::clear() {
  for (std::size_t group = 0; group < used_; ++group) groups_[group].clear();
  if (groups_.size() > kSparse * (used_ + 1)) {
    groups_.resize(used_);
    groups_.shrink_to_fit();
  }
  if (slots_.size() > kFirstSlots && slots_.size() > kSparse * used_) {
    slots_ = std::vector<Slot>();
  } else {
    std::fill(slots_.begin(), slots_.end(), Slot{});
  }
  used_ = 0;
}

}  // namespace vashlet
