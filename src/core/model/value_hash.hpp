// Hashing and key equality of values that agree with the model's equality (values_equal), for
// finding values in hash tables.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "model/model.hpp"

namespace vashlet {

// Values that values_equal finds equal hash alike: a number hashes through the double nearest to
// it (so Int 1 and Float 1.0 meet, and so do -0.0 and 0.0); a string by its bytes; true, false and
// null each as a constant of their own. For numbers the hash is a one-to-one function of that
// double, so two numbers share a key (ValueKeyEqual) exactly when their hashes are equal, and a
// table can compare them without reading the values again (NaN aside, which shares no key);
// likewise for true, false and null.
struct ValueHash {
  std::uint64_t operator()(const Value& value) const;
};

// What ValueHash gives a number, from its nearest double: a finaliser that spreads every input
// bit over the word, so that the low bits a table masks with are well mixed even for small
// integers. Each step is invertible, so distinct doubles keep distinct hashes. Inline for passes
// that hash a number per event.
inline std::uint64_t number_hash(double number) {
  // -0.0 == 0.0, so both hash as 0.0.
  std::uint64_t bits = std::bit_cast<std::uint64_t>(number == 0 ? 0.0 : number);
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdULL;
  bits ^= bits >> 33;
  bits *= 0xc4ceb9fe1a85ec53ULL;
  bits ^= bits >> 33;
  return bits;
}

// The values whose key ValueHash alone decides, and strings, whose key is their bytes: two values
// of different classes never share a key.
enum class KeyClass : std::uint8_t { Number, String, Bool, Null };
KeyClass key_class(const Value& value);

// Whether two values share a key: the equivalence that a hash table needs, one step coarser than
// values_equal, which is not transitive (Int 2^53 and Int 2^53 + 1 both equal Float 2^53 but not
// each other). Numbers share a key when their nearest doubles are equal; other values when they
// are strictly equal. values_equal(a, b) implies a shared key, so a table keyed this way finds
// every candidate, and values_equal on each picks out the equal ones. NaN shares no key, not even
// with itself.
struct ValueKeyEqual {
  bool operator()(const Value& left, const Value& right) const;
};

// True for the values that values_equal finds equal to nothing (NaN); a table need not hold them.
bool equals_nothing(const Value& value);

}  // namespace vashlet
