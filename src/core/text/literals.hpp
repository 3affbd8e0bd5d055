// Numbers as both pattern texts write them: integers within 64 bits and decimal floats.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vashlet {

// Optional `+` or `-`, then one or more ASCII digits, within the signed 64-bit range.
std::optional<std::int64_t> parse_int64(std::string_view text);

// Decimal float: optional sign, digits with one point (digits on at least one side), optional
// exponent. Correctly rounded; beyond the range gives an infinity, below it a signed zero.
std::optional<double> parse_float(std::string_view text);

}  // namespace vashlet
