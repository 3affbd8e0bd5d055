// Positions grouped by value under the model's equality (values_equal), for look-ups by value:
// Int 1 meets Float 1.0 and -0.0 meets 0.0; a NaN equals nothing, so it is never stored or found.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "model/model.hpp"
#include "model/value_hash.hpp"

namespace vashlet {

// Values are grouped by the keys of value_hash: numbers by their nearest double, other kinds by
// strict equality; a NaN belongs to no group. Two distinct Ints beyond 2^53 may share a group,
// although values_equal tells them apart: whoever reads a group re-tests with values_equal.
struct ValuePointerHash {
  std::size_t operator()(const Value* value) const {
    return static_cast<std::size_t>(ValueHash{}(*value));
  }
};
struct ValuePointerKeyEqual {
  bool operator()(const Value* left, const Value* right) const {
    return ValueKeyEqual{}(*left, *right);
  }
};

// Positions (event indices, slots, ...) grouped by value. The index refers to the values it is
// given instead of copying them: they must outlive it and stay unchanged.
class ValueIndex {
 public:
  // Files `position` under `value`; a NaN is skipped, since no look-up may find it.
  void add(const Value& value, std::size_t position);

  // The positions filed under values of the same group as `value`, in the order they were added;
  // empty for a NaN. A superset of the positions whose value is values_equal to `value`.
  const std::vector<std::size_t>& find(const Value& value) const;

  bool empty() const { return groups_.empty(); }
  void clear() { groups_.clear(); }

 private:
  std::unordered_map<const Value*, std::vector<std::size_t>, ValuePointerHash,
                     ValuePointerKeyEqual>
      groups_;
};

}  // namespace vashlet
