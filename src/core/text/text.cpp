// Text as people see it: Unicode white space at either end, and the quoted display form.
#include "text/text.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <utility>

#include "text/utf8.hpp"

namespace vashlet {
namespace {

// Unicode White_Space beyond ASCII, matched on its UTF-8 encodings. A lead byte is never a
// continuation byte, so a match at either end of the text always sits on a character boundary.
constexpr std::string_view kMultiByteSpaces[] = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004",
    "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029",
    "\u202F", "\u205F", "\u3000",
};

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr std::pair<char32_t, char32_t> kEscapedRanges[] = {
#include "text/display_escapes.inc"
};

// The byte length of the white space character at the start (or the end) of `text`, or 0.
template <bool kAtStart>
std::size_t edge_space_length(std::string_view text) {
  if (text.empty()) return 0;
  const char edge = kAtStart ? text.front() : text.back();
  if (is_ascii_space(edge)) return 1;
  if (static_cast<unsigned char>(edge) < 0x80) return 0;
  for (std::string_view space : kMultiByteSpaces) {
    if (kAtStart ? text.starts_with(space) : text.ends_with(space)) return space.size();
  }
  return 0;
}

void append_code_escape(std::string& out, char32_t code) {
  char hex[8];
  const auto end = std::to_chars(std::begin(hex), std::end(hex), static_cast<std::uint32_t>(code), 16).ptr;
  out += "\\u{";
  out.append(hex, end);
  out += '}';
}

}  // namespace

std::size_t leading_space_length(std::string_view text) { return edge_space_length<true>(text); }

std::size_t trailing_space_length(std::string_view text) { return edge_space_length<false>(text); }

std::string_view trim_start(std::string_view text) {
  while (std::size_t n = leading_space_length(text)) text.remove_prefix(n);
  return text;
}

std::string_view trim_end(std::string_view text) {
  while (std::size_t n = trailing_space_length(text)) text.remove_suffix(n);
  return text;
}

std::string_view trim(std::string_view text) { return trim_end(trim_start(text)); }

bool displayed_escaped(char32_t code) {
  const auto* range = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), code,
                                       [](char32_t c, const auto& r) { return c < r.first; });
  return range != std::begin(kEscapedRanges) && code <= std::prev(range)->second;
}

std::string display_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const char32_t code = decode_utf8(text, i, length);
    switch (code) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default:
        if (displayed_escaped(code)) {
          append_code_escape(out, code);
        } else {
          out.append(text, i, length);
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

}  // namespace vashlet
