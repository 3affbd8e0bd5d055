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

// A finaliser that spreads every input bit over the word, so that the low bits a table masks
// with are well mixed even for small integers. Each step is invertible, so distinct inputs keep
// distinct hashes.
std::uint64_t mix(std::uint64_t bits) {
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdULL;
  bits ^= bits >> 33;
  bits *= 0xc4ceb9fe1a85ec53ULL;
  bits ^= bits >> 33;
  return bits;
}

}  // namespace

std::uint64_t ValueHash::operator()(const Value& value) const {
  switch (value.kind()) {
    case ValueKind::String: return std::hash<std::string_view>()(value.as_string());
    case ValueKind::Int:
    case ValueKind::Float: {
      const double number = nearest_double(value);
      // -0.0 == 0.0, so both hash as 0.0.
      return mix(std::bit_cast<std::uint64_t>(number == 0 ? 0.0 : number));
    }
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
