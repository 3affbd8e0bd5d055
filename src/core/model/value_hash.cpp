#include "model/value_hash.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string_view>

namespace vashlet {

namespace {

bool is_number(const Value& value) {
  return value.kind() == ValueKind::Int || value.kind() == ValueKind::Float;
}

// The same conversion that values_equal applies (round to nearest, ties to even).
double nearest_double(const Value& value) {
  return value.kind() == ValueKind::Int ? static_cast<double>(value.as_int()) : value.as_float();
}

}  // namespace

std::uint64_t ValueHash::operator()(const Value& value) const {
  switch (value.kind()) {
    case ValueKind::String: return std::hash<std::string_view>()(value.as_string());
    case ValueKind::Int:
    case ValueKind::Float: return number_hash(nearest_double(value));
    case ValueKind::Bool: return value.as_bool() ? 0x6b43a9b5u : 0x2f0d7e13u;
    case ValueKind::Null: return 0x51ed270bu;
  }
  return 0;
}

KeyClass key_class(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String: return KeyClass::String;
    case ValueKind::Int:
    case ValueKind::Float: return KeyClass::Number;
    case ValueKind::Bool: return KeyClass::Bool;
    case ValueKind::Null: return KeyClass::Null;
  }
  return KeyClass::Null;
}

bool ValueKeyEqual::operator()(const Value& left, const Value& right) const {
  if (is_number(left) && is_number(right)) return nearest_double(left) == nearest_double(right);
  return left == right;
}

bool equals_nothing(const Value& value) {
  return value.kind() == ValueKind::Float && std::isnan(value.as_float());
}

}  // namespace vashlet
