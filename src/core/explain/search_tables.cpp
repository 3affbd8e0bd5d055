// Equality and hashing of bindings by exact content, for interning them.
#include "explain/search_tables.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <string>

namespace vashlet::explain {

namespace {

bool identical(const Value& left, const Value& right) {
  if (left.kind() != right.kind()) return false;
  switch (left.kind()) {
    case ValueKind::String: return left.as_string() == right.as_string();
    case ValueKind::Int: return left.as_int() == right.as_int();
    case ValueKind::Float:
      return std::bit_cast<std::uint64_t>(left.as_float()) ==
             std::bit_cast<std::uint64_t>(right.as_float());
    case ValueKind::Bool: return left.as_bool() == right.as_bool();
    case ValueKind::Null: return true;
  }
  return false;
}

std::size_t hash_value(const Value& value) {
  std::size_t seed = static_cast<std::size_t>(value.kind());
  switch (value.kind()) {
    case ValueKind::String: return mix(seed, std::hash<std::string>{}(value.as_string()));
    case ValueKind::Int: return mix(seed, static_cast<std::size_t>(value.as_int()));
    case ValueKind::Float:
      return mix(seed, static_cast<std::size_t>(std::bit_cast<std::uint64_t>(value.as_float())));
    case ValueKind::Bool: return mix(seed, value.as_bool() ? 1 : 0);
    case ValueKind::Null: return seed;
  }
  return seed;
}

}  // namespace

bool identical(const Bindings& left, const Bindings& right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                    [](const Bindings::Entry& l, const Bindings::Entry& r) {
                      return l.first == r.first && identical(l.second, r.second);
                    });
}

std::size_t hash_bindings(const Bindings& bindings) {
  std::size_t seed = bindings.size();
  for (const Bindings::Entry& entry : bindings) {
    seed = mix(seed, std::hash<std::string>{}(entry.first));
    seed = mix(seed, hash_value(entry.second));
  }
  return seed;
}

}  // namespace vashlet::explain
