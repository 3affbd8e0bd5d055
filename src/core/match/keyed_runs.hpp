// Long runs split by the value that correlates their steps. Where the first step captures a name
// and every later atom (each step's own and each forbidden one) compares an attribute with `==`
// to it, events whose values share no key never meet: each key's events can be matched as a run
// of their own. A long run then keeps only one key's waiting matches at a time, which stay in
// the cache, instead of all of them. This module recognises such patterns and groups a run's
// events by key; the matcher runs over the groups and merges their matches back in order (or,
// where the keys' events are followed as chains, takes the keys as numbered, in run order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "match/partitions.hpp"
#include "match/scratch_block.hpp"
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
  // A copy has the tables but none of the grouping: each worker copies the plan's.
  KeyedRuns(const KeyedRuns& other)
      : name_(other.name_), types_(other.types_), attributes_(other.attributes_) {}
  KeyedRuns(KeyedRuns&&) = default;  // the grouping's block stays where it is
  KeyedRuns& operator=(const KeyedRuns&) = delete;
  KeyedRuns& operator=(KeyedRuns&&) = default;
  // The name that correlates the steps.
  const std::string& name() const { return name_; }
  // The id that the grouping gives events of `type` (plan::kNone: a type it does not group).
  std::size_t type_id(std::string_view type) const { return types_.find(type); }
  // Whether `run` is short enough: its events are numbered in 32 bits.
  static bool takes(const Run& run) { return run.end - run.begin < kNoKey; }

  // Groups the events of `run` (one that it takes) by the key of the value that the pattern
  // correlates (each type offers it through one attribute). Events of other types, and values
  // that equal nothing, are in no group: they can change no match.
  void group(const EventView& events, const Run& run);
  // The first half of a grouping: numbers the keys of `run`'s events (by first appearance), and
  // notes what the grouping reads of each, by offset in the run, without placing the events in
  // their groups; group_run, source, placed and grouped_events wait for place().
  void number(const EventView& events, const Run& run);
  void place();
  std::size_t groups() const { return groups_; }
  // Per offset in the run last numbered: the number of its event's key (kNoKey: in no group),
  // its type id and timestamp.
  static constexpr std::uint32_t kNoKey = static_cast<std::uint32_t>(-1);
  std::size_t run_length() const { return run_length_; }
  std::uint32_t key_at(std::size_t offset) const { return key_of_[offset]; }
  std::uint8_t type_at(std::size_t offset) const { return run_types_[offset]; }
  std::int64_t ts_at(std::size_t offset) const { return run_ts_[offset]; }
  // The index in the run's EventView of the event at `offset` in the run.
  std::size_t event_at(std::size_t offset) const { return run_begin_ + offset; }
  // Whether every group is exact (see exact).
  bool all_exact() const { return inexact_ == 0; }
  // The positions of group g's events, in run order, among the grouped events.
  Run group_run(std::size_t g) const { return Run{starts_[g], starts_[g + 1]}; }
  // The index in the run's EventView of the grouped event at `position`.
  std::size_t source(std::size_t position) const { return run_begin_ + placed_[position].source; }
  // Per grouped position, what the grouping read of the event, so that a matcher that needs no
  // more never reads the events again: its timestamp and type id, with its offset in the run.
  // One record, so that placing an event in its group writes one line.
  struct Placed {
    std::int64_t ts;
    std::uint32_t source;
    std::uint8_t type;
  };
  const Placed* placed() const { return placed_; }
  // The first value of group g's key (what a capture of the key attribute binds where the group
  // is exact).
  const Value& key_value(std::size_t g) const { return *key_values_[g]; }
  // The grouped events of the run of `events` last grouped, as a run of their own for a matcher
  // that reads events; valid until the next grouping.
  EventView grouped_events(const EventView& events);
  // The attribute through which events of type `id` offer their key.
  std::string_view key_attribute(std::size_t id) const {
    return attributes_[id].front().name();
  }
  // Whether all values of group g are one value (same kind and payload, not Null): then `==`
  // holds between any two of its events. Groups only share a key (ValueKeyEqual), which Int and
  // Float, or Ints beyond 2^53, may do without being equal.
  bool exact(std::size_t g) const { return exact_[g] != 0; }

 private:
  // Type ids fit a byte; patterns that name more types than that are not grouped.
  static constexpr std::size_t kMostTypes = 255;

  KeyedRuns(const std::vector<CompiledStep>& steps, std::string name);
  struct Pending;
  std::uint32_t key_number(const Pending& pending);
  void grow_keys();
  void lay_out(std::size_t length);

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
  LargeVector<Key> keys_;
  std::size_t groups_ = 0;
  std::size_t inexact_ = 0;  // groups that are not exact
  // One block for every array of a grouping, sized by the run: a call that groups a run of about
  // the size of the last one reuses the pages that the memory module kept, where separate
  // smaller buffers would each be allocated and faulted in anew. Per event in run order: its
  // timestamp, key (kNoKey: none) and type id; per grouped position: what placed() tells;
  // per key: its group's first position (one more at the end, and one spare for the
  // counting), first value and exactness.
  ScratchBlock block_;
  std::size_t run_begin_ = 0;
  std::size_t run_length_ = 0;
  std::int64_t* run_ts_ = nullptr;
  std::uint32_t* key_of_ = nullptr;
  std::uint8_t* run_types_ = nullptr;
  Placed* placed_ = nullptr;
  std::uint32_t* starts_ = nullptr;
  const Value** key_values_ = nullptr;
  std::uint8_t* exact_ = nullptr;
  LargeVector<const Event*> grouped_;  // where a matcher reads them (grouped_events)
};

}  // namespace vashlet
