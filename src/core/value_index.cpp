#include "value_index.hpp"

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

// The double a number is compared as, with -0.0 folded onto 0.0 so that both hash alike.
double group_number(const Value& value) {
  const double number = value.kind() == ValueKind::Int ? static_cast<double>(value.as_int())
                                                       : value.as_float();
  return number == 0.0 ? 0.0 : number;
}

std::uint64_t finish(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

bool has_value_group(const Value& value) {
  return value.kind() != ValueKind::Float || !std::isnan(value.as_float());
}

bool same_value_group(const Value& left, const Value& right) {
  if (is_number(left) && is_number(right)) return group_number(left) == group_number(right);
  return left == right;
}

std::size_t value_group_hash(const Value& value) {
  // Numbers share one kind tag, so that Int 1 and Float 1.0 hash alike.
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      return finish(std::bit_cast<std::uint64_t>(group_number(value)) ^ 0x1ULL);
    case ValueKind::String:
      return finish(std::hash<std::string_view>{}(value.as_string()) ^ 0x2ULL);
    case ValueKind::Bool: return finish(value.as_bool() ? 0x13ULL : 0x03ULL);
    case ValueKind::Null: return finish(0x4ULL);
  }
  return 0;
}

void ValueIndex::add(const Value& value, std::size_t position) {
  if (!has_value_group(value)) return;
  groups_[&value].push_back(position);
}

const std::vector<std::size_t>& ValueIndex::find(const Value& value) const {
  static const std::vector<std::size_t> kNothing;
  if (!has_value_group(value)) return kNothing;
  auto it = groups_.find(&value);
  return it == groups_.end() ? kNothing : it->second;
}

}  // namespace vashlet
