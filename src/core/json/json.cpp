// The pattern document: a compact and an indented writer, and a reader that decodes one document
// into the model and places every failure at a line and column of the text.
//
// The JSON library does the syntax (tokens, escapes, surrogate pairs, number grammar and number
// conversion) and hands us events; the decoder below does the typed part: which key or element
// holds which field, enumerations, payload types, missing and duplicate fields. Positions come
// from the document itself: the library reads it through an iterator that records how far it
// has read, and every event ends at a known token boundary.
#include "json/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/duration.hpp"
#include "match/matcher.hpp"
#include "text/text.hpp"
#include "text/utf8.hpp"

namespace vashlet {
namespace {

// ---------------------------------------------------------------------------------------------
// Numbers as text

// Shortest round-trip digits, laid out by the decimal exponent: positional from 1e-5 to below
// 1e16 (always with a decimal point), scientific with an explicit exponent sign elsewhere.
std::string format_float(double value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[40];
  const auto result =
      std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::scientific);
  std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::string out;
  if (scientific.front() == '-') {
    out += '-';
    scientific.remove_prefix(1);
  }
  const std::size_t e_at = scientific.find('e');
  std::string digits;
  for (const char c : scientific.substr(0, e_at)) {
    if (c != '.') digits += c;
  }
  std::string_view exponent_text = scientific.substr(e_at + 1);
  const bool negative_exponent = exponent_text.front() == '-';
  if (exponent_text.front() == '+' || exponent_text.front() == '-') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  if (negative_exponent) exponent = -exponent;

  const int count = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (count <= exponent + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
  } else {
    out += digits[0];
    if (count > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    out += std::to_string(exponent < 0 ? -exponent : exponent);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Writing

constexpr const char* kWriterFailure = "the pattern AST always serialises to JSON";

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          // Model strings are UTF-8; anything else cannot be written as a JSON document.
          const std::size_t length = utf8_length(text, i);
          if (length == 0) invariant_failure(kWriterFailure);
          out.append(text, i, length);
          i += length;
          continue;
        }
    }
    ++i;
  }
  out += '"';
}

// Emits tokens with separators and, in pretty mode, two-space indentation.
class DocumentWriter {
 public:
  explicit DocumentWriter(bool pretty) : pretty_(pretty) {}

  std::string take() { return std::move(out_); }

  void open(char bracket) {
    out_ += bracket;
    has_elements_.push_back(false);
  }
  void close(char bracket) {
    const bool had_elements = has_elements_.back();
    has_elements_.pop_back();
    if (pretty_ && had_elements) newline();
    out_ += bracket;
  }
  void key(std::string_view name) {
    element();
    append_json_string(out_, name);
    out_ += pretty_ ? ": " : ":";
  }
  // Starts an array element.
  void item() { element(); }

  void string(std::string_view text) { append_json_string(out_, text); }
  void raw(std::string_view text) { out_ += text; }
  void integer(std::int64_t number) {
    char buffer[24];
    const auto result = std::to_chars(std::begin(buffer), std::end(buffer), number);
    out_.append(buffer, result.ptr);
  }
  void floating(double number) { out_ += std::isfinite(number) ? format_float(number) : "null"; }

 private:
  void element() {
    if (has_elements_.back()) out_ += ',';
    has_elements_.back() = true;
    if (pretty_) newline();
  }
  void newline() {
    out_ += '\n';
    out_.append(2 * has_elements_.size(), ' ');
  }

  bool pretty_;
  std::string out_;
  std::vector<bool> has_elements_;  // one entry per open bracket
};

template <class T, class WriteOne>
void write_list(DocumentWriter& w, const std::vector<T>& items, WriteOne write_one) {
  w.open('[');
  for (const T& item : items) {
    w.item();
    write_one(w, item);
  }
  w.close(']');
}

void write_value(DocumentWriter& w, const Value& value) {
  if (value.kind() == ValueKind::Null) {
    w.string("Null");
    return;
  }
  w.open('{');
  switch (value.kind()) {
    case ValueKind::String:
      w.key("String");
      w.string(value.as_string());
      break;
    case ValueKind::Int:
      w.key("Int");
      w.integer(value.as_int());
      break;
    case ValueKind::Float:
      w.key("Float");
      w.floating(value.as_float());
      break;
    case ValueKind::Bool:
      w.key("Bool");
      w.raw(value.as_bool() ? "true" : "false");
      break;
    case ValueKind::Null: break;
  }
  w.close('}');
}

void write_atom(DocumentWriter& w, const Atom& atom) {
  w.open('{');
  w.key("event_type");
  w.string(atom.event_type);
  w.key("predicates");
  write_list(w, atom.predicates, [](DocumentWriter& w, const Predicate& p) {
    w.open('{');
    w.key("attribute");
    w.string(p.attribute);
    w.key("operator");
    w.string(operator_name(p.op));
    w.key("value");
    write_value(w, p.value);
    w.close('}');
  });
  w.key("reference_predicates");
  write_list(w, atom.reference_predicates, [](DocumentWriter& w, const ReferencePredicate& r) {
    w.open('{');
    w.key("attribute");
    w.string(r.attribute);
    w.key("operator");
    w.string(operator_name(r.op));
    w.key("binding");
    w.string(r.binding);
    w.close('}');
  });
  w.key("captures");
  write_list(w, atom.captures, [](DocumentWriter& w, const Capture& c) {
    w.open('{');
    w.key("name");
    w.string(c.name);
    w.key("attribute");
    w.string(c.attribute);
    w.close('}');
  });
  w.close('}');
}

void write_transition(DocumentWriter& w, const std::optional<Transition>& transition) {
  if (!transition) {
    w.raw("null");
    return;
  }
  w.open('{');
  w.key("max_elapsed");
  if (transition->max_duration) {
    w.string(duration_text(*transition->max_duration));
  } else if (transition->max_elapsed) {
    w.integer(*transition->max_elapsed);
  } else {
    w.raw("null");
  }
  w.key("absence");
  write_list(w, transition->absence, write_atom);
  w.close('}');
}

std::string write_pattern(const Pattern& pattern, bool pretty) {
  DocumentWriter w(pretty);
  w.open('{');
  w.key("steps");
  write_list(w, pattern.steps, [](DocumentWriter& w, const Step& step) {
    w.open('{');
    w.key("atom");
    write_atom(w, step.atom);
    w.key("transition_from_previous");
    write_transition(w, step.transition_from_previous);
    w.close('}');
  });
  w.key("consumption");
  w.string(consumption_name(pattern.consumption));
  w.close('}');
  return w.take();
}

// ---------------------------------------------------------------------------------------------
// Reading: the document schema

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
  Window,  // a transition's max_elapsed: ticks, a duration written as a string, or null
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

// Where a value is read into: one of the model's records, lists or fields.
using Target = std::variant<std::monostate, Pattern*, Step*, Atom*, Predicate*, ReferencePredicate*, Capture*,
                            Transition*, std::vector<Step>*, std::vector<Predicate>*,
                            std::vector<ReferencePredicate>*, std::vector<Capture>*, std::vector<Atom>*,
                            std::string*, std::optional<Transition>*, Value*,
                            ComparisonOperator*, MatchConsumption*>;

template <class T>
T& target_as(const Target& target) {
  T* const* place = std::get_if<T*>(&target);
  if (!place) invariant_failure("a JSON value is read into a model field of another type");
  return **place;
}

enum class ShapeKind : std::uint8_t { Record, List, Enumeration, Scalar };

// No default: a new shape must be classified here.
ShapeKind kind_of(Shape shape) {
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

bool is_record(Shape shape) { return kind_of(shape) == ShapeKind::Record; }
bool is_list(Shape shape) { return kind_of(shape) == ShapeKind::List; }
bool is_enumeration(Shape shape) { return kind_of(shape) == ShapeKind::Enumeration; }

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

struct FieldInfo {
  std::string_view key;
  Shape shape;
  bool required;                       // every field but an optional one
  Target (*locate)(const Target& record);  // the field inside its record
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

constexpr std::size_t kMaxFields = 8;  // a record object keeps one bit per given field

struct RecordInfo {
  std::string_view name;  // "struct Atom"
  std::span<const FieldInfo> fields;

  // The expectation of "invalid length".
  std::string expected_length() const {
    return std::string(name) + " with " + std::to_string(fields.size()) + " elements";
  }
};

template <std::size_t N>
constexpr RecordInfo record(std::string_view name, const std::array<FieldInfo, N>& fields) {
  static_assert(N <= kMaxFields);
  return RecordInfo{name, fields};
}

// The fields of each record in document order (the order of the array form).
constexpr std::array kPatternFields = {field<&Pattern::steps>("steps"),
                                       field<&Pattern::consumption>("consumption")};
constexpr std::array kStepFields = {field<&Step::atom>("atom"),
                                    field<&Step::transition_from_previous>("transition_from_previous")};
constexpr std::array kAtomFields = {field<&Atom::event_type>("event_type"), field<&Atom::predicates>("predicates"),
                                    field<&Atom::reference_predicates>("reference_predicates"),
                                    field<&Atom::captures>("captures")};
constexpr std::array kPredicateFields = {field<&Predicate::attribute>("attribute"),
                                         field<&Predicate::op>("operator"), field<&Predicate::value>("value")};
constexpr std::array kReferenceFields = {field<&ReferencePredicate::attribute>("attribute"),
                                         field<&ReferencePredicate::op>("operator"),
                                         field<&ReferencePredicate::binding>("binding")};
constexpr std::array kCaptureFields = {field<&Capture::name>("name"), field<&Capture::attribute>("attribute")};
// The window is read into the transition itself: ticks or a duration, one key for both.
constexpr FieldInfo kWindowField{"max_elapsed", Shape::Window, false,
                                 [](const Target& record) -> Target { return &target_as<Transition>(record); }};
constexpr std::array kTransitionFields = {kWindowField, field<&Transition::absence>("absence")};

const RecordInfo& record_info(Shape shape) {
  static const RecordInfo kPattern = record("struct Pattern", kPatternFields);
  static const RecordInfo kStep = record("struct Step", kStepFields);
  static const RecordInfo kAtom = record("struct Atom", kAtomFields);
  static const RecordInfo kPredicate = record("struct Predicate", kPredicateFields);
  static const RecordInfo kReference = record("struct ReferencePredicate", kReferenceFields);
  static const RecordInfo kCapture = record("struct Capture", kCaptureFields);
  static const RecordInfo kTransition = record("struct Transition", kTransitionFields);
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
    case Shape::ValueFloat: return "f64";
    case Shape::ValueBool: return "a boolean";
    default: return "unit";
  }
}

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
    {"ExhaustivePerStart", MatchConsumption::ExhaustivePerStart}};
// A Value variant stands for the shape of its payload; Null has none (Unit).
constexpr Variant<Shape> kValueVariants[] = {{"String", Shape::ValueString},
                                             {"Int", Shape::ValueInt},
                                             {"Float", Shape::ValueFloat},
                                             {"Bool", Shape::ValueBool},
                                             {"Null", Shape::Unit}};

std::string_view variant_alternatives(Shape enumeration) {
  switch (enumeration) {
    case Shape::Operator: return "one of `Eq`, `NotEq`, `Gt`, `Gte`, `Lt`, `Lte`";
    case Shape::Consumption: return "`FirstSuccessorPerStart` or `ExhaustivePerStart`";
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

// ---------------------------------------------------------------------------------------------
// Reading: positions

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

class Document {
 public:
  explicit Document(std::string_view text) : text_(text) {}

  std::size_t size() const { return text_.size(); }
  bool at_end(std::size_t p) const { return p >= text_.size(); }
  char operator[](std::size_t p) const { return text_[p]; }
  std::string_view text() const { return text_; }

  std::size_t skip_space(std::size_t p) const {
    while (p < text_.size() && is_json_space(text_[p])) ++p;
    return p;
  }

  // " at line L column C" for the point just after the first `consumed` bytes: the column is
  // the number of bytes of the current line consumed so far.
  std::string after(std::size_t consumed) const {
    consumed = std::min(consumed, text_.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < consumed; ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
  }
  // The position of the byte at `p` itself (the last byte when `p` is the end).
  std::string at(std::size_t p) const { return after(p + 1); }

 private:
  std::string_view text_;
};

// Hands the document to the library and records how far the library has read.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator(const char* at, const char** read_up_to) : at_(at), read_up_to_(read_up_to) {}

  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    *read_up_to_ = ++at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) { return a.at_ == b.at_; }

 private:
  const char* at_;
  const char** read_up_to_;
};

// ---------------------------------------------------------------------------------------------
// Reading: the decoder

constexpr std::size_t kMaxDepth = 128;

enum class ContainerKind : std::uint8_t { RecordObject, RecordArray, List, VariantObject, SkipObject, SkipArray };
enum class VariantStage : std::uint8_t { Name, Payload, Close };

bool is_object(ContainerKind kind) {
  return kind == ContainerKind::RecordObject || kind == ContainerKind::VariantObject || kind == ContainerKind::SkipObject;
}

// One open array or object of the document.
struct Container {
  ContainerKind kind;
  Shape shape;             // the record, list or enumeration being read
  Target target;           // where it goes in the model
  std::size_t field = 0;   // record: field of the pending value (object) or next element (array)
  bool known_key = false;  // record object: the pending key names a field
  std::uint8_t given = 0;  // record object: fields given so far, one bit each
  VariantStage stage = VariantStage::Name;
  std::size_t variant = 0;
  std::size_t payload_end = 0;  // variant object: end of the payload
};

enum class TokenKind : std::uint8_t {
  Null,
  Boolean,
  Unsigned,
  Signed,
  Float,
  String,
  ArrayStart,
  ObjectStart
};

struct Token {
  TokenKind kind;
  std::size_t start;  // first byte
  std::size_t end;    // one past the last byte
  bool boolean = false;
  std::uint64_t unsigned_number = 0;
  std::int64_t signed_number = 0;
  double float_number = 0;
  std::string* text = nullptr;

  bool is_number() const {
    return kind == TokenKind::Unsigned || kind == TokenKind::Signed || kind == TokenKind::Float;
  }
  bool is_container() const { return kind == TokenKind::ArrayStart || kind == TokenKind::ObjectStart; }
};

// The `<U>` part of "invalid type: <U>, expected <E>".
std::string unexpected_text(const Token& token) {
  switch (token.kind) {
    case TokenKind::Null: return "null";
    case TokenKind::Boolean: return token.boolean ? "boolean `true`" : "boolean `false`";
    case TokenKind::Unsigned: return "integer `" + std::to_string(token.unsigned_number) + "`";
    case TokenKind::Signed: return "integer `" + std::to_string(token.signed_number) + "`";
    case TokenKind::Float: return "floating point `" + format_float(token.float_number) + "`";
    case TokenKind::String: return "string " + display_quoted(*token.text);
    case TokenKind::ArrayStart: return "sequence";
    case TokenKind::ObjectStart: return "map";
  }
  return {};
}

// Receives the library's events (its SAX interface) and builds the pattern. Every handler
// returns false to stop the parse at the first failure, which is kept with its position.
class Decoder {
 public:
  Decoder(const Document& doc, const char* const* read_up_to) : doc_(doc), read_up_to_(read_up_to) {}

  bool null() { return scalar(TokenKind::Null); }
  bool boolean(bool truth) {
    Token token = make_token(TokenKind::Boolean, read_so_far());
    token.boolean = truth;
    return value(token);
  }
  bool number_unsigned(std::uint64_t number) {
    Token token = number_token(TokenKind::Unsigned);
    token.unsigned_number = number;
    return value(token);
  }
  bool number_integer(std::int64_t number) {
    // The library reports "-0" as the integer 0; it is the float -0.0.
    Token token = number_token(number == 0 ? TokenKind::Float : TokenKind::Signed);
    token.signed_number = number;
    token.float_number = -0.0;
    return value(token);
  }
  bool number_float(double number, const std::string&) {
    Token token = number_token(TokenKind::Float);
    token.float_number = number;
    return value(token);
  }
  bool string(std::string& text) {
    Token token = make_token(TokenKind::String, read_so_far());
    token.text = &text;
    return value(token);
  }
  bool binary(nlohmann::json::binary_t&) { return fail_unexpected_event(); }
  bool start_object(std::size_t) { return container(TokenKind::ObjectStart); }
  bool start_array(std::size_t) { return container(TokenKind::ArrayStart); }
  bool key(std::string& name);
  bool end_object();
  bool end_array();
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) {
    failure_ = syntax_failure();
    return false;
  }

  // After the parse: the pattern, or the first failure with its position.
  Result<Pattern> finish(bool parsed);

 private:
  enum class Last : std::uint8_t { Nothing, Open, Key, Value };  // the last event delivered

  std::size_t read_so_far() const { return static_cast<std::size_t>(*read_up_to_ - doc_.text().data()); }

  // Scalars start after whitespace and at most one `,` or `:` following the previous token.
  std::size_t scalar_start() const {
    std::size_t p = doc_.skip_space(cursor_);
    if (!doc_.at_end(p) && (doc_[p] == ',' || doc_[p] == ':')) p = doc_.skip_space(p + 1);
    return p;
  }
  Token make_token(TokenKind kind, std::size_t end) const { return Token{kind, scalar_start(), end}; }
  // The library reads one byte past a number, so its end is found in the text.
  Token number_token(TokenKind kind) const {
    const std::size_t start = scalar_start();
    std::size_t p = start;
    if (doc_[p] == '-') ++p;
    const auto digits = [&] {
      while (!doc_.at_end(p) && is_digit(doc_[p])) ++p;
    };
    if (doc_[p] == '0') {
      ++p;
    } else {
      digits();
    }
    if (!doc_.at_end(p) && doc_[p] == '.') {
      ++p;
      digits();
    }
    if (!doc_.at_end(p) && (doc_[p] == 'e' || doc_[p] == 'E')) {
      ++p;
      if (!doc_.at_end(p) && (doc_[p] == '+' || doc_[p] == '-')) ++p;
      digits();
    }
    return Token{kind, start, p};
  }

  bool scalar(TokenKind kind) { return value(make_token(kind, read_so_far())); }
  bool container(TokenKind kind) {
    const std::size_t end = read_so_far();
    return value(Token{kind, end - 1, end});
  }

  Shape pending_shape() const;
  Target pending_target();
  bool value(Token token);
  bool leaf(Shape shape, const Token& token);
  bool push(ContainerKind kind, Shape shape, Target target, const Token& token);
  void value_done();
  std::size_t record_stop(std::size_t p) const;

  bool fail(std::string message, std::string position) {
    failure_ = std::move(message) + position;
    return false;
  }
  bool fail_type(const Token& token, Shape expected) {
    // A scalar is consumed before its type is checked; a bracket is not.
    return fail("invalid type: " + unexpected_text(token) + ", expected " + expected_text(expected),
                doc_.after(token.is_container() ? token.start : token.end));
  }
  bool fail_unexpected_event() { return fail("expected value", doc_.at(cursor_)); }

  std::string syntax_failure() const;
  std::string value_failure(std::size_t p) const;
  std::string string_failure(std::size_t p, bool decoded) const;
  std::string number_failure(std::size_t p, bool skipped) const;
  std::string literal_failure(std::size_t p) const;
  std::string at_end(std::string message) const { return message + doc_.after(doc_.size()); }

  const Document& doc_;
  const char* const* read_up_to_;
  std::size_t cursor_ = 0;  // one past the last token delivered
  Last last_ = Last::Nothing;
  bool done_ = false;  // the whole document value has been read
  std::vector<Container> containers_;
  Pattern pattern_;
  std::optional<std::string> failure_;
};

Shape Decoder::pending_shape() const {
  if (containers_.empty()) return done_ ? Shape::Extra : Shape::Pattern;
  const Container& top = containers_.back();
  switch (top.kind) {
    case ContainerKind::RecordObject:
      return top.known_key ? record_info(top.shape).fields[top.field].shape : Shape::Skip;
    case ContainerKind::RecordArray: {
      const RecordInfo& info = record_info(top.shape);
      return top.field < info.fields.size() ? info.fields[top.field].shape : Shape::Extra;
    }
    case ContainerKind::List: return element_shape(top.shape);
    case ContainerKind::VariantObject: return payload_shape(top.shape, top.variant);
    default: return Shape::Skip;
  }
}

Target Decoder::pending_target() {
  if (containers_.empty()) return &pattern_;
  Container& top = containers_.back();
  switch (top.kind) {
    case ContainerKind::RecordObject:
    case ContainerKind::RecordArray: return record_info(top.shape).fields[top.field].locate(top.target);
    case ContainerKind::List: return append_element(top.target);
    default: return top.target;
  }
}

bool Decoder::value(Token token) {
  const Shape shape = pending_shape();
  if (shape == Shape::Extra) return fail("trailing characters", doc_.at(token.start));
  // An enumeration is read from its first byte: only a string or an object can hold one.
  if (is_enumeration(shape) && token.kind != TokenKind::String && token.kind != TokenKind::ObjectStart) {
    return fail("expected value", doc_.at(token.start));
  }
  // The library splits "01" into two numbers; a leading zero makes the number invalid.
  if (token.is_number() && !doc_.at_end(token.end) && is_digit(doc_[token.end])) {
    return fail("invalid number", doc_.at(token.end));
  }
  cursor_ = token.end;

  if (shape == Shape::Skip) {
    if (token.kind == TokenKind::ArrayStart) return push(ContainerKind::SkipArray, shape, {}, token);
    if (token.kind == TokenKind::ObjectStart) return push(ContainerKind::SkipObject, shape, {}, token);
    value_done();
    return true;
  }
  if (shape == Shape::OptionalTransition) {
    auto& transition = target_as<std::optional<Transition>>(pending_target());
    if (token.kind == TokenKind::Null) {
      transition.reset();
      value_done();
      return true;
    }
    if (!token.is_container()) return fail_type(token, shape);
    const ContainerKind kind =
        token.kind == TokenKind::ObjectStart ? ContainerKind::RecordObject : ContainerKind::RecordArray;
    return push(kind, Shape::Transition, &transition.emplace(), token);
  }
  if (is_record(shape)) {
    if (!token.is_container()) return fail_type(token, shape);
    const ContainerKind kind =
        token.kind == TokenKind::ObjectStart ? ContainerKind::RecordObject : ContainerKind::RecordArray;
    return push(kind, shape, pending_target(), token);
  }
  if (is_list(shape)) {
    if (token.kind != TokenKind::ArrayStart) return fail_type(token, shape);
    return push(ContainerKind::List, shape, pending_target(), token);
  }
  if (is_enumeration(shape)) {
    Target target = pending_target();
    if (token.kind == TokenKind::ObjectStart) return push(ContainerKind::VariantObject, shape, target, token);
    const auto variant = find_variant(shape, *token.text);
    if (!variant) {
      return fail(
          "unknown variant `" + *token.text + "`, expected " + std::string(variant_alternatives(shape)),
          doc_.after(token.end));
    }
    if (payload_shape(shape, *variant) != Shape::Unit) {
      return fail("invalid type: unit variant, expected newtype variant", doc_.after(record_stop(token.end)));
    }
    set_unit_variant(shape, *variant, target);
    value_done();
    return true;
  }
  return leaf(shape, token);
}

// Scalars: strings, integers, floats, booleans and the null payload of a unit variant.
bool Decoder::leaf(Shape shape, const Token& token) {
  const Target target = pending_target();
  switch (shape) {
    case Shape::String:
    case Shape::ValueString:
      if (token.kind != TokenKind::String) return fail_type(token, shape);
      if (shape == Shape::String) {
        target_as<std::string>(target) = std::move(*token.text);
      } else {
        target_as<Value>(target) = Value::string(std::move(*token.text));
      }
      break;
    case Shape::Window:
    case Shape::ValueInt: {
      std::int64_t number = 0;
      if (shape == Shape::Window && (token.kind == TokenKind::Null || token.kind == TokenKind::String)) {
        Transition& transition = target_as<Transition>(target);
        transition.max_elapsed.reset();
        transition.max_duration.reset();
        if (token.kind == TokenKind::Null) break;
        transition.max_duration = parse_duration(*token.text);
        if (!transition.max_duration) {
          return fail("invalid value: " + unexpected_text(token) +
                          R"(, expected i64 or a duration such as "10m" or "1h30m")",
                      doc_.after(token.end));
        }
        break;
      }
      if (token.kind == TokenKind::Signed) {
        number = token.signed_number;
      } else if (token.kind == TokenKind::Unsigned) {
        if (token.unsigned_number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return fail("invalid value: integer `" + std::to_string(token.unsigned_number) + "`, expected i64",
                      doc_.after(token.end));
        }
        number = static_cast<std::int64_t>(token.unsigned_number);
      } else {
        return fail_type(token, shape);
      }
      if (shape == Shape::Window) {
        target_as<Transition>(target).max_duration.reset();
        target_as<Transition>(target).max_elapsed = number;
      } else {
        target_as<Value>(target) = Value::integer(number);
      }
      break;
    }
    case Shape::ValueFloat: {
      double number = 0;
      if (token.kind == TokenKind::Float) {
        number = token.float_number;
      } else if (token.kind == TokenKind::Unsigned) {
        number = static_cast<double>(token.unsigned_number);  // nearest, ties to even
      } else if (token.kind == TokenKind::Signed) {
        number = static_cast<double>(token.signed_number);
      } else {
        return fail_type(token, shape);
      }
      target_as<Value>(target) = Value::floating(number);
      break;
    }
    case Shape::ValueBool:
      if (token.kind != TokenKind::Boolean) return fail_type(token, shape);
      target_as<Value>(target) = Value::boolean(token.boolean);
      break;
    default: {  // Unit
      if (token.kind != TokenKind::Null) return fail_type(token, shape);
      const Container& variant = containers_.back();
      set_unit_variant(variant.shape, variant.variant, variant.target);
      break;
    }
  }
  value_done();
  return true;
}

bool Decoder::push(ContainerKind kind, Shape shape, Target target, const Token& token) {
  if (containers_.size() >= kMaxDepth) return fail("recursion limit exceeded", doc_.at(token.start));
  containers_.push_back(Container{kind, shape, std::move(target)});
  last_ = Last::Open;
  return true;
}

// A value is complete: the enclosing array or object moves on.
void Decoder::value_done() {
  last_ = Last::Value;
  if (containers_.empty()) {
    done_ = true;
    return;
  }
  Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordArray) ++top.field;
  if (top.kind == ContainerKind::VariantObject) {
    top.stage = VariantStage::Close;
    top.payload_end = cursor_;
  }
}

// Where a message about the innermost record is placed: after the whitespace that follows `p`,
// and after that record's closing bracket, or in array form its `,` and the whitespace after it.
std::size_t Decoder::record_stop(std::size_t p) const {
  const auto record = std::find_if(containers_.rbegin(), containers_.rend(), [](const Container& f) {
    return f.kind == ContainerKind::RecordObject || f.kind == ContainerKind::RecordArray;
  });
  p = doc_.skip_space(p);
  if (record == containers_.rend() || doc_.at_end(p)) return p;
  if (record->kind == ContainerKind::RecordObject) return doc_[p] == '}' ? p + 1 : p;
  if (doc_[p] == ']') return p + 1;
  if (doc_[p] == ',') return doc_.skip_space(p + 1);
  return p;
}

bool Decoder::key(std::string& name) {
  cursor_ = read_so_far();
  last_ = Last::Key;
  Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordObject) {
    const RecordInfo& info = record_info(top.shape);
    top.known_key = false;
    for (std::size_t i = 0; i < info.fields.size(); ++i) {
      if (info.fields[i].key != name) continue;
      if (top.given & (1u << i))
        return fail("duplicate field `" + name + "`", doc_.after(record_stop(cursor_)));
      top.given = static_cast<std::uint8_t>(top.given | (1u << i));
      top.field = i;
      top.known_key = true;
    }
    return true;
  }
  if (top.kind == ContainerKind::VariantObject) {
    if (top.stage == VariantStage::Close)
      return fail("expected value", doc_.after(doc_.skip_space(top.payload_end)));
    const auto variant = find_variant(top.shape, name);
    if (!variant) {
      return fail("unknown variant `" + name + "`, expected " + std::string(variant_alternatives(top.shape)),
                  doc_.after(cursor_));
    }
    top.variant = *variant;
    top.stage = VariantStage::Payload;
  }
  return true;
}

bool Decoder::end_object() {
  cursor_ = read_so_far();
  const Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordObject) {
    const RecordInfo& info = record_info(top.shape);
    for (std::size_t i = 0; i < info.fields.size(); ++i) {
      if (info.fields[i].required && !(top.given & (1u << i))) {
        return fail("missing field `" + std::string(info.fields[i].key) + "`", doc_.after(cursor_));
      }
    }
  } else if (top.kind == ContainerKind::VariantObject && top.stage != VariantStage::Close) {
    return fail("expected value", doc_.at(cursor_ - 1));  // `{}` names no variant
  }
  containers_.pop_back();
  value_done();
  return true;
}

bool Decoder::end_array() {
  cursor_ = read_so_far();
  const Container& top = containers_.back();
  if (top.kind == ContainerKind::RecordArray) {
    const RecordInfo& info = record_info(top.shape);
    if (top.field < info.fields.size()) {
      return fail(
          "invalid length " + std::to_string(top.field) + ", expected " + info.expected_length(),
          doc_.after(cursor_));
    }
  }
  containers_.pop_back();
  value_done();
  return true;
}

// The library stopped at a syntax fault somewhere after the last token it delivered. Walk
// from there as the grammar allows to find the fault, and word and place it.
std::string Decoder::syntax_failure() const {
  const std::size_t p = doc_.skip_space(cursor_);
  const Container* top = containers_.empty() ? nullptr : &containers_.back();
  if (top && top->kind == ContainerKind::VariantObject && top->stage == VariantStage::Close) {
    // After the payload only the closing brace may follow.
    if (doc_.at_end(p)) return at_end("EOF while parsing an object");
    return "expected value" + doc_.after(p);
  }
  const bool skipping = top && (top->kind == ContainerKind::SkipObject || top->kind == ContainerKind::SkipArray);
  switch (last_) {
    case Last::Nothing: return value_failure(p);
    case Last::Key:
      if (doc_.at_end(p)) return at_end("EOF while parsing an object");
      if (doc_[p] != ':') return "expected `:`" + doc_.at(p);
      return value_failure(doc_.skip_space(p + 1));
    case Last::Open:
      if (is_object(top->kind)) {
        if (doc_.at_end(p)) return at_end("EOF while parsing an object");
        if (doc_[p] == '"') return string_failure(p, true);
        return "key must be a string" + doc_.at(p);
      }
      if (doc_.at_end(p)) return at_end("EOF while parsing a list");
      return value_failure(p);
    case Last::Value: break;
  }
  if (!top) return "trailing characters" + doc_.at(p);
  if (is_object(top->kind)) {
    if (doc_.at_end(p)) return at_end("EOF while parsing an object");
    if (doc_[p] != ',') return "expected `,` or `}`" + doc_.at(p);
    const std::size_t q = doc_.skip_space(p + 1);
    if (doc_.at_end(q)) return at_end(skipping ? "EOF while parsing an object" : "EOF while parsing a value");
    if (doc_[q] == '}') return (skipping ? "key must be a string" : "trailing comma") + doc_.at(q);
    if (doc_[q] == '"') return string_failure(q, true);
    return "key must be a string" + doc_.at(q);
  }
  if (doc_.at_end(p)) return at_end("EOF while parsing a list");
  if (doc_[p] != ',') {
    // A record in array form with all its fields read may only close.
    const bool complete = top->kind == ContainerKind::RecordArray && pending_shape() == Shape::Extra;
    return (complete ? "trailing characters" : "expected `,` or `]`") + doc_.at(p);
  }
  const std::size_t q = doc_.skip_space(p + 1);
  if (!doc_.at_end(q) && doc_[q] == ']') return (skipping ? "expected value" : "trailing comma") + doc_.at(q);
  return value_failure(q);
}

// A value should start at `p` and the library refused it.
std::string Decoder::value_failure(std::size_t p) const {
  if (doc_.at_end(p)) return at_end("EOF while parsing a value");
  const Shape shape = pending_shape();
  if (shape == Shape::Extra) return "trailing characters" + doc_.at(p);
  const char c = doc_[p];
  if (is_enumeration(shape) && c != '"' && c != '{') return "expected value" + doc_.at(p);
  if (c == '"') return string_failure(p, shape != Shape::Skip);
  if (c == '-' || is_digit(c)) return number_failure(p, shape == Shape::Skip);
  if (c == 't' || c == 'f' || c == 'n') return literal_failure(p);
  return "expected value" + doc_.at(p);
}

// A string starts at `p`. `decoded` is false for strings inside skipped values, whose raw
// control characters are placed one byte earlier.
std::string Decoder::string_failure(std::size_t p, bool decoded) const {
  const auto hex4 = [&](std::size_t at) -> int {
    int code = 0;
    for (std::size_t k = at; k < at + 4; ++k) {
      const char c = doc_[k];
      int digit = -1;
      if (is_digit(c)) digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return -1;
      code = code * 16 + digit;
    }
    return code;
  };
  const auto is_low_surrogate = [](int code) { return code >= 0xDC00 && code <= 0xDFFF; };
  const std::string eof = at_end("EOF while parsing a string");
  std::size_t q = p + 1;
  while (true) {
    if (doc_.at_end(q)) return eof;
    const char c = doc_[q];
    if (c == '"') {
      if (!is_utf8(doc_.text().substr(p + 1, q - p - 1)))
        return "invalid unicode code point" + doc_.after(q + 1);
      break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      return "control character (\\u0000-\\u001F) found while parsing a string" +
             doc_.after(decoded ? q + 1 : q);
    }
    if (c != '\\') {
      ++q;
      continue;
    }
    if (doc_.at_end(q + 1)) return eof;
    const char escape = doc_[q + 1];
    if (escape != 'u') {
      if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return "invalid escape" + doc_.after(q + 2);
      }
      q += 2;
      continue;
    }
    // \uXXXX: four bytes are always taken before they are checked.
    if (doc_.at_end(q + 5)) return eof;
    const int code = hex4(q + 2);
    if (code < 0) return "invalid escape" + doc_.after(q + 6);
    q += 6;
    if (is_low_surrogate(code)) return "lone leading surrogate in hex escape" + doc_.after(q);
    if (code < 0xD800 || code > 0xDBFF) continue;
    if (doc_.at_end(q)) return eof;
    if (doc_[q] != '\\') return "unexpected end of hex escape" + doc_.after(q + 1);
    if (doc_.at_end(q + 1)) return eof;
    if (doc_[q + 1] != 'u') return "unexpected end of hex escape" + doc_.after(q + 2);
    if (doc_.at_end(q + 5)) return eof;
    const int low = hex4(q + 2);
    if (low < 0) return "invalid escape" + doc_.after(q + 6);
    q += 6;
    if (!is_low_surrogate(low)) return "lone leading surrogate in hex escape" + doc_.after(q);
  }
  return "expected value" + doc_.at(p);  // not reached: the library accepts such a string
}

// A number starts at `p`. In a skipped value, a number cut off by the end of the text is invalid
// rather than unfinished.
std::string Decoder::number_failure(std::size_t p, bool skipped) const {
  const std::string eof = at_end(skipped ? "invalid number" : "EOF while parsing a value");
  std::size_t q = p;
  bool nonzero = false;
  const auto digits = [&] {
    while (!doc_.at_end(q) && is_digit(doc_[q])) nonzero |= doc_[q++] != '0';
  };
  if (doc_[q] == '-') ++q;
  if (doc_.at_end(q)) return eof;
  if (doc_[q] == '0') {
    ++q;
    if (!doc_.at_end(q) && is_digit(doc_[q])) return "invalid number" + doc_.at(q);
  } else if (is_digit(doc_[q])) {
    digits();
  } else {
    return "invalid number" + doc_.after(q + 1);
  }
  if (!doc_.at_end(q) && doc_[q] == '.') {
    ++q;
    if (doc_.at_end(q)) return eof;
    if (!is_digit(doc_[q])) return "invalid number" + doc_.at(q);
    digits();
  }
  std::optional<std::size_t> exponent_overflow;
  if (!doc_.at_end(q) && (doc_[q] == 'e' || doc_[q] == 'E')) {
    ++q;
    bool negative = false;
    if (!doc_.at_end(q) && (doc_[q] == '+' || doc_[q] == '-')) negative = doc_[q++] == '-';
    if (doc_.at_end(q)) return eof;
    if (!is_digit(doc_[q])) return "invalid number" + doc_.after(q + 1);
    std::int64_t exponent = 0;
    for (; !doc_.at_end(q) && is_digit(doc_[q]); ++q) {
      if (exponent_overflow) continue;
      exponent = exponent * 10 + (doc_[q] - '0');
      if (exponent > std::numeric_limits<std::int32_t>::max() && !negative && nonzero) exponent_overflow = q;
    }
  }
  // A well-formed number that the library refused converts to an infinite double.
  return "number out of range" + doc_.after(exponent_overflow ? *exponent_overflow + 1 : q);
}

std::string Decoder::literal_failure(std::size_t p) const {
  const std::string_view word = doc_[p] == 't' ? "true" : doc_[p] == 'f' ? "false" : "null";
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (doc_.at_end(p + i)) return at_end("EOF while parsing a value");
    if (doc_[p + i] != word[i]) return "expected ident" + doc_.after(p + i + 1);
  }
  return "expected value" + doc_.at(p);  // not reached: the library accepts the whole word
}

Result<Pattern> Decoder::finish(bool parsed) {
  if (failure_) return Error{*failure_};
  if (!parsed || !done_) return Error{"expected value" + doc_.after(doc_.size())};  // not reached
  // The library takes a NUL byte for the end of the text; nothing but whitespace may follow.
  const std::size_t rest = doc_.skip_space(cursor_);
  if (!doc_.at_end(rest)) return Error{"trailing characters" + doc_.at(rest)};
  const Status valid = validate_pattern(pattern_);
  if (!valid) return Error{valid.error()};
  return std::move(pattern_);
}

}  // namespace

std::string pattern_to_json(const Pattern& pattern) { return write_pattern(pattern, false); }

std::string pattern_to_json_pretty(const Pattern& pattern) { return write_pattern(pattern, true); }

Result<Pattern> pattern_from_json(std::string_view text) {
  const Document doc(text);
  // The library would skip a byte-order mark; a document may not start with one.
  if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xEF)
    return Error{"expected value" + doc.at(0)};
  const char* read_up_to = text.data();
  Decoder decoder(doc, &read_up_to);
  const bool parsed = nlohmann::json::sax_parse(
      TrackingIterator(text.data(), &read_up_to), TrackingIterator(text.data() + text.size(), &read_up_to),
      &decoder, nlohmann::json::input_format_t::json, /*strict=*/true,
      /*ignore_comments=*/false);
  return decoder.finish(parsed);
}

std::string value_literal(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String: {
      std::string out;
      append_json_string(out, value.as_string());
      return out;
    }
    case ValueKind::Int: return std::to_string(value.as_int());
    case ValueKind::Float: {
      const double number = value.as_float();
      if (std::isnan(number)) return "nan";
      if (std::isinf(number)) return number > 0 ? "inf" : "-inf";
      return format_float(number);
    }
    case ValueKind::Bool: return value.as_bool() ? "true" : "false";
    case ValueKind::Null: break;
  }
  return "null";
}

}  // namespace vashlet
