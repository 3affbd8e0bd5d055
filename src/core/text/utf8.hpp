// UTF-8 as the core reads it: where one well-formed sequence ends, whether a whole text is
// well formed, and which code point a sequence encodes. Every module that looks inside strings
// goes through these, so they agree on what is malformed.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vashlet {

// Byte length (1 to 4) of the well-formed sequence that starts at `text[i]`, or 0 when none does:
// a stray continuation byte, a truncated sequence, an overlong form, a surrogate or a code point
// beyond U+10FFFF. Precondition: i < text.size().
std::size_t utf8_length(std::string_view text, std::size_t i);

bool is_utf8(std::string_view text);

// The code point of the sequence at `text[i]`, whose length utf8_length returned (not 0).
char32_t decode_utf8(std::string_view text, std::size_t i, std::size_t length);

// The value of the four hex digits at `text[i]` (a `\uXXXX` escape's), or nothing when fewer
// than four remain or one is not a hex digit.
std::optional<char32_t> hex4(std::string_view text, std::size_t i);

}  // namespace vashlet
