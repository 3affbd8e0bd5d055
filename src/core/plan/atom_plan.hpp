// Atoms and steps prepared for the compiled matchers: the event types a pattern names,
// numbered; attribute lookups that remember where they found a name; and each atom split into
// what an event decides alone and what reads a partial match's bindings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/model.hpp"
#include "plan/binding_layout.hpp"
#include "tuning.hpp"

namespace vashlet::plan {


// A name's size and two words of its bytes (its first and last few, loaded whole and overlapping
// in the middle): two names of up to 16 bytes are equal exactly when their keys are. Computing it
// takes a few loads and no loop, and reads no byte outside the name.
struct NameKey {
  std::uint64_t size = 0;
  std::uint64_t head = 0;
  std::uint64_t tail = 0;

  static NameKey of(std::string_view name) {
    const char* bytes = name.data();
    const std::size_t n = name.size();
    NameKey key{n, 0, 0};
    if (n >= 8) {
      key.head = load<std::uint64_t>(bytes);
      key.tail = load<std::uint64_t>(bytes + n - 8);
    } else if (n >= 4) {
      key.head = load<std::uint32_t>(bytes) |
                 std::uint64_t{load<std::uint32_t>(bytes + n - 4)} << 32;
    } else if (n > 0) {
      key.head = std::uint64_t{static_cast<unsigned char>(bytes[0])} |
                 std::uint64_t{static_cast<unsigned char>(bytes[n / 2])} << 8 |
                 std::uint64_t{static_cast<unsigned char>(bytes[n - 1])} << 16;
    }
    return key;
  }
  friend bool operator==(const NameKey&, const NameKey&) = default;

 private:
  template <class Word>
  static Word load(const char* bytes) {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  }
};

// The event types that the pattern names, each with a small id, so that an event's type is read
// once. Most events of other types already differ in length from every name, which one test
// tells; a few names are then compared by key, many are hashed.
class TypeTable {
 public:
  std::size_t add(std::string_view name) {
    const std::size_t known = find(name);
    if (known != kNone) return known;
    names_.push_back(name);
    keys_.push_back(NameKey::of(name));
    ids_.emplace(name, names_.size() - 1);
    if (name.size() < kLengthBits) {
      lengths_ |= std::uint64_t{1} << name.size();
    } else {
      long_names_ = true;
    }
    return names_.size() - 1;
  }

  std::size_t find(std::string_view type) const {
    const std::size_t n = type.size();
    if (n < kLengthBits ? !((lengths_ >> n) & 1) : !long_names_) return kNone;
    if (names_.size() > kCompared) {
      const auto it = ids_.find(type);
      return it == ids_.end() ? kNone : it->second;
    }
    const NameKey key = NameKey::of(type);
    for (std::size_t id = 0; id < keys_.size(); ++id) {
      if (keys_[id] == key && (n <= 16 || names_[id] == type)) return id;
    }
    return kNone;
  }

  std::size_t size() const { return names_.size(); }

 private:
  static constexpr std::size_t kCompared = tuning::kTypesCompared;
  static constexpr std::size_t kLengthBits = 64;
  std::vector<std::string_view> names_;  // views into the compiled pattern
  std::vector<NameKey> keys_;            // by id
  std::unordered_map<std::string_view, std::size_t> ids_;
  std::uint64_t lengths_ = 0;  // bit n: some name has n bytes (n < kLengthBits)
  bool long_names_ = false;    // some name has kLengthBits bytes or more
};

// An attribute name that an atom reads, with the position where it was found last: the events of
// one stream mostly carry the same attributes, so the guess usually saves the binary search.
class AttributeKey {
 public:
  explicit AttributeKey(std::string_view name) : name_(name) {}
  std::string_view name() const { return name_; }

  const Value* in(const Attributes& attrs) {
    if (guess_ < attrs.size()) {
      const Attributes::Entry& entry = attrs.begin()[static_cast<std::ptrdiff_t>(guess_)];
      if (same_bytes(entry.first, name_)) return &entry.second;
    }
    const auto it = std::lower_bound(
        attrs.begin(), attrs.end(), name_,
        [](const Attributes::Entry& entry, std::string_view name) { return entry.first < name; });
    if (it == attrs.end() || it->first != name_) return nullptr;
    guess_ = static_cast<std::size_t>(it - attrs.begin());
    return &it->second;
  }

  const Value& or_null(const Attributes& attrs) {
    const Value* value = in(attrs);
    return value ? *value : kNull;
  }

 private:
  std::string_view name_;
  std::size_t guess_ = 0;
};

// One atom prepared for the partial matches of one step: the result of Atom::accepts on an event
// and a partial match's bindings, split into what the event alone decides (type, literal
// predicates, presence of the referenced attributes, agreement of two captures into one unbound
// name), tested once per event by `admits`, and what reads the bindings, tested per partial match
// by `holds`. `admits` also looks up, once per event, the event values that `holds` and the new
// captures read.
class AtomPlan {
 public:
  // `step` is the step whose waiting partial matches test the atom; `binds`: the atom's captures
  // extend the bindings (a step's own atom, not a forbidden one).
  AtomPlan(const Atom& atom, std::size_t type, const BindingLayout& layout, std::size_t step,
           bool binds);

  std::size_t type() const { return type_; }
  // The slot that the atom's first `attr == $name` test compares with, or kNone. Only partial
  // matches whose value in that slot shares a key (ValueKeyEqual) with the event's can pass.
  std::size_t keyed_slot() const { return keyed_ == kNone ? kNone : references_[keyed_].slot; }
  // After `admits`, for an atom with a keyed slot: the event's value that the test compares.
  const Value& key_value() const { return *references_[keyed_].actual; }
  // For an atom with a keyed slot: the attribute whose value that test compares.
  std::string_view key_attribute() const { return references_[keyed_].attribute.name(); }
  // Which of its step's PartialsByValue files partial matches by the keyed slot (kNone: none does).
  std::size_t index() const { return index_; }
  void set_index(std::size_t index) { index_ = index; }
  bool reads_bindings() const { return !references_.empty() || !bound_captures_.empty(); }
  // The keyed test is all that reads the bindings: a partial match passes when its value equals
  // the event's, which PartialsByValue tells without reading its bindings.
  bool keyed_only() const {
    return keyed_ != kNone && references_.size() == 1 && bound_captures_.empty();
  }
  bool captures_new_names() const { return !new_captures_.empty(); }
  // Whether every event of the atom's type passes `admits`: it tests nothing but the type.
  bool decided_by_type() const {
    return !never_ && literals_.empty() && references_.empty() && bound_captures_.empty() &&
           repeated_captures_.empty();
  }
  // After `admits`: the values of the names that the atom adds, in slot order.
  const SlotValues& new_values() const { return new_values_; }

  // For an event of this atom's type.
  bool admits(const Event& event) {
    if (never_) return false;
    const Attributes& attrs = event.attrs;
    for (Literal& literal : literals_) {
      const Value* actual = literal.attribute.in(attrs);
      if (!actual || !matches(literal.predicate->op, *actual, literal.predicate->value)) {
        return false;
      }
    }
    for (Reference& reference : references_) {
      reference.actual = reference.attribute.in(attrs);
      if (!reference.actual) return false;
    }
    for (RepeatedCapture& repeated : repeated_captures_) {
      if (!(repeated.earlier.or_null(attrs) == repeated.attribute.or_null(attrs))) return false;
    }
    for (BoundCapture& capture : bound_captures_) {
      capture.actual = &capture.attribute.or_null(attrs);
    }
    for (std::size_t n = 0; n < new_captures_.size(); ++n) {
      new_values_[n] = &new_captures_[n].or_null(attrs);
    }
    return true;
  }

  // For the event that `admits` passed last, and a partial match's bindings.
  bool holds(const SlotValues& bindings) const {
    for (const Reference& reference : references_) {
      if (!matches(reference.op, *reference.actual, *bindings[reference.slot])) return false;
    }
    for (const BoundCapture& capture : bound_captures_) {
      if (!(*bindings[capture.slot] == *capture.actual)) return false;
    }
    return true;
  }

 private:
  struct Literal {
    AttributeKey attribute;
    const Predicate* predicate;
  };
  struct Reference {
    AttributeKey attribute;
    ComparisonOperator op;
    std::size_t slot;
    const Value* actual = nullptr;
  };
  struct BoundCapture {  // a capture into a bound name must capture a strictly equal value
    AttributeKey attribute;
    std::size_t slot;
    const Value* actual = nullptr;
  };
  struct RepeatedCapture {  // likewise a later capture into a name that this atom captures first
    AttributeKey attribute;
    AttributeKey earlier;
  };

  std::size_t type_;
  bool never_ = false;
  std::size_t keyed_ = kNone;  // position in references_
  std::size_t index_ = kNone;
  std::vector<Literal> literals_;
  std::vector<Reference> references_;
  std::vector<BoundCapture> bound_captures_;
  std::vector<RepeatedCapture> repeated_captures_;
  std::vector<AttributeKey> new_captures_;
  SlotValues new_values_;
};

// What the matcher needs to know about one compiled step.
struct StepPlan {
  AtomPlan advance;
  std::vector<AtomPlan> absence;
  std::optional<std::int64_t> max_elapsed;
};


}  // namespace vashlet::plan
