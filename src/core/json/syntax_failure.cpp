// Wording and placing the syntax fault at which the JSON library stopped: the decoder knows the
// last token delivered, and walks on from there as the grammar allows to find the fault.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "json/decoder.hpp"
#include "text/utf8.hpp"

namespace vashlet::json_reader {

// The library stopped at a syntax fault somewhere after the last token it delivered. Walk
// from there as the grammar allows to find the fault, and word and place it.
std::string Decoder::syntax_failure() const {
  const std::size_t p = doc_.skip_space(cursor_);
  const Container* top = containers_.empty() ? nullptr : &containers_.back();
  if (top && top->kind == ContainerKind::VariantObject && top->stage == VariantStage::Close) {
    // After the payload only the closing brace may follow.
    if (doc_.at_end(p)) return at_end("EOF while parsing an object");
    return "expected value" + doc_.after(p);
  }
  const bool skipping = top && (top->kind == ContainerKind::SkipObject || top->kind == ContainerKind::SkipArray);
  switch (last_) {
    case Last::Nothing: return value_failure(p);
    case Last::Key:
      if (doc_.at_end(p)) return at_end("EOF while parsing an object");
      if (doc_[p] != ':') return "expected `:`" + doc_.at(p);
      return value_failure(doc_.skip_space(p + 1));
    case Last::Open:
      if (is_object(top->kind)) {
        if (doc_.at_end(p)) return at_end("EOF while parsing an object");
        if (doc_[p] == '"') return string_failure(p, true);
        return "key must be a string" + doc_.at(p);
      }
      if (doc_.at_end(p)) return at_end("EOF while parsing a list");
      return value_failure(p);
    case Last::Value: break;
  }
  if (!top) return "trailing characters" + doc_.at(p);
  if (is_object(top->kind)) {
    if (doc_.at_end(p)) return at_end("EOF while parsing an object");
    if (doc_[p] != ',') return "expected `,` or `}`" + doc_.at(p);
    const std::size_t q = doc_.skip_space(p + 1);
    if (doc_.at_end(q)) return at_end(skipping ? "EOF while parsing an object" : "EOF while parsing a value");
    if (doc_[q] == '}') return (skipping ? "key must be a string" : "trailing comma") + doc_.at(q);
    if (doc_[q] == '"') return string_failure(q, true);
    return "key must be a string" + doc_.at(q);
  }
  if (doc_.at_end(p)) return at_end("EOF while parsing a list");
  if (doc_[p] != ',') {
    // A record in array form with all its fields read may only close.
    const bool complete = top->kind == ContainerKind::RecordArray && pending_shape() == Shape::Extra;
    return (complete ? "trailing characters" : "expected `,` or `]`") + doc_.at(p);
  }
  const std::size_t q = doc_.skip_space(p + 1);
  if (!doc_.at_end(q) && doc_[q] == ']') return (skipping ? "expected value" : "trailing comma") + doc_.at(q);
  return value_failure(q);
}

// A value should start at `p` and the library refused it.
std::string Decoder::value_failure(std::size_t p) const {
  if (doc_.at_end(p)) return at_end("EOF while parsing a value");
  const Shape shape = pending_shape();
  if (shape == Shape::Extra) return "trailing characters" + doc_.at(p);
  const char c = doc_[p];
  if (is_enumeration(shape) && c != '"' && c != '{') return "expected value" + doc_.at(p);
  if (c == '"') return string_failure(p, shape != Shape::Skip);
  if (c == '-' || is_digit(c)) return number_failure(p, shape == Shape::Skip);
  if (c == 't' || c == 'f' || c == 'n') return literal_failure(p);
  return "expected value" + doc_.at(p);
}

// A string starts at `p`. `decoded` is false for strings inside skipped values, whose raw
// control characters are placed one byte earlier.
std::string Decoder::string_failure(std::size_t p, bool decoded) const {
  const auto hex4 = [&](std::size_t at) -> int {
    const std::optional<char32_t> code = vashlet::hex4(doc_.text(), at);
    return code ? static_cast<int>(*code) : -1;
  };
  const auto is_low_surrogate = [](int code) { return code >= 0xDC00 && code <= 0xDFFF; };
  const std::string eof = at_end("EOF while parsing a string");
  std::size_t q = p + 1;
  while (true) {
    if (doc_.at_end(q)) return eof;
    const char c = doc_[q];
    if (c == '"') {
      if (!is_utf8(doc_.text().substr(p + 1, q - p - 1)))
        return "invalid unicode code point" + doc_.after(q + 1);
      break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      return "control character (\\u0000-\\u001F) found while parsing a string" +
             doc_.after(decoded ? q + 1 : q);
    }
    if (c != '\\') {
      ++q;
      continue;
    }
    if (doc_.at_end(q + 1)) return eof;
    const char escape = doc_[q + 1];
    if (escape != 'u') {
      if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return "invalid escape" + doc_.after(q + 2);
      }
      q += 2;
      continue;
    }
    // \uXXXX: four bytes are always taken before they are checked.
    if (doc_.at_end(q + 5)) return eof;
    const int code = hex4(q + 2);
    if (code < 0) return "invalid escape" + doc_.after(q + 6);
    q += 6;
    if (is_low_surrogate(code)) return "lone leading surrogate in hex escape" + doc_.after(q);
    if (code < 0xD800 || code > 0xDBFF) continue;
    if (doc_.at_end(q)) return eof;
    if (doc_[q] != '\\') return "unexpected end of hex escape" + doc_.after(q + 1);
    if (doc_.at_end(q + 1)) return eof;
    if (doc_[q + 1] != 'u') return "unexpected end of hex escape" + doc_.after(q + 2);
    if (doc_.at_end(q + 5)) return eof;
    const int low = hex4(q + 2);
    if (low < 0) return "invalid escape" + doc_.after(q + 6);
    q += 6;
    if (!is_low_surrogate(low)) return "lone leading surrogate in hex escape" + doc_.after(q);
  }
  return "expected value" + doc_.at(p);  // not reached: the library accepts such a string
}

// A number starts at `p`. In a skipped value, a number cut off by the end of the text is invalid
// rather than unfinished.
std::string Decoder::number_failure(std::size_t p, bool skipped) const {
  const std::string eof = at_end(skipped ? "invalid number" : "EOF while parsing a value");
  std::size_t q = p;
  bool nonzero = false;
  const auto digits = [&] {
    while (!doc_.at_end(q) && is_digit(doc_[q])) nonzero |= doc_[q++] != '0';
  };
  if (doc_[q] == '-') ++q;
  if (doc_.at_end(q)) return eof;
  if (doc_[q] == '0') {
    ++q;
    if (!doc_.at_end(q) && is_digit(doc_[q])) return "invalid number" + doc_.at(q);
  } else if (is_digit(doc_[q])) {
    digits();
  } else {
    return "invalid number" + doc_.after(q + 1);
  }
  if (!doc_.at_end(q) && doc_[q] == '.') {
    ++q;
    if (doc_.at_end(q)) return eof;
    if (!is_digit(doc_[q])) return "invalid number" + doc_.at(q);
    digits();
  }
  std::optional<std::size_t> exponent_overflow;
  if (!doc_.at_end(q) && (doc_[q] == 'e' || doc_[q] == 'E')) {
    ++q;
    bool negative = false;
    if (!doc_.at_end(q) && (doc_[q] == '+' || doc_[q] == '-')) negative = doc_[q++] == '-';
    if (doc_.at_end(q)) return eof;
    if (!is_digit(doc_[q])) return "invalid number" + doc_.after(q + 1);
    std::int64_t exponent = 0;
    for (; !doc_.at_end(q) && is_digit(doc_[q]); ++q) {
      if (exponent_overflow) continue;
      exponent = exponent * 10 + (doc_[q] - '0');
      if (exponent > std::numeric_limits<std::int32_t>::max() && !negative && nonzero) exponent_overflow = q;
    }
  }
  // A well-formed number that the library refused converts to an infinite double.
  return "number out of range" + doc_.after(exponent_overflow ? *exponent_overflow + 1 : q);
}

std::string Decoder::literal_failure(std::size_t p) const {
  const std::string_view word = doc_[p] == 't' ? "true" : doc_[p] == 'f' ? "false" : "null";
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (doc_.at_end(p + i)) return at_end("EOF while parsing a value");
    if (doc_[p + i] != word[i]) return "expected ident" + doc_.after(p + i + 1);
  }
  return "expected value" + doc_.at(p);  // not reached: the library accepts the whole word
}

}  // namespace vashlet::json_reader
