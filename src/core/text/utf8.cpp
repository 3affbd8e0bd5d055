#include "text/utf8.hpp"

namespace vashlet {

std::size_t utf8_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

char32_t decode_utf8(std::string_view text, std::size_t i, std::size_t length) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t code = static_cast<unsigned char>(text[i]) & kLeadMask[length];
  for (std::size_t k = 1; k < length; ++k)
    code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  return code;
}

std::optional<char32_t> hex4(std::string_view text, std::size_t i) {
  if (i + 4 > text.size()) return std::nullopt;
  char32_t code = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    const char c = text[k];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    code = code * 16 + static_cast<char32_t>(digit);
  }
  return code;
}

}  // namespace vashlet
