// Grouping a long run's events by the key of the value that correlates the pattern's steps.
#include "match/keyed_runs.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>
#include <utility>

#include "match/tuning.hpp"

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

// The number of the key of the value that `read` found, numbered by first appearance in the run;
// a value that differs from the key's first one makes the key inexact.
std::uint32_t KeyedRuns::key_number(const Read& read) {
  if (2 * (key_count_ + 1) > keys_.size()) {
    std::vector<Key> old(std::max<std::size_t>(1024, 2 * keys_.size()));
    old.swap(keys_);
    for (const Key& key : old) {
      if (!key.value) continue;
      std::size_t at = key.hash & (keys_.size() - 1);
      while (keys_[at].value) at = (at + 1) & (keys_.size() - 1);
      keys_[at] = key;
    }
  }
  const Value& value = *read.value;
  const KeyClass value_class = key_class(value);
  std::size_t at = read.hash & (keys_.size() - 1);
  while (true) {
    Key& key = keys_[at];
    if (!key.value) {
      const auto number = static_cast<std::uint32_t>(key_count_++);
      key = Key{&value, read.hash, read.payload, number, value_class, read.kind};
      exact_.push_back(read.kind != static_cast<std::uint8_t>(ValueKind::Null));
      return number;
    }
    if (key.hash == read.hash && key.key_class == value_class &&
        (value_class != KeyClass::String || *key.value == value)) {
      if (key.kind != read.kind || key.payload != read.payload) exact_[key.number] = 0;
      return key.number;
    }
    at = (at + 1) & (keys_.size() - 1);
  }
}

void KeyedRuns::group(const EventView& events, const Run& run) {
  const std::size_t length = run.end - run.begin;
  std::fill(keys_.begin(), keys_.end(), Key{});
  key_count_ = 0;
  exact_.clear();
  // First each event's value and its hash. The attributes lie in blocks of their own, so those of
  // the events a few positions ahead are fetched early (the events themselves are fetched further
  // ahead by visit_events).
  reserve_for(read_, length);
  read_.resize(length);
  Read* const reads = read_.data();
  constexpr std::size_t kAttributesAhead = tuning::kKeyAttributesAhead;
  visit_events(events, run.begin, run.end, [&](std::size_t i, const Event& event) {
    if (i + kAttributesAhead < run.end) {
      prefetch_attributes(events[i + kAttributesAhead], tuning::kAttributeBytes);
    }
    Read& read = reads[i - run.begin];
    read.value = nullptr;
    const std::size_t type = types_.find(event.typ);
    if (type == plan::kNone || attributes_[type].empty()) return true;
    // A start that captures a missing attribute binds Null, so Null is a key like any other.
    const Value& value = attributes_[type].front().or_null(event.attrs);
    if (equals_nothing(value)) return true;
    read = Read{&value, ValueHash()(value), payload(value), event.ts,
                static_cast<std::uint32_t>(type), static_cast<std::uint8_t>(value.kind())};
    return true;
  });
  // Then the keys, in run order. The table outgrows the cache where keys are many, so the slot
  // of a value a few positions ahead is fetched early.
  constexpr std::size_t kSlotsAhead = tuning::kKeySlotsAhead;
  reserve_for(key_of_, length);
  key_of_.resize(length);
  std::uint32_t* const key_of = key_of_.data();
  std::size_t placed = 0;
  for (std::size_t offset = 0; offset < length; ++offset) {
    if (offset + kSlotsAhead < length && reads[offset + kSlotsAhead].value && !keys_.empty()) {
      __builtin_prefetch(&keys_[reads[offset + kSlotsAhead].hash & (keys_.size() - 1)]);
    }
    if (!reads[offset].value) {
      key_of[offset] = kNoKey;
      continue;
    }
    key_of[offset] = key_number(reads[offset]);
    ++placed;
  }
  // A counting sort by key, stable, so each group keeps run order.
  starts_.assign(key_count_ + 1, 0);
  for (std::size_t offset = 0; offset < length; ++offset) {
    if (key_of[offset] != kNoKey) ++starts_[key_of[offset] + 1];
  }
  for (std::size_t g = 0; g < key_count_; ++g) starts_[g + 1] += starts_[g];
  reserve_for(grouped_, placed);
  reserve_for(sources_, placed);
  reserve_for(grouped_noted_, placed);
  grouped_.resize(placed);
  sources_.resize(placed);
  grouped_noted_.resize(placed);
  const Event** const grouped = grouped_.data();
  std::size_t* const sources = sources_.data();
  Noted* const noted = grouped_noted_.data();
  std::vector<std::size_t> next(starts_.begin(), starts_.end() - 1);
  for (std::size_t offset = 0; offset < length; ++offset) {
    const std::uint32_t key = key_of[offset];
    if (key == kNoKey) continue;
    const std::size_t at = next[key]++;
    const Read& read = reads[offset];
    grouped[at] = &events[run.begin + offset];
    sources[at] = run.begin + offset;
    noted[at] = Noted{read.ts, read.value, read.type};
  }
}

}  // namespace vashlet
