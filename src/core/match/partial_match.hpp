// A partial match waiting for a step, and the table that files a step's partial matches by the
// value of one binding, so that an event visits only those it may advance or block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "model/model.hpp"
#include "model/value_hash.hpp"
#include "plan/binding_layout.hpp"

namespace vashlet {

using plan::kNone;

// One partial match waiting for a step. Its last event's timestamp is kept here so that window
// expiry reads no event.
struct PartialMatch {
  std::size_t first = 0;  // the index of the first event
  std::int64_t last_ts = 0;
  // Node in the PathArena of the indices after the first (kNoParent at the second step); its
  // event is the partial match's last index.
  std::size_t path = 0;
  std::size_t bindings = 0;  // slot in the BindingsPool
  // Where a step also files its partial matches by value, each is held in several places; the
  // entries that one leaves behind when it leaves the step are recognised by its ticket's
  // generation having moved on (see StepMatcher::is_current).
  std::uint32_t ticket = kNoTicket;
  std::uint32_t generation = 0;

  static constexpr std::uint32_t kNoTicket = static_cast<std::uint32_t>(-1);
};

// The partial matches of one step filed by the value that one binding slot holds, so that an
// event finds those whose binding may equal its attribute without visiting the others: an open-
// addressing table of keys (ValueKeyEqual, ValueHash), each with a chain of entries in the
// order of their arrival. Keys point into the events' attributes (or at a shared null), which
// outlive the matcher. Storage is kept from run to run.
class PartialsByValue {
 public:
  explicit PartialsByValue(std::size_t slot) : slot_(slot) {}

  std::size_t slot() const { return slot_; }
  std::size_t entries() const { return entries_.size() - free_.size(); }
  std::size_t keys() const { return used_.size(); }

  void add(const PartialMatch& partial, const Value& key) {
    if (equals_nothing(key)) return;  // no event value can find it
    const std::size_t id = new_entry(partial);
    if (key.kind() == ValueKind::Int) entries_[id].integer = key.as_int();
    Bucket& bucket = table_[bucket_for(key)];
    if (bucket.head == kEnd) {
      bucket.head = id;
    } else {
      entries_[bucket.tail].next = id;
    }
    bucket.tail = id;
  }

  // Calls `keep(partial, equal)` on each entry filed under the key of `value`, in arrival order,
  // and drops the entries for which it returns false; `equal` tells whether the value the entry
  // was filed under equals `value` (values_equal). `keep` must not add to this index.
  template <class Keep>
  void visit(const Value& value, Keep&& keep) {
    if (used_.empty() || equals_nothing(value)) return;
    const std::size_t position = find(value, key_class(value), ValueHash()(value));
    if (position == kNone) return;
    // One key holds the numbers that round to one double; of two Ints, only equal ones are equal.
    const bool integer = value.kind() == ValueKind::Int;
    const std::int64_t number = integer ? value.as_int() : 0;
    Bucket& bucket = table_[position];
    std::size_t previous = kEnd;
    for (std::size_t id = bucket.head; id != kEnd;) {
      const Entry& entry = entries_[id];
      const std::size_t next = entry.next;
      const bool equal = !integer || !entry.integer || *entry.integer == number;
      if (keep(entry.partial, equal)) {
        previous = id;
      } else {
        (previous == kEnd ? bucket.head : entries_[previous].next) = next;
        if (bucket.tail == id) bucket.tail = previous;
        free_.push_back(id);
      }
      id = next;
    }
  }

  // Starts fetching the bucket where `value`'s key would be, for a later add or visit.
  void prefetch(const Value& value) const {
    if (table_.empty() || equals_nothing(value)) return;
    __builtin_prefetch(&table_[ValueHash()(value) & (table_.size() - 1)]);
  }

  // Forgets every key and entry; the cost is that of the keys in use, not of the table.
  void clear() {
    for (const std::size_t position : used_) table_[position] = Bucket{};
    used_.clear();
    entries_.clear();
    free_.clear();
  }

 private:
  static constexpr std::size_t kEnd = static_cast<std::size_t>(-1);
  struct Entry {
    PartialMatch partial;
    std::size_t next = kEnd;
    std::optional<std::int64_t> integer;  // the value filed under, when an Int
  };
  struct Bucket {
    const Value* key = nullptr;
    std::uint64_t hash = 0;
    KeyClass key_class = KeyClass::Null;
    std::size_t head = kEnd;
    std::size_t tail = kEnd;
  };

  std::size_t new_entry(const PartialMatch& partial) {
    if (free_.empty()) {
      entries_.push_back(Entry{partial, kEnd, std::nullopt});
      return entries_.size() - 1;
    }
    const std::size_t id = free_.back();
    free_.pop_back();
    entries_[id] = Entry{partial, kEnd, std::nullopt};
    return id;
  }

  // A key is found by its class and hash; only strings are then compared, so that a lookup
  // seldom reads the values (which lie in other events' attributes) that the table points to.
  std::size_t find(const Value& value, KeyClass key, std::uint64_t hash) const {
    const std::size_t mask = table_.size() - 1;
    for (std::size_t position = hash & mask;; position = (position + 1) & mask) {
      const Bucket& bucket = table_[position];
      if (!bucket.key) return kNone;
      if (bucket.hash == hash && bucket.key_class == key &&
          (key != KeyClass::String || *bucket.key == value)) {
        return position;
      }
    }
  }

  // The bucket of `key`, claimed for it if it has none.
  std::size_t bucket_for(const Value& value) {
    const KeyClass key = key_class(value);
    const std::uint64_t hash = ValueHash()(value);
    if (!table_.empty()) {
      const std::size_t found = find(value, key, hash);
      if (found != kNone) return found;
    }
    if (2 * (used_.size() + 1) > table_.size()) grow();
    const std::size_t position = free_position(hash);
    table_[position] = Bucket{&value, hash, key};
    used_.push_back(position);
    return position;
  }

  std::size_t free_position(std::uint64_t hash) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t position = hash & mask;
    while (table_[position].key) position = (position + 1) & mask;
    return position;
  }

  void grow() {
    std::vector<Bucket> old(std::max<std::size_t>(16, 2 * table_.size()));
    old.swap(table_);
    for (std::size_t& position : used_) {
      const Bucket bucket = old[position];
      position = free_position(bucket.hash);
      table_[position] = bucket;
    }
  }

  std::size_t slot_;
  std::vector<Bucket> table_;      // a power of two in size, at most half full
  std::vector<std::size_t> used_;  // the positions of the keys, so that clearing skips the rest
  std::vector<Entry> entries_;
  std::vector<std::size_t> free_;
};

}  // namespace vashlet
