// The tokens of the pattern language, with the byte span of each in the text, and the caret
// diagnosis every error of the language ends with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"

namespace vashlet {

enum class TokenKind : std::uint8_t {
  Word,        // identifier characters; a number also takes a sign and an exponent's sign
  String,      // "..." (`value` holds the text with its escapes decoded)
  Backquoted,  // `...` (`value` holds the text as it is)
  Binding,     // $name, $"..." or $`...` (`value` holds the name)
  Dollar,      // a `$` that starts no name: the end anchor
  Caret,       // ^
  Star,        // *
  Plus,        // +
  Question,    // ?
  Pipe,        // |
  Comma,       // ,
  OpenParen,
  CloseParen,
  OpenBracket,
  CloseBracket,
  OpenBrace,
  CloseBrace,
  Arrow,             // ->
  OpenConstraints,   // -[
  Comparison,        // == != >= <= > <  (`value` holds the symbol)
  End,               // just after the last token
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::size_t begin = 0;  // byte offsets into the text
  std::size_t end = 0;
  std::string value;  // the token's text, or what String, Backquoted and Binding stand for
};

// The tokens of `text`, ending with one End token; fails on a character no token starts with,
// an unclosed quote or a bad escape.
Result<std::vector<Token>> tokenize(std::string_view text);

// True when `name` can be written bare: one or more identifier characters (ASCII letters and
// digits, `_`, `.`, `:`, and any character beyond ASCII that is neither space nor invisible).
bool is_identifier(std::string_view name);

// The 1-based column, in characters within its line, of the byte `offset` of `text`.
std::size_t text_column(std::string_view text, std::size_t offset);

// `message`, where the bytes [begin, end) of `text` stand ("at column 7", or "at line 2,
// column 7" in a text of several lines), then ": " and `detail` when given, then that line and
// a caret line under those bytes.
std::string diagnosis(std::string_view text, std::size_t begin, std::size_t end,
                      std::string_view message, std::string_view detail = {});

}  // namespace vashlet
