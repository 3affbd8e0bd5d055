// What the fuzz targets share: a reader that turns fuzz bytes into small choices, an exact
// comparison of results (floats by bit pattern, so a NaN equals itself), and the failure stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "explain/explain.hpp"
#include "match/matcher.hpp"
#include "model/model.hpp"

namespace vashlet::fuzz {

// Prints what broke and aborts, which libFuzzer records as a crash with its input.
[[noreturn]] void fail(std::string_view what);
inline void require(bool condition, std::string_view what) {
  if (!condition) fail(what);
}

// Draws choices from the fuzz input; once it is used up, every choice is 0.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A number from 0 to n - 1.
  std::size_t below(std::size_t n) { return n <= 1 ? 0 : byte() % n; }
  bool exhausted() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool same_value(const Value& left, const Value& right);
bool same_named_values(const NamedValues& left, const NamedValues& right);
bool same_matches(const std::vector<Match>& left, const std::vector<Match>& right);
bool same_near_misses(const std::vector<NearMiss>& left, const std::vector<NearMiss>& right);
// True when no literal of the pattern is a NaN or an infinity (those have no JSON form).
bool literals_finite(const Pattern& pattern);

}  // namespace vashlet::fuzz
