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
#include <string>
#include <string_view>
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
  // The name that correlates the steps.
  const std::string& name() const { return name_; }
  // The id that the grouping gives events of `type` (plan::kNone: a type it does not group).
  std::size_t type_id(std::string_view type) const { return types_.find(type); }

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
  // Per grouped event, what the grouping read of it, so that a matcher that needs no more never
  // reads the events again: its timestamp, its value of the key (what a capture of the key
  // attribute binds) and its type id.
  struct Noted {
    std::int64_t ts;
    const Value* value;
    std::uint32_t type;
  };
  const LargeVector<Noted>& noted() const { return grouped_noted_; }
  // The attribute through which events of type `id` offer their key.
  std::string_view key_attribute(std::size_t id) const {
    return attributes_[id].front().name();
  }
  // Whether all values of group g are one value (same kind and payload, not Null): then `==`
  // holds between any two of its events. Groups only share a key (ValueKeyEqual), which Int and
  // Float, or Ints beyond 2^53, may do without being equal.
  bool exact(std::size_t g) const { return exact_[g] != 0; }

 private:
  KeyedRuns(const std::vector<CompiledStep>& steps, std::string name);
  struct Read;
  std::uint32_t key_number(const Read& read);

  std::string name_;
  plan::TypeTable types_;
  std::vector<std::vector<plan::AttributeKey>> attributes_;  // per type id: its key attributes
  // Keys numbered by first appearance: an open-addressing table of (hash, class, number, value).
  // As in the matcher's value indexes, only strings are then compared: for the other classes the
  // hash decides the key, so a lookup seldom reads the value, which lies in an earlier event.
  // Each key also holds the kind and payload of its first value, which tell whether the later
  // ones are the same value (see exact).
  struct Key {
    const Value* value = nullptr;
    std::uint64_t hash = 0;
    std::uint64_t payload = 0;
    std::uint32_t number = 0;
    KeyClass key_class = KeyClass::Null;
    std::uint8_t kind = 0;
  };
  std::vector<Key> keys_;
  std::size_t key_count_ = 0;
  // Per event of the run, what the first pass read: the value that decides its key (null: none)
  // and that value's hash, kind and payload (of an Int, Float or Bool: strings share a key only
  // when equal), with the event's timestamp and type id.
  struct Read {
    const Value* value;
    std::uint64_t hash;
    std::uint64_t payload;
    std::int64_t ts;
    std::uint32_t type;
    std::uint8_t kind;
  };
  LargeVector<Read> read_;
  // Per event of the run, its key (kNoKey: none).
  static constexpr std::uint32_t kNoKey = static_cast<std::uint32_t>(-1);
  LargeVector<std::uint32_t> key_of_;
  std::vector<char> exact_;  // per key
  std::vector<std::size_t> starts_;  // per group, its first position; one more at the end
  LargeVector<const Event*> grouped_;
  LargeVector<std::size_t> sources_;
  LargeVector<Noted> grouped_noted_;
};

}  // namespace vashlet
