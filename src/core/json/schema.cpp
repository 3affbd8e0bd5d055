// The schema's tables: each record's fields in document order, derived from the model's members,
// and each enumeration's variants with their names in documents.
#include "json/schema.hpp"

#include <array>
#include <type_traits>

namespace vashlet::json_reader {
namespace {

// The shape in which a model field of type M is written; a field of any other type does not
// compile.
template <class M>
constexpr Shape shape_of() {
  if constexpr (std::is_same_v<M, Step>) return Shape::Step;
  else if constexpr (std::is_same_v<M, Atom>) return Shape::Atom;
  else if constexpr (std::is_same_v<M, Predicate>) return Shape::Predicate;
  else if constexpr (std::is_same_v<M, ReferencePredicate>) return Shape::ReferencePredicate;
  else if constexpr (std::is_same_v<M, Capture>) return Shape::Capture;
  else if constexpr (std::is_same_v<M, std::vector<Step>>) return Shape::StepList;
  else if constexpr (std::is_same_v<M, std::vector<Predicate>>) return Shape::PredicateList;
  else if constexpr (std::is_same_v<M, std::vector<ReferencePredicate>>) return Shape::ReferenceList;
  else if constexpr (std::is_same_v<M, std::vector<Capture>>) return Shape::CaptureList;
  else if constexpr (std::is_same_v<M, std::vector<Atom>>) return Shape::AtomList;
  else if constexpr (std::is_same_v<M, std::string>) return Shape::String;
  else if constexpr (std::is_same_v<M, std::optional<Transition>>) return Shape::OptionalTransition;
  else if constexpr (std::is_same_v<M, Value>) return Shape::Value;
  else if constexpr (std::is_same_v<M, ComparisonOperator>) return Shape::Operator;
  else if constexpr (std::is_same_v<M, MatchConsumption>) return Shape::Consumption;
  else if constexpr (std::is_same_v<M, bool>) return Shape::Flag;
  else if constexpr (std::is_same_v<M, std::uint32_t>) return Shape::Count;
  else if constexpr (std::is_same_v<M, std::optional<std::uint32_t>>) return Shape::OptionalCount;
  else static_assert(!sizeof(M*), "a model field type without a JSON shape");
}

template <class>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class Member>
struct MemberOf;
template <class R, class M>
struct MemberOf<M R::*> {
  using Record = R;
  using Type = M;
};

// One entry of a record's table: its key and its member; the shape, whether it is required and
// the typed access all follow from the member's type.
template <auto kMember>
constexpr FieldInfo field(std::string_view key) {
  using Record = typename MemberOf<decltype(kMember)>::Record;
  using Type = typename MemberOf<decltype(kMember)>::Type;
  return FieldInfo{key, shape_of<Type>(), !kIsOptional<Type>,
                   [](const Target& record) -> Target { return &(target_as<Record>(record).*kMember); }};
}

// A field of the object form only: never required, its default when absent.
template <auto kMember>
constexpr FieldInfo object_only(std::string_view key) {
  FieldInfo info = field<kMember>(key);
  info.required = false;
  return info;
}

// A bound read into its ticks and duration members: one key for both.
template <auto kTicks, auto kDuration>
constexpr FieldInfo bound(std::string_view key) {
  using Record = typename MemberOf<decltype(kTicks)>::Record;
  return FieldInfo{key, Shape::Window, false, [](const Target& record) -> Target {
                     Record& r = target_as<Record>(record);
                     return BoundRef{&(r.*kTicks), &(r.*kDuration)};
                   }};
}

template <std::size_t N>
constexpr RecordInfo record(std::string_view name, const std::array<FieldInfo, N>& fields,
                            std::size_t array_length = N) {
  static_assert(N <= kMaxFields);
  return RecordInfo{name, fields, array_length};
}

// The fields of each record in document order (the order of the array form, whose length is the
// count of fields before the object-only ones).
constexpr std::array kPatternFields = {
    field<&Pattern::steps>("steps"), field<&Pattern::consumption>("consumption"),
    bound<&Pattern::within_elapsed, &Pattern::within_duration>("within"),
    object_only<&Pattern::anchored_start>("anchored_start"), object_only<&Pattern::anchored_end>("anchored_end")};
constexpr std::array kStepFields = {field<&Step::atom>("atom"),
                                    field<&Step::transition_from_previous>("transition_from_previous"),
                                    object_only<&Step::alternatives>("alternatives"),
                                    object_only<&Step::min_count>("min_count"),
                                    object_only<&Step::max_count>("max_count")};
constexpr std::array kAtomFields = {field<&Atom::event_type>("event_type"), field<&Atom::predicates>("predicates"),
                                    field<&Atom::reference_predicates>("reference_predicates"),
                                    field<&Atom::captures>("captures"), object_only<&Atom::any_type>("any_type")};
constexpr std::array kPredicateFields = {field<&Predicate::attribute>("attribute"),
                                         field<&Predicate::op>("operator"), field<&Predicate::value>("value")};
constexpr std::array kReferenceFields = {field<&ReferencePredicate::attribute>("attribute"),
                                         field<&ReferencePredicate::op>("operator"),
                                         field<&ReferencePredicate::binding>("binding")};
constexpr std::array kCaptureFields = {field<&Capture::name>("name"), field<&Capture::attribute>("attribute")};
constexpr std::array kTransitionFields = {bound<&Transition::max_elapsed, &Transition::max_duration>("max_elapsed"),
                                          field<&Transition::absence>("absence"),
                                          bound<&Transition::min_elapsed, &Transition::min_duration>("min_elapsed")};

// The variants of each enumeration: its name in documents and what it stands for.
template <class T>
struct Variant {
  std::string_view name;
  T value;
};
constexpr Variant<ComparisonOperator> kOperatorVariants[] = {
    {"Eq", ComparisonOperator::Eq}, {"NotEq", ComparisonOperator::NotEq}, {"Gt", ComparisonOperator::Gt},
    {"Gte", ComparisonOperator::Gte}, {"Lt", ComparisonOperator::Lt},     {"Lte", ComparisonOperator::Lte}};
constexpr Variant<MatchConsumption> kConsumptionVariants[] = {
    {"FirstSuccessorPerStart", MatchConsumption::FirstSuccessorPerStart},
    {"ExhaustivePerStart", MatchConsumption::ExhaustivePerStart},
    {"NonOverlapping", MatchConsumption::NonOverlapping}};
// A Value variant stands for the shape of its payload; Null has none (Unit).
constexpr Variant<Shape> kValueVariants[] = {{"String", Shape::ValueString},
                                             {"Int", Shape::ValueInt},
                                             {"Float", Shape::ValueFloat},
                                             {"Bool", Shape::ValueBool},
                                             {"Null", Shape::Unit}};

}  // namespace

const RecordInfo& record_info(Shape shape) {
  static const RecordInfo kPattern = record("struct Pattern", kPatternFields, 2);
  static const RecordInfo kStep = record("struct Step", kStepFields, 2);
  static const RecordInfo kAtom = record("struct Atom", kAtomFields, 4);
  static const RecordInfo kPredicate = record("struct Predicate", kPredicateFields);
  static const RecordInfo kReference = record("struct ReferencePredicate", kReferenceFields);
  static const RecordInfo kCapture = record("struct Capture", kCaptureFields);
  static const RecordInfo kTransition = record("struct Transition", kTransitionFields, 2);
  switch (shape) {
    case Shape::Pattern: return kPattern;
    case Shape::Step: return kStep;
    case Shape::Atom: return kAtom;
    case Shape::Predicate: return kPredicate;
    case Shape::ReferencePredicate: return kReference;
    case Shape::Capture: return kCapture;
    case Shape::Transition: return kTransition;
    default: invariant_failure("record_info requires a record shape");
  }
}

// Appends a default element to a list and returns it.
Target append_element(const Target& list) {
  return std::visit(
      [](const auto& place) -> Target {
        if constexpr (requires { place->emplace_back(); }) {
          return &place->emplace_back();
        } else {
          invariant_failure("append_element requires a list");
        }
      },
      list);
}

Shape element_shape(Shape list) {
  switch (list) {
    case Shape::StepList: return shape_of<Step>();
    case Shape::PredicateList: return shape_of<Predicate>();
    case Shape::ReferenceList: return shape_of<ReferencePredicate>();
    case Shape::CaptureList: return shape_of<Capture>();
    case Shape::AtomList: return shape_of<Atom>();
    default: invariant_failure("element_shape requires a list shape");
  }
}

// The `<E>` part of "invalid type: <U>, expected <E>".
std::string expected_text(Shape shape) {
  if (is_record(shape)) return std::string(record_info(shape).name);
  if (is_list(shape)) return "a sequence";
  switch (shape) {
    case Shape::OptionalTransition: return "struct Transition";
    case Shape::String:
    case Shape::ValueString: return "a string";
    case Shape::Window:
    case Shape::ValueInt: return "i64";
    case Shape::Flag: return "a boolean";
    case Shape::Count:
    case Shape::OptionalCount: return "u32";
    case Shape::ValueFloat: return "f64";
    case Shape::ValueBool: return "a boolean";
    default: return "unit";
  }
}

std::string_view variant_alternatives(Shape enumeration) {
  switch (enumeration) {
    case Shape::Operator: return "one of `Eq`, `NotEq`, `Gt`, `Gte`, `Lt`, `Lte`";
    case Shape::Consumption: return "one of `FirstSuccessorPerStart`, `ExhaustivePerStart`, `NonOverlapping`";
    default: return "one of `String`, `Int`, `Float`, `Bool`, `Null`";
  }
}

std::optional<std::size_t> find_variant(Shape enumeration, std::string_view name) {
  const auto find_in = [&](const auto& variants) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < std::size(variants); ++i) {
      if (variants[i].name == name) return i;
    }
    return std::nullopt;
  };
  switch (enumeration) {
    case Shape::Operator: return find_in(kOperatorVariants);
    case Shape::Consumption: return find_in(kConsumptionVariants);
    default: return find_in(kValueVariants);
  }
}

// The payload a variant takes when written as a one-key object.
Shape payload_shape(Shape enumeration, std::size_t variant) {
  return enumeration == Shape::Value ? kValueVariants[variant].value : Shape::Unit;
}

void set_unit_variant(Shape enumeration, std::size_t variant, const Target& target) {
  switch (enumeration) {
    case Shape::Operator: target_as<ComparisonOperator>(target) = kOperatorVariants[variant].value; break;
    case Shape::Consumption: target_as<MatchConsumption>(target) = kConsumptionVariants[variant].value; break;
    default: target_as<Value>(target) = Value::null(); break;
  }
}

}  // namespace vashlet::json_reader
