// Text as people see it: trimming Unicode white space off names and pattern pieces, and the
// quoted display form of strings that reprs and the JSON reader's messages print.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vashlet {

// Byte length of the Unicode White_Space character that starts (ends) `text`, or 0.
std::size_t leading_space_length(std::string_view text);
std::size_t trailing_space_length(std::string_view text);

std::string_view trim_start(std::string_view text);
std::string_view trim_end(std::string_view text);
std::string_view trim(std::string_view text);

// True for the code points that the display form writes as \u{...}: Grapheme_Extend, and the
// general categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs other than the ASCII space.
bool displayed_escaped(char32_t code);

// `text` between double quotes: `"` `\` TAB CR LF and NUL as \" \\ \t \r \n \0, the characters
// of displayed_escaped as \u{hex} (lower case, no leading zeros), the rest as they are. A byte
// that is not part of well-formed UTF-8 shows as U+FFFD.
std::string display_quoted(std::string_view text);

}  // namespace vashlet
