// Floats as text: the shortest digits that read back to the same double, laid out by exponent.
#include "json/float_text.hpp"

#include <charconv>
#include <cmath>
#include <iterator>
#include <string_view>

namespace vashlet {

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

}  // namespace vashlet
