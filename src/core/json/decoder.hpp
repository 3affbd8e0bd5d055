// The decoder: receives the JSON library's events and builds the pattern, keeping the first
// failure with its position. The typed part is in decoder.cpp, the wording of syntax faults the
// library stops at in syntax_failure.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "json/document.hpp"
#include "json/schema.hpp"
#include "model/model.hpp"

namespace vashlet::json_reader {

constexpr std::size_t kMaxDepth = 128;

enum class ContainerKind : std::uint8_t { RecordObject, RecordArray, List, VariantObject, SkipObject, SkipArray };
enum class VariantStage : std::uint8_t { Name, Payload, Close };

inline bool is_object(ContainerKind kind) {
  return kind == ContainerKind::RecordObject || kind == ContainerKind::VariantObject || kind == ContainerKind::SkipObject;
}

// One open array or object of the document.
struct Container {
  ContainerKind kind;
  Shape shape;             // the record, list or enumeration being read
  Target target;           // where it goes in the model
  std::size_t field = 0;   // record: field of the pending value (object) or next element (array)
  bool known_key = false;  // record object: the pending key names a field
  std::uint8_t given = 0;  // record object: fields given so far, one bit each
  VariantStage stage = VariantStage::Name;
  std::size_t variant = 0;
  std::size_t payload_end = 0;  // variant object: end of the payload
};

enum class TokenKind : std::uint8_t {
  Null,
  Boolean,
  Unsigned,
  Signed,
  Float,
  String,
  ArrayStart,
  ObjectStart
};

struct Token {
  TokenKind kind;
  std::size_t start;  // first byte
  std::size_t end;    // one past the last byte
  bool boolean = false;
  std::uint64_t unsigned_number = 0;
  std::int64_t signed_number = 0;
  double float_number = 0;
  std::string* text = nullptr;

  bool is_number() const {
    return kind == TokenKind::Unsigned || kind == TokenKind::Signed || kind == TokenKind::Float;
  }
  bool is_container() const { return kind == TokenKind::ArrayStart || kind == TokenKind::ObjectStart; }
};

// The `<U>` part of "invalid type: <U>, expected <E>".
std::string unexpected_text(const Token& token);

// Receives the library's events (its SAX interface) and builds the pattern. Every handler
// returns false to stop the parse at the first failure, which is kept with its position.
class Decoder {
 public:
  Decoder(const Document& doc, const char* const* read_up_to) : doc_(doc), read_up_to_(read_up_to) {}

  bool null() { return scalar(TokenKind::Null); }
  bool boolean(bool truth) {
    Token token = make_token(TokenKind::Boolean, read_so_far());
    token.boolean = truth;
    return value(token);
  }
  bool number_unsigned(std::uint64_t number) {
    Token token = number_token(TokenKind::Unsigned);
    token.unsigned_number = number;
    return value(token);
  }
  bool number_integer(std::int64_t number) {
    // The library reports "-0" as the integer 0; it is the float -0.0.
    Token token = number_token(number == 0 ? TokenKind::Float : TokenKind::Signed);
    token.signed_number = number;
    token.float_number = -0.0;
    return value(token);
  }
  bool number_float(double number, const std::string&) {
    Token token = number_token(TokenKind::Float);
    token.float_number = number;
    return value(token);
  }
  bool string(std::string& text) {
    Token token = make_token(TokenKind::String, read_so_far());
    token.text = &text;
    return value(token);
  }
  bool binary(nlohmann::json::binary_t&) { return fail_unexpected_event(); }
  bool start_object(std::size_t) { return container(TokenKind::ObjectStart); }
  bool start_array(std::size_t) { return container(TokenKind::ArrayStart); }
  bool key(std::string& name);
  bool end_object();
  bool end_array();
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) {
    failure_ = syntax_failure();
    return false;
  }

  // After the parse: the pattern, or the first failure with its position.
  Result<Pattern> finish(bool parsed);

 private:
  enum class Last : std::uint8_t { Nothing, Open, Key, Value };  // the last event delivered

  std::size_t read_so_far() const { return static_cast<std::size_t>(*read_up_to_ - doc_.text().data()); }

  // Scalars start after whitespace and at most one `,` or `:` following the previous token.
  std::size_t scalar_start() const {
    std::size_t p = doc_.skip_space(cursor_);
    if (!doc_.at_end(p) && (doc_[p] == ',' || doc_[p] == ':')) p = doc_.skip_space(p + 1);
    return p;
  }
  Token make_token(TokenKind kind, std::size_t end) const { return Token{kind, scalar_start(), end}; }
  // The library reads one byte past a number, so its end is found in the text.
  Token number_token(TokenKind kind) const {
    const std::size_t start = scalar_start();
    std::size_t p = start;
    if (doc_[p] == '-') ++p;
    const auto digits = [&] {
      while (!doc_.at_end(p) && is_digit(doc_[p])) ++p;
    };
    if (doc_[p] == '0') {
      ++p;
    } else {
      digits();
    }
    if (!doc_.at_end(p) && doc_[p] == '.') {
      ++p;
      digits();
    }
    if (!doc_.at_end(p) && (doc_[p] == 'e' || doc_[p] == 'E')) {
      ++p;
      if (!doc_.at_end(p) && (doc_[p] == '+' || doc_[p] == '-')) ++p;
      digits();
    }
    return Token{kind, start, p};
  }

  bool scalar(TokenKind kind) { return value(make_token(kind, read_so_far())); }
  bool container(TokenKind kind) {
    const std::size_t end = read_so_far();
    return value(Token{kind, end - 1, end});
  }

  Shape pending_shape() const;
  Target pending_target();
  bool value(Token token);
  bool leaf(Shape shape, const Token& token);
  bool push(ContainerKind kind, Shape shape, Target target, const Token& token);
  void value_done();
  std::size_t record_stop(std::size_t p) const;

  bool fail(std::string message, std::string position) {
    failure_ = std::move(message) + position;
    return false;
  }
  bool fail_type(const Token& token, Shape expected) {
    // A scalar is consumed before its type is checked; a bracket is not.
    return fail("invalid type: " + unexpected_text(token) + ", expected " + expected_text(expected),
                doc_.after(token.is_container() ? token.start : token.end));
  }
  bool fail_unexpected_event() { return fail("expected value", doc_.at(cursor_)); }

  std::string syntax_failure() const;
  std::string value_failure(std::size_t p) const;
  std::string string_failure(std::size_t p, bool decoded) const;
  std::string number_failure(std::size_t p, bool skipped) const;
  std::string literal_failure(std::size_t p) const;
  std::string at_end(std::string message) const { return message + doc_.after(doc_.size()); }

  const Document& doc_;
  const char* const* read_up_to_;
  std::size_t cursor_ = 0;  // one past the last token delivered
  Last last_ = Last::Nothing;
  bool done_ = false;  // the whole document value has been read
  std::vector<Container> containers_;
  Pattern pattern_;
  std::optional<std::string> failure_;
};

}  // namespace vashlet::json_reader
