// The pattern language's tokenizer: one pass over the text, each token with its byte span, so
// that every error can point at the column it is about.
#include "text/tokens.hpp"

#include <algorithm>
#include <utility>

#include "text/text.hpp"
#include "text/utf8.hpp"

namespace vashlet {
namespace {

using std::string_view;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_ascii_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' ||
         c == '.' || c == ':';
}

// The byte length of the identifier character at text[i], or 0 when none starts there.
std::size_t name_char_length(string_view text, std::size_t i) {
  const char c = text[i];
  if (static_cast<unsigned char>(c) < 0x80) return is_ascii_name_char(c) ? 1 : 0;
  const std::size_t length = utf8_length(text, i);
  if (length == 0 || leading_space_length(text.substr(i)) != 0) return 0;
  return displayed_escaped(decode_utf8(text, i, length)) ? 0 : length;
}

std::size_t name_end(string_view text, std::size_t i) {
  while (i < text.size()) {
    const std::size_t length = name_char_length(text, i);
    if (length == 0) break;
    i += length;
  }
  return i;
}

// A float's digits before its exponent: optional sign, digits with one point.
bool is_mantissa(string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  const std::size_t point = text.find('.');
  if (point == string_view::npos || text.size() < 2) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (k != point && !is_digit(text[k])) return false;
  }
  return true;
}

// The end of the word at text[begin]: identifier characters, plus the sign of a float's
// exponent (`1.5e-3`), which would otherwise end the word.
std::size_t word_end(string_view text, std::size_t begin, std::size_t i) {
  while (true) {
    i = name_end(text, i);
    const bool exponent_sign = i + 1 < text.size() && (text[i] == '+' || text[i] == '-') &&
                               (text[i - 1] == 'e' || text[i - 1] == 'E') &&
                               is_digit(text[i + 1]) &&
                               is_mantissa(text.substr(begin, i - 1 - begin));
    if (!exponent_sign) return i;
    ++i;
  }
}

// A sign that starts a number: followed by a digit, or by a point and a digit.
bool starts_number(string_view text, std::size_t i) {
  if (i + 1 >= text.size()) return false;
  if (is_digit(text[i + 1])) return true;
  return text[i + 1] == '.' && i + 2 < text.size() && is_digit(text[i + 2]);
}

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Tokenizer {
 public:
  explicit Tokenizer(string_view text) : text_(text) {}

  Result<std::vector<Token>> run() {
    std::size_t last_end = 0;
    while (true) {
      skip_space();
      if (i_ == text_.size()) {
        tokens_.push_back(Token{TokenKind::End, last_end, last_end, {}});
        return std::move(tokens_);
      }
      const std::size_t begin = i_;
      if (std::optional<Error> error = next()) return std::move(*error);
      last_end = i_;
      tokens_.back().begin = begin;
      tokens_.back().end = i_;
    }
  }

 private:
  void skip_space() {
    while (i_ < text_.size()) {
      const std::size_t length = leading_space_length(text_.substr(i_));
      if (length == 0) return;
      i_ += length;
    }
  }

  void push(TokenKind kind, std::size_t length, std::string value = {}) {
    tokens_.push_back(Token{kind, 0, 0, std::move(value)});
    i_ += length;
  }

  Error fail(std::size_t begin, std::size_t end, string_view message,
             string_view detail = {}) const {
    return Error{diagnosis(text_, begin, end, message, detail)};
  }

  std::optional<Error> next() {
    const char c = text_[i_];
    const char after = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
    switch (c) {
      case '"': return quoted(TokenKind::String, i_);
      case '`': return quoted(TokenKind::Backquoted, i_);
      case '$':
        if (after == '"' || after == '`') return quoted(TokenKind::Binding, i_ + 1);
        if (i_ + 1 < text_.size() && name_char_length(text_, i_ + 1) != 0) {
          const std::size_t end = name_end(text_, i_ + 1);
          push(TokenKind::Binding, end - i_, std::string(text_.substr(i_ + 1, end - i_ - 1)));
          return std::nullopt;
        }
        push(TokenKind::Dollar, 1);
        return std::nullopt;
      case '^': push(TokenKind::Caret, 1); return std::nullopt;
      case '*': push(TokenKind::Star, 1); return std::nullopt;
      case '?': push(TokenKind::Question, 1); return std::nullopt;
      case '|': push(TokenKind::Pipe, 1); return std::nullopt;
      case ',': push(TokenKind::Comma, 1); return std::nullopt;
      case '(': push(TokenKind::OpenParen, 1); return std::nullopt;
      case ')': push(TokenKind::CloseParen, 1); return std::nullopt;
      case '[': push(TokenKind::OpenBracket, 1); return std::nullopt;
      case ']': push(TokenKind::CloseBracket, 1); return std::nullopt;
      case '{': push(TokenKind::OpenBrace, 1); return std::nullopt;
      case '}': push(TokenKind::CloseBrace, 1); return std::nullopt;
      case '+':
        if (starts_number(text_, i_)) return word();
        push(TokenKind::Plus, 1);
        return std::nullopt;
      case '-':
        if (after == '>') return push(TokenKind::Arrow, 2), std::nullopt;
        if (after == '[') return push(TokenKind::OpenConstraints, 2), std::nullopt;
        if (starts_number(text_, i_)) return word();
        return fail(i_, i_ + 1, "expected `->` or `-[` after `-`");
      case '=':
        if (after == '=') return push(TokenKind::Comparison, 2, "=="), std::nullopt;
        return fail(i_, i_ + 1, "expected `==`: `=` alone compares nothing");
      case '!':
        if (after == '=') return push(TokenKind::Comparison, 2, "!="), std::nullopt;
        return fail(i_, i_ + 1, "expected `!=` after `!`");
      case '<':
      case '>': {
        const std::size_t length = after == '=' ? 2 : 1;
        push(TokenKind::Comparison, length, std::string(text_.substr(i_, length)));
        return std::nullopt;
      }
      default:
        break;
    }
    if (name_char_length(text_, i_) != 0) return word();
    const std::size_t length = std::max<std::size_t>(utf8_length(text_, i_), 1);
    if (utf8_length(text_, i_) == 0) return fail(i_, i_ + 1, "a byte that is not UTF-8");
    return fail(i_, i_ + length,
                "unexpected character " + display_quoted(text_.substr(i_, length)));
  }

  std::optional<Error> word() {
    const bool sign = text_[i_] == '+' || text_[i_] == '-';
    const std::size_t end = word_end(text_, i_, sign ? i_ + 1 : i_);
    push(TokenKind::Word, end - i_, std::string(text_.substr(i_, end - i_)));
    return std::nullopt;
  }

  // The quote at text_[open] up to its closing one; the token starts at i_ (a `$` or the quote).
  std::optional<Error> quoted(TokenKind kind, std::size_t open) {
    const char quote = text_[open];
    std::string value;
    std::size_t j = open + 1;
    while (true) {
      if (j >= text_.size()) {
        return fail(open, open + 1,
                    quote == '"' ? "this `\"` is never closed" : "this `` ` `` is never closed");
      }
      const char c = text_[j];
      if (c == quote) break;
      if (c != '\\' || quote == '`') {
        value += c;
        ++j;
        continue;
      }
      std::optional<Error> error = escape(j, value);
      if (error) return error;
    }
    push(kind, j + 1 - i_, std::move(value));
    return std::nullopt;
  }

  // The escape at text_[j] (a backslash) decoded onto `out`; j moves past it.
  std::optional<Error> escape(std::size_t& j, std::string& out) {
    const char kind = j + 1 < text_.size() ? text_[j + 1] : '\0';
    const char* simple = nullptr;
    switch (kind) {
      case '"': simple = "\""; break;
      case '\\': simple = "\\"; break;
      case 'n': simple = "\n"; break;
      case 't': simple = "\t"; break;
      case 'r': simple = "\r"; break;
      default: break;
    }
    if (simple) {
      out += simple;
      j += 2;
      return std::nullopt;
    }
    if (j + 1 >= text_.size()) return fail(j, j + 1, "the text ends inside an escape");
    if (kind != 'u') {
      const std::size_t length = std::max<std::size_t>(utf8_length(text_, j + 1), 1);
      return fail(j, j + 1 + length,
                  "unknown escape", "a string takes \\\" \\\\ \\n \\t \\r and \\uXXXX");
    }
    std::optional<char32_t> code = hex4(text_, j + 2);
    if (!code) return fail(j, std::min(j + 6, text_.size()), "`\\u` takes four hex digits");
    std::size_t end = j + 6;
    if (*code >= 0xD800 && *code < 0xDC00) {
      std::optional<char32_t> low;
      if (text_.substr(end).starts_with("\\u")) low = hex4(text_, end + 2);
      if (!low || *low < 0xDC00 || *low >= 0xE000) {
        return fail(j, end, "a high surrogate must be followed by a `\\u` low surrogate");
      }
      *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
      end += 6;
    } else if (*code >= 0xDC00 && *code < 0xE000) {
      return fail(j, end, "a low surrogate must follow a high surrogate");
    }
    append_utf8(out, *code);
    j = end;
    return std::nullopt;
  }

  string_view text_;
  std::size_t i_ = 0;
  std::vector<Token> tokens_;
};

// Characters (well-formed UTF-8 sequences; a stray byte counts as one) in text[begin, end).
std::size_t characters(string_view text, std::size_t begin, std::size_t end) {
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++count) {
    i += std::max<std::size_t>(utf8_length(text, i), 1);
  }
  return count;
}

}  // namespace

Result<std::vector<Token>> tokenize(std::string_view text) { return Tokenizer(text).run(); }

bool is_identifier(std::string_view name) {
  return !name.empty() && name_end(name, 0) == name.size();
}

std::size_t text_column(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::size_t newline = offset == 0 ? string_view::npos : text.rfind('\n', offset - 1);
  return characters(text, newline == string_view::npos ? 0 : newline + 1, offset) + 1;
}

std::string diagnosis(std::string_view text, std::size_t begin, std::size_t end,
                      std::string_view message, std::string_view detail) {
  begin = std::min(begin, text.size());
  end = std::max(begin, std::min(end, text.size()));
  const std::size_t newline = begin == 0 ? string_view::npos : text.rfind('\n', begin - 1);
  const std::size_t line_begin = newline == string_view::npos ? 0 : newline + 1;
  std::size_t line_end = std::min(text.find('\n', begin), text.size());
  if (line_end > line_begin && text[line_end - 1] == '\r') --line_end;
  end = std::min(end, std::max(line_end, begin));

  std::string out(message);
  const std::size_t column = text_column(text, begin);
  if (trim_end(text).find('\n') != string_view::npos) {
    const std::size_t line = std::count(text.begin(), text.begin() + line_begin, '\n') + 1;
    out += " at line " + std::to_string(line) + ", column " + std::to_string(column);
  } else {
    out += " at column " + std::to_string(column);
  }
  if (!detail.empty()) out.append(": ").append(detail);
  out += "\n  ";
  out.append(text.substr(line_begin, line_end - line_begin));
  out += "\n  ";
  // A tab stays a tab, so the caret lines up however the tabs are shown.
  for (std::size_t i = line_begin; i < begin;) {
    out += text[i] == '\t' ? '\t' : ' ';
    i += std::max<std::size_t>(utf8_length(text, i), 1);
  }
  out.append(std::max<std::size_t>(characters(text, begin, end), 1), '^');
  return out;
}

}  // namespace vashlet
