#include "model/model.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

namespace vashlet {

const Value kNull;

void invariant_failure(const std::string& message) { throw InternalError(message); }

// ---------------------------------------------------------------------------------------------
// Values

bool operator==(const Value& left, const Value& right) {
  if (left.kind() != right.kind()) return false;
  switch (left.kind()) {
    case ValueKind::String: return left.as_string() == right.as_string();
    case ValueKind::Int: return left.as_int() == right.as_int();
    case ValueKind::Float: return left.as_float() == right.as_float();
    case ValueKind::Bool: return left.as_bool() == right.as_bool();
    case ValueKind::Null: return true;
  }
  return false;
}

namespace {

bool is_numeric(const Value& value) {
  return value.kind() == ValueKind::Int || value.kind() == ValueKind::Float;
}

// Signed conversion to the nearest double (round to nearest, ties to even).
double as_double(const Value& value) {
  return value.kind() == ValueKind::Int ? static_cast<double>(value.as_int()) : value.as_float();
}

}  // namespace

bool values_equal(const Value& left, const Value& right) {
  if (is_numeric(left) && is_numeric(right)) {
    if (left.kind() == ValueKind::Int && right.kind() == ValueKind::Int) {
      return left.as_int() == right.as_int();
    }
    return as_double(left) == as_double(right);
  }
  return left == right;
}

bool matches(ComparisonOperator op, const Value& left, const Value& right) {
  switch (op) {
    case ComparisonOperator::Eq: return values_equal(left, right);
    case ComparisonOperator::NotEq: return !values_equal(left, right);
    default: break;
  }
  // Only numbers are ordered; strings, booleans and nulls never are.
  if (!is_numeric(left) || !is_numeric(right)) return false;
  if (left.kind() == ValueKind::Int && right.kind() == ValueKind::Int) {
    const std::int64_t l = left.as_int(), r = right.as_int();
    switch (op) {
      case ComparisonOperator::Gt: return l > r;
      case ComparisonOperator::Gte: return l >= r;
      case ComparisonOperator::Lt: return l < r;
      case ComparisonOperator::Lte: return l <= r;
      default: return false;
    }
  }
  // IEEE ordered comparisons: false whenever a NaN is involved.
  const double l = as_double(left), r = as_double(right);
  switch (op) {
    case ComparisonOperator::Gt: return l > r;
    case ComparisonOperator::Gte: return l >= r;
    case ComparisonOperator::Lt: return l < r;
    case ComparisonOperator::Lte: return l <= r;
    default: return false;
  }
}

std::string_view operator_symbol(ComparisonOperator op) {
  switch (op) {
    case ComparisonOperator::Eq: return "==";
    case ComparisonOperator::NotEq: return "!=";
    case ComparisonOperator::Gt: return ">";
    case ComparisonOperator::Gte: return ">=";
    case ComparisonOperator::Lt: return "<";
    case ComparisonOperator::Lte: return "<=";
  }
  invariant_failure("unknown comparison operator");
}

std::string_view operator_name(ComparisonOperator op) {
  switch (op) {
    case ComparisonOperator::Eq: return "Eq";
    case ComparisonOperator::NotEq: return "NotEq";
    case ComparisonOperator::Gt: return "Gt";
    case ComparisonOperator::Gte: return "Gte";
    case ComparisonOperator::Lt: return "Lt";
    case ComparisonOperator::Lte: return "Lte";
  }
  invariant_failure("unknown comparison operator");
}

std::string_view consumption_name(MatchConsumption consumption) {
  switch (consumption) {
    case MatchConsumption::FirstSuccessorPerStart: return "FirstSuccessorPerStart";
    case MatchConsumption::ExhaustivePerStart: return "ExhaustivePerStart";
    case MatchConsumption::NonOverlapping: return "NonOverlapping";
  }
  invariant_failure("unknown match consumption");
}

// ---------------------------------------------------------------------------------------------
// Ordered maps

namespace {

template <class Entries>
auto lower_bound_by_name(Entries& entries, std::string_view name) {
  return std::lower_bound(entries.begin(), entries.end(), name,
                          [](const auto& entry, std::string_view key) {
                            return std::string_view(entry.first).compare(key) < 0;
                          });
}

}  // namespace

std::uint32_t NamedValues::checked_size(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many attributes");
  return static_cast<std::uint32_t>(n);
}

void NamedValues::free_owned() {
  std::destroy_n(entries_, size_);
  std::allocator<Entry>().deallocate(entries_, capacity_);
}

void NamedValues::own(std::size_t n) {
  if (capacity_ > 0 && n <= capacity_) return;
  const std::size_t room = std::max<std::size_t>(n, size_);
  if (room == 0) return;  // nothing held, nothing wanted: no allocation
  const std::uint32_t capacity = checked_size(room);
  Entry* entries = std::allocator<Entry>().allocate(capacity);
  std::size_t built = 0;
  try {
    // Borrowed entries are copied (their owner keeps them); owned ones are moved.
    for (; built < size_; ++built) {
      if (capacity_ > 0) new (entries + built) Entry(std::move(entries_[built]));
      else new (entries + built) Entry(entries_[built]);
    }
  } catch (...) {
    std::destroy_n(entries, built);
    std::allocator<Entry>().deallocate(entries, capacity);
    throw;
  }
  const std::uint32_t size = size_;
  release();
  entries_ = entries;
  size_ = size;
  capacity_ = capacity;
}

void NamedValues::reserve(std::size_t n) { own(n); }

NamedValues::NamedValues(const NamedValues& other) {
  if (other.empty()) return;
  own(other.size());
  for (const Entry& entry : other) {
    new (entries_ + size_) Entry(entry);
    ++size_;
  }
}

NamedValues& NamedValues::operator=(const NamedValues& other) {
  if (this == &other) return *this;
  if (capacity_ == 0 || capacity_ < other.size_) {
    NamedValues copy(other);
    *this = std::move(copy);
    return *this;
  }
  // The storage held is large enough: reused, as maps copied in turn into one place (a search's
  // result, a table of interned maps) would otherwise allocate for each.
  clear();
  for (const Entry& entry : other) {
    new (entries_ + size_) Entry(entry);  // on failure the map holds the entries copied so far
    ++size_;
  }
  return *this;
}

NamedValues& NamedValues::operator=(NamedValues&& other) noexcept {
  if (this != &other) {
    release();
    entries_ = other.entries_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.forget();
  }
  return *this;
}

bool operator==(const NamedValues& left, const NamedValues& right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end());
}

const Value* NamedValues::search(std::string_view name) const {
  const Entry* it = lower_bound_by_name(*this, name);
  if (it != end() && same_bytes(it->first, name)) return &it->second;
  return nullptr;
}

void NamedValues::set(std::string name, Value value) {
  Entry* it = const_cast<Entry*>(lower_bound_by_name(*this, name));
  if (it != end() && it->first == name) {
    const std::size_t at = static_cast<std::size_t>(it - entries_);
    own(size_);
    entries_[at].second = std::move(value);
    return;
  }
  const std::size_t at = static_cast<std::size_t>(it - entries_);
  own(size_ < capacity_ ? size_ + 1 : std::max<std::size_t>(2 * std::size_t{size_}, size_ + 1));
  // Shift the entries after `at` up by one, then put the new one in its place.
  Entry* place = entries_ + at;
  Entry* last = entries_ + size_;
  if (place == last) {
    new (last) Entry(std::move(name), std::move(value));
  } else {
    new (last) Entry(std::move(*(last - 1)));
    std::move_backward(place, last - 1, last);
    *place = Entry(std::move(name), std::move(value));
  }
  ++size_;
}

void NamedValues::replace_value(std::size_t position, const Value& value) {
  if (capacity_ == 0 || position >= size_) {
    invariant_failure("replace_value needs an owned entry at that position");
  }
  entries_[position].second = value;
}

NamedValues NamedValues::from_entries(std::vector<Entry> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& left, const Entry& right) {
    return compare_bytes(left.first, right.first) < 0;
  });
  // Of each group of equal names, the last given is kept.
  NamedValues result;
  if (entries.empty()) return result;
  result.own(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].first == entries[i].first) continue;
    new (result.entries_ + result.size_) Entry(std::move(entries[i]));
    ++result.size_;
  }
  return result;
}

Event Event::with_attr(std::string name, Value value) && {
  attrs.set(std::move(name), std::move(value));
  return std::move(*this);
}

EventView::EventView(const std::vector<Event>& events) : size_(events.size()) {
  owned_.reserve(events.size());
  for (const Event& event : events) owned_.push_back(&event);
  events_ = owned_.data();
}

// ---------------------------------------------------------------------------------------------
// Pattern model

Predicate Predicate::make(std::string attribute, ComparisonOperator op, Value value) {
  return Predicate{std::move(attribute), op, std::move(value)};
}

ReferencePredicate ReferencePredicate::make(std::string attribute, ComparisonOperator op,
                                            std::string binding) {
  return ReferencePredicate{std::move(attribute), op, std::move(binding)};
}

Capture Capture::make(std::string name, std::string attribute) {
  return Capture{std::move(name), std::move(attribute)};
}

Atom Atom::with_predicate(Predicate predicate) && {
  predicates.push_back(std::move(predicate));
  return std::move(*this);
}

Atom Atom::with_reference_predicate(ReferencePredicate reference) && {
  reference_predicates.push_back(std::move(reference));
  return std::move(*this);
}

Atom Atom::with_capture(Capture capture) && {
  captures.push_back(std::move(capture));
  return std::move(*this);
}

Transition Transition::with_absence(Atom atom) && {
  absence.push_back(std::move(atom));
  return std::move(*this);
}

// ---------------------------------------------------------------------------------------------
// Atom evaluation

namespace {

const Value& captured_value(const Event& event, const Capture& capture) {
  const Value* value = event.attrs.find(capture.attribute);
  return value ? *value : kNull;
}

}  // namespace

bool Atom::accepts(const Event& event, const Bindings& bindings) const {
  return accepts_with(event, bindings, [&](Part part, std::size_t k) {
    const std::string& name = part == Part::Predicate   ? predicates[k].attribute
                              : part == Part::Reference ? reference_predicates[k].attribute
                                                        : captures[k].attribute;
    return event.attrs.find(name);
  });
}

std::optional<Bindings> Atom::evaluate(const Event& event, const Bindings& bindings) const {
  if (!accepts(event, bindings)) return std::nullopt;
  Bindings extended = bindings;
  for (const Capture& capture : captures) {
    if (!extended.find(capture.name)) extended.set(capture.name, captured_value(event, capture));
  }
  return extended;
}

bool uses_elements(const Pattern& pattern) {
  if (pattern.consumption == MatchConsumption::NonOverlapping || pattern.within_elapsed ||
      pattern.within_duration || pattern.anchored_start || pattern.anchored_end) {
    return true;
  }
  const auto wildcard = [](const Atom& atom) { return atom.any_type; };
  for (const Step& step : pattern.steps) {
    if (!step.plain() || step.atom.any_type) return true;
    if (const std::optional<Transition>& t = step.transition_from_previous) {
      if (t->min_elapsed || t->min_duration) return true;
      for (const Atom& absent : t->absence) {
        if (wildcard(absent)) return true;
      }
    }
  }
  return false;
}

}  // namespace vashlet
