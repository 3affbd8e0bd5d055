// Long runs split by the value that correlates their steps. Where the first step captures a name
// and every later atom (each step's own and each forbidden one) compares an attribute with `==`
// to it, events whose values share no key never meet: each key's events can be matched as a run
// of their own. A long run then keeps only one key's waiting matches at a time, which stay in
// the cache, instead of all of them. This module recognises such patterns and groups a run's
// events by key; the matcher runs over the groups and merges their matches back in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "match/partitions.hpp"
#include "memory/memory.hpp"
#include "model/model.hpp"
#include "model/value_hash.hpp"
#include "plan/atom_plan.hpp"
#include "plan/compiled_step.hpp"

namespace vashlet {

class KeyedRuns {
 public:
  // The grouping for `pattern`, or nothing where its steps are not all correlated by one name.
  static std::optional<KeyedRuns> of(const std::vector<CompiledStep>& steps);

  // Groups the events of `run` by the key of the value that the pattern correlates (each type
  // offers it through one attribute). Events of other types, and values that equal nothing, are
  // in no group: they can change no match.
  void group(const EventView& events, const Run& run);
  // The grouped events, group after group, each group in run order.
  const LargeVector<const Event*>& grouped() const { return grouped_; }
  std::size_t groups() const { return starts_.size() - 1; }
  Run group_run(std::size_t g) const { return Run{starts_[g], starts_[g + 1]}; }
  // The index in the run's EventView of the grouped event at `position`.
  std::size_t source(std::size_t position) const { return sources_[position]; }

 private:
  explicit KeyedRuns(const std::vector<CompiledStep>& steps);
  std::uint32_t key_number(const Value& value, std::uint64_t hash);

  plan::TypeTable types_;
  std::vector<std::vector<plan::AttributeKey>> attributes_;  // per type id: its key attributes
  // Keys numbered by first appearance: an open-addressing table of (hash, class, number, value).
  // As in the matcher's value indexes, only strings are then compared: for the other classes the
  // hash decides the key, so a lookup seldom reads the value, which lies in an earlier event.
  struct Key {
    const Value* value = nullptr;
    std::uint64_t hash = 0;
    std::uint32_t number = 0;
    KeyClass key_class = KeyClass::Null;
  };
  std::vector<Key> keys_;
  std::size_t key_count_ = 0;
  // Per event of the run, the value that decides its key (null: none) and that value's hash.
  LargeVector<const Value*> values_;
  LargeVector<std::uint64_t> hashes_;
  // Per event of the run, its key (kNoKey: none).
  static constexpr std::uint32_t kNoKey = static_cast<std::uint32_t>(-1);
  LargeVector<std::uint32_t> key_of_;
  std::vector<std::size_t> starts_;  // per group, its first position; one more at the end
  LargeVector<const Event*> grouped_;
  LargeVector<std::size_t> sources_;
};

}  // namespace vashlet
