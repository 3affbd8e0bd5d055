// Values, events and the pattern model, plus the evaluation of one atom against one event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tuning.hpp"

namespace vashlet {

// The one exception type of the core: thrown only when an internal invariant breaks.
// Ordinary failures are returned as values (see Result).
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void invariant_failure(const std::string& message);

struct Error {
  std::string message;
};

// A value or the message of why there is none.
template <class T>
class Result {
 public:
  Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return data_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(data_); }
  const T& value() const { return std::get<0>(data_); }
  const std::string& error() const { return std::get<1>(data_).message; }

 private:
  std::variant<T, Error> data_;
};

struct Ok {};
using Status = Result<Ok>;

// ---------------------------------------------------------------------------------------------
// Values

enum class ValueKind : std::uint8_t { String, Int, Float, Bool, Null };

class Value {
 public:
  Value() : data_(std::in_place_index<4>) {}
  static Value string(std::string text) { return Value(std::in_place_index<0>, std::move(text)); }
  static Value integer(std::int64_t number) { return Value(std::in_place_index<1>, number); }
  static Value floating(double number) { return Value(std::in_place_index<2>, number); }
  static Value boolean(bool truth) { return Value(std::in_place_index<3>, truth); }
  static Value null() { return Value(); }

  ValueKind kind() const { return static_cast<ValueKind>(data_.index()); }
  const std::string& as_string() const { return std::get<0>(data_); }
  std::int64_t as_int() const { return std::get<1>(data_); }
  double as_float() const { return std::get<2>(data_); }
  bool as_bool() const { return std::get<3>(data_); }

  // Strict equality: same kind and same payload; Int 1 != Float 1.0 and NaN equals nothing.
  friend bool operator==(const Value& left, const Value& right);

 private:
  template <std::size_t I, class... A>
  explicit Value(std::in_place_index_t<I> tag, A&&... args) : data_(tag, std::forward<A>(args)...) {}

  std::variant<std::string, std::int64_t, double, bool, std::monostate> data_;
};

// The one Null that look-ups of a missing attribute return by reference.
extern const Value kNull;

// Numeric-aware equality: Int and Float compare after converting the Int to the nearest double.
bool values_equal(const Value& left, const Value& right);

// ---------------------------------------------------------------------------------------------
// Ordered name -> value maps (event attributes and bindings), kept sorted byte-wise by name.

// Byte-wise equality. Names and partitions are short, and comparing them here costs less than the
// call to memcmp that std::string's comparison makes.
inline bool same_bytes(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  if (left.size() > 16) return left == right;
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i] != right[i]) return false;
  }
  return true;
}

class NamedValues {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = const Entry*;

  NamedValues() = default;
  // A copy owns its entries, also of a map that borrows them.
  NamedValues(const NamedValues& other);
  NamedValues& operator=(const NamedValues& other);
  NamedValues(NamedValues&& other) noexcept : entries_(other.entries_), size_(other.size_),
                                             capacity_(other.capacity_) {
    other.forget();
  }
  NamedValues& operator=(NamedValues&& other) noexcept;
  ~NamedValues() { release(); }

  // The map over `count` entries, sorted by name without repeats, that the caller keeps alive
  // (and destroys) for as long as the map: a table reader's events take their attributes from
  // one block instead of allocating each its own. Changing the map copies them first. Built in
  // place: nothing of the map is read first (a fresh event's memory is not yet in the cache).
  static NamedValues borrowing(const Entry* entries, std::size_t count) {
    NamedValues map;
    map.entries_ = count > 0 ? const_cast<Entry*>(entries) : nullptr;
    map.size_ = checked_size(count);
    return map;
  }

  const Value* find(std::string_view name) const {
    if (size_ > tuning::kScannedEntries) return search(name);
    // A few short names, looked up per event and per start: scanned in place.
    for (const Entry& entry : *this) {
      if (same_bytes(entry.first, name)) return &entry.second;
    }
    return nullptr;
  }
  // Inserts at the ordered position, or replaces the value stored under an existing name.
  void set(std::string name, Value value);
  // Replaces the value of the entry at `position` in name order, in a map that owns its entries
  // (one that `set` built): for callers that rebind the same names over and over.
  void replace_value(std::size_t position, const Value& value);
  // The map that `set` would build from `entries` in turn (a later entry replaces an earlier one
  // of the same name), sorted once instead of inserted one by one.
  static NamedValues from_entries(std::vector<Entry> entries);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const_iterator begin() const { return entries_; }
  const_iterator end() const { return entries_ + size_; }
  void reserve(std::size_t n);
  // Empties the map, keeping its storage for the next use.
  void clear() {
    if (capacity_ == 0) {
      forget();
      return;
    }
    std::destroy_n(entries_, size_);
    size_ = 0;
  }

  friend bool operator==(const NamedValues& left, const NamedValues& right);

 private:
  static std::uint32_t checked_size(std::size_t n);
  const Value* search(std::string_view name) const;  // find's binary search
  void forget() {
    entries_ = nullptr;
    size_ = 0;
    capacity_ = 0;
  }
  // Destroys and frees owned entries; forgets borrowed ones.
  void release() {
    if (capacity_ > 0) free_owned();
    forget();
  }
  void free_owned();
  void own(std::size_t n);  // makes the entries owned, with room for at least n

  // Sixteen bytes, as an event is built for every row kept: the entries, owned where capacity_
  // is above 0 (allocated for that many), else borrowed (or none).
  Entry* entries_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

using Attributes = NamedValues;
using Bindings = NamedValues;

// Byte-wise order of names and partitions: common prefix as unsigned bytes, then shorter first.
inline int compare_bytes(std::string_view left, std::string_view right) { return left.compare(right); }

// The first eight bytes of `text`, big-endian and zero-padded: two texts whose prefixes differ
// compare byte-wise as their prefixes do, so sorts compare integers and read the texts only
// where prefixes tie.
inline std::uint64_t byte_order_prefix(std::string_view text) {
  std::uint64_t prefix = 0;
  const std::size_t count = text.size() < 8 ? text.size() : 8;
  for (std::size_t i = 0; i < count; ++i) {
    prefix |= std::uint64_t{static_cast<unsigned char>(text[i])} << (56 - 8 * i);
  }
  return prefix;
}

// ---------------------------------------------------------------------------------------------
// Events

struct Event {
  std::string partition;
  std::int64_t ts = 0;
  std::string typ;
  Attributes attrs;

  Event with_attr(std::string name, Value value) &&;
};

// The cache lines of [address, address + bytes), fetched without waiting; kForWrite fetches them
// owned, as a store needs them.
template <bool kForWrite>
inline void prefetch_lines(const void* address, std::size_t bytes) {
  constexpr std::uintptr_t kLine = 64;
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(address);
  for (std::uintptr_t line = begin & ~(kLine - 1); line < begin + bytes; line += kLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(line), kForWrite ? 1 : 0);
    // The optimizer counts a prefetch as no effect and may drop a loop made only of them (it
    // did, silently, for the attributes); an empty volatile statement keeps the loop.
    asm volatile("" : : "r"(line));
  }
}

// Starts fetching into the cache the `bytes` bytes at `address`, or an event's attributes (at most
// `limit` bytes of them), without waiting. Passes over many events are bound by memory: the
// events, and their attribute blocks, lie wherever they were allocated.
inline void prefetch(const void* address, std::size_t bytes) {
  prefetch_lines<false>(address, bytes);
}

// As prefetch, for memory about to be written.
inline void prefetch_for_write(const void* address, std::size_t bytes) {
  prefetch_lines<true>(address, bytes);
}

inline void prefetch_attributes(const Event& event, std::size_t limit) {
  if (event.attrs.empty()) return;
  const std::size_t bytes = event.attrs.size() * sizeof(Attributes::Entry);
  prefetch(&*event.attrs.begin(), bytes < limit ? bytes : limit);
}

// What a table reader already knew of each event, by position in a view, so that passes over
// the events need not compare partitions or look types up by name: partition numbers, equal
// exactly where the partitions are, and type numbers, indices into `type_names`
// (type_names->size() for a type not among them). Absent (null) for other sources.
struct EventNumbers {
  const std::uint32_t* partitions = nullptr;
  const std::uint32_t* types = nullptr;
  const std::vector<std::string>* type_names = nullptr;
};

// A read-only sequence of events that someone else keeps alive, read in place: the matchers and
// the near-miss analysis take one instead of a copied list. Built over pointers to events held
// elsewhere, over events that lie one after the other in event order (a table reader's block:
// no array of pointers to write and to read through), or over a std::vector<Event> (it then
// owns an array of pointers into the vector, which must outlive it).
class EventView {
 public:
  EventView(const Event* const* events, std::size_t size, EventNumbers numbers = {})
      : events_(events), size_(size), numbers_(numbers) {}
  EventView(const std::vector<Event>& events);  // implicit, for C++ callers
  // Over the `size` events from `first` on.
  static EventView in_place(const Event* first, std::size_t size, EventNumbers numbers = {}) {
    EventView view(nullptr, size, numbers);
    view.in_place_ = first;
    return view;
  }

  EventView(EventView&&) = default;
  EventView(const EventView&) = delete;
  EventView& operator=(const EventView&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Event& operator[](std::size_t i) const {
    return in_place_ ? in_place_[i] : *events_[i];
  }
  const EventNumbers& numbers() const { return numbers_; }

 private:
  std::vector<const Event*> owned_;
  const Event* const* events_ = nullptr;
  const Event* in_place_ = nullptr;  // set: the events lie in order from here
  std::size_t size_ = 0;
  EventNumbers numbers_;
};

// Calls visit(i, events[i]) for i from `begin` on, in order, while it returns true and i < `end`;
// returns the i where it stopped. Memory, not work, bounds such a pass (the events lie wherever
// they were allocated), so the events ahead are fetched early.
template <class Visit>
std::size_t visit_events(const EventView& events, std::size_t begin, std::size_t end,
                         Visit&& visit) {
  constexpr std::size_t kAhead = tuning::kEventsAhead;
  for (std::size_t i = begin; i < end; ++i) {
    if (i + kAhead < end) prefetch(&events[i + kAhead], sizeof(Event));
    if (!visit(i, events[i])) return i;
  }
  return end;
}

// ---------------------------------------------------------------------------------------------
// Pattern model

enum class ComparisonOperator : std::uint8_t { Eq, NotEq, Gt, Gte, Lt, Lte };

// `left` is the event's value, `right` the operand of the pattern.
bool matches(ComparisonOperator op, const Value& left, const Value& right);
std::string_view operator_symbol(ComparisonOperator op);  // "==", "!=", ...
std::string_view operator_name(ComparisonOperator op);    // "Eq", "NotEq", ...

// NonOverlapping: per run, the first-successor match of the earliest start, then of the first
// start after that match's last event, and so on.
enum class MatchConsumption : std::uint8_t { FirstSuccessorPerStart, ExhaustivePerStart, NonOverlapping };

std::string_view consumption_name(MatchConsumption consumption);

// `op` holds the model's `operator` field (a C++ keyword).
struct Predicate {
  std::string attribute;
  ComparisonOperator op = ComparisonOperator::Eq;
  Value value;

  static Predicate make(std::string attribute, ComparisonOperator op, Value value);
  friend bool operator==(const Predicate&, const Predicate&) = default;
};

struct ReferencePredicate {
  std::string attribute;
  ComparisonOperator op = ComparisonOperator::Eq;
  std::string binding;

  static ReferencePredicate make(std::string attribute, ComparisonOperator op, std::string binding);
  friend bool operator==(const ReferencePredicate&, const ReferencePredicate&) = default;
};

struct Capture {
  std::string name;
  std::string attribute;

  static Capture make(std::string name, std::string attribute);
  friend bool operator==(const Capture&, const Capture&) = default;
};

struct Atom {
  std::string event_type;
  std::vector<Predicate> predicates;
  std::vector<ReferencePredicate> reference_predicates;
  std::vector<Capture> captures;
  // An atom of any type (`*` in the extended text): `event_type` is then empty and not compared.
  bool any_type = false;

  Atom() = default;
  explicit Atom(std::string type) : event_type(std::move(type)) {}

  Atom with_predicate(Predicate predicate) &&;
  Atom with_reference_predicate(ReferencePredicate reference) &&;
  Atom with_capture(Capture capture) &&;

  // True when the event passes every test; allocates nothing.
  bool accepts(const Event& event, const Bindings& bindings) const;
  // The same test, with the event's attributes read through `attribute(part, k)`: the value
  // that the k-th predicate, reference predicate or capture (by `part`) reads, or nullptr where
  // the event lacks it. For callers that find attributes faster than by name.
  enum class Part : std::uint8_t { Predicate, Reference, Capture };
  template <class Lookup>
  bool accepts_with(const Event& event, const Bindings& bindings, Lookup&& attribute) const {
    return accepts_bound(
        event,
        [&](Part part, std::size_t k) {
          return bindings.find(part == Part::Reference ? reference_predicates[k].binding
                                                       : captures[k].name);
        },
        attribute);
  }
  // The same test, with the bound values read through `bound(part, k)` as well: the value bound
  // to the name that the k-th reference predicate compares with or the k-th capture takes
  // (Part::Reference or Part::Capture), or nullptr where none is. For callers that look up a
  // start's bindings once for many events.
  template <class Bound, class Lookup>
  bool accepts_bound(const Event& event, Bound&& bound, Lookup&& attribute) const {
    return is_type_of(event) && accepts_bound_of_type(event, bound, attribute);
  }
  // The type test alone: the event is of the atom's type, or the atom takes any.
  bool is_type_of(const Event& event) const {
    return any_type || same_bytes(event.typ, event_type);
  }
  // The same test of an event known to be of the atom's type (one of a step's candidates, which
  // are grouped by type): the type's bytes are not compared again.
  template <class Bound, class Lookup>
  bool accepts_bound_of_type(const Event& event, Bound&& bound, Lookup&& attribute) const;
  // The bindings extended by this atom's captures, or nothing when the event fails the atom.
  // Never changes `bindings`.
  std::optional<Bindings> evaluate(const Event& event, const Bindings& bindings) const;

  friend bool operator==(const Atom&, const Atom&) = default;
};

template <class Bound, class Lookup>
bool Atom::accepts_bound_of_type(const Event&, Bound&& bound_to, Lookup&& attribute) const {
  for (std::size_t k = 0; k < predicates.size(); ++k) {
    const Value* actual = attribute(Part::Predicate, k);
    if (!actual || !matches(predicates[k].op, *actual, predicates[k].value)) return false;
  }
  for (std::size_t k = 0; k < reference_predicates.size(); ++k) {
    const Value* actual = attribute(Part::Reference, k);
    if (!actual) return false;
    const Value* bound = bound_to(Part::Reference, k);
    if (!bound || !matches(reference_predicates[k].op, *actual, *bound)) return false;
  }
  // A capture into a name that is already bound (earlier step, or an earlier capture of this
  // atom) must capture a strictly equal value. Checked here so failures never allocate.
  const auto captured = [&](std::size_t k) -> const Value& {
    const Value* value = attribute(Part::Capture, k);
    return value ? *value : kNull;
  };
  for (std::size_t i = 0; i < captures.size(); ++i) {
    const Value* bound = bound_to(Part::Capture, i);
    if (!bound) {
      for (std::size_t j = 0; j < i; ++j) {
        if (captures[j].name == captures[i].name) {
          bound = &captured(j);
          break;
        }
      }
    }
    // A first capture of a name takes any value: the attribute is read only to compare.
    if (bound && !(*bound == captured(i))) return false;
  }
  return true;
}

// A length of time as it was written: parts with units from the largest down, each unit once
// ("1h30m" is two parts, "90m" one), so that it is written back as given.
enum class DurationUnit : std::uint8_t { Week, Day, Hour, Minute, Second, Millisecond, Microsecond, Nanosecond };

struct DurationPart {
  std::int64_t count = 0;  // never negative
  DurationUnit unit = DurationUnit::Second;
  friend bool operator==(const DurationPart&, const DurationPart&) = default;
};

struct Duration {
  std::vector<DurationPart> parts;  // at least one
  friend bool operator==(const Duration&, const Duration&) = default;
};

// A window is either ticks of the timestamps (`max_elapsed`) or a duration (`max_duration`),
// never both. A duration is turned into ticks against the data (resolve_windows) before matching.
// The minimum gap (`min_elapsed` / `min_duration`) is written and resolved the same way: the later
// event must come at least that long after the earlier one.
struct Transition {
  std::optional<std::int64_t> max_elapsed;
  std::optional<Duration> max_duration;
  std::vector<Atom> absence;
  std::optional<std::int64_t> min_elapsed;
  std::optional<Duration> min_duration;

  Transition with_absence(Atom atom) &&;
  friend bool operator==(const Transition&, const Transition&) = default;
};

// A step is one element of the sequence: its atom, or the first of `alternatives` (in written
// order) that an event satisfies, taken between `min_count` and `max_count` times (no maximum when
// absent). A plain step is one atom taken once.
struct Step {
  Atom atom;
  std::optional<Transition> transition_from_previous;
  std::vector<Atom> alternatives;  // further branches after `atom`
  std::uint32_t min_count = 1;
  std::optional<std::uint32_t> max_count = 1;
  friend bool operator==(const Step&, const Step&) = default;

  // A plain step: one atom, taken once.
  static Step of(Atom atom, std::optional<Transition> transition = std::nullopt) {
    Step step;
    step.atom = std::move(atom);
    step.transition_from_previous = std::move(transition);
    return step;
  }

  bool plain() const { return alternatives.empty() && min_count == 1 && max_count == 1; }
  std::size_t branch_count() const { return 1 + alternatives.size(); }
  const Atom& branch(std::size_t k) const { return k == 0 ? atom : alternatives[k - 1]; }
};

struct Pattern {
  std::vector<Step> steps;
  MatchConsumption consumption = MatchConsumption::FirstSuccessorPerStart;
  // The whole match's window: its last event's time minus its first's must not exceed it (ticks
  // or a duration, as a transition's window).
  std::optional<std::int64_t> within_elapsed;
  std::optional<Duration> within_duration;
  bool anchored_start = false;  // `^`: a match starts at its run's first event
  bool anchored_end = false;    // `$`: a match ends at its run's last event
  friend bool operator==(const Pattern&, const Pattern&) = default;
};

// True when `pattern` uses anything beyond a chain of single atoms: a quantifier, an alternative,
// an atom of any type, a minimum gap, a whole-match window, an anchor or non-overlapping matches.
// Such patterns are matched and explained by the element matchers; all others by the chain ones.
bool uses_elements(const Pattern& pattern);

}  // namespace vashlet
