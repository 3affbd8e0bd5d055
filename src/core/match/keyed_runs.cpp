// Grouping a long run's events by the key of the value that correlates the pattern's steps.
#include "match/keyed_runs.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tuning.hpp"

namespace vashlet {

namespace {

// The attribute that `atom` compares with `==` to `name`, if any.
const std::string* compared_attribute(const Atom& atom, const std::string& name) {
  for (const ReferencePredicate& reference : atom.reference_predicates) {
    if (reference.op == ComparisonOperator::Eq && reference.binding == name) {
      return &reference.attribute;
    }
  }
  return nullptr;
}

// A name that the first step captures and that every later atom compares with `==`.
std::optional<std::string> correlating_name(const std::vector<CompiledStep>& steps) {
  if (steps.size() < 2) return std::nullopt;
  for (const Capture& capture : steps.front().atom.captures) {
    bool everywhere = true;
    for (std::size_t k = 1; k < steps.size() && everywhere; ++k) {
      const CompiledStep& step = steps[k];
      everywhere = compared_attribute(step.atom, capture.name) != nullptr;
      for (const Atom& absent : step.absence) {
        everywhere = everywhere && compared_attribute(absent, capture.name) != nullptr;
      }
    }
    if (everywhere) return capture.name;
  }
  return std::nullopt;
}

// What tells a value from others of its key and kind: the payload of an Int, Float or Bool.
// Strings share a key only when equal, and Null has no payload.
std::uint64_t payload(const Value& value) {
  switch (value.kind()) {
    case ValueKind::Int: return static_cast<std::uint64_t>(value.as_int());
    case ValueKind::Float: return std::bit_cast<std::uint64_t>(value.as_float());
    case ValueKind::Bool: return value.as_bool() ? 1 : 0;
    case ValueKind::String:
    case ValueKind::Null: break;
  }
  return 0;
}

// key_class of a value of `kind`, without reading the value again.
KeyClass class_of(ValueKind kind) {
  switch (kind) {
    case ValueKind::String: return KeyClass::String;
    case ValueKind::Int:
    case ValueKind::Float: return KeyClass::Number;
    case ValueKind::Bool: return KeyClass::Bool;
    case ValueKind::Null: break;
  }
  return KeyClass::Null;
}

}  // namespace

std::optional<KeyedRuns> KeyedRuns::of(const std::vector<CompiledStep>& steps) {
  std::optional<std::string> name = correlating_name(steps);
  if (!name) return std::nullopt;
  KeyedRuns runs(steps, std::move(*name));
  // A type that offers its key through two attributes would be in two groups, and in each it
  // could also start matches whose name is not that group's key.
  for (const std::vector<plan::AttributeKey>& attributes : runs.attributes_) {
    if (attributes.size() > 1) return std::nullopt;
  }
  if (runs.types_.size() >= kMostTypes) return std::nullopt;
  return runs;
}

KeyedRuns::KeyedRuns(const std::vector<CompiledStep>& steps, std::string correlating)
    : name_(std::move(correlating)) {
  const std::string& name = name_;
  const auto add = [&](const std::string& type, std::string_view attribute) {
    const std::size_t id = types_.add(type);
    if (attributes_.size() <= id) attributes_.resize(id + 1);
    for (const plan::AttributeKey& known : attributes_[id]) {
      if (known.name() == attribute) return;
    }
    attributes_[id].emplace_back(attribute);
  };
  const Atom& first = steps.front().atom;
  for (const Capture& capture : first.captures) {
    if (capture.name == name) {  // the first capture of the name decides its value
      add(first.event_type, capture.attribute);
      break;
    }
  }
  for (std::size_t k = 1; k < steps.size(); ++k) {
    const CompiledStep& step = steps[k];
    add(step.atom.event_type, *compared_attribute(step.atom, name));
    for (const Atom& absent : step.absence) {
      add(absent.event_type, *compared_attribute(absent, name));
    }
  }
}

// What the pass over the run read of an event whose key is yet to be numbered: the value that
// decides its key, that value's hash, kind and payload (of an Int, Float or Bool: strings share
// a key only when equal), and the event's offset in the run.
struct KeyedRuns::Pending {
  const Value* value;
  std::uint64_t hash;
  std::uint64_t payload;
  std::uint32_t offset;
  std::uint8_t kind;
};

void KeyedRuns::grow_keys() {
  LargeVector<Key> old(2 * keys_.size());
  old.swap(keys_);
  for (const Key& key : old) {
    if (!key.value) continue;
    std::size_t at = key.hash & (keys_.size() - 1);
    while (keys_[at].value) at = (at + 1) & (keys_.size() - 1);
    keys_[at] = key;
  }
}

// The number of the key of the value that `pending` found, numbered by first appearance in the
// run; a value that differs from the key's first one makes the key inexact. Counts the key's
// events for the sort.
std::uint32_t KeyedRuns::key_number(const Pending& pending) {
  if (2 * (groups_ + 1) > keys_.size()) grow_keys();
  const Value& value = *pending.value;
  const KeyClass value_class = class_of(static_cast<ValueKind>(pending.kind));
  std::size_t at = pending.hash & (keys_.size() - 1);
  while (true) {
    Key& key = keys_[at];
    if (!key.value) {
      const auto number = static_cast<std::uint32_t>(groups_++);
      key = Key{&value, pending.hash, pending.payload, number, value_class, pending.kind};
      key_values_[number] = &value;
      exact_[number] = pending.kind != static_cast<std::uint8_t>(ValueKind::Null);
      inexact_ += exact_[number] == 0;
      starts_[number + 2] = 1;
      return number;
    }
    if (key.hash == pending.hash && key.key_class == value_class &&
        (value_class != KeyClass::String || *key.value == value)) {
      if ((key.kind != pending.kind || key.payload != pending.payload) && exact_[key.number]) {
        exact_[key.number] = 0;
        ++inexact_;
      }
      ++starts_[key.number + 2];
      return key.number;
    }
    at = (at + 1) & (keys_.size() - 1);
  }
}

namespace {

// Room for `count` items of T at `at` in a block, aligned for T; moves `at` past them.
template <class T>
T* carve(std::byte*& at, std::size_t count) {
  const auto address = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t aligned = (address + alignof(T) - 1) & ~(std::uintptr_t{alignof(T)} - 1);
  T* items = reinterpret_cast<T*>(aligned);
  at = reinterpret_cast<std::byte*>(items + count);
  return items;
}

}  // namespace

void KeyedRuns::lay_out(std::size_t length) {
  const std::size_t bytes =
      length * (sizeof(Placed) + sizeof(std::int64_t) + 2 * sizeof(std::uint32_t) +
                sizeof(const Value*) + 2) +
      2 * sizeof(std::uint32_t) + 4 * alignof(Placed);
  std::byte* at = block_.room(bytes);
  const std::byte* const end = at + bytes;
  placed_ = carve<Placed>(at, length);
  run_ts_ = carve<std::int64_t>(at, length);
  key_values_ = carve<const Value*>(at, length);
  key_of_ = carve<std::uint32_t>(at, length);
  starts_ = carve<std::uint32_t>(at, length + 2);
  run_types_ = carve<std::uint8_t>(at, length);
  exact_ = carve<std::uint8_t>(at, length);
  if (at > end) invariant_failure("a grouping outgrew its block");
}

void KeyedRuns::group(const EventView& events, const Run& run) {
  number(events, run);
  place();
}

void KeyedRuns::number(const EventView& events, const Run& run) {
  if (!takes(run)) invariant_failure("a run too long to group by key");
  const std::size_t length = run.end - run.begin;
  run_begin_ = run.begin;
  run_length_ = length;
  lay_out(length);
  // The key table is sized by the run from the start, so that a run of many keys seldom
  // rehashes them.
  const std::size_t slots =
      std::bit_ceil(std::max<std::size_t>(1024, length / tuning::kEventsPerKeySlot));
  if (keys_.size() < slots) {
    keys_ = LargeVector<Key>(slots);
  } else {
    std::fill(keys_.begin(), keys_.end(), Key{});
  }
  groups_ = 0;
  inexact_ = 0;
  starts_[0] = starts_[1] = 0;
  grouped_.clear();
  // One pass over the run reads each event's type, timestamp and value, and numbers the keys a
  // few events behind: the table outgrows the cache where keys are many, so the slot of each
  // value is fetched when the value is read, and looked at once the pass is kSlotsAhead further.
  // The attributes lie in blocks of their own, so those of the events a few positions ahead are
  // fetched early too (the events themselves are fetched further ahead by visit_events).
  constexpr std::size_t kSlotsAhead = tuning::kKeySlotsAhead;
  static_assert((kSlotsAhead & (kSlotsAhead - 1)) == 0, "the ring of pending keys wraps by mask");
  Pending pending[kSlotsAhead];
  std::size_t numbered = 0;
  std::size_t read = 0;
  const auto number_one = [&] {
    const Pending& next = pending[numbered++ & (kSlotsAhead - 1)];
    key_of_[next.offset] = key_number(next);
  };
  constexpr std::size_t kAttributesAhead = tuning::kKeyAttributesAhead;
  constexpr std::uint8_t kNoType = kMostTypes;
  visit_events(events, run.begin, run.end, [&](std::size_t i, const Event& event) {
    if (i + kAttributesAhead < run.end) {
      prefetch_attributes(events[i + kAttributesAhead], tuning::kAttributeBytes);
    }
    const std::size_t offset = i - run.begin;
    run_ts_[offset] = event.ts;
    key_of_[offset] = kNoKey;
    const std::size_t type = types_.find(event.typ);
    run_types_[offset] = type == plan::kNone ? kNoType : static_cast<std::uint8_t>(type);
    if (type == plan::kNone) return true;
    // A start that captures a missing attribute binds Null, so Null is a key like any other.
    const Value& value = attributes_[type].front().or_null(event.attrs);
    // Keys are mostly Ints: those are hashed here rather than through a general Value path.
    const ValueKind kind = value.kind();
    std::uint64_t hash = 0;
    std::uint64_t bits = 0;
    if (kind == ValueKind::Int) {
      bits = static_cast<std::uint64_t>(value.as_int());
      hash = number_hash(static_cast<double>(value.as_int()));
    } else {
      if (equals_nothing(value)) return true;
      hash = ValueHash()(value);
      bits = payload(value);
    }
    __builtin_prefetch(&keys_[hash & (keys_.size() - 1)]);
    if (read - numbered == kSlotsAhead) number_one();
    pending[read++ & (kSlotsAhead - 1)] =
        Pending{&value, hash, bits, static_cast<std::uint32_t>(offset),
                static_cast<std::uint8_t>(kind)};
    return true;
  });
  while (numbered < read) number_one();
}

void KeyedRuns::place() {
  const std::size_t length = run_length_;
  // A counting sort by key, stable, so each group keeps run order: the counts lie one further
  // on, so that placing each event moves its group's start to the next group's.
  std::uint32_t* const starts = starts_;
  for (std::size_t g = 2; g < groups_ + 2; ++g) starts[g] += starts[g - 1];
  const std::uint32_t* const key_of = key_of_;
  const std::uint8_t* const run_types = run_types_;
  const std::int64_t* const run_ts = run_ts_;
  Placed* const placed = placed_;
  for (std::size_t offset = 0; offset < length; ++offset) {
    const std::uint32_t key = key_of[offset];
    if (key == kNoKey) continue;
    placed[starts[key + 1]++] =
        Placed{run_ts[offset], static_cast<std::uint32_t>(offset), run_types[offset]};
  }
}

EventView KeyedRuns::grouped_events(const EventView& events) {
  const std::size_t placed = groups_ == 0 ? 0 : starts_[groups_];
  if (grouped_.empty()) {
    reserve_for(grouped_, placed);
    grouped_.resize(placed);
    for (std::size_t position = 0; position < placed; ++position) {
      grouped_[position] = &events[source(position)];
    }
  }
  return EventView(grouped_.data(), grouped_.size());
}

}  // namespace vashlet
