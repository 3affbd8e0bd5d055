// Floats as the pattern document and the pattern text write them.
#pragma once

#include <string>

namespace vashlet {

// Shortest round-trip digits, laid out by the decimal exponent: positional from 1e-5 to below
// 1e16 (always with a decimal point), scientific with an explicit exponent sign elsewhere.
// `value` is finite.
std::string format_float(double value);

}  // namespace vashlet
