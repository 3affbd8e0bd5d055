// Numbers as both pattern texts write them: integers within 64 bits and decimal floats, read
// the same way by the one-line notation and the pattern language.
#include "text/literals.hpp"

#include <charconv>
#include <limits>
#include <system_error>

#include "model/model.hpp"

namespace vashlet {
namespace {

using std::string_view;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// Optional `+` or `-`, then one or more ASCII digits, within the signed 64-bit range.
std::optional<std::int64_t> parse_int64(string_view text) {
  string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (!is_digit(c)) return std::nullopt;
  }
  // from_chars takes a leading `-` but not a `+`.
  string_view number = text.front() == '+' ? digits : text;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

// Decimal float: optional sign, digits with one point (digits on at least one side), optional
// exponent. Correctly rounded; beyond the range gives an infinity, below it a signed zero.
std::optional<double> parse_float(string_view text) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  const bool negative = n > 0 && text[0] == '-';
  if (n > 0 && (text[0] == '+' || text[0] == '-')) ++i;

  const std::size_t int_begin = i;
  while (i < n && is_digit(text[i])) ++i;
  const std::size_t int_end = i;
  if (i == n || text[i] != '.') return std::nullopt;
  ++i;
  const std::size_t frac_begin = i;
  while (i < n && is_digit(text[i])) ++i;
  const std::size_t frac_end = i;
  if (int_begin == int_end && frac_begin == frac_end) return std::nullopt;

  // Saturated: only its sign and rough size matter below.
  constexpr std::int64_t kExponentCap = 1'000'000'000'000;
  std::int64_t exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) exponent_negative = text[i++] == '-';
    if (i == n || !is_digit(text[i])) return std::nullopt;
    for (; i < n && is_digit(text[i]); ++i) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - '0');
    }
    if (exponent_negative) exponent = -exponent;
  }
  if (i != n) return std::nullopt;

  string_view number = text.front() == '+' ? text.substr(1) : text;
  double value = 0.0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (end != number.data() + number.size()) {
    invariant_failure("a well-formed float literal is read in full");
  }
  if (ec == std::errc{}) return value;
  if (ec != std::errc::result_out_of_range) {
    invariant_failure("a well-formed float literal converts");
  }

  // Out of range leaves `value` untouched, so tell overflow from underflow by the decimal
  // exponent of the first significant digit: overflow needs at least 308, underflow at most -324.
  std::int64_t magnitude = 0;
  std::size_t first = int_begin;
  while (first < int_end && text[first] == '0') ++first;
  if (first < int_end) {
    magnitude = static_cast<std::int64_t>(int_end - first) - 1;
  } else {
    first = frac_begin;
    while (first < frac_end && text[first] == '0') ++first;
    magnitude = -static_cast<std::int64_t>(first - frac_begin) - 1;
  }
  const double limit = magnitude + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -limit : limit;
}

}  // namespace vashlet
