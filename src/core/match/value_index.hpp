// Positions grouped by value under the model's equality (values_equal), for look-ups by value:
// Int 1 meets Float 1.0 and -0.0 meets 0.0; a NaN equals nothing, so it is never stored or found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/model.hpp"
#include "model/slot_table.hpp"
#include "model/value_hash.hpp"

namespace vashlet {

// Values are grouped by the keys of value_hash: numbers by their nearest double, other kinds by
// strict equality; a NaN belongs to no group. Two distinct Ints beyond 2^53 may share a group,
// although values_equal tells them apart: whoever reads a group re-tests with values_equal.
//
// Positions (event indices, slots, ...) grouped by value. The index refers to the values it is
// given instead of copying them: they must outlive it and stay unchanged. One index serves many
// small runs in turn: clearing it keeps its groups' storage and its slots, so that it allocates
// only while a run needs more than any before it.
class ValueIndex {
 public:
  // Files `position` under `value`; a NaN is skipped, since no look-up may find it.
  void add(const Value& value, std::size_t position);

  // The positions filed under values of the same group as `value`, in the order they were added;
  // empty for a NaN. A superset of the positions whose value is values_equal to `value`.
  const std::vector<std::size_t>& find(const Value& value) const;

  bool empty() const { return slots_.empty(); }
  void clear();

 private:
  struct Slot {
    const Value* value = nullptr;  // the first value filed in the group; null: an empty slot
    std::uint64_t hashed = 0;
    std::size_t group = 0;
    bool empty() const { return value == nullptr; }
    std::size_t hash() const { return static_cast<std::size_t>(hashed); }
  };

  // Accepts the slot of the group of `value`, whose hash is `hash`.
  static auto same(const Value& value, std::uint64_t hash) {
    return [&value, hash](const Slot& slot) {
      return slot.hashed == hash && ValueKeyEqual{}(*slot.value, value);
    };
  }

  SlotTable<Slot, 16> slots_;  // by value, their groups
  std::vector<std::vector<std::size_t>> groups_;  // [0, slots_.size()) in use, the rest kept empty
};

}  // namespace vashlet
