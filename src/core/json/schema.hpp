// The pattern document's schema as the reader sees it: what each position must hold (a shape),
// where its value goes in the model (a target), the fields of each record and the variants of
// each enumeration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/model.hpp"

namespace vashlet::json_reader {

// What a position in the document must hold.
enum class Shape : std::uint8_t {
  // records (object or array form)
  Pattern,
  Step,
  Atom,
  Predicate,
  ReferencePredicate,
  Capture,
  Transition,
  // lists of records
  StepList,
  PredicateList,
  ReferenceList,
  CaptureList,
  AtomList,
  // scalars
  String,
  Window,  // a bound (max_elapsed, min_elapsed, within): ticks, a duration written as a string, or null
  Flag,    // a boolean field (any_type, anchored_start, anchored_end)
  Count,   // a step's min_count
  OptionalCount,  // a step's max_count: null for no maximum
  OptionalTransition,
  ValueString,
  ValueInt,
  ValueFloat,
  ValueBool,
  // enumerations, and the null payload of a unit variant written as an object
  Operator,
  Consumption,
  Value,
  Unit,
  Skip,   // the value of an unknown key: only its syntax is checked
  Extra,  // an element past the last field of a record in array form
};

// A bound held as ticks or a duration, never both: the two members one JSON key fills.
struct BoundRef {
  std::optional<std::int64_t>* ticks;
  std::optional<Duration>* duration;
};

// Where a value is read into: one of the model's records, lists or fields.
using Target = std::variant<std::monostate, Pattern*, Step*, Atom*, Predicate*, ReferencePredicate*, Capture*,
                            Transition*, std::vector<Step>*, std::vector<Predicate>*,
                            std::vector<ReferencePredicate>*, std::vector<Capture>*, std::vector<Atom>*,
                            std::string*, std::optional<Transition>*, Value*,
                            ComparisonOperator*, MatchConsumption*, bool*, std::uint32_t*,
                            std::optional<std::uint32_t>*, BoundRef>;

template <class T>
T& target_as(const Target& target) {
  T* const* place = std::get_if<T*>(&target);
  if (!place) invariant_failure("a JSON value is read into a model field of another type");
  return **place;
}

inline const BoundRef& bound_of(const Target& target) {
  const BoundRef* bound = std::get_if<BoundRef>(&target);
  if (!bound) invariant_failure("a JSON bound is read into a model field of another type");
  return *bound;
}

enum class ShapeKind : std::uint8_t { Record, List, Enumeration, Scalar };

// No default: a new shape must be classified here.
inline ShapeKind kind_of(Shape shape) {
  switch (shape) {
    case Shape::Pattern:
    case Shape::Step:
    case Shape::Atom:
    case Shape::Predicate:
    case Shape::ReferencePredicate:
    case Shape::Capture:
    case Shape::Transition: return ShapeKind::Record;
    case Shape::StepList:
    case Shape::PredicateList:
    case Shape::ReferenceList:
    case Shape::CaptureList:
    case Shape::AtomList: return ShapeKind::List;
    case Shape::Operator:
    case Shape::Consumption:
    case Shape::Value: return ShapeKind::Enumeration;
    case Shape::String:
    case Shape::Window:
    case Shape::Flag:
    case Shape::Count:
    case Shape::OptionalCount:
    case Shape::OptionalTransition:
    case Shape::ValueString:
    case Shape::ValueInt:
    case Shape::ValueFloat:
    case Shape::ValueBool:
    case Shape::Unit:
    case Shape::Skip:
    case Shape::Extra: return ShapeKind::Scalar;
  }
  invariant_failure("unknown shape");
}

inline bool is_record(Shape shape) { return kind_of(shape) == ShapeKind::Record; }
inline bool is_list(Shape shape) { return kind_of(shape) == ShapeKind::List; }
inline bool is_enumeration(Shape shape) { return kind_of(shape) == ShapeKind::Enumeration; }

struct FieldInfo {
  std::string_view key;
  Shape shape;
  bool required;                       // every field but an optional one or an object-only one
  Target (*locate)(const Target& record);  // the field inside its record
};

constexpr std::size_t kMaxFields = 8;  // a record object keeps one bit per given field

// A record's fields: the first `array_length` make its array form; the ones after them (the
// pattern language's, all optional) are read and written in the object form only, so documents in
// array form keep their length.
struct RecordInfo {
  std::string_view name;  // "struct Atom"
  std::span<const FieldInfo> fields;
  std::size_t array_length;

  // The expectation of "invalid length".
  std::string expected_length() const {
    return std::string(name) + " with " + std::to_string(array_length) + " elements";
  }
};

const RecordInfo& record_info(Shape shape);
// Appends a default element to a list and returns it.
Target append_element(const Target& list);
Shape element_shape(Shape list);
// The `<E>` part of "invalid type: <U>, expected <E>".
std::string expected_text(Shape shape);

// Enumerations: the wording of their variants, a variant by its name in documents, the payload a
// variant takes when written as a one-key object, and storing a variant that takes none.
std::string_view variant_alternatives(Shape enumeration);
std::optional<std::size_t> find_variant(Shape enumeration, std::string_view name);
Shape payload_shape(Shape enumeration, std::size_t variant);
void set_unit_variant(Shape enumeration, std::size_t variant, const Target& target);

}  // namespace vashlet::json_reader
